#include "cuiointerfaceimpl.h"

#include "cstarprotocolpc.h"

#include <QCoreApplication>

Q_LOGGING_CATEGORY(lcLink, "kuvel.link", QtWarningMsg)

cuIOInterfaceImpl::cuIOInterfaceImpl(QObject *parent)
    : cuIOInterface(parent), m_reader(cStarProtocolPC::instance())
{
}

bool cuIOInterfaceImpl::pInitialize()
{
    cStarProtocolPC::instance()->clearBuffer();
    if (m_portName.isEmpty()) {
        setOpenError(NoPortName);
        return false;
    }
    if (isOpen())
        return true;
    if (!pOpenLine())
        return false; // the device stays as it is; the next message tries again
    m_lineOpen = true;
    m_closePending = false;
    ++m_openCount;
    // Another adapter, server or line may answer now: its echo is learnt afresh.
    m_reader.reset();
    setOpenError(NoError);
    qCDebug(lcLink) << "opened" << m_portName;
    return true;
}

bool cuIOInterfaceImpl::pSendMsg(quint8 address, quint8 command, quint8 dataLength, quint8 *data)
{
    // Taken now: opening the line may run events, and a send from one of them its own.
    const bool isRead = m_nextIsRead;
    m_nextIsRead = false;
    if (!isOpen() && !initialize())
        return false;

    const QByteArray frame = frameToSend(address, command, dataLength, data, isRead);
    if (frame.isEmpty())
        return false;
    pWrite(frame);
    // User input stays queued: a click must not start a request inside this one.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    pWaitWritten();
    return true;
}

void cuIOInterfaceImpl::close()
{
    m_closePending = false;
    if (!m_lineOpen && !isOpen())
        return;
    m_lineOpen = false;
    pCloseLine();
    cStarProtocolPC::instance()->clearBuffer();
}

void cuIOInterfaceImpl::lineLost()
{
    if (!m_lineOpen || m_closePending)
        return;
    m_closePending = true;
    QMetaObject::invokeMethod(this, &cuIOInterfaceImpl::closeLostLine, Qt::QueuedConnection);
}

void cuIOInterfaceImpl::closeLostLine()
{
    // A close, or a new line opened, since the loss was seen leaves nothing to do.
    if (!m_closePending)
        return;
    qCDebug(lcLink) << "line lost, closing" << m_portName;
    close();
}

void cuIOInterfaceImpl::receive()
{
    if (!isOpen())
        return;
    const qint64 available = pBytesAvailable();
    if (available <= 0)
        return;
    // A message handler may send, and so run this again, before these bytes are all taken:
    // the buffer is lent out meanwhile, and a nested read gets one of its own.
    QByteArray bytes;
    bytes.swap(m_readBuffer);
    bytes.resize(int(available));
    const qint64 got = pRead(bytes.data(), available);
    if (got > 0) {
        bytes.resize(int(got));
        takeBytes(bytes);
    }
    m_readBuffer.swap(bytes);
}

QByteArray cuIOInterfaceImpl::frameToSend(quint8 address, quint8 command, quint8 dataLength,
                                          const quint8 *data, bool isRead)
{
    cStarProtocolPC *codec = cStarProtocolPC::instance();
    codec->codeData(address, command, dataLength, data);
    // The device holds a frame in 256 bytes; a longer one would arrive destroyed.
    if (codec->frameLength() > cAbstractStarProtocol::BufferSize) {
        qCWarning(lcLink) << "message too long for a frame, not sent: command" << command
                          << "payload" << dataLength << "bytes";
        return QByteArray();
    }
    const QByteArray frame(reinterpret_cast<const char *>(codec->frame()), codec->frameLength());
    qCDebug(lcLink) << "send" << frame.toHex(' ');
    m_reader.frameSent(address, command, codec->frame(), codec->frameLength(), isRead);
    return frame;
}

void cuIOInterfaceImpl::takeBytes(const QByteArray &bytes)
{
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

void cuIOInterfaceImpl::setOpenError(OpenError error, const QString &detail)
{
    m_openError = error;
    const QString port = printablePortName(m_portName);
    switch (error) {
    case NoError:
        m_openErrorText.clear();
        break;
    case NoPortName:
        m_openErrorText = tr("No serial port given");
        break;
    case CannotOpen:
        m_openErrorText = tr("Cannot open %1: %2").arg(port, detail);
        break;
    case PermissionDenied:
        m_openErrorText = tr("Cannot open %1: %2. On Linux, serial ports belong to the dialout "
                             "group: add your user to it (sudo usermod -aG dialout $USER, then "
                             "log in again), or install the sample udev rule "
                             "packaging/udev/99-kuvel-counter.rules of the sources.")
                              .arg(port, detail);
        break;
    case NotSerialPort:
        m_openErrorText = tr("Cannot open %1: not a serial port (%2)").arg(port, detail);
        break;
    case InUse:
        m_openErrorText = tr("%1 is in use by another program%2").arg(port, detail);
        break;
    }
}

QString cuIOInterfaceImpl::printablePortName(const QString &name)
{
    QString shown;
    shown.reserve(name.size());
    for (const QChar c : name) {
        switch (c.unicode()) {
        case '\n':
            shown += QLatin1String("\\n");
            continue;
        case '\r':
            shown += QLatin1String("\\r");
            continue;
        case '\t':
            shown += QLatin1String("\\t");
            continue;
        default:
            break;
        }
        switch (c.category()) {
        case QChar::Other_Control:
        case QChar::Other_Format: // also the marks that turn the text's direction round
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            shown += c.unicode() < 0x100
                ? QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'))
                : QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            break;
        default:
            shown += c;
        }
    }
    return shown;
}
