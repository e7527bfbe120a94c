#include "fuzztargets.h"

#include "cstarprotocolpc.h"

#include <QByteArray>

#include <algorithm>

namespace {

using Star = cAbstractStarProtocol;

// The CRC as the STM32 unit computes it, word by word with shifts, without the codec's table.
quint32 referenceCrc(const QByteArray &bytes)
{
    quint32 reg = 0xFFFFFFFFu;
    for (int i = 0; i < bytes.size(); i += 4) {
        quint32 word = 0;
        for (int b = 0; b < 4 && i + b < bytes.size(); ++b)
            word |= quint32(quint8(bytes.at(i + b))) << (8 * b);
        reg ^= word;
        for (int s = 0; s < 32; ++s)
            reg = (reg & 0x80000000u) ? (reg << 1) ^ 0x04C11DB7u : reg << 1;
    }
    return reg ^ 0xFFFFFFFFu;
}

// What the bytes hold, worked out apart from the codec: a start byte, then up to the first end
// byte the escaped head, payload and CRC, the length agreeing with the head and the CRC with
// the rest. Frame boundaries are the receive loop's business, so a bare start byte inside is
// taken as data, as the decoder takes it.
struct Reference
{
    bool valid = false;
    QByteArray plain; // head, payload and the CRC carried
};

Reference referenceDecode(const quint8 *data, int length)
{
    Reference ref;
    if (length == 0 || data[0] != Star::StartByte)
        return ref;
    int i = 1;
    for (; i < length && data[i] != Star::EndByte; ++i) {
        if (data[i] != Star::EscapeByte) {
            ref.plain.append(char(data[i]));
            continue;
        }
        if (i + 1 >= length || data[i + 1] < 0xFC || data[i + 1] > 0xFE)
            return ref;
        ref.plain.append(char(data[++i] - 3));
    }
    if (i >= length || ref.plain.size() < 7 || ref.plain.size() != quint8(ref.plain.at(2)) + 7)
        return ref;
    const QByteArray crcBytes = ref.plain.right(4);
    quint32 carried = 0;
    for (int b = 0; b < 4; ++b)
        carried |= quint32(quint8(crcBytes.at(b))) << (8 * b);
    ref.valid = referenceCrc(ref.plain.left(ref.plain.size() - 4)) == carried;
    return ref;
}

// The CRC bytes at the end of an encoded frame, unescaped.
QByteArray crcOfFrame(const quint8 *frame, int length)
{
    QByteArray plain;
    for (int i = 1; i < length - 1; ++i)
        plain.append(char(frame[i] == Star::EscapeByte ? frame[++i] - 3 : frame[i]));
    return plain.right(4);
}

} // namespace

int fuzzDecoder(const quint8 *data, size_t size)
{
    // A fresh codec per input, so a finding replays from its input alone.
    cStarProtocolPC codec;
    const int length = int(std::min(size, size_t(Star::BufferSize)));
    codec.clearBuffer();
    codec.addData(data, uint(length));
    const int result = codec.encodeBuffer();
    FUZZ_CHECK(result >= Star::DecodeOk && result <= Star::DecodeNoEnd);

    const Reference expected = referenceDecode(data, length);
    FUZZ_CHECK((result == Star::DecodeOk) == expected.valid);
    if (result != Star::DecodeOk)
        return result;

    const StarHead_t head = codec.headPacket();
    FUZZ_CHECK(head.dataLength <= Star::BufferSize - 9);
    FUZZ_CHECK(head.address == quint8(expected.plain.at(0)));
    FUZZ_CHECK(head.command == quint8(expected.plain.at(1)));
    FUZZ_CHECK(head.dataLength == quint8(expected.plain.at(2)));
    const QByteArray payload(reinterpret_cast<const char *>(codec.buffer()), head.dataLength);
    FUZZ_CHECK(payload == expected.plain.mid(3, head.dataLength));

    // Encoding the decoded message again computes the CRC afresh; it must be the one carried.
    cStarProtocolPC encoder;
    encoder.codeData(head.address, head.command, head.dataLength,
                     reinterpret_cast<const quint8 *>(payload.constData()));
    FUZZ_CHECK(crcOfFrame(encoder.frame(), encoder.frameLength()) == expected.plain.right(4));
    return result;
}

#ifndef KUVEL_FUZZ_REPLAY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzDecoder(data, size);
    return 0;
}
#endif
