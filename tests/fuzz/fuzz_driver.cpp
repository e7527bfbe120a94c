#include "commandcodes.h"
#include "fuzztargets.h"

#include "cstarframereader.h"
#include "cstarprotocolpc.h"
#include "cuiointerface.h"
#include "kuvelcounterdriver.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

#include <array>
#include <vector>

// The counter driver against a line whose device answers as the input says. The input is a
// script: operations of the program, and for every request the driver sends, what comes back
// on the line. The bytes of the line go through the link's own frame reader, so echoes,
// split reads and damaged frames reach the driver as they would from a serial port.
//
// The device keeps to what the driver may assume of it: it answers requests in their order,
// with their code, at most once, and never so late that the answer counts as lost (an answer
// held back comes with the next request, or before the next operation starts). An echoing
// line echoes every frame, but for at most one echo lost to noise once its echo is known.
// Frames that are no answer (another code, another address, unsolicited) never carry the code
// of a request whose answer is still to come, since no driver could tell them apart.
//
// Every frame on the line carries a tag of its own in its payload, so the checker knows which
// frame a value came from. The invariant: a read that reports success shows the payload of a
// frame with its code and address, at least the value's size long, that came after one of the
// operation's own requests was sent, and that is not the answer to an earlier operation's
// request nor the line's echo. A write or command that reports success saw a frame of its code
// after its request that was not an echo.

namespace {

using Star = cAbstractStarProtocol;

// Short, so that a request left unanswered costs little; still far longer than handing over
// the frames already queued, which the event loop does before it looks at timers.
constexpr int TimeOutMs = 5;
constexpr quint8 Address = 0x00;
constexpr quint8 UnknownCode = 0x20;
constexpr int MaxOperations = 16;
constexpr int MaxRequests = 64;
constexpr int MaxTag = 250;

class Script
{
public:
    Script(const quint8 *data, size_t size) : m_data(data), m_size(size) { }
    quint8 next() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    bool atEnd() const { return m_pos >= m_size; }

private:
    const quint8 *m_data;
    size_t m_size;
    size_t m_pos = 0;
};

enum class Kind { Answer, Foreign, Echo, Garbage };

// A piece of what the line carries: a whole frame, or bytes that form none.
struct Item
{
    Kind kind;
    QByteArray bytes;
    int answers = 0; // the request serial an answer belongs to
    int tag = 0;
    quint8 command = 0;
    quint8 address = Address;
};

struct Request
{
    int seq;
    quint8 command;
};

// A frame that came over the line whole, whether the reader handed it on or not.
struct Arrived
{
    int seq;
    Kind kind;
    quint8 address;
    quint8 command;
};

struct Delivered
{
    int seq;
    Kind kind;
    int answers;
    int tag;
    StarHead_t head;
    QByteArray payload;
};

QByteArray encodeFrame(quint8 address, quint8 command, const QByteArray &payload)
{
    cStarProtocolPC codec;
    codec.codeData(address, command, quint8(payload.size()),
                   reinterpret_cast<const quint8 *>(payload.constData()));
    return QByteArray(reinterpret_cast<const char *>(codec.frame()), codec.frameLength());
}

int answerSizeOf(quint8 command)
{
    switch (command) {
    case CommandCode::Identifier:
        return PayloadCodec<cUDID>::Size;
    case CommandCode::ReadTimeConst:
        return PayloadCodec<float>::Size;
    case CommandCode::ReadChannel:
        return PayloadCodec<unsigned char>::Size;
    case CommandCode::ReadCounts:
        return PayloadCodec<Kuvel_Counts_t>::Size;
    default:
        return 0;
    }
}

bool isTextRead(quint8 command)
{
    return command >= CommandCode::DeviceType && command <= CommandCode::DeviceDescription;
}

bool isRead(quint8 command)
{
    return answerSizeOf(command) > 0 || isTextRead(command);
}

// An in-process line: what is sent is recorded and answered by the scripted device; what comes
// back is posted to the event queue, as the serial port's read notifications are, and taken
// in byte by byte through the link's frame reader.
class ScriptedLine : public cuIOInterface
{
public:
    ScriptedLine(Script *script, bool echoes)
        : m_script(script), m_reader(&m_codec), m_echoes(echoes)
    {
    }

