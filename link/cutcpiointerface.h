#ifndef CUTCPIOINTERFACE_H
#define CUTCPIOINTERFACE_H

#include "cuiointerfaceimpl.h"

#include <QDeadlineTimer>
#include <QString>

class QTcpSocket;

// The RS-485 line behind a network serial server (a serial device server, ser2net), named
// "socket://HOST:PORT": the same frames, carried over a TCP connection in raw mode.
//
// The connection is made by the first message sent. When it drops (the server restarted, the
// network gone) it is closed quietly, and the next message sent connects again. The name
// lookup and the connection run while events are processed (user input excluded, as in every
// wait), so the window keeps repainting; both together are bounded by ConnectTimeoutMs for a
// whole operation (see cuIOInterface::startOperation), whatever its attempts.
class cuTcpIOInterface : public cuIOInterfaceImpl
{
    Q_OBJECT
public:
    explicit cuTcpIOInterface(QObject *parent = nullptr);
    ~cuTcpIOInterface() override;

    static bool isTcpPortName(const QString &name);
    // A server that has not accepted the connection by then counts as absent.
    static constexpr int ConnectTimeoutMs = 2000;

    bool isOpen() const override;
    void startOperation() override;

protected:
    bool pOpenLine() override;
    void pCloseLine() override;
    void pWrite(const QByteArray &frame) override;
    qint64 pBytesAvailable() const override;
    qint64 pRead(char *data, qint64 maxSize) override;

private:
    bool connectSocket(const QString &host, quint16 port);

    QTcpSocket *m_socket = nullptr;
    bool m_connecting = false;
    // The bound of the current operation's connecting, running from its first attempt to
    // connect; not running outside an operation.
    bool m_inOperation = false;
    bool m_operationDeadlineSet = false;
    QDeadlineTimer m_operationDeadline;
    QString m_lastConnectError;
};

#endif // CUTCPIOINTERFACE_H
