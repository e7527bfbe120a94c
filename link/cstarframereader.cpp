#include "cstarframereader.h"

#include <cstring>

cStarFrameReader::cStarFrameReader(cAbstractStarProtocol *codec) : m_codec(codec) { }

void cStarFrameReader::reset()
{
    m_codec->clearBuffer();
    m_sent.clear();
    m_copySeen = m_echoDropped = m_differingAnswer = false;
    m_echo = EchoUnknown;
    m_contrary = 0;
}

void cStarFrameReader::frameSent(quint8 address, quint8 command, const quint8 *frame, int length,
                                 bool isRead)
{
    // The exchange of the frame sent before is over: an answer that differed from it tells,
    // by whether a copy of the frame came back at all, whether the line echoes. Judged only
    // now, because an answer owed to an earlier request can come ahead of the echo.
    if (m_differingAnswer)
        learn(m_copySeen ? EchoYes : EchoNo);
    m_differingAnswer = false;
    m_sent = QByteArray(reinterpret_cast<const char *>(frame), length);
    m_sentAddress = address;
    m_sentCommand = command;
    m_sentIsRead = isRead;
    m_copySeen = m_echoDropped = false;
}

bool cStarFrameReader::takeByte(quint8 byte)
{
    if (byte == cAbstractStarProtocol::StartByte)
        m_codec->clearBuffer();
    m_codec->addData(&byte, 1);
    if (byte != cAbstractStarProtocol::EndByte)
        return false;

    // Compared before decoding, which works in place.
    const bool copy = !m_sent.isEmpty() && m_codec->bufferLength() == m_sent.size()
        && std::memcmp(m_codec->buffer(), m_sent.constData(), size_t(m_sent.size())) == 0;
    const int result = m_codec->encodeBuffer();
    // Decoding leaves the frame's remains in the buffer. Bytes up to the next start byte
    // belong to no frame; appended to those remains, a later end byte would decode a frame the
    // device never sent (from a payload that holds one, say). The payload stays readable.
    m_codec->clearBuffer();
    if (result != cAbstractStarProtocol::DecodeOk)
        return false;
    m_head = m_codec->headPacket();

    if (copy) {
        const bool firstCopy = !m_copySeen;
        m_copySeen = true;
        if (m_sentIsRead) {
            // No answer to a read looks like its request: whatever an earlier exchange
            // suggested (an adapter that missed its first echo, say), this line echoes.
            m_echo = EchoYes;
            m_contrary = 0;
            m_echoDropped = true;
            ++m_echoesDropped;
            return false;
        }
        if (firstCopy && m_echo != EchoNo) {
            m_echoDropped = true;
            ++m_echoesDropped;
            return false;
        }
        return true;
    }
    if (!m_sent.isEmpty() && m_head.address == m_sentAddress && m_head.command == m_sentCommand)
        m_differingAnswer = true;
    return true;
}

void cStarFrameReader::learn(Echo evidence)
{
    if (m_echo == EchoUnknown || evidence == m_echo) {
        m_echo = evidence;
        m_contrary = 0;
    } else if (++m_contrary >= 2) {
        m_echo = evidence;
        m_contrary = 0;
    }
}
