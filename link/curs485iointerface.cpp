#include "curs485iointerface.h"

#include "cuserialplatform.h"

#include <QElapsedTimer>

#include <cerrno>

namespace {

// QSerialPort folds several causes into PermissionError; its text tells them apart. The
// system's texts come from qt_error_string, as QSerialPort takes them.
cuIOInterfaceImpl::OpenError openErrorOf(const QSerialPort &port)
{
    const QString reason = port.errorString();
    switch (port.error()) {
    case QSerialPort::PermissionError:
        if (reason == qt_error_string(EACCES) || reason == qt_error_string(EPERM))
            return cuIOInterfaceImpl::PermissionDenied;
        if (reason == QSerialPort::tr("Permission error while creating lock file"))
            return cuIOInterfaceImpl::CannotOpen;
        // The device is busy (another program put the terminal in exclusive mode) or Qt's
        // lock file for this name is taken.
        return cuIOInterfaceImpl::InUse;
    case QSerialPort::UnsupportedOperationError:
        // The terminal settings cannot be read: a file or a device that is not a terminal.
        return cuIOInterfaceImpl::NotSerialPort;
    default:
        return cuIOInterfaceImpl::CannotOpen;
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

bool cuRs485IOInterface::pOpenLine()
{
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

    m_port->clearError();
    if (!m_port->open(QIODevice::ReadWrite)) {
        qCDebug(lcLink) << "cannot open" << m_portName << m_port->error() << m_port->errorString();
        const OpenError error = openErrorOf(*m_port);
        if (error == InUse)
            setInUse();
        else
            setOpenError(error, m_port->errorString());
        // The port object stays; the next send tries again.
        return false;
    }
    if (!lockDevice())
        return false;
    // A pseudo-terminal has no low-latency mode and refuses the request: that is no error.
    QString why;
    if (cuSerialPlatform::requestLowLatency(m_port->handle(), &why))
        qCDebug(lcLink) << "low latency on";
    else
        qCDebug(lcLink) << "low latency not available:" << why;
    return true;
}

void cuRs485IOInterface::pCloseLine()
{
    if (!isOpen())
        return;
    // Closing the descriptor also drops the lock on the device.
    m_port->close();
    m_port->clearError();
}

void cuRs485IOInterface::pWrite(const QByteArray &frame)
{
    m_port->write(frame);
    m_port->flush();
}

void cuRs485IOInterface::pWaitWritten()
{
    // A pause of 2 microseconds after the frame. Not a sleep: the kernel's timer slack (50 us
    // by default) stretches a 2 us sleep to 60-100 us, most of a request's round trip.
    QElapsedTimer pause;
    pause.start();
    while (pause.nsecsElapsed() < 2000) { }
    // The port may have been closed by an event handled after the write. Bytes that have
    // all left (flush wrote them) need no wait: with nothing to write, the wait only polls
    // for input and sits out its 5 ms whenever the answer is not back yet, as when several
    // requests take turns.
    if (m_port->isOpen() && m_port->bytesToWrite() > 0)
        m_port->waitForBytesWritten(5);
}

void cuRs485IOInterface::dataReady()
{
    // A read notification that yields nothing: the line has hung up.
    if (isOpen() && m_port->bytesAvailable() == 0) {
        if (m_port->error() != QSerialPort::NoError)
            portError(m_port->error());
        return;
    }
    receive();
}

void cuRs485IOInterface::portError(QSerialPort::SerialPortError error)
{
    // On a hung-up line Qt 5 reports ReadError again and again while the port stays open;
    // these mean the device is gone.
    if (error == QSerialPort::ReadError || error == QSerialPort::WriteError
        || error == QSerialPort::ResourceError)
        lineLost();
}

bool cuRs485IOInterface::lockDevice()
{
    // Two programs on one line take each other's answers.
    QString why;
    switch (cuSerialPlatform::lockDevice(m_port->handle(), &why)) {
    case cuSerialPlatform::Locked:
        return true;
    case cuSerialPlatform::NotLockable:
        // A device that cannot be locked at all is still usable.
        qCDebug(lcLink) << "cannot lock" << m_portName << why;
        return true;
    case cuSerialPlatform::HeldElsewhere:
        break;
    }
    m_port->close();
    m_port->clearError();
    setInUse();
    qCDebug(lcLink) << "in use:" << m_portName << "held by" << m_lockHolder;
    return false;
}

void cuRs485IOInterface::setInUse()
{
    m_lockHolder = cuSerialPlatform::lockHolder(m_portName);
    QString holder;
    if (m_lockHolder > 0) {
        const QString name = cuSerialPlatform::processName(m_lockHolder);
        holder = name.isEmpty()
            ? tr(" (PID %1)").arg(m_lockHolder)
            : tr(" (PID %1, %2)").arg(m_lockHolder).arg(printablePortName(name));
    }
    setOpenError(InUse, holder);
}
