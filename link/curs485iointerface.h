#ifndef CURS485IOINTERFACE_H
#define CURS485IOINTERFACE_H

#include "cstarframereader.h"
#include "cuiointerfaceimpl.h"

#include <QSerialPort>
#include <QString>

// The RS-485 line behind a serial port of the PC: 500000 baud, 8 data bits, no parity.
// The adapter switches the line's direction by itself; the program never drives RTS or DTR.
//
// The port is opened by the first message sent. When the device goes away (a USB adapter
// pulled out, the far end of a pseudo-terminal closed) the port is closed quietly, and the
// next message sent opens it again, so a device that comes back is used without a restart.
class cuRs485IOInterface : public cuIOInterfaceImpl
{
    Q_OBJECT
public:
    explicit cuRs485IOInterface(QObject *parent = nullptr);
    ~cuRs485IOInterface() override;

    QString portName() const { return m_portName; }
    void setPortName(const QString &name) { m_portName = name; }

    // Direction switching hooks; the adapter does it, so these do nothing.
    void setTransmitterEnable() { }
    void setReceverEnable() { }

    bool isOpen() const override { return m_port && m_port->isOpen(); }
    int openCount() const override { return m_openCount; }
    // What the line's answers have shown of its echo so far (see cStarFrameReader).
    cStarFrameReader::Echo echo() const { return m_reader.echo(); }
    bool isEchoKnown() const override { return m_reader.echo() != cStarFrameReader::EchoUnknown; }

protected:
    bool pInitialize() override;
    bool pSendMsg(quint8 address, quint8 command, quint8 dataLength, quint8 *data) override;

private slots:
    void dataReady();

private:
    void portError(QSerialPort::SerialPortError error);
    void closeLostPort();

    QSerialPort *m_port = nullptr;
    QString m_portName;
    bool m_closePending = false;
    int m_openCount = 0;
    cStarFrameReader m_reader;
};

#endif // CURS485IOINTERFACE_H
