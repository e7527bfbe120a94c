#include "fuzztargets.h"

#include "cstarframereader.h"
#include "cstarprotocolpc.h"
#include "kuvelcounterdriver.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <cstring>
#include <memory>
#include <type_traits>

namespace {

using Star = cAbstractStarProtocol;

// The longest payload a frame of 256 bytes can carry: start, head, CRC and end take 9.
constexpr int MaxPayload = Star::BufferSize - 9;

QByteArray bytesOf(const quint8 *data, int length)
{
    return QByteArray(reinterpret_cast<const char *>(data), length);
}

// A value of a fixed size stands for exactly the first `size` payload bytes: missing bytes
// count as zero, extra bytes are ignored. So encoding it gives those bytes back, and decoding
// them again gives the same value, bit for bit.
template<typename T> void checkFixedSize(const QByteArray &payload, int size)
{
    static_assert(std::has_unique_object_representations_v<T> || std::is_floating_point_v<T>,
                  "compared bytewise, so it must have no padding");
    const T value = PayloadCodec<T>::decode(payload);
    const QByteArray encoded = PayloadCodec<T>::encode(value);
    QByteArray expected = payload.left(size);
    expected.append(QByteArray(size - expected.size(), '\0'));
    FUZZ_CHECK(encoded == expected);

    const T again = PayloadCodec<T>::decode(encoded);
    FUZZ_CHECK(std::memcmp(&value, &again, sizeof(T)) == 0);
}

void checkText(const QByteArray &payload)
{
    const QString text = PayloadCodec<QString>::decode(payload);
    FUZZ_CHECK(!text.contains(QChar(0)));
    // Every payload byte gives at most one UTF-16 unit, an invalid one a replacement character.
    FUZZ_CHECK(text.size() <= payload.size());
    FUZZ_CHECK(PayloadCodec<QString>::decode(PayloadCodec<QString>::encode(text)) == text);
}

// Runs the payload through the decoding of every value the device sends or is sent. The bytes
// live in an allocation of exactly their size, so a read past the payload is a sanitizer
// report (a QByteArray of its own would hide one byte behind its terminating zero).
void checkPayload(const QByteArray &received)
{
    const int size = received.size();
    std::unique_ptr<char[]> exact(new char[size_t(size)]);
    std::memcpy(exact.get(), received.constData(), size_t(size));
    const QByteArray payload = QByteArray::fromRawData(exact.get(), size);

    checkFixedSize<unsigned char>(payload, 1);
    checkFixedSize<float>(payload, 4);
    checkFixedSize<cUDID>(payload, 12);
    checkFixedSize<Kuvel_RefLevel_t>(payload, 4);
    checkFixedSize<Kuvel_Counts_t>(payload, 16);
    checkText(payload);
}

// Checks a frame the receive path accepted against the bytes that came over the line.
void checkFrame(cStarProtocolPC &codec, const StarHead_t &head, const QByteArray &payload,
                const QByteArray &wire)
{
    FUZZ_CHECK(head.dataLength <= MaxPayload);

    // The encoding is unique, so a message the device sent re-encodes to exactly the bytes from
    // its start byte to its end byte. Anything else was made up from leftovers in the buffer.
    // The link encodes requests with this same codec while answers come in, so it does here.
    codec.codeData(head.address, head.command, head.dataLength,
                   reinterpret_cast<const quint8 *>(payload.constData()));
    const QByteArray encoded = bytesOf(codec.frame(), codec.frameLength());
    FUZZ_CHECK(encoded == wire);

    if (encoded.size() <= Star::BufferSize) {
        cStarProtocolPC again;
        again.clearBuffer();
        again.addData(codec.frame(), uint(codec.frameLength()));
        FUZZ_CHECK(again.encodeBuffer() == Star::DecodeOk);
        FUZZ_CHECK(again.headPacket().address == head.address);
        FUZZ_CHECK(again.headPacket().command == head.command);
        FUZZ_CHECK(again.headPacket().dataLength == head.dataLength);
        FUZZ_CHECK(bytesOf(again.buffer(), head.dataLength) == payload);
    }
}

} // namespace

int fuzzReceive(const quint8 *data, size_t size)
{
    // A fresh codec and reader per input. The link's keep their state from one read to the
    // next, but here one input is the whole stream, so that state is exercised within the
    // input, and a finding replays from its input alone.
    cStarProtocolPC codec;
    cStarFrameReader reader(&codec);

    // An input that starts with the escape byte first names a frame the link has just sent
    // (address, command, payload length, payload), so the line's echo of it is fuzzed too.
    QByteArray sent;
    size_t i = 0;
    if (size >= 4 && data[0] == Star::EscapeByte) {
        const quint8 address = data[1];
        const quint8 command = data[2];
        const size_t length = std::min<size_t>(data[3] % 32, size - 4);
        i = 4 + length;
        cStarProtocolPC encoder;
        encoder.codeData(address, command, quint8(length), data + 4);
        sent = bytesOf(encoder.frame(), encoder.frameLength());
        reader.frameSent(address, command, encoder.frame(), encoder.frameLength());
    }

    int frames = 0;
    int copies = 0; // byte-identical copies of the sent frame completed so far
    size_t frameStart = size; // where the last start byte came, none yet
    for (; i < size; ++i) {
        const quint8 byte = data[i];
        if (byte == Star::StartByte)
            frameStart = i;
        const cStarFrameReader::Echo echoBefore = reader.echo();
        const int droppedBefore = reader.echoesDropped();
        const bool delivered = reader.takeByte(byte);
        if (byte != Star::EndByte) {
            FUZZ_CHECK(!delivered);
            continue;
        }
        const QByteArray wire = frameStart < size
            ? bytesOf(data + frameStart, int(i + 1 - frameStart))
            : QByteArray();
        frameStart = size;
        const bool copy = !sent.isEmpty() && wire == sent;
        if (copy)
            ++copies;
        // Only the first copy of the frame sent may be dropped, and only that one is while the
        // line is taken to echo.
        const bool dropped = reader.echoesDropped() != droppedBefore;
        FUZZ_CHECK(!dropped || (copy && copies == 1 && echoBefore != cStarFrameReader::EchoNo));
        if (copy && copies == 1 && echoBefore != cStarFrameReader::EchoNo)
            FUZZ_CHECK(dropped && !delivered);
        if (!delivered)
            continue;
        ++frames;
        const StarHead_t head = reader.head();
        const QByteArray payload = bytesOf(codec.buffer(), head.dataLength);
        checkFrame(codec, head, payload, wire);
        checkPayload(payload);
    }
    return frames;
}

#ifndef KUVEL_FUZZ_REPLAY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzReceive(data, size);
    return 0;
}
#endif
