#include "kuvelcountersim.h"

#include <QFile>
#include <QSocketNotifier>
#include <QtEndian>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr quint8 DeviceAddress = 0x00;
constexpr int MaxNoiseBytes = 16;
constexpr int MaxExtraBytes = 16;
// Output the PC does not read (no one has the port open) is kept up to this size, then
// dropped, so a forgotten simulator does not grow without bound.
constexpr int MaxPendingOutput = 64 * 1024;

QByteArray hexByte(quint8 byte)
{
    return QByteArray::number(byte, 16).rightJustified(2, '0').toUpper();
}

QByteArray hexBytes(const QByteArray &bytes)
{
    return bytes.toHex(' ').toUpper();
}

// "<code> <payload>" plus, for a counts answer, the decoded values, so a test can compare
// every count it read with what went out.
QByteArray describe(quint8 code, const QByteArray &payload)
{
    QByteArray text = hexByte(code);
    if (!payload.isEmpty())
        text += ' ' + hexBytes(payload);
    if (code == CommandCode::ReadCounts && payload.size() == 16) {
        const auto *data = reinterpret_cast<const uchar *>(payload.constData());
        text += " counts=";
        for (int i = 0; i < 4; ++i) {
            if (i)
                text += ',';
            text += QByteArray::number(qFromLittleEndian<quint32>(data + 4 * i));
        }
    }
    return text;
}

// The size below which a getter answer no longer holds its value: a text's bytes before its
// terminator (a text cut by its terminator alone still reads the same), else the payload.
int valueSize(const QByteArray &payload, quint8 code)
{
    switch (code) {
    case CommandCode::DeviceType:
    case CommandCode::ModificationVersion:
    case CommandCode::HardwareVersion:
    case CommandCode::FirmwareVersion:
    case CommandCode::DeviceDescription: {
        const int end = payload.indexOf('\0');
        return end < 0 ? payload.size() : end;
    }
    default:
        return payload.size();
    }
}

const char *decodeReason(int result)
{
    switch (result) {
    case cAbstractStarProtocol::DecodeBadFrame:
        return "frame";
    case cAbstractStarProtocol::DecodeBadCrc:
        return "crc";
    case cAbstractStarProtocol::DecodeBadLength:
        return "length";
    default:
        return "too-long";
    }
}

bool isReserved(quint8 byte)
{
    return byte == cAbstractStarProtocol::StartByte || byte == cAbstractStarProtocol::EndByte
        || byte == cAbstractStarProtocol::EscapeByte;
}

} // namespace

KuvelCounterSim::KuvelCounterSim(const KuvelSimOptions &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_model(options.seed)
    // The faults draw from their own sequence, so switching a fault on does not change the
    // counts noise.
    , m_faults(options.seed ^ 0x5DEECE66Dull)
    , m_silent(options.silent)
{
    m_model.setDeviceType(options.deviceType);
    if (!options.identifier.isEmpty())
        m_model.setIdentifier(options.identifier);
    m_model.setNumberedCounts(options.numberedCounts);
    m_model.setDetector(options.detector);
    m_clock.start();

    m_sendTimer.setSingleShot(true);
    m_sendTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_sendTimer, &QTimer::timeout, this, &KuvelCounterSim::sendDue);

    m_unsolicitedTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_unsolicitedTimer, &QTimer::timeout, this, &KuvelCounterSim::sendUnsolicited);
}

KuvelCounterSim::~KuvelCounterSim()
{
    removeLink();
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master); // the PC side now sees a hang-up
    if (m_log)
        std::fclose(m_log);
}

