// kuvel-counter-sim: the simulated counter. Prints the path of its terminal as the first
// line of standard output, then answers Star frames on it until SIGINT or SIGTERM.
#include "kuvelcountersim.h"
#include "kuvelversion.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int MaxTypeLength = 100;

int signalPipe[2] = {-1, -1};

void onSignal(int number)
{
    // Only async-signal-safe work here; the event loop reads the number from the pipe.
    const unsigned char byte = static_cast<unsigned char>(number);
    const ssize_t written = ::write(signalPipe[1], &byte, 1);
    (void)written;
}

bool parseShare(const QCommandLineParser &parser, const QString &name, double *share)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    *share = parser.value(name).toDouble(&ok);
    if (ok && *share >= 0.0 && *share <= 1.0)
        return true;
    std::fprintf(stderr, "kuvel-counter-sim: --%s needs a share from 0 to 1\n", qPrintable(name));
    return false;
}

// "<ms>" or "<min>-<max>".
bool parseMsRange(const QCommandLineParser &parser, const QString &name, int *min, int *max)
{
    if (!parser.isSet(name))
        return true;
    const QStringList parts = parser.value(name).split(QLatin1Char('-'));
    bool okMin = false;
    bool okMax = true;
    *min = parts.first().toInt(&okMin);
    *max = parts.size() == 2 ? parts.last().toInt(&okMax) : *min;
    if (parts.size() <= 2 && okMin && okMax && *min >= 0 && *max >= *min)
        return true;
    std::fprintf(stderr,
                 "kuvel-counter-sim: --%s needs milliseconds or a range <min>-<max> of them\n",
                 qPrintable(name));
    return false;
}

bool parseCodes(const QCommandLineParser &parser, const QString &name, QList<quint8> *codes)
{
    if (!parser.isSet(name))
        return true;
    for (const QString &item : parser.value(name).split(QLatin1Char(','))) {
        bool ok = false;
        const uint code = item.trimmed().toUInt(&ok, 16);
        if (!ok || code > 0xFF) {
            std::fprintf(stderr, "kuvel-counter-sim: --%s needs hex codes such as 17,12\n",
                         qPrintable(name));
            return false;
        }
        codes->append(quint8(code));
    }
    return true;
}

bool parseMs(const QCommandLineParser &parser, const QString &name, int *ms)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    *ms = parser.value(name).toInt(&ok);
    if (ok && *ms >= 0)
        return true;
    std::fprintf(stderr, "kuvel-counter-sim: --%s needs a whole number of milliseconds\n",
                 qPrintable(name));
    return false;
}

// A positive number, such as a pulse height or a width in level units.
bool parsePositive(const QCommandLineParser &parser, const QString &name, double *value)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    *value = parser.value(name).toDouble(&ok);
    if (ok && *value > 0.0 && std::isfinite(*value))
        return true;
    std::fprintf(stderr, "kuvel-counter-sim: --%s needs a positive number\n", qPrintable(name));
    return false;
}

