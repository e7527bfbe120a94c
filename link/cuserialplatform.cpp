#include "cuserialplatform.h"

#include <QtGlobal>

#ifdef Q_OS_LINUX

#include <QFile>
#include <QList>

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

} // namespace

namespace cuSerialPlatform {

LockResult lockDevice(qintptr handle, QString *error)
{
    // Qt's own lock file is named after the port's name, so a second name for the same device
    // (a symlink, /dev/serial/by-id) gets past it, and root gets past the terminal's exclusive
    // mode; a lock on the device itself holds under every name.
    if (::flock(int(handle), LOCK_EX | LOCK_NB) == 0)
        return Locked;
    const int code = errno;
    if (code == EWOULDBLOCK)
        return HeldElsewhere;
    if (error)
        *error = qt_error_string(code);
    return NotLockable;
}

// Lines of /proc/locks read "1: FLOCK  ADVISORY  WRITE <pid> <major>:<minor>:<inode> 0 EOF",
// major and minor of the file system in hex; waiting locks carry "->" and are skipped.
qint64 lockHolder(const QString &portName)
{
    struct stat info;
    if (::stat(systemLocation(portName).constData(), &info) != 0)
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

QString processName(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    return comm.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(comm.readAll()).trimmed()
                                          : QString();
}

bool requestLowLatency(qintptr handle, QString *error)
{
    // USB adapters of the FTDI kind hold each answer for their latency timer (16 ms by
    // default) unless the driver is asked for low latency, which sets the timer to 1 ms.
    const int fd = int(handle);
    serial_struct ss {};
    int code = ::ioctl(fd, TIOCGSERIAL, &ss) == 0 ? 0 : errno;
    if (!code) {
        ss.flags |= ASYNC_LOW_LATENCY;
        code = ::ioctl(fd, TIOCSSERIAL, &ss) == 0 ? 0 : errno;
    }
    if (code && error)
        *error = qt_error_string(code);
    return !code;
}

} // namespace cuSerialPlatform

#else // !Q_OS_LINUX

#include <QCoreApplication>

namespace {

QString notHere()
{
    return QCoreApplication::translate("cuSerialPlatform", "not available on this system");
}

} // namespace

namespace cuSerialPlatform {

LockResult lockDevice(qintptr, QString *error)
{
    if (error)
        *error = notHere();
    return NotLockable;
}

qint64 lockHolder(const QString &)
{
    return 0;
}

QString processName(qint64)
{
    return QString();
}

bool requestLowLatency(qintptr, QString *error)
{
    if (error)
        *error = notHere();
    return false;
}

} // namespace cuSerialPlatform

#endif // Q_OS_LINUX