    bool initialize() override { return true; }
    int openCount() const override { return m_openCount; }
    bool isEchoKnown() const override { return m_reader.echo() != cStarFrameReader::EchoUnknown; }

    bool sendMsg(quint8 address, quint8 command, quint8 dataLength, quint8 *data) override;

    // Before an operation: held answers come in, then frames that answer nothing.
    void beginOperation(int strayFrames);
    // The line lost and opened again, perhaps through another adapter.
    void reopen(bool echoes)
    {
        ++m_openCount;
        m_reader.reset();
        m_echoes = echoes;
    }

    bool echoes() const { return m_echoes; }
    bool exhausted() const { return m_tag >= MaxTag || int(m_requests.size()) >= MaxRequests; }
    int seq() const { return m_seq; }
    const std::vector<Request> &requests() const { return m_requests; }
    const std::vector<Delivered> &delivered() const { return m_delivered; }
    const std::vector<Arrived> &arrived() const { return m_arrived; }

private:
    int newTag() { return m_tag < MaxTag ? ++m_tag : 0; }
    QByteArray taggedPayload(quint8 command, int tag, int minSize, int extra);
    Item foreignFrame();
    Item answerTo(int serial, quint8 command, quint8 fate);
    void post(std::vector<Item> items, int split);
    void take(const std::vector<Item> &items);

