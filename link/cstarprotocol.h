#ifndef CSTARPROTOCOL_H
#define CSTARPROTOCOL_H

#include <QtGlobal>

// The Star frame on the wire, both directions:
//   F9 | address | command | dataLength | payload... | crc0 crc1 crc2 crc3 | FA
// Everything between the start byte F9 and the end byte FA is escaped: F9, FA and FB are
// sent as FB followed by the value + 3, so a receiver finds frame boundaries by value alone.
// The CRC (least significant byte first) covers the unescaped address, command, length and
// payload.

struct StarHead_t
{
    quint8 address;
    quint8 command;
    quint8 dataLength;
};

class cAbstractStarProtocol
{
public:
    // The device and the receive side both hold frames in 256 bytes; a longer frame is not a
    // frame of this protocol.
    static constexpr int BufferSize = 256;
    // Longest frame an 8-bit length can describe: every byte escaped.
    static constexpr int MaxEncodedSize = 2 * (3 + 255 + 4) + 2;

    static constexpr quint8 StartByte = 0xF9;
    static constexpr quint8 EndByte = 0xFA;
    static constexpr quint8 EscapeByte = 0xFB;

    enum DecodeResult {
        DecodeOk = 0,
        DecodeBadFrame = 1, // no start byte first, or a bad escape sequence
        DecodeBadCrc = 2,
        DecodeBadLength = 3, // unescaped byte count is not dataLength + 7
        DecodeNoEnd = 4, // the scan ran off the end of the buffer
    };

    cAbstractStarProtocol();
    virtual ~cAbstractStarProtocol();

    virtual quint32 crc32Stm32Function(quint8 *data, quint8 length, bool first) = 0;

    // Encoding. The frame goes into its own transmit buffer, so encoding a request never
    // disturbs an answer that is still being collected on the receive side.
    void codeData(quint8 address, quint8 command, quint8 dataLength, const quint8 *data);
    void codeByte(quint8 byte);
    const quint8 *frame() const { return m_frame; }
    int frameLength() const { return m_frameLength; }

    // Receiving: bytes are appended to the 256-byte receive buffer; its fill count wraps,
    // so more than 256 bytes without a clear overwrite the oldest.
    quint8 *buffer() { return m_buffer; }
    quint8 bufferLength() const { return m_length; }
    void clearBuffer() { m_length = 0; }
    void addData(const quint8 *data, uint length);
    void addByteToBuffer(quint8 byte) { m_buffer[m_length++] = byte; }

    // Decodes, in place, the frame at the start of the receive buffer (the name is the code
    // base's own). On success the payload stands at the start of buffer().
    int encodeBuffer();
    StarHead_t headPacket() const { return m_head; }

protected:
    quint8 m_buffer[BufferSize];
    StarHead_t m_head;
    quint8 m_length;

private:
    quint8 m_frame[MaxEncodedSize];
    int m_frameLength = 0;
};

#endif // CSTARPROTOCOL_H
