#include "cstarprotocolpc.h"
#include "hex.h"

#include <QtTest>

namespace {

QByteArray encode(cStarProtocolPC &codec, quint8 address, quint8 command, const QByteArray &payload)
{
    codec.codeData(address, command, quint8(payload.size()),
                   reinterpret_cast<const quint8 *>(payload.constData()));
    return QByteArray(reinterpret_cast<const char *>(codec.frame()), codec.frameLength());
}

// Feeds bytes the way the link does: a start byte clears, an end byte decodes.
QList<QByteArray> receive(cStarProtocolPC &codec, const QByteArray &bytes, QList<StarHead_t> *heads)
{
    QList<QByteArray> payloads;
    for (char c : bytes) {
        const quint8 byte = quint8(c);
        if (byte == 0xF9)
            codec.clearBuffer();
        codec.addData(&byte, 1);
        if (byte == 0xFA && codec.encodeBuffer() == 0) {
            const StarHead_t head = codec.headPacket();
            heads->append(head);
            payloads.append(
                QByteArray(reinterpret_cast<const char *>(codec.buffer()), head.dataLength));
        }
    }
    return payloads;
}

int decode(cStarProtocolPC &codec, const QByteArray &bytes)
{
    codec.clearBuffer();
    codec.addData(reinterpret_cast<const quint8 *>(bytes.constData()), uint(bytes.size()));
    return codec.encodeBuffer();
}

} // namespace

class TestCodec : public QObject
{
    Q_OBJECT
private slots:
    void frames_data();
    void frames();
    void crcCheckValues_data();
    void crcCheckValues();
    void crcTableAndSplitComputation();
    void decodeResultCodes_data();
    void decodeResultCodes();
    void escapingAtEveryPosition();
    void longPayloadDecodesInPlace();
    void byteAppenders();
    void receiveBufferWrapsAndStaysInside();
    void encodingDoesNotDisturbAnAnswerBeingReceived();
    void oversizedFrameIsReportedByLength();
    void instanceIsOneObject();
};

void TestCodec::frames_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("command");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("frame");

    QTest::newRow("command 01, no payload")
        << 0x00 << 0x01 << QByteArray() << hex("F9 00 01 00 58 E3 E2 EA FA");
    QTest::newRow("address 01") << 0x01 << 0x01 << QByteArray()
                                << hex("F9 01 01 00 EF FE 23 EE FA");
    QTest::newRow("escaped payload")
        << 0x00 << 0x10 << hex("FA") << hex("F9 00 10 01 FB FD D9 63 8A 06 FA");
    QTest::newRow("five bytes") << 0x00 << 0x05 << hex("01 02 03 04 05")
                                << hex("F9 00 05 05 01 02 03 04 05 05 75 8A 10 FA");
    QTest::newRow("reserved values everywhere")
        << 0xF9 << 0xFA << hex("FB 00 F9")
        << hex("F9 FB FC FB FD 03 FB FE 00 FB FC 74 AA 1D 26 FA");
}

void TestCodec::frames()
{
    QFETCH(int, address);
    QFETCH(int, command);
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, frame);

    cStarProtocolPC codec;
    QCOMPARE(encode(codec, quint8(address), quint8(command), payload).toHex(' '), frame.toHex(' '));

    QCOMPARE(decode(codec, frame), 0);
    QCOMPARE(codec.headPacket().address, quint8(address));
    QCOMPARE(codec.headPacket().command, quint8(command));
    QCOMPARE(codec.headPacket().dataLength, quint8(payload.size()));
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(codec.buffer()), payload.size()), payload);
    // Decoding works in place and leaves the fill count alone.
    QCOMPARE(int(codec.bufferLength()), frame.size());
}

void TestCodec::crcCheckValues_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<quint32>("crc");
    QTest::newRow("abc") << QByteArray("abc") << quint32(0x1EDF7968);
    QTest::newRow("123456789") << QByteArray("123456789") << quint32(0x500E6FA8);
    QTest::newRow("a") << QByteArray("a") << quint32(0x909FF9A4);
    QTest::newRow("abcd") << QByteArray("abcd") << quint32(0x59D0E3C9);
    QTest::newRow("nothing") << QByteArray() << quint32(0);
}

