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
    // What the line's answers have shown of its echo so far (see cStarFrameReader).
    cStarFrameReader::Echo echo() const { return m_reader.echo(); }
    // Closes the port, so another program may have the device; the next message sent opens
    // it again.
    void close() override;

    // Why the last attempt to open the port failed; NoError once it opened.
    enum OpenError {
        NoError,
        NoPortName,
        CannotOpen, // missing, or refused for a reason of its own (the system's text says it)
        PermissionDenied,
        NotSerialPort, // a file or a device that is not a terminal
        InUse, // another program (or link) holds the device, under whatever name
    };
    OpenError openError() const { return m_openError; }
    // openErrorText() is the operator's sentence for it, naming the port.
    // The process that holds the lock on the device when openError() is InUse; 0 when unknown.
    qint64 lockHolder() const { return m_lockHolder; }

protected:
    bool pInitialize() override;
    bool pSendMsg(quint8 address, quint8 command, quint8 dataLength, quint8 *data) override;

private slots:
    void dataReady();

private:
    void portError(QSerialPort::SerialPortError error);
    void closeLostPort();
    bool lockDevice();
    void requestLowLatency();
    void setOpenError(OpenError error, const QString &reason);

    QSerialPort *m_port = nullptr;
    bool m_closePending = false;
    OpenError m_openError = NoError;
    qint64 m_lockHolder = 0;
};

#endif // CURS485IOINTERFACE_H
