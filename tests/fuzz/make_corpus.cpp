// Writes the fuzzers' seed corpus: valid frames of the whole command set, requests and
// answers, with escaped bytes, back to back, after garbage, plus a few damaged ones as
// starting points for the error paths; and the driver fuzzer's scripts. The files in
// tests/fuzz/corpus and tests/fuzz/corpus-driver are its output:
//   build/tests/make_corpus tests/fuzz/corpus tests/fuzz/corpus-driver
// Files whose name starts with "bad-" hold no valid frame; every other one in the first folder
// holds at least one.

#include "commandcodes.h"
#include "cstarprotocolpc.h"
#include "hex.h"
#include "kuvelcounterdriver.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTextStream>

#include <cmath>
#include <limits>

namespace {

constexpr quint8 Address = 0x00;

QByteArray frame(quint8 command, const QByteArray &payload = QByteArray(), quint8 address = Address)
{
    cStarProtocolPC codec;
    codec.codeData(address, command, quint8(payload.size()),
                   reinterpret_cast<const quint8 *>(payload.constData()));
    return QByteArray(reinterpret_cast<const char *>(codec.frame()), codec.frameLength());
}

bool hasReserved(const QByteArray &bytes)
{
    return bytes.contains(char(0xF9)) || bytes.contains(char(0xFA)) || bytes.contains(char(0xFB));
}

class CorpusWriter
{
public:
    explicit CorpusWriter(const QString &dir) : m_dir(dir) { }

    bool add(const QString &name, const QByteArray &bytes)
    {
        QFile file(m_dir.filePath(name));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || file.write(bytes) != bytes.size()) {
            QTextStream(stderr) << "cannot write " << file.fileName() << "\n";
            m_ok = false;
            return false;
        }
        ++m_count;
        return true;
    }

