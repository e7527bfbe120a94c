#include "curs485iointerface.h"

#include "cstarprotocolpc.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>

#include <cerrno>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

// The file QSerialPort opens for a port name: a short name is a device under /dev.
QByteArray systemLocation(const QString &name)
{
    const bool isPath = name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1String("./"))
        || name.startsWith(QLatin1String("../"));
    return QFile::encodeName(isPath ? name : QLatin1String("/dev/") + name);
}

// The process that holds an flock on the file behind `path`, as /proc/locks lists it; 0 when
// none is listed. Lines read "1: FLOCK  ADVISORY  WRITE <pid> <major>:<minor>:<inode> 0 EOF",
// major and minor of the file system in hex; waiting locks carry "->" and are skipped.
qint64 flockHolder(const QByteArray &path)
{
    struct stat info;
    if (::stat(path.constData(), &info) != 0)
        return 0;
    const QByteArray file = QByteArray::number(major(info.st_dev), 16).rightJustified(2, '0') + ':'
        + QByteArray::number(minor(info.st_dev), 16).rightJustified(2, '0') + ':'
        + QByteArray::number(quint64(info.st_ino));
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return 0;
    // Files under /proc report no size: read them whole, never up to atEnd().
    const QList<QByteArray> lines = locks.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 5 && fields.at(1) == "FLOCK" && fields.at(5) == file)
            return fields.at(4).toLongLong();
    }
    return 0;
}

// QSerialPort folds several causes into PermissionError; its text tells them apart. The
// system's texts come from qt_error_string, as QSerialPort takes them.
cuRs485IOInterface::OpenError openErrorOf(const QSerialPort &port)
{
    const QString reason = port.errorString();
    switch (port.error()) {
    case QSerialPort::PermissionError:
        if (reason == qt_error_string(EACCES) || reason == qt_error_string(EPERM))
            return cuRs485IOInterface::PermissionDenied;
        if (reason == QSerialPort::tr("Permission error while creating lock file"))
            return cuRs485IOInterface::CannotOpen;
        // The device is busy (another program put the terminal in exclusive mode) or Qt's
        // lock file for this name is taken.
        return cuRs485IOInterface::InUse;
    case QSerialPort::UnsupportedOperationError:
        // The terminal settings cannot be read: a file or a device that is not a terminal.
        return cuRs485IOInterface::NotSerialPort;
    default:
        return cuRs485IOInterface::CannotOpen;
    }
}

} // namespace

cuRs485IOInterface::cuRs485IOInterface(QObject *parent) : cuIOInterfaceImpl(parent) { }

cuRs485IOInterface::~cuRs485IOInterface()
{
    if (m_port) {
        if (m_port->isOpen())
            m_port->close();
        delete m_port;
    }
}

bool cuRs485IOInterface::pInitialize()
{
    cStarProtocolPC::instance()->clearBuffer();
    if (m_portName.isEmpty()) {
        setOpenError(NoPortName, QString());
        return false;
    }

    if (!m_port) {
        m_port = new QSerialPort(m_portName);
        // Stop bits and flow control stay at the port's defaults: one, none.
        m_port->setBaudRate(500000, QSerialPort::AllDirections);
        m_port->setDataBits(QSerialPort::Data8);
        m_port->setParity(QSerialPort::NoParity);
        // Queued, so bytes are handled from the event queue, never inside the port's own
        // notification.
        connect(m_port, &QSerialPort::readyRead, this, &cuRs485IOInterface::dataReady,
                Qt::QueuedConnection);
        connect(m_port, &QSerialPort::errorOccurred, this, &cuRs485IOInterface::portError);
    }

    if (!m_port->isOpen()) {
        m_port->clearError();
        if (!m_port->open(QIODevice::ReadWrite)) {
            qCDebug(lcLink) << "cannot open" << m_portName << m_port->error()
                            << m_port->errorString();
            setOpenError(openErrorOf(*m_port), m_port->errorString());
            // The port object stays; the next send tries again.
            return false;
        }
        if (!lockDevice())
            return false;
        requestLowLatency();
        m_closePending = false;
        ++m_openCount;
        // Another adapter may sit behind the name now: its echo is learnt afresh.
        m_reader.reset();
        setOpenError(NoError, QString());
        qCDebug(lcLink) << "opened" << m_portName;
    }
    return true;
}

void cuRs485IOInterface::requestLowLatency()
{
    // USB adapters of the FTDI kind hold each answer for their latency timer (16 ms by
    // default) unless the driver is asked for low latency, which sets the timer to 1 ms. A
    // pseudo-terminal has no such setting and refuses the request: that is no error.
    const int fd = int(m_port->handle());
    serial_struct ss {};
    // errno is taken at once: starting a log message may change it.
    int error = ::ioctl(fd, TIOCGSERIAL, &ss) == 0 ? 0 : errno;
    if (!error) {
        ss.flags |= ASYNC_LOW_LATENCY;
        error = ::ioctl(fd, TIOCSSERIAL, &ss) == 0 ? 0 : errno;
    }
    if (error) {
        qCDebug(lcLink) << "low latency not available:" << qt_error_string(error);
        return;
    }
    qCDebug(lcLink) << "low latency on";
}

