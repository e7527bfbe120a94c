#include "cuiointerfaceimpl.h"

#include "cstarprotocolpc.h"

Q_LOGGING_CATEGORY(lcLink, "kuvel.link", QtWarningMsg)

cuIOInterfaceImpl::cuIOInterfaceImpl(QObject *parent)
    : cuIOInterface(parent), m_reader(cStarProtocolPC::instance())
{
}

QByteArray cuIOInterfaceImpl::frameToSend(quint8 address, quint8 command, quint8 dataLength,
                                          const quint8 *data)
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
    m_reader.frameSent(address, command, codec->frame(), codec->frameLength());
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

QString cuIOInterfaceImpl::noPortNameText()
{
    return tr("No serial port given");
}

QString cuIOInterfaceImpl::cannotOpenText(const QString &reason) const
{
    return tr("Cannot open %1: %2").arg(printablePortName(m_portName), reason);
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
