#include "curs485iointerface.h"

#include "cstarprotocolpc.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcLink, "kuvel.link", QtWarningMsg)

cuRs485IOInterface::cuRs485IOInterface(QObject *parent)
    : cuIOInterfaceImpl(parent), m_reader(cStarProtocolPC::instance())
{
}

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
    if (m_portName.isEmpty())
        return false;

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
            qCDebug(lcLink) << "cannot open" << m_portName << m_port->errorString();
            // The port object stays; the next send tries again.
            return false;
        }
        m_closePending = false;
        ++m_openCount;
        // Another adapter may sit behind the name now: its echo is learnt afresh.
        m_reader.reset();
        qCDebug(lcLink) << "opened" << m_portName;
    }
    return true;
}

bool cuRs485IOInterface::pSendMsg(quint8 address, quint8 command, quint8 dataLength, quint8 *data)
{
    if (!isOpen() && !initialize())
        return false;

    cStarProtocolPC *codec = cStarProtocolPC::instance();
    codec->codeData(address, command, dataLength, data);
    // The device holds a frame in 256 bytes; a longer one would arrive destroyed.
    if (codec->frameLength() > cAbstractStarProtocol::BufferSize) {
        qCWarning(lcLink) << "message too long for a frame, not sent: command" << command
                          << "payload" << dataLength << "bytes";
        return false;
    }

    const QByteArray frame(reinterpret_cast<const char *>(codec->frame()), codec->frameLength());
    qCDebug(lcLink) << "send" << frame.toHex(' ');
    m_reader.frameSent(address, command, codec->frame(), codec->frameLength());
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
    qCDebug(lcLink) << "received" << bytes.toHex(' ');

    for (const char c : bytes) {
        // Every emission reaches the device at once, before the next byte is taken.
        if (m_reader.takeByte(quint8(c))) {
            const StarHead_t head = m_reader.head();
            emit msgReceived(head.address, head.command, head.dataLength,
                             cStarProtocolPC::instance()->buffer());
        }
    }
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
