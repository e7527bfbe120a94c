#include "cutcpiointerface.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTcpSocket>
#include <QTimer>

namespace {

const QLatin1String scheme("socket://");

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

void cuTcpIOInterface::startOperation()
{
    m_inOperation = true;
    m_operationDeadlineSet = false;
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
    if (!connectSocket(host, quint16(port)))
        return false;
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

bool cuTcpIOInterface::connectSocket(const QString &host, quint16 port)
{
    // A handler run during the wait below may send in turn: it finds the line not open, and
    // must neither start another connection nor wait inside this one.
    if (m_connecting) {
        setOpenError(CannotOpen, tr("still connecting"));
        return false;
    }
    // A server that does not answer is given the bound once per operation: the operation's
    // later attempts fail at once, each then waiting its answer time-out as for a silent
    // device, instead of every attempt waiting the bound again.
    QDeadlineTimer deadline(ConnectTimeoutMs);
    if (m_inOperation) {
        if (!m_operationDeadlineSet) {
            m_operationDeadline = deadline;
            m_operationDeadlineSet = true;
        }
        deadline = m_operationDeadline;
        if (deadline.hasExpired()) {
            setOpenError(CannotOpen, m_lastConnectError);
            return false;
        }
    }

    m_socket->abort();
    m_connecting = true;
    // waitForConnected() would block without an event loop, and its name lookup longer than
    // any bound (a DNS server that never answers holds it 10 s): the window would not repaint.
    QEventLoop loop;
    QTimer expiry;
    expiry.setSingleShot(true);
    QObject::connect(&expiry, &QTimer::timeout, &loop, &QEventLoop::quit);
    const QMetaObject::Connection connected =
        connect(m_socket, &QAbstractSocket::connected, &loop, &QEventLoop::quit);
    const QMetaObject::Connection failed =
        connect(m_socket, &QAbstractSocket::errorOccurred, &loop, &QEventLoop::quit);
    m_socket->connectToHost(host, port);
    if (m_socket->state() != QAbstractSocket::ConnectedState
        && m_socket->state() != QAbstractSocket::UnconnectedState) {
        expiry.start(int(qMax<qint64>(deadline.remainingTime(), 0)));
        if (loop.exec(QEventLoop::ExcludeUserInputEvents) < 0) {
            // The application is quitting: no local loop runs any more.
            while (expiry.isActive() && m_socket->state() != QAbstractSocket::ConnectedState
                   && m_socket->state() != QAbstractSocket::UnconnectedState)
                QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents
                                                | QEventLoop::WaitForMoreEvents);
        }
    }
    disconnect(connected);
    disconnect(failed);
    m_connecting = false;

    if (m_socket->state() == QAbstractSocket::ConnectedState)
        return true;
    const bool timedOut = m_socket->state() != QAbstractSocket::UnconnectedState
        || m_socket->error() == QAbstractSocket::SocketTimeoutError;
    const QString reason = timedOut
        ? tr("no answer from the server within %1 s").arg(ConnectTimeoutMs / 1000)
        : m_socket->errorString();
    qCDebug(lcLink) << "cannot connect to" << m_portName << m_socket->error() << reason;
    // Also ends a name lookup still under way.
    m_socket->abort();
    m_lastConnectError = reason;
    setOpenError(CannotOpen, reason);
    return false;
}