void TestCodec::crcCheckValues()
{
    QFETCH(QByteArray, input);
    QFETCH(quint32, crc);
    cStarProtocolPC codec;
    QCOMPARE(codec.crc32stm32(reinterpret_cast<quint8 *>(input.data()), quint8(input.size()), true),
             crc);
}

void TestCodec::crcTableAndSplitComputation()
{
    cStarProtocolPC codec;
    QByteArray all("0123456789ABCDEFGHIJ");
    auto *bytes = reinterpret_cast<quint8 *>(all.data());
    const quint32 whole = codec.crc32stm32(bytes, quint8(all.size()), true);

    // A first call of a multiple of four bytes is continued exactly by the second.
    codec.crc32stm32(bytes, 4, true);
    QCOMPARE(codec.crc32stm32(bytes + 4, quint8(all.size() - 4), false), whole);
    // A first call of three bytes pads its word with zeros, so it is not.
    codec.crc32stm32(bytes, 3, true);
    QVERIFY(codec.crc32stm32(bytes + 3, quint8(all.size() - 3), false) != whole);

    // The same computation, word by word, as the STM32 unit does it with shifts.
    quint32 reg = 0xFFFFFFFF;
    for (int i = 0; i < all.size(); i += 4) {
        quint32 word = 0;
        for (int b = 0; b < 4 && i + b < all.size(); ++b)
            word |= quint32(bytes[i + b]) << (8 * b);
        reg ^= word;
        for (int s = 0; s < 32; ++s)
            reg = (reg & 0x80000000u) ? (reg << 1) ^ 0x04C11DB7u : reg << 1;
    }
    QCOMPARE(whole, reg ^ 0xFFFFFFFFu);
}

void TestCodec::decodeResultCodes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("result");
    const QByteArray good = hex("F9 00 05 05 01 02 03 04 05 05 75 8A 10 FA");
    QTest::newRow("valid, trailing bytes ignored") << good + hex("12 34 F9") << 0;
    QTest::newRow("start and end only") << hex("F9 FA") << 3;
    QTest::newRow("no start byte") << hex("00 00 01 00 58 E3 E2 EA FA") << 1;
    QTest::newRow("escape before end byte") << hex("F9 00 01 FB FA") << 1;
    QTest::newRow("bad escape value") << hex("F9 00 FB 41 00 58 E3 E2 EA FA") << 1;
    QByteArray badCrc = good;
    badCrc[10] = char(0x76);
    QTest::newRow("changed crc byte") << badCrc << 2;
    QTest::newRow("length disagrees") << hex("F9 00 05 04 01 02 03 04 05 05 75 8A 10 FA") << 3;
    QTest::newRow("no end byte in the buffer") << hex("F9") + QByteArray(255, 'x') << 4;
    QTest::newRow("escape as the last buffer byte")
        << hex("F9") + QByteArray(254, 'x') + hex("FB") << 4;
}

void TestCodec::decodeResultCodes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, result);
    cStarProtocolPC codec;
    const StarHead_t before = codec.headPacket();
    QCOMPARE(decode(codec, bytes), result);
    if (result != 0) {
        // A failed decode keeps the head of the last good frame.
        QCOMPARE(codec.headPacket().command, before.command);
        QCOMPARE(codec.headPacket().dataLength, before.dataLength);
    }
}

void TestCodec::escapingAtEveryPosition()
{
    cStarProtocolPC codec;
    const quint8 reserved[] = {0xF9, 0xFA, 0xFB};
    for (quint8 value : reserved) {
        for (int position = 0; position < 8; ++position) {
            QByteArray payload(8, 'p');
            payload[position] = char(value);
            const QByteArray frame = encode(codec, value, value, payload);
            // Reserved values appear only as the first and last byte.
            QCOMPARE(frame.count(char(0xF9)), 1);
            QCOMPARE(frame.count(char(0xFA)), 1);
            QList<StarHead_t> heads;
            const QList<QByteArray> got = receive(codec, frame, &heads);
            QCOMPARE(got.size(), 1);
            QCOMPARE(got.first(), payload);
            QCOMPARE(heads.first().address, value);
            QCOMPARE(heads.first().command, value);
        }
    }
}

