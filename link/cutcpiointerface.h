#ifndef CUTCPIOINTERFACE_H
#define CUTCPIOINTERFACE_H

#include "cuiointerfaceimpl.h"

#include <QAbstractSocket>
#include <QString>

class QTcpSocket;

// The RS-485 line behind a network serial server (a serial device server, ser2net), named
// "socket://HOST:PORT": the same frames, carried over a TCP connection in raw mode.
//
// The connection is made by the first message sent. When it drops (the server restarted, the
// network gone) it is closed quietly, and the next message sent connects again.
class cuTcpIOInterface : public cuIOInterfaceImpl
{
    Q_OBJECT
public:
    explicit cuTcpIOInterface(QObject *parent = nullptr);
    ~cuTcpIOInterface() override;

    static bool isTcpPortName(const QString &name);

    bool isOpen() const override;
    void close() override;

    enum OpenError { NoError, NoPortName, CannotOpen };
    OpenError openError() const { return m_openError; }

protected:
    bool pInitialize() override;
    bool pSendMsg(quint8 address, quint8 command, quint8 dataLength, quint8 *data) override;

private:
    void dataReady();
    void socketError(QAbstractSocket::SocketError error);
    void closeLostConnection();
    void setOpenError(OpenError error, const QString &reason);

    QTcpSocket *m_socket = nullptr;
    bool m_connected = false; // made and not yet known lost
    bool m_closePending = false;
    OpenError m_openError = NoError;
};

#endif // CUTCPIOINTERFACE_H
