#include "cutcpiointerface.h"

#include <QTcpSocket>

namespace {

const QLatin1String scheme("socket://");

// A server that does not answer within this is taken as gone; the request fails at once
// instead of holding the caller for the system's connect time-out of minutes.
const int connectTimeoutMs = 2000;

} // namespace

cuTcpIOInterface::cuTcpIOInterface(QObject *parent) : cuIOInterfaceImpl(parent) { }

cuTcpIOInterface::~cuTcpIOInterface()
{
    delete m_socket;
}

bool cuTcpIOInterface::isTcpPortName(const QString &name)
{
    return name.startsWith(scheme, Qt::CaseInsensitive);
}

bool cuTcpIOInterface::isOpen() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

bool cuTcpIOInterface::pOpenLine()
{
    // The port is what follows the last colon, so that a bracketed IPv6 address keeps its own.
    const QString address = m_portName.mid(scheme.size());
    const int colon = address.lastIndexOf(QLatin1Char(':'));
    QString host = colon < 0 ? address : address.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    bool numeric = false;
    const uint port = colon < 0 ? 0 : address.mid(colon + 1).toUInt(&numeric);
    if (host.isEmpty()) {
        setOpenError(CannotOpen, tr("no host name"));
        return false;
    }
    if (!numeric || port == 0 || port > 65535) {
        setOpenError(CannotOpen, tr("no port number (socket://HOST:PORT)"));
        return false;
    }

    if (!m_socket) {
        m_socket = new QTcpSocket;
        // Queued, as on the serial line: bytes are handled from the event queue, never inside
        // the socket's own notification.
        connect(m_socket, &QTcpSocket::readyRead, this, &cuTcpIOInterface::receive,
                Qt::QueuedConnection);
        // Errors while connecting are handled below; any other means the connection is lost.
        connect(m_socket, &QAbstractSocket::errorOccurred, this,
                [this](QAbstractSocket::SocketError error) {
                    if (error != QAbstractSocket::SocketTimeoutError)
                        lineLost();
                });
        connect(m_socket, &QAbstractSocket::disconnected, this, &cuTcpIOInterface::lineLost);
    }
    m_socket->abort();
    m_socket->connectToHost(host, quint16(port));
    // Waits without an event loop, so no user input is handled inside it.
    if (!m_socket->waitForConnected(connectTimeoutMs)) {
        const QString reason = m_socket->state() == QAbstractSocket::ConnectedState ? QString()
            : m_socket->error() == QAbstractSocket::SocketTimeoutError
            ? tr("no answer from the server within %1 s").arg(connectTimeoutMs / 1000)
            : m_socket->errorString();
        qCDebug(lcLink) << "cannot connect to" << m_portName << m_socket->error() << reason;
        m_socket->abort();
        setOpenError(CannotOpen, reason);
        return false;
    }
    // A frame is a few bytes; Nagle's algorithm would hold each one for the previous answer.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    return true;
}

void cuTcpIOInterface::pCloseLine()
{
    if (m_socket)
        m_socket->abort();
}

void cuTcpIOInterface::pWrite(const QByteArray &frame)
{
    m_socket->write(frame);
    m_socket->flush();
}

qint64 cuTcpIOInterface::pBytesAvailable() const
{
    return m_socket->bytesAvailable();
}

qint64 cuTcpIOInterface::pRead(char *data, qint64 maxSize)
{
    return m_socket->read(data, maxSize);
}