    Script *m_script;
    cStarProtocolPC m_codec;
    cStarFrameReader m_reader;
    bool m_echoes;
    bool m_echoLost = false;
    int m_openCount = 1;
    int m_seq = 0;
    int m_tag = 0;
    std::vector<Request> m_requests; // index: serial - 1
    std::vector<Delivered> m_delivered;
    std::vector<Arrived> m_arrived;
    std::vector<Item> m_held;
    // Answers made and not yet taken in, per code.
    std::array<int, 256> m_answersDue {};
};

QByteArray ScriptedLine::taggedPayload(quint8 command, int tag, int minSize, int extra)
{
    if (isTextRead(command)) {
        QByteArray text = "KuvelCounter T" + QByteArray::number(tag);
        if (extra > 0)
            text += QByteArray(1, '\0') + QByteArray(extra, 'x');
        return text;
    }
    QByteArray payload(1, char(tag));
    for (int i = 1; i < minSize + extra; ++i)
        payload.append(char(tag * 7 + i * 13));
    return payload;
}

Item ScriptedLine::foreignFrame()
{
    static const quint8 codes[] = {CommandCode::Identifier,
                                   CommandCode::DeviceType,
                                   CommandCode::ReadTimeConst,
                                   CommandCode::ReadChannel,
                                   CommandCode::ReadCounts,
                                   CommandCode::WriteReferenceLevel,
                                   CommandCode::WriteTimeConst,
                                   CommandCode::WriteChannel,
                                   CommandCode::StartCounter,
                                   CommandCode::StopCounter,
                                   CommandCode::Init,
                                   CommandCode::Reboot,
                                   UnknownCode,
                                   0xFF};
    const quint8 choice = m_script->next();
    quint8 command = codes[(choice & 0x7F) % sizeof(codes)];
    const quint8 address = (choice & 0x80) ? quint8(1 + m_script->next() % 254) : Address;
    if (address == Address && m_answersDue[command] > 0)
        command = UnknownCode;
    Item item {Kind::Foreign, {}, 0, newTag(), command, address};
    item.bytes = encodeFrame(address, command, taggedPayload(command, item.tag, 0, choice % 5));
    return item;
}

// The device's reply to a request, by the low three bits of `fate`.
Item ScriptedLine::answerTo(int serial, quint8 command, quint8 fate)
{
    const int size = answerSizeOf(command);
    switch (fate & 7) {
    case 4: // shorter than the value
        if (size > 0) {
            Item item {Kind::Answer, {}, serial, 0, command};
            QByteArray payload;
            const int length = m_script->next() % size;
            if (length > 0) {
                item.tag = newTag();
                payload = taggedPayload(command, item.tag, length, 0);
            }
            item.bytes = encodeFrame(Address, command, payload);
            return item;
        }
        break;
    case 6: { // answered with another code: a frame that answers nothing
        Item item = foreignFrame();
        item.kind = Kind::Foreign;
        return item;
    }
    case 7: { // damaged on the line
        Item item {Kind::Garbage, {}, 0, 0, command};
        item.bytes = encodeFrame(Address, command, taggedPayload(command, newTag(), size, 0));
        const int at = 1 + m_script->next() % (item.bytes.size() - 2);
        item.bytes[at] = char(item.bytes.at(at) ^ (1 + m_script->next() % 255));
        return item;
    }
    default:
        break;
    }
    // Reads answer their value; writes and commands confirm with an empty payload, or with
    // bytes nobody looks at when the answer is long.
    const bool isLong = (fate & 7) == 5;
    Item item {Kind::Answer, {}, serial, 0, command};
    if (isRead(command) || isLong) {
        item.tag = newTag();
        item.bytes = encodeFrame(
            Address, command,
            taggedPayload(command, item.tag, size, isLong ? 1 + m_script->next() % 24 : 0));
    } else {
        item.bytes = encodeFrame(Address, command, QByteArray());
    }
    return item;
}

bool ScriptedLine::sendMsg(quint8 address, quint8 command, quint8 dataLength, quint8 *data)
{
    const QByteArray frame = encodeFrame(
        address, command, QByteArray(reinterpret_cast<const char *>(data), dataLength));
    // As the serial link does: the reader learns the frame before its echo can come back.
    m_reader.frameSent(address, command, reinterpret_cast<const quint8 *>(frame.constData()),
                       frame.size());
    m_requests.push_back({++m_seq, command});
    const int serial = int(m_requests.size());

    const quint8 fate = m_script->next();
    std::vector<Item> items;
    // Earlier answers held back were already on their way: they come before the echo of this
    // request, or right behind it.
    const bool heldAfterEcho = fate & 0x10;
    if (!heldAfterEcho)
        items.insert(items.end(), m_held.begin(), m_held.end());
    // One echo lost to noise, once the line is known to echo.
    const bool loseEcho
        = (fate & 0x80) && !m_echoLost && m_reader.echo() == cStarFrameReader::EchoYes;
    m_echoLost = m_echoLost || loseEcho;
    if (m_echoes && !loseEcho)
        items.push_back({Kind::Echo, frame, 0, 0, command});
    if (heldAfterEcho)
        items.insert(items.end(), m_held.begin(), m_held.end());
    m_held.clear();

    const bool never = (fate & 7) == 3;
    Item answer;
    const bool answers = !never && address == Address;
    if (answers) {
        answer = answerTo(serial, command, fate);
        if (answer.kind == Kind::Answer)
            ++m_answersDue[answer.command];
    }
    if (fate & 0x08)
        items.push_back(foreignFrame());
    if (fate & 0x40) {
        Item garbage {Kind::Garbage, {}, 0, 0, 0};
        const int length = 1 + m_script->next() % 8;
        for (int i = 0; i < length; ++i) {
            const quint8 byte = m_script->next();
            // No start byte: garbage never forms a frame of its own.
            garbage.bytes.append(char(byte >= Star::StartByte ? byte - 0x10 : byte));
        }
        items.push_back(garbage);
    }
    if (answers) {
        if ((fate & 7) == 2)
            m_held.push_back(answer);
        else
            items.push_back(answer);
    }
    post(std::move(items), (fate & 0x20) ? m_script->next() : 0);
    return true;
}

void ScriptedLine::beginOperation(int strayFrames)
{
    std::vector<Item> items = std::move(m_held);
    m_held.clear();
    for (int i = 0; i < strayFrames; ++i)
        items.push_back(foreignFrame());
    post(std::move(items), 0);
}

// Posts the items as one read, or as two with the split after `split` bytes.
void ScriptedLine::post(std::vector<Item> items, int split)
{
    if (items.empty())
        return;
    int total = 0;
    for (const Item &item : items)
        total += item.bytes.size();
    split = split % total;
    if (split == 0) {
        QMetaObject::invokeMethod(
            this, [this, items] { take(items); }, Qt::QueuedConnection);
        return;
    }
    std::vector<Item> first;
    std::vector<Item> second;
    int at = 0;
    for (const Item &item : items) {
        if (at + item.bytes.size() <= split) {
            first.push_back(item);
        } else if (at >= split) {
            second.push_back(item);
        } else {
            // The item's bytes come in two reads; it counts as taken in with the second.
            Item head = item;
            head.kind = Kind::Garbage;
            head.bytes = item.bytes.left(split - at);
            first.push_back(head);
            Item tail = item;
            tail.bytes = item.bytes.mid(split - at);
            second.push_back(tail);
        }
        at += item.bytes.size();
    }
    QMetaObject::invokeMethod(
        this, [this, first] { take(first); }, Qt::QueuedConnection);
    // The serial link handles events while it sends, so the first part may be taken in before
    // the send returns, as bytes that came while the frame went out.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    QMetaObject::invokeMethod(
        this, [this, second] { take(second); }, Qt::QueuedConnection);
}

