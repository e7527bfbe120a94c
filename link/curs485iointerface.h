#ifndef CURS485IOINTERFACE_H
#define CURS485IOINTERFACE_H

#include "cuiointerfaceimpl.h"

#include <QSerialPort>
#include <QString>

// The RS-485 line behind a serial port of the PC: 500000 baud, 8 data bits, no parity.
// The adapter switches the line's direction by itself; the program never drives RTS or DTR.
//
// The port is opened by the first message sent. When the device goes away (a USB adapter
// pulled out, the far end of a pseudo-terminal closed) the port is closed quietly, and the
// next message sent opens it again, so a device that comes back is used without a restart.
// While open, the device is locked: another link or program is refused under any of its
// names, and openError() says why a port did not open.
class cuRs485IOInterface : public cuIOInterfaceImpl
{
    Q_OBJECT
public:
    explicit cuRs485IOInterface(QObject *parent = nullptr);
    ~cuRs485IOInterface() override;

    // Direction switching hooks; the adapter does it, so these do nothing.
    void setTransmitterEnable() { }
    void setReceverEnable() { }

    bool isOpen() const override { return m_port && m_port->isOpen(); }
    // The process that holds the lock on the device when openError() is InUse; 0 when unknown.
    qint64 lockHolder() const { return openError() == InUse ? m_lockHolder : 0; }

protected:
    bool pOpenLine() override;
    void pCloseLine() override;
    void pWrite(const QByteArray &frame) override;
    void pWaitWritten() override;
    qint64 pBytesAvailable() const override { return m_port->bytesAvailable(); }
    qint64 pRead(char *data, qint64 maxSize) override { return m_port->read(data, maxSize); }

private slots:
    void dataReady();

private:
    void portError(QSerialPort::SerialPortError error);
    bool lockDevice();
    void setInUse();

    QSerialPort *m_port = nullptr;
    qint64 m_lockHolder = 0;
};

#endif // CURS485IOINTERFACE_H