bool parseDetector(const QCommandLineParser &parser, KuvelCounterModel::Detector *detector)
{
    double noise = 0.0;
    if (parser.isSet(QStringLiteral("noise-width"))) {
        if (!parsePositive(parser, QStringLiteral("noise-width"), &noise))
            return false;
        detector->noiseWidth = noise;
        detector->pulseNoise = noise;
    }
    if (parser.isSet(QStringLiteral("noise-rate"))) {
        bool ok = false;
        detector->noiseRate = parser.value(QStringLiteral("noise-rate")).toDouble(&ok);
        if (!ok || !(detector->noiseRate >= 0.0) || !std::isfinite(detector->noiseRate)) {
            std::fprintf(stderr, "kuvel-counter-sim: --noise-rate needs a number from 0 on\n");
            return false;
        }
    }
    if (parser.isSet(QStringLiteral("statistics"))) {
        const QString name = parser.value(QStringLiteral("statistics"));
        if (name == QLatin1String("poisson")) {
            detector->statistics = KuvelCounterModel::Poisson;
        } else if (name == QLatin1String("thermal")) {
            detector->statistics = KuvelCounterModel::Thermal;
        } else {
            std::fprintf(stderr, "kuvel-counter-sim: --statistics is poisson or thermal\n");
            return false;
        }
    }
    return parsePositive(parser, QStringLiteral("pulse-height"), &detector->pulseHeight)
        && parsePositive(parser, QStringLiteral("photon-width"), &detector->photonWidth)
        && parsePositive(parser, QStringLiteral("mean-photons"), &detector->meanPhotons);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kuvel-counter-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KUVEL_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated Kuvel photon counter on a pseudo-terminal. Prints the terminal's path as "
        "the first line of output and answers Star frames at address 0x00 until SIGINT or "
        "SIGTERM. SIGUSR1 switches silence on and off. Shares are from 0 to 1."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {QStringLiteral("link"), QStringLiteral("Also make a symlink to the terminal at <path>."),
         QStringLiteral("path")},
        {QStringLiteral("log"), QStringLiteral("Log every request and answer to <file>."),
         QStringLiteral("file")},
        {QStringLiteral("seed"), QStringLiteral("Seed of counts noise and faults (default 1)."),
         QStringLiteral("n")},
        {QStringLiteral("type"), QStringLiteral("Device type text (default KuvelCounter)."),
         QStringLiteral("text")},
        {QStringLiteral("silent"), QStringLiteral("Never answer.")},
        {QStringLiteral("drop"), QStringLiteral("Share of answers not sent."), QStringLiteral("p")},
        {QStringLiteral("corrupt"), QStringLiteral("Share of answers with one byte changed."),
         QStringLiteral("p")},
        {QStringLiteral("delay"), QStringLiteral("Delay every answer by <ms>."),
         QStringLiteral("ms")},
        {QStringLiteral("late"), QStringLiteral("Share of answers sent --late-ms late."),
         QStringLiteral("p")},
        {QStringLiteral("late-ms"),
         QStringLiteral("Lateness of late answers (default 700), or a range such as 600-1500 "
                        "to draw each late answer's lateness from; late answers may overtake "
                        "each other."),
         QStringLiteral("ms")},
        {QStringLiteral("late-codes"),
         QStringLiteral("Make only answers to these request codes late: hex, comma-separated, "
                        "such as 17 or 17,12 (default every code)."),
         QStringLiteral("list")},
        {QStringLiteral("drop-codes"),
         QStringLiteral("Drop only answers to these request codes: hex, comma-separated, such "
                        "as 10 (default every code)."),
         QStringLiteral("list")},
        {QStringLiteral("short"),
         QStringLiteral("Share of answers of a fixed size (0x05, 0x12, 0x14, 0x17) cut to a "
                        "random length below it, 0 included. Texts are never cut: they may end "
                        "with the payload, so a cut one cannot be told from a whole one."),
         QStringLiteral("p")},
        {QStringLiteral("long"),
         QStringLiteral("Share of getter answers with 1-16 random bytes appended (the frame "
                        "stays within 256 bytes)."),
         QStringLiteral("p")},
        {QStringLiteral("echo"),
         QStringLiteral("Send back every byte from the PC as an echoing adapter does: each "
                        "request frame, byte for byte, before anything that answers it, also "
                        "when the answer is late or dropped.")},
        {QStringLiteral("echo-from"),
         QStringLiteral("With --echo (which it implies): the echo starts with request <n> "
                        "(valid frames from the PC, counted from 1), as with an adapter that "
                        "misses its first echoes (default 1)."),
         QStringLiteral("n")},
        {QStringLiteral("numbered-counts"),
         QStringLiteral("The first count of every counts answer (0x17) is the running number "
                        "of the counts request it answers (1, 2, 3, ...), so a stale value "
                        "shows; the other three counts are measured as usual.")},
        {QStringLiteral("udid"),
         QStringLiteral("Identifier the device reports (code 0x05), 24 hex digits; with --type, "
                        "another device behind the same --link after a restart."),
         QStringLiteral("hex")},
        {QStringLiteral("wrong-code"),
         QStringLiteral("Share of answers replaced by the answer to another read."),
         QStringLiteral("p")},
        {QStringLiteral("noise"),
         QStringLiteral("Share of answers preceded by 1-16 noise bytes (never 0xF9)."),
         QStringLiteral("p")},
        {QStringLiteral("unsolicited"),
         QStringLiteral("Send the current counts (code 0x17) unasked every <ms>."),
         QStringLiteral("ms")},
        {QStringLiteral("pulse-height"),
         QStringLiteral("Level of a 1-photon pulse; n photons: n times it (default 8000)."),
         QStringLiteral("level")},
        {QStringLiteral("photon-width"),
         QStringLiteral("Spread of a 1-photon pulse; n photons: times sqrt(n) (default 1000)."),
         QStringLiteral("level")},
        {QStringLiteral("noise-width"),
         QStringLiteral("Electronic noise, on the baseline and on every pulse (default 600 on "
                        "the baseline only)."),
         QStringLiteral("level")},
        {QStringLiteral("noise-rate"),
         QStringLiteral("Baseline crossings per second at a zero threshold, the pulses without "
                        "photons among them (default 1000000)."),
         QStringLiteral("n")},
        {QStringLiteral("mean-photons"),
         QStringLiteral("Mean photon number per pulse (default 1)."), QStringLiteral("n")},
        {QStringLiteral("statistics"),
         QStringLiteral("Photon statistics of the light: poisson (default) or thermal."),
         QStringLiteral("name")},
    });
    parser.process(app);

    KuvelSimOptions options;
    options.linkPath = parser.value(QStringLiteral("link"));
    options.logPath = parser.value(QStringLiteral("log"));
    options.silent = parser.isSet(QStringLiteral("silent"));
    options.echo = parser.isSet(QStringLiteral("echo"));
    if (parser.isSet(QStringLiteral("echo-from"))) {
        bool ok = false;
        options.echoFrom = parser.value(QStringLiteral("echo-from")).toInt(&ok);
        if (!ok || options.echoFrom < 1) {
            std::fprintf(stderr, "kuvel-counter-sim: --echo-from takes a request number from 1\n");
            return 2;
        }
        options.echo = true;
    }
    options.numberedCounts = parser.isSet(QStringLiteral("numbered-counts"));
    if (parser.isSet(QStringLiteral("udid"))) {
        const QString hex = parser.value(QStringLiteral("udid"));
        options.identifier = QByteArray::fromHex(hex.toLatin1());
        const bool allHex = hex.size() == 24
            && std::all_of(hex.begin(), hex.end(), [](QChar c) { return isxdigit(c.toLatin1()); });
        if (!allHex) {
            std::fprintf(stderr, "kuvel-counter-sim: --udid needs 24 hex digits\n");
            return 2;
        }
    }
    if (parser.isSet(QStringLiteral("type"))) {
        options.deviceType = parser.value(QStringLiteral("type")).toUtf8();
        // Every answer must fit the 256-byte frame buffer even with every byte escaped.
        if (options.deviceType.size() > MaxTypeLength) {
            std::fprintf(stderr, "kuvel-counter-sim: --type takes at most %d bytes\n",
                         MaxTypeLength);
            return 2;
        }
    }
    if (parser.isSet(QStringLiteral("seed"))) {
        bool ok = false;
        options.seed = parser.value(QStringLiteral("seed")).toULongLong(&ok);
        if (!ok) {
            std::fprintf(stderr, "kuvel-counter-sim: --seed needs a whole number\n");
            return 2;
        }
    }
    if (!parseShare(parser, QStringLiteral("drop"), &options.dropShare)
        || !parseShare(parser, QStringLiteral("corrupt"), &options.corruptShare)
        || !parseShare(parser, QStringLiteral("late"), &options.lateShare)
        || !parseShare(parser, QStringLiteral("wrong-code"), &options.wrongCodeShare)
        || !parseShare(parser, QStringLiteral("noise"), &options.noiseShare)
        || !parseMs(parser, QStringLiteral("delay"), &options.delayMs)
        || !parseShare(parser, QStringLiteral("short"), &options.shortShare)
        || !parseShare(parser, QStringLiteral("long"), &options.longShare)
        || !parseMsRange(parser, QStringLiteral("late-ms"), &options.lateMinMs, &options.lateMaxMs)
        || !parseCodes(parser, QStringLiteral("late-codes"), &options.lateCodes)
        || !parseCodes(parser, QStringLiteral("drop-codes"), &options.dropCodes)
        || !parseMs(parser, QStringLiteral("unsolicited"), &options.unsolicitedMs)
        || !parseDetector(parser, &options.detector))
        return 2;

    if (::pipe2(signalPipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        std::perror("kuvel-counter-sim: pipe");
        return 1;
    }
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : {SIGINT, SIGTERM, SIGHUP, SIGUSR1})
        ::sigaction(number, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    KuvelCounterSim sim(options);
    QString error;
    if (!sim.open(&error)) {
        std::fprintf(stderr, "kuvel-counter-sim: %s\n", qPrintable(error));
        return 1;
    }

    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&sim]() {
        unsigned char number;
        while (::read(signalPipe[0], &number, 1) == 1) {
            if (number == SIGUSR1)
                sim.setSilent(!sim.isSilent());
            else
                QCoreApplication::quit();
        }
    });

    // Whoever started us waits for this line before opening the port.
    std::printf("%s\n", qPrintable(sim.slavePath()));
    std::fflush(stdout);

    return app.exec(); // the simulator's destructor removes the symlink
}