    bool ok() const { return m_ok; }
    int count() const { return m_count; }

private:
    QDir m_dir;
    bool m_ok = true;
    int m_count = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        QTextStream(stderr) << "usage: make_corpus DIR DRIVERDIR\n";
        return 2;
    }
    for (int i = 1; i < argc; ++i) {
        if (!QDir().mkpath(QString::fromLocal8Bit(argv[i]))) {
            QTextStream(stderr) << "cannot create " << argv[i] << "\n";
            return 1;
        }
    }
    CorpusWriter corpus(QString::fromLocal8Bit(argv[1]));

    // Requests: every code of the command set, the writes with their values.
    const struct
    {
        quint8 code;
        const char *name;
    } plainRequests[] = {
        {CommandCode::Init, "init"},
        {CommandCode::ShutDown, "shutdown"},
        {CommandCode::Silence, "silence"},
        {CommandCode::Identifier, "udid"},
        {CommandCode::DeviceType, "device-type"},
        {CommandCode::ModificationVersion, "modification"},
        {CommandCode::HardwareVersion, "hardware"},
        {CommandCode::FirmwareVersion, "firmware"},
        {CommandCode::DeviceDescription, "description"},
        {CommandCode::Reboot, "reboot"},
        {CommandCode::WriteEeprom, "write-eeprom"},
        {CommandCode::ReadTimeConst, "read-time-const"},
        {CommandCode::ReadChannel, "read-channel"},
        {CommandCode::StartCounter, "start-counter"},
        {CommandCode::StopCounter, "stop-counter"},
        {CommandCode::ReadCounts, "read-counts"},
    };
    for (const auto &request : plainRequests)
        corpus.add(QString("req-%1-%2").arg(request.code, 2, 16, QChar('0')).arg(request.name),
                   frame(request.code));
    corpus.add("req-10-reference-level",
               frame(CommandCode::WriteReferenceLevel,
                     PayloadCodec<Kuvel_RefLevel_t>::encode({1, 2, 500})));
    corpus.add("req-11-time-const",
               frame(CommandCode::WriteTimeConst, PayloadCodec<float>::encode(0.01f)));
    corpus.add("req-13-channel",
               frame(CommandCode::WriteChannel, PayloadCodec<unsigned char>::encode(1)));

    // Answers with a payload of every type, and the empty confirmations.
    const cUDID udid = {{0x20, 0x00, 0x41, 0x00, 0x0F, 0x51, 0x38, 0x30, 0x39, 0x36, 0x31, 0x37}};
    corpus.add("ans-05-udid", frame(CommandCode::Identifier, PayloadCodec<cUDID>::encode(udid)));
    corpus.add("ans-06-device-type",
               frame(CommandCode::DeviceType, PayloadCodec<QString>::encode("Kuvel PNR-4")));
    corpus.add("ans-07-modification",
               frame(CommandCode::ModificationVersion, PayloadCodec<QString>::encode("B")));
    corpus.add("ans-08-hardware",
               frame(CommandCode::HardwareVersion, PayloadCodec<QString>::encode("2.1")));
    // Zero-terminated, with bytes after the zero that a reader must ignore.
    corpus.add("ans-09-firmware", frame(CommandCode::FirmwareVersion, QByteArray("1.4.7\0xyz", 9)));
    corpus.add("ans-0a-description",
               frame(CommandCode::DeviceDescription,
                     PayloadCodec<QString>::encode(QString::fromUtf8("Zähler, 4 Stufen"))));
    corpus.add("ans-0a-invalid-utf8",
               frame(CommandCode::DeviceDescription, hex("41 C3 28 E2 82 FF 42")));
    corpus.add("ans-12-time-const",
               frame(CommandCode::ReadTimeConst, PayloadCodec<float>::encode(0.1f)));
    corpus.add("ans-12-time-const-nan",
               frame(CommandCode::ReadTimeConst,
                     PayloadCodec<float>::encode(std::numeric_limits<float>::quiet_NaN())));
    corpus.add("ans-12-time-const-short", frame(CommandCode::ReadTimeConst, hex("CD CC")));
    corpus.add("ans-14-channel",
               frame(CommandCode::ReadChannel, PayloadCodec<unsigned char>::encode(3)));
    corpus.add("ans-17-counts",
               frame(CommandCode::ReadCounts,
                     PayloadCodec<Kuvel_Counts_t>::encode({{120000, 8500, 640, 37}})));
    corpus.add("ans-17-counts-long", frame(CommandCode::ReadCounts, QByteArray(20, char(0x7F))));
    for (quint8 code :
         {CommandCode::Init, CommandCode::WriteEeprom, CommandCode::WriteReferenceLevel,
          CommandCode::WriteTimeConst, CommandCode::WriteChannel, CommandCode::StartCounter,
          CommandCode::StopCounter})
        corpus.add(QString("ans-%1-confirm").arg(code, 2, 16, QChar('0')), frame(code));

    // Escaped bytes: in the payload, in the head, and in the CRC.
    corpus.add(
        "esc-payload",
        frame(CommandCode::ReadCounts, hex("F9 FA FB 00 F9 F9 FA FA FB FB 00 00 01 02 03 04")));
    corpus.add("esc-head", frame(0xF9, hex("FB"), 0xFA));
    for (int value = 0; value < 256; ++value) {
        const QByteArray payload(1, char(value));
        const QByteArray whole = frame(CommandCode::ReadChannel, payload);
        // Reserved values in the CRC alone: the escape sits among the last bytes.
        if (!hasReserved(payload) && hasReserved(whole.mid(1, whole.size() - 2))) {
            corpus.add("esc-crc", whole);
            break;
        }
    }

    // The longest frame the 256-byte buffer holds, and one just too long for it.
    QByteArray longest;
    for (int i = 0; i < 247; ++i)
        longest.append(char(i));
    corpus.add("long-247", frame(CommandCode::DeviceDescription, longest));
    corpus.add("bad-long-escaped",
               frame(CommandCode::DeviceDescription, QByteArray(125, char(0xFB))));

    // Streams: frames back to back, after garbage, after an unfinished frame.
    const QByteArray counts
        = frame(CommandCode::ReadCounts, PayloadCodec<Kuvel_Counts_t>::encode({{5, 4, 3, 2}}));
    const QByteArray timeConst
        = frame(CommandCode::ReadTimeConst, PayloadCodec<float>::encode(0.5f));
    corpus.add("two-frames", counts + timeConst);
    corpus.add("garbage-then-frame", hex("00 13 FA 7E FB FD 55") + counts);
    corpus.add("unfinished-then-frame", counts.left(9) + timeConst);
    corpus.add("frame-then-garbage", timeConst + hex("FA 00 FB FC FA"));
    QByteArray noisy(300, char(0x5A));
    corpus.add("overflow-then-frame", hex("F9") + noisy + hex("FA") + counts);

    // A frame inside another one's payload, then an end byte on its own: only the outer frame
    // was sent. The same inner frame unescaped by a failed decode, then an end byte: nothing was.
    const QByteArray inner
        = frame(CommandCode::ReadCounts, PayloadCodec<Kuvel_Counts_t>::encode({{1, 2, 3, 4}}));
    corpus.add("nested-frame-then-end", frame(CommandCode::DeviceDescription, inner) + hex("FA"));
    QByteArray escapedInner = "\xFB\xFC";
    for (int i = 1; i < inner.size(); ++i)
        escapedInner.append(hasReserved(inner.mid(i, 1))
                                ? QByteArray("\xFB") + char(inner.at(i) + 3)
                                : inner.mid(i, 1));
    corpus.add("bad-unescaped-frame-then-end", hex("F9") + escapedInner + hex("FA FA"));

    // Damaged frames.
    QByteArray badCrc = counts;
    badCrc[badCrc.size() - 2] = char(badCrc.at(badCrc.size() - 2) ^ 0x01);
    corpus.add("bad-crc", badCrc);
    corpus.add("bad-escape", hex("F9 00 FB 41 00 58 E3 E2 EA FA"));
    corpus.add("bad-length", hex("F9 00 05 04 01 02 03 04 05 05 75 8A 10 FA"));
    corpus.add("bad-empty", hex("F9 FA"));

    // The line's echo: an input that starts with the escape byte names the frame sent first
    // (address, command, payload length, payload); its first copy is the echo.
    corpus.add("echo-read", hex("FB 00 17 00") + frame(CommandCode::ReadCounts) + counts);
    corpus.add("echo-command",
               hex("FB 00 15 00") + frame(CommandCode::StartCounter)
                   + frame(CommandCode::StartCounter));

    // The driver fuzzer's scripts (see fuzz_driver.cpp): a byte for the line, then per
    // operation its code and attempts, and per request what the device does.
    CorpusWriter scripts(QString::fromLocal8Bit(argv[2]));
    const struct
    {
        const char *name;
        const char *bytes;
    } driverScripts[] = {
        {"plain-reads", "00 00 00 00 01 00 00 02 00 00 03 00 00 04 00 00"},
        {"echoing-reads", "01 00 00 00 01 00 00 02 00 00 03 00 00 04 00 00"},
        {"plain-writes", "00 04 00 00 05 00 00 06 00 00 07 00 00 08 00 00 09 00 00"},
        {"echoing-commands", "01 08 00 00 00 09 00 00"},
        {"late-then-retry", "00 00 01 02 00"},
        {"unanswered-then-read", "00 0A 00 03 01 00 00"},
        {"stray-short-long", "00 00 05 04 04 03 05 04"},
        {"accept-reopen-read", "00 0C 00 00 0B 00 00 00 00 00 00"},
        {"foreign-garbage-split", "01 02 00 68 85 07 02 11 22 33 09"},
    };
    for (const auto &script : driverScripts)
        scripts.add(QString("drv-") + script.name, hex(script.bytes));

    if (!corpus.ok() || !scripts.ok())
        return 1;
    QTextStream(stdout) << "wrote " << corpus.count() << " files to " << argv[1] << ", "
                        << scripts.count() << " to " << argv[2] << "\n";
    return 0;
}