bool cuRs485IOInterface::pSendMsg(quint8 address, quint8 command, quint8 dataLength, quint8 *data)
{
    if (!isOpen() && !initialize())
        return false;

    const QByteArray frame = frameToSend(address, command, dataLength, data);
    if (frame.isEmpty())
        return false;
    m_port->write(frame);
    m_port->flush();
    // User input stays queued: a click must not start a request inside this one.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    // A pause of 2 microseconds after the frame. Not a sleep: the kernel's timer slack (50 us
    // by default) stretches a 2 us sleep to 60-100 us, most of a request's round trip.
    QElapsedTimer pause;
    pause.start();
    while (pause.nsecsElapsed() < 2000) { }
    // The port may have been closed by an event handled just above.
    if (m_port->isOpen())
        m_port->waitForBytesWritten(5);
    return true;
}

void cuRs485IOInterface::dataReady()
{
    if (!m_port || !m_port->isOpen())
        return;
    const QByteArray bytes = m_port->readAll();
    if (bytes.isEmpty()) {
        // A read notification that yields nothing: the line has hung up.
        if (m_port->error() != QSerialPort::NoError)
            portError(m_port->error());
        return;
    }
    takeBytes(bytes);
}

void cuRs485IOInterface::portError(QSerialPort::SerialPortError error)
{
    // On a hung-up line Qt 5 reports ReadError again and again while the port stays open;
    // treat these as the device gone and close the port once, from the event queue, so the
    // port is not closed inside its own notification.
    if (error != QSerialPort::ReadError && error != QSerialPort::WriteError
        && error != QSerialPort::ResourceError)
        return;
    if (m_closePending || !isOpen())
        return;
    m_closePending = true;
    QMetaObject::invokeMethod(this, &cuRs485IOInterface::closeLostPort, Qt::QueuedConnection);
}

void cuRs485IOInterface::closeLostPort()
{
    m_closePending = false;
    if (!isOpen())
        return;
    qCDebug(lcLink) << "device gone, closing" << m_portName;
    m_port->close();
    m_port->clearError();
    cStarProtocolPC::instance()->clearBuffer();
}

void cuRs485IOInterface::close()
{
    if (!isOpen())
        return;
    // Closing the descriptor also drops the lock on the device.
    m_port->close();
    m_port->clearError();
    cStarProtocolPC::instance()->clearBuffer();
}

bool cuRs485IOInterface::lockDevice()
{
    // Two programs on one line take each other's answers. Qt's own lock file is named after
    // the port's name, so a second name for the same device (a symlink, /dev/serial/by-id)
    // gets past it, and root gets past the terminal's exclusive mode; a lock on the device
    // itself holds under every name.
    if (::flock(int(m_port->handle()), LOCK_EX | LOCK_NB) == 0)
        return true;
    if (errno != EWOULDBLOCK) {
        // A device that cannot be locked at all is still usable.
        qCDebug(lcLink) << "cannot lock" << m_portName << qt_error_string(errno);
        return true;
    }
    m_port->close();
    m_port->clearError();
    setOpenError(InUse, QString());
    qCDebug(lcLink) << "in use:" << m_portName << "held by" << m_lockHolder;
    return false;
}

void cuRs485IOInterface::setOpenError(OpenError error, const QString &reason)
{
    m_openError = error;
    m_lockHolder = error == InUse ? flockHolder(systemLocation(m_portName)) : 0;
    const QString port = printablePortName(m_portName);
    switch (error) {
    case NoError:
        m_openErrorText.clear();
        break;
    case NoPortName:
        m_openErrorText = noPortNameText();
        break;
    case CannotOpen:
        m_openErrorText = cannotOpenText(reason);
        break;
    case PermissionDenied:
        m_openErrorText = tr("Cannot open %1: %2. On Linux, serial ports belong to the dialout "
                             "group: add your user to it (sudo usermod -aG dialout $USER, then "
                             "log in again), or install the sample udev rule "
                             "packaging/udev/99-kuvel-counter.rules of the sources.")
                              .arg(port, reason);
        break;
    case NotSerialPort:
        m_openErrorText = tr("Cannot open %1: not a serial port (%2)").arg(port, reason);
        break;
    case InUse: {
        QString holder;
        if (m_lockHolder > 0) {
            QFile comm(QStringLiteral("/proc/%1/comm").arg(m_lockHolder));
            const QString name = comm.open(QIODevice::ReadOnly)
                ? QString::fromLocal8Bit(comm.readAll()).trimmed()
                : QString();
            holder = name.isEmpty()
                ? tr(" (PID %1)").arg(m_lockHolder)
                : tr(" (PID %1, %2)").arg(m_lockHolder).arg(printablePortName(name));
        }
        m_openErrorText = tr("%1 is in use by another program%2").arg(port, holder);
        break;
    }
    }
}
