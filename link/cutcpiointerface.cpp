#include "cutcpiointerface.h"

#include "cstarprotocolpc.h"
#include "curs485iointerface.h"

#include <QCoreApplication>
#include <QLoggingCategory>
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

bool cuTcpIOInterface::pInitialize()
{
    cStarProtocolPC::instance()->clearBuffer();
    if (m_portName.isEmpty()) {
        setOpenError(NoPortName, QString());
        return false;
    }
    if (isOpen())
        return true;

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
        connect(m_socket, &QTcpSocket::readyRead, this, &cuTcpIOInterface::dataReady,
                Qt::QueuedConnection);
        connect(m_socket, &QAbstractSocket::errorOccurred, this, &cuTcpIOInterface::socketError);
        connect(m_socket, &QAbstractSocket::disconnected, this,
                [this] { socketError(QAbstractSocket::RemoteHostClosedError); });
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
    m_connected = true;
    m_closePending = false;
    ++m_openCount;
    // Another server, or another line behind it, may answer now: its echo is learnt afresh.
    m_reader.reset();
    setOpenError(NoError, QString());
    qCDebug(lcLink) << "connected" << m_portName;
    return true;
}

bool cuTcpIOInterface::pSendMsg(quint8 address, quint8 command, quint8 dataLength, quint8 *data)
{
    if (!isOpen() && !initialize())
        return false;

    const QByteArray frame = frameToSend(address, command, dataLength, data);
    if (frame.isEmpty())
        return false;
    m_socket->write(frame);
    m_socket->flush();
    // User input stays queued: a click must not start a request inside this one.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    return true;
}

void cuTcpIOInterface::dataReady()
{
    if (!isOpen())
        return;
    const QByteArray bytes = m_socket->readAll();
    if (bytes.isEmpty())
        return;
    takeBytes(bytes);
}

void cuTcpIOInterface::socketError(QAbstractSocket::SocketError error)
{
    // Errors while connecting are handled where the connection is made; a connection lost is
    // closed once, from the event queue, never inside the socket's own notification.
    if (error == QAbstractSocket::SocketTimeoutError || !m_connected || m_closePending)
        return;
    m_closePending = true;
    QMetaObject::invokeMethod(this, &cuTcpIOInterface::closeLostConnection, Qt::QueuedConnection);
}

void cuTcpIOInterface::closeLostConnection()
{
    if (!m_closePending)
        return;
    m_closePending = false;
    qCDebug(lcLink) << "connection lost, closing" << m_portName;
    close();
}

void cuTcpIOInterface::close()
{
    m_connected = m_closePending = false;
    if (m_socket)
        m_socket->abort();
    cStarProtocolPC::instance()->clearBuffer();
}

void cuTcpIOInterface::setOpenError(OpenError error, const QString &reason)
{
    m_openError = error;
    m_openErrorText = error == NoError ? QString()
        : error == NoPortName          ? noPortNameText()
                                       : cannotOpenText(reason);
}