bool KuvelCounterSim::open(QString *error)
{
    const auto fail = [error](const QString &what) {
        if (error)
            *error = what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    };

    m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (m_master < 0)
        return fail(QStringLiteral("posix_openpt"));
    if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
        return fail(QStringLiteral("grantpt/unlockpt"));
    char name[128];
    if (::ptsname_r(m_master, name, sizeof(name)) != 0)
        return fail(QStringLiteral("ptsname"));
    m_slavePath = QString::fromLocal8Bit(name);

    // Holding the slave open keeps the pair alive while the PC opens and closes the port;
    // without it the master would read a hang-up after every close.
    m_slave = ::open(name, O_RDWR | O_NOCTTY);
    if (m_slave < 0)
        return fail(QStringLiteral("open ") + m_slavePath);
    termios tio;
    if (::tcgetattr(m_slave, &tio) != 0)
        return fail(QStringLiteral("tcgetattr"));
    // Raw both ways: no echo, no line editing, no CR/LF translation of frame bytes.
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B500000);
    ::cfsetospeed(&tio, B500000);
    if (::tcsetattr(m_slave, TCSANOW, &tio) != 0)
        return fail(QStringLiteral("tcsetattr"));
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);

    if (!m_options.linkPath.isEmpty()) {
        const QByteArray link = QFile::encodeName(m_options.linkPath);
        struct stat st;
        if (::lstat(link.constData(), &st) == 0) {
            // Only a symlink is ours to replace (a previous run's); never delete a file.
            if (!S_ISLNK(st.st_mode)) {
                errno = EEXIST;
                return fail(m_options.linkPath);
            }
            ::unlink(link.constData());
        }
        if (::symlink(name, link.constData()) != 0)
            return fail(QStringLiteral("symlink ") + m_options.linkPath);
        m_linkMade = true;
    }

    if (!m_options.logPath.isEmpty()) {
        m_log = std::fopen(QFile::encodeName(m_options.logPath).constData(), "w");
        if (!m_log)
            return fail(QStringLiteral("log ") + m_options.logPath);
    }

    m_readNotifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &KuvelCounterSim::readMaster);
    m_writeNotifier = new QSocketNotifier(m_master, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &KuvelCounterSim::flushOutput);

    if (m_options.unsolicitedMs > 0)
        m_unsolicitedTimer.start(m_options.unsolicitedMs);
    return true;
}

void KuvelCounterSim::setSilent(bool silent)
{
    m_silent = silent;
    log(QByteArray("ctl silent=") + (silent ? "on" : "off"));
}