void TestCodec::longPayloadDecodesInPlace()
{
    cStarProtocolPC codec;
    QByteArray payload;
    for (int i = 0; i < 130; ++i)
        payload.append(char(i));
    const QByteArray frame = encode(codec, 0, 0x17, payload);
    QCOMPARE(decode(codec, frame), 0);
    QCOMPARE(int(codec.headPacket().dataLength), 130);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(codec.buffer()), 130), payload);
}

void TestCodec::byteAppenders()
{
    cStarProtocolPC codec;
    codec.codeData(0, 1, 0, nullptr);
    const int length = codec.frameLength();
    codec.codeByte(0xFB);
    codec.codeByte(0x41);
    QCOMPARE(codec.frameLength(), length + 3);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(codec.frame()) + length, 3),
             hex("FB FE 41"));

    codec.clearBuffer();
    codec.addByteToBuffer(0xFB);
    QCOMPARE(int(codec.bufferLength()), 1);
    QCOMPARE(codec.buffer()[0], quint8(0xFB));
    codec.addData(nullptr, 0);
    QCOMPARE(int(codec.bufferLength()), 1);
}

void TestCodec::receiveBufferWrapsAndStaysInside()
{
    cStarProtocolPC codec;
    codec.clearBuffer();
    // 300 bytes without a clear: the count wraps and the 257th byte lands on the first.
    QByteArray noise(300, char(0x11));
    noise[256] = char(0x22);
    codec.addData(reinterpret_cast<const quint8 *>(noise.constData()), uint(noise.size()));
    QCOMPARE(int(codec.bufferLength()), 300 - 256);
    QCOMPARE(codec.buffer()[0], quint8(0x22));
    QCOMPARE(codec.encodeBuffer(), 1);

    // A frame longer than the buffer cannot decode: its start byte is overwritten.
    QByteArray longFrame = hex("F9") + QByteArray(400, char(0x33)) + hex("FA");
    QList<StarHead_t> heads;
    QVERIFY(receive(codec, longFrame, &heads).isEmpty());
}

void TestCodec::encodingDoesNotDisturbAnAnswerBeingReceived()
{
    cStarProtocolPC codec;
    const QByteArray answer
        = encode(codec, 0, 0x17, hex("01 00 00 00 02 00 00 00 03 00 00 00 04 00 00 00"));
    QList<StarHead_t> heads;
    // Half the answer arrives, a request is encoded, then the rest arrives.
    QVERIFY(receive(codec, answer.left(9), &heads).isEmpty());
    const QByteArray request = encode(codec, 0, 0x12, QByteArray());
    QCOMPARE(request, hex("F9 00 12 00") + request.mid(4));
    const QList<QByteArray> got = receive(codec, answer.mid(9), &heads);
    QCOMPARE(got.size(), 1);
    QCOMPARE(heads.first().command, quint8(0x17));
    QCOMPARE(got.first(), hex("01 00 00 00 02 00 00 00 03 00 00 00 04 00 00 00"));
}

void TestCodec::oversizedFrameIsReportedByLength()
{
    cStarProtocolPC codec;
    // 125 bytes that all need escaping: 1 + 3 + 250 + 4 + 1 = 259 bytes, more than the 256 a
    // device holds. The frame is whole, so the link can see its length and refuse it.
    QByteArray payload(125, char(0xFB));
    codec.codeData(0, 0x10, quint8(payload.size()),
                   reinterpret_cast<const quint8 *>(payload.constData()));
    QCOMPARE(codec.frameLength(), 259);
    QCOMPARE(codec.frame()[0], quint8(0xF9));
    QCOMPARE(codec.frame()[codec.frameLength() - 1], quint8(0xFA));
    // The longest message an 8-bit length allows still fits the transmit buffer.
    QByteArray longest(255, char(0xF9));
    codec.codeData(0xF9, 0xFA, 255, reinterpret_cast<const quint8 *>(longest.constData()));
    QVERIFY(codec.frameLength() <= cAbstractStarProtocol::MaxEncodedSize);
    QCOMPARE(codec.frame()[codec.frameLength() - 1], quint8(0xFA));
}

void TestCodec::instanceIsOneObject()
{
    QVERIFY(cStarProtocolPC::instance() != nullptr);
    QCOMPARE(cStarProtocolPC::instance(), cStarProtocolPC::instance());
}

QTEST_APPLESS_MAIN(TestCodec)
#include "tst_codec.moc"