void ScriptedLine::take(const std::vector<Item> &items)
{
    for (const Item &item : items) {
        if (item.kind == Kind::Answer)
            --m_answersDue[item.command];
        for (const char c : item.bytes) {
            if (!m_reader.takeByte(quint8(c)))
                continue;
            // Garbage holds no start byte, so a frame is always the item its end byte is in.
            FUZZ_CHECK(item.kind != Kind::Garbage);
            const StarHead_t head = m_reader.head();
            const QByteArray payload(reinterpret_cast<const char *>(m_codec.buffer()),
                                     head.dataLength);
            m_delivered.push_back({++m_seq, item.kind, item.answers, item.tag, head, payload});
            emit msgReceived(head.address, head.command, head.dataLength, m_codec.buffer());
        }
        if (item.kind != Kind::Garbage)
            m_arrived.push_back({++m_seq, item.kind, item.address, item.command});
    }
}

class Checker
{
public:
    explicit Checker(const ScriptedLine &line) : m_line(line) { }

    void beginOperation(quint8 command)
    {
        m_command = command;
        m_startSeq = m_line.seq();
    }

    // The first request of the operation's code sent since it began; 0 when none.
    int firstRequestSeq() const
    {
        for (const Request &request : m_line.requests()) {
            if (request.seq > m_startSeq && request.command == m_command)
                return request.seq;
        }
        return 0;
    }

    // A successful read showed `value`, the payload carrying `tag`.
    void checkRead(int tag, const QByteArray &value)
    {
        const int first = firstRequestSeq();
        FUZZ_CHECK(first > 0);
        FUZZ_CHECK(tag > 0);
        const Delivered *frame = nullptr;
        for (const Delivered &delivered : m_line.delivered()) {
            if (delivered.tag == tag)
                frame = &delivered;
        }
        FUZZ_CHECK(frame != nullptr);
        FUZZ_CHECK(frame->kind != Kind::Echo);
        FUZZ_CHECK(frame->head.address == Address);
        FUZZ_CHECK(frame->head.command == m_command);
        FUZZ_CHECK(frame->payload.size() >= answerSizeOf(m_command));
        FUZZ_CHECK(frame->seq > first);
        if (frame->answers > 0)
            FUZZ_CHECK(m_line.requests()[size_t(frame->answers - 1)].seq > m_startSeq);
        if (isTextRead(m_command))
            FUZZ_CHECK(PayloadCodec<QString>::decode(frame->payload).toUtf8() == value);
        else
            FUZZ_CHECK(frame->payload.left(answerSizeOf(m_command)) == value);
    }

    template<typename T> void checkFixed(bool ok, const T &value)
    {
        if (!ok)
            return;
        const QByteArray bytes = PayloadCodec<T>::encode(value);
        checkRead(quint8(bytes.at(0)), bytes);
    }

    void checkText(bool ok, const QString &value)
    {
        if (!ok)
            return;
        const QByteArray text = value.toUtf8();
        const int at = text.lastIndexOf(" T");
        checkRead(at < 0 ? 0 : text.mid(at + 2).toInt(), text);
    }

