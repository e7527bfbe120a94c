#include "cstarprotocol.h"

#include <cstring>

cAbstractStarProtocol::cAbstractStarProtocol() : m_head {0, 0, 0}, m_length(0)
{
    std::memset(m_buffer, 0, sizeof(m_buffer));
    std::memset(m_frame, 0, sizeof(m_frame));
}

cAbstractStarProtocol::~cAbstractStarProtocol() = default;

void cAbstractStarProtocol::codeByte(quint8 byte)
{
    if (byte == StartByte || byte == EndByte || byte == EscapeByte) {
        m_frame[m_frameLength++] = EscapeByte;
        m_frame[m_frameLength++] = quint8(byte + 3);
    } else {
        m_frame[m_frameLength++] = byte;
    }
}

void cAbstractStarProtocol::codeData(quint8 address, quint8 command, quint8 dataLength,
                                     const quint8 *data)
{
    // The CRC unit works on 32-bit words and pads a short last word, so the first call must
    // cover exactly four bytes for the second one to continue it.
    quint8 head[4] = {address, command, dataLength, 0};
    quint32 crc;
    if (dataLength >= 1) {
        head[3] = data[0];
        crc = crc32Stm32Function(head, 4, true);
        if (dataLength >= 2)
            crc = crc32Stm32Function(const_cast<quint8 *>(data) + 1, quint8(dataLength - 1), false);
    } else {
        crc = crc32Stm32Function(head, 3, true);
    }

    m_frameLength = 0;
    m_frame[m_frameLength++] = StartByte;
    codeByte(address);
    codeByte(command);
    codeByte(dataLength);
    for (int i = 0; i < dataLength; ++i)
        codeByte(data[i]);
    for (int i = 0; i < 4; ++i)
        codeByte(quint8(crc >> (8 * i)));
    m_frame[m_frameLength++] = EndByte;
}

void cAbstractStarProtocol::addData(const quint8 *data, uint length)
{
    for (uint i = 0; i < length; ++i)
        m_buffer[m_length++] = data[i]; // quint8 fill count wraps by design
}

int cAbstractStarProtocol::encodeBuffer()
{
    if (m_buffer[0] != StartByte)
        return DecodeBadFrame;

    int read = 1;
    int written = 0;
    for (;;) {
        if (read >= BufferSize)
            return DecodeNoEnd;
        const quint8 byte = m_buffer[read];
        if (byte == EndByte)
            break;
        if (byte == EscapeByte) {
            if (read + 1 >= BufferSize)
                return DecodeNoEnd;
            const quint8 next = m_buffer[read + 1];
            if (next != 0xFC && next != 0xFD && next != 0xFE)
                return DecodeBadFrame;
            m_buffer[written++] = quint8(next - 3);
            read += 2;
        } else {
            m_buffer[written++] = byte;
            read += 1;
        }
    }

    if (written < 7 || written != m_buffer[2] + 7)
        return DecodeBadLength;

    const quint32 carried = quint32(m_buffer[written - 4]) | (quint32(m_buffer[written - 3]) << 8)
        | (quint32(m_buffer[written - 2]) << 16) | (quint32(m_buffer[written - 1]) << 24);
    if (crc32Stm32Function(m_buffer, quint8(written - 4), true) != carried)
        return DecodeBadCrc;

    m_head.address = m_buffer[0];
    m_head.command = m_buffer[1];
    m_head.dataLength = m_buffer[2];
    std::memmove(m_buffer, m_buffer + 3, m_head.dataLength);
    return DecodeOk;
}