void KuvelCounterSim::readMaster()
{
    quint8 chunk[4096];
    for (;;) {
        const ssize_t n = ::read(m_master, chunk, sizeof(chunk));
        if (n > 0) {
            receiveBytes(chunk, int(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            // Cannot happen while the slave is held open; stop rather than spin.
            std::fprintf(stderr, "kuvel-counter-sim: read: %s\n", std::strerror(errno));
            m_readNotifier->setEnabled(false);
        }
        return;
    }
}

void KuvelCounterSim::receiveBytes(const quint8 *data, int length)
{
    for (int i = 0; i < length; ++i) {
        const quint8 byte = data[i];
        if (byte == cAbstractStarProtocol::StartByte) {
            if (!m_junk.isEmpty()) {
                logBad(m_junk, "outside");
                echo(m_junk);
                m_junk.clear();
            }
            // A start byte always begins a new frame; an unfinished one before it is lost.
            if (m_inFrame) {
                logBad(m_frame, "unterminated");
                echo(m_frame);
            }
            m_frame = QByteArray(1, char(byte));
            m_inFrame = true;
            continue;
        }
        if (!m_inFrame) {
            m_junk.append(char(byte));
            continue;
        }
        m_frame.append(char(byte));
        if (byte == cAbstractStarProtocol::EndByte) {
            m_inFrame = false;
            handleFrame(m_frame);
        } else if (m_frame.size() >= cAbstractStarProtocol::BufferSize) {
            m_inFrame = false;
            logBad(m_frame, "too-long");
            echo(m_frame);
        }
    }
    if (!m_junk.isEmpty()) {
        logBad(m_junk, "outside");
        echo(m_junk);
        m_junk.clear();
    }
}

void KuvelCounterSim::handleFrame(const QByteArray &raw)
{
    m_codec.clearBuffer();
    m_codec.addData(reinterpret_cast<const quint8 *>(raw.constData()), uint(raw.size()));
    const int result = m_codec.encodeBuffer();
    if (result != cAbstractStarProtocol::DecodeOk) {
        logBad(raw, decodeReason(result));
        echo(raw);
        return;
    }
    const StarHead_t head = m_codec.headPacket();
    const QByteArray payload(reinterpret_cast<const char *>(m_codec.buffer()), head.dataLength);
    QByteArray request = "rx " + describe(head.command, payload);
    ++m_framesSeen;
    const QByteArray echoed = isEchoing() ? " echoed" : "";

    // The adapter echoes what is on the line whoever it is for and whatever the device does.
    const auto unanswered = [&](const QByteArray &tags) {
        log(request + tags + echoed);
        echo(raw);
    };
    if (head.address != DeviceAddress) {
        unanswered(" ignored addr=" + hexByte(head.address));
        return;
    }
    // A silent device is as good as absent: it does not act on requests either.
    if (m_silent) {
        unanswered(" silent");
        return;
    }
    QByteArray answerPayload;
    switch (m_model.handle(head.command, payload, &answerPayload)) {
    case KuvelCounterModel::Unknown:
        unanswered(" unknown");
        return;
    case KuvelCounterModel::Rejected:
        unanswered(" rejected");
        return;
    case KuvelCounterModel::Answered:
        break;
    }

    if (head.command == CommandCode::ReadCounts && m_options.numberedCounts)
        request += " seq=" + QByteArray::number(m_model.countsRequests());
    int waitMs = 0;
    Outgoing out = prepareAnswer(head.command, answerPayload, &waitMs);
    if (waitMs > 0) {
        const QByteArray id = " id=" + QByteArray::number(++m_waitingAnswers);
        request += id;
        out.logText += id;
    }
    log(request + echoed);
    echo(raw);
    if (waitMs < 0) {
        log(out.logText);
        return;
    }
    if (waitMs == 0) {
        transmit(out);
        return;
    }
    m_scheduled.emplace(m_clock.nsecsElapsed() + qint64(waitMs) * 1000000, out);
    armSendTimer();
}

void KuvelCounterSim::echo(const QByteArray &raw)
{
    if (!isEchoing())
        return;
    Outgoing out;
    out.wire = raw; // logged as the tag of the line it echoes
    transmit(out);
}

bool KuvelCounterSim::isLateCode(quint8 code) const
{
    return m_options.lateCodes.isEmpty() || m_options.lateCodes.contains(code);
}

QByteArray KuvelCounterSim::encode(quint8 command, const QByteArray &payload)
{
    m_codec.codeData(DeviceAddress, command, quint8(payload.size()),
                     reinterpret_cast<const quint8 *>(payload.constData()));
    return QByteArray(reinterpret_cast<const char *>(m_codec.frame()), m_codec.frameLength());
}

KuvelCounterSim::Outgoing KuvelCounterSim::prepareAnswer(quint8 requestCode,
                                                         const QByteArray &payload, int *waitMs)
{
    // One draw per fault for every answer, whichever faults are on, so a seed gives the
    // same decisions in every run with the same options.
    const bool drop = m_faults.chance(m_options.dropShare)
        && (m_options.dropCodes.isEmpty() || m_options.dropCodes.contains(requestCode));
    const bool wrongCode = m_faults.chance(m_options.wrongCodeShare);
    const bool corrupt = m_faults.chance(m_options.corruptShare);
    const bool late = m_faults.chance(m_options.lateShare) && isLateCode(requestCode);
    const bool noise = m_faults.chance(m_options.noiseShare);
    const bool cut = m_faults.chance(m_options.shortShare);
    const bool extend = m_faults.chance(m_options.longShare);

    Outgoing out;
    if (drop) {
        out.logText = "tx " + describe(requestCode, payload) + " dropped";
        *waitMs = -1;
        return out;
    }

    quint8 code = requestCode;
    QByteArray sent = payload;
    QByteArray tags;
    if (wrongCode) {
        // A well-formed answer to another read, as from a device that mixed up its queue.
        QList<quint8> others = KuvelCounterModel::readCodes();
        others.removeAll(requestCode);
        code = others.at(int(m_faults.below(quint32(others.size()))));
        m_model.peek(code, &sent);
        tags += " wrong-code req=" + hexByte(requestCode);
    }
    if ((cut || extend) && KuvelCounterModel::readCodes().contains(code)) {
        const int size = valueSize(sent, code);
        // A text may end with the payload, so a cut one cannot be told from a whole one: only
        // values of a fixed size are cut.
        const bool text = size != sent.size()
            || (code >= CommandCode::DeviceType && code <= CommandCode::DeviceDescription);
        if (cut && size > 0 && !text) {
            sent.truncate(int(m_faults.below(quint32(size))));
            tags += " short=" + QByteArray::number(sent.size());
        } else if (extend) {
            const int extra = 1 + int(m_faults.below(MaxExtraBytes));
            for (int i = 0; i < extra; ++i)
                sent.append(char(m_faults.below(256)));
            // Within the frame buffer of the receiving side, with every byte escaped.
            while (encode(code, sent).size() > cAbstractStarProtocol::BufferSize)
                sent.chop(1);
            tags += " long=" + QByteArray::number(sent.size() - payload.size());
        }
    }

    out.wire = encode(code, sent);
    if (corrupt) {
        // Never the start or end byte, and never a reserved value, so the frame keeps its
        // boundaries and only its check fails.
        const int at = 1 + int(m_faults.below(quint32(out.wire.size() - 2)));
        const quint8 old = quint8(out.wire.at(at));
        quint8 changed;
        do {
            changed = quint8(old ^ quint8(1 + m_faults.below(255)));
        } while (isReserved(changed));
        out.wire[at] = char(changed);
        tags += " corrupted at=" + QByteArray::number(at);
    }
    if (noise) {
        const int count = 1 + int(m_faults.below(MaxNoiseBytes));
        QByteArray bytes;
        while (bytes.size() < count) {
            const quint8 byte = quint8(m_faults.below(256));
            if (byte != cAbstractStarProtocol::StartByte)
                bytes.append(char(byte));
        }
        out.wire.prepend(bytes);
        tags += " noise=" + QByteArray::number(count);
    }

    int lateMs = 0;
    if (late) {
        lateMs = m_options.lateMinMs;
        if (m_options.lateMaxMs > m_options.lateMinMs)
            lateMs += int(m_faults.below(quint32(m_options.lateMaxMs - m_options.lateMinMs + 1)));
        tags += " late=" + QByteArray::number(lateMs);
    }
    *waitMs = m_options.delayMs + lateMs;
    out.logText = "tx " + describe(code, sent) + tags;
    return out;
}

void KuvelCounterSim::armSendTimer()
{
    if (m_scheduled.empty()) {
        m_sendTimer.stop();
        return;
    }
    const qint64 leftNs = m_scheduled.begin()->first - m_clock.nsecsElapsed();
    m_sendTimer.start(leftNs <= 0 ? 0 : int((leftNs + 999999) / 1000000));
}

void KuvelCounterSim::sendDue()
{
    const qint64 now = m_clock.nsecsElapsed();
    while (!m_scheduled.empty() && m_scheduled.begin()->first <= now) {
        transmit(m_scheduled.begin()->second);
        m_scheduled.erase(m_scheduled.begin());
    }
    armSendTimer();
}

void KuvelCounterSim::sendUnsolicited()
{
    if (m_silent)
        return;
    // The current counts under their own code, not measured anew, so the reads' sequence
    // of values stays the same with and without unsolicited frames.
    QByteArray payload;
    m_model.peek(CommandCode::ReadCounts, &payload);
    Outgoing out;
    out.wire = encode(CommandCode::ReadCounts, payload);
    out.logText = "tx " + describe(CommandCode::ReadCounts, payload) + " unsolicited";
    transmit(out);
}

void KuvelCounterSim::transmit(const Outgoing &out)
{
    // Logged first: by the time the PC holds the answer, its line is in the file.
    if (!out.logText.isEmpty())
        log(out.logText);
    if (m_master < 0)
        return;
    if (m_pendingOutput.size() + out.wire.size() > MaxPendingOutput) {
        log("ctl output-overflow dropped=" + QByteArray::number(m_pendingOutput.size()));
        m_pendingOutput.clear();
    }
    m_pendingOutput.append(out.wire);
    flushOutput();
}

void KuvelCounterSim::flushOutput()
{
    while (!m_pendingOutput.isEmpty()) {
        const ssize_t n
            = ::write(m_master, m_pendingOutput.constData(), size_t(m_pendingOutput.size()));
        if (n > 0) {
            m_pendingOutput.remove(0, int(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            std::fprintf(stderr, "kuvel-counter-sim: write: %s\n", std::strerror(errno));
            m_pendingOutput.clear();
        }
        break;
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(!m_pendingOutput.isEmpty());
}

void KuvelCounterSim::log(const QByteArray &text)
{
    if (!m_log)
        return;
    std::fprintf(m_log, "%.6f %s\n", double(m_clock.nsecsElapsed()) / 1e9, text.constData());
    std::fflush(m_log);
}

void KuvelCounterSim::logBad(const QByteArray &raw, const char *reason)
{
    // Every caller sends the bytes back next when echoing.
    log("bad " + hexBytes(raw) + " reason=" + reason + (isEchoing() ? " echoed" : ""));
}

void KuvelCounterSim::removeLink()
{
    if (!m_linkMade)
        return;
    m_linkMade = false;
    // Only if it still points at our terminal: a newer simulator may have taken the name.
    const QByteArray link = QFile::encodeName(m_options.linkPath);
    char target[256];
    const ssize_t n = ::readlink(link.constData(), target, sizeof(target) - 1);
    if (n > 0) {
        target[n] = '\0';
        if (QString::fromLocal8Bit(target) == m_slavePath)
            ::unlink(link.constData());
    }
}