    // A command's confirmation and the echo of its request are the same bytes, so the reader
    // may hand on either; what counts is that a confirmation came after a request.
    void checkWrite(bool ok)
    {
        if (!ok)
            return;
        const int first = firstRequestSeq();
        FUZZ_CHECK(first > 0);
        bool confirmed = false;
        for (const Arrived &arrived : m_line.arrived()) {
            confirmed = confirmed
                || (arrived.seq > first && arrived.kind != Kind::Echo && arrived.address == Address
                    && arrived.command == m_command);
        }
        bool echoHandedOn = false;
        for (const Delivered &delivered : m_line.delivered())
            echoHandedOn = echoHandedOn || (delivered.seq > first && delivered.kind == Kind::Echo);
        // Two checks, so a finding tells which it is: confirmed by the request's own echo, which
        // the reader should have dropped, or by nothing at all.
        FUZZ_CHECK(confirmed || !echoHandedOn);
        FUZZ_CHECK(confirmed);
    }

private:
    const ScriptedLine &m_line;
    quint8 m_command = 0;
    int m_startSeq = 0;
};

void ensureApplication()
{
    // The driver waits in event loops; one application serves every input.
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "fuzz_driver";
    static char *argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
}

} // namespace

int fuzzDriver(const quint8 *data, size_t size)
{
    ensureApplication();
    Script script(data, size);
    ScriptedLine line(&script, script.next() & 1);
    KuvelCounterDriver driver;
    driver.setIOInterface(&line);
    driver.setTimeOut(TimeOutMs);
    Checker checker(line);

    int operations = 0;
    for (; operations < MaxOperations && !script.atEnd() && !line.exhausted(); ++operations) {
        const quint8 op = script.next();
        const quint8 how = script.next();
        const int attempts = 1 + how % 3;
        line.beginOperation((how >> 2) % 3);
        bool ok = false;
        switch (op % 13) {
        case 0: {
            checker.beginOperation(CommandCode::ReadCounts);
            const Kuvel_Counts_t value = driver.counts()->getValueSync(&ok, attempts);
            checker.checkFixed(ok, value);
            break;
        }
        case 1: {
            checker.beginOperation(CommandCode::ReadChannel);
            const unsigned char value = driver.currentChannel()->getValueSync(&ok, attempts);
            checker.checkFixed(ok, value);
            break;
        }
        case 2: {
            checker.beginOperation(CommandCode::ReadTimeConst);
            const float value = driver.timeConst()->getValueSync(&ok, attempts);
            checker.checkFixed(ok, value);
            break;
        }
        case 3: {
            checker.beginOperation(CommandCode::Identifier);
            const cUDID value = driver.UDID()->getValueSync(&ok, attempts);
            checker.checkFixed(ok, value);
            break;
        }
        case 4: {
            checker.beginOperation(CommandCode::DeviceType);
            const QString value = driver.deviceType()->getValueSync(&ok, attempts);
            checker.checkText(ok, value);
            break;
        }
        case 5:
            checker.beginOperation(CommandCode::WriteTimeConst);
            driver.timeConst()->setValueSync(0.25f, &ok, attempts);
            checker.checkWrite(ok);
            break;
        case 6:
            checker.beginOperation(CommandCode::WriteChannel);
            driver.currentChannel()->setValueSync(op >> 6, &ok, attempts);
            checker.checkWrite(ok);
            break;
        case 7:
            checker.beginOperation(CommandCode::WriteReferenceLevel);
            driver.referenceLevel()->setValueSync({quint8(op >> 6), 1, 500}, &ok, attempts);
            checker.checkWrite(ok);
            break;
        case 8:
            checker.beginOperation(CommandCode::StartCounter);
            driver.startCounter()->executeSync(&ok, attempts);
            checker.checkWrite(ok);
            break;
        case 9:
            checker.beginOperation(CommandCode::StopCounter);
            driver.stopCounter()->executeSync(&ok, attempts);
            checker.checkWrite(ok);
            break;
        case 10:
            // A request nobody waits for, as the polling of the window sends them.
            if (op & 0x80)
                driver.counts()->getValue();
            else
                driver.currentChannel()->getValue();
            break;
        case 11:
            line.reopen((op & 0x80) ? !line.echoes() : line.echoes());
            break;
        case 12:
            checker.beginOperation(CommandCode::Identifier);
            ok = driver.acceptDevice(QStringLiteral("KuvelCounter"), attempts);
            checker.checkFixed(ok, driver.acceptedIdentifier());
            break;
        }
    }
    return operations;
}

#ifndef KUVEL_FUZZ_REPLAY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzDriver(data, size);
    return 0;
}
#endif
