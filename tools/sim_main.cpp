// kuvel-counter-sim: the simulated counter. Prints the path of its terminal as the first
// line of standard output, then answers Star frames on it until SIGINT or SIGTERM.
#include "kuvelcountersim.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

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

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kuvel-counter-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated Kuvel photon counter on a pseudo-terminal. Prints the terminal's path as "
        "the first line of output and answers Star frames at address 0x00 until SIGINT or "
        "SIGTERM. SIGUSR1 switches silence on and off. Shares are from 0 to 1."));
    parser.addHelpOption();
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
        {QStringLiteral("late-ms"), QStringLiteral("Lateness of late answers (default 700)."),
         QStringLiteral("ms")},
        {QStringLiteral("wrong-code"),
         QStringLiteral("Share of answers replaced by the answer to another read."),
         QStringLiteral("p")},
        {QStringLiteral("noise"),
         QStringLiteral("Share of answers preceded by 1-16 noise bytes (never 0xF9)."),
         QStringLiteral("p")},
        {QStringLiteral("unsolicited"),
         QStringLiteral("Send the current counts (code 0x17) unasked every <ms>."),
         QStringLiteral("ms")},
    });
    parser.process(app);

    KuvelSimOptions options;
    options.linkPath = parser.value(QStringLiteral("link"));
    options.logPath = parser.value(QStringLiteral("log"));
    options.silent = parser.isSet(QStringLiteral("silent"));
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
        || !parseMs(parser, QStringLiteral("late-ms"), &options.lateMs)
        || !parseMs(parser, QStringLiteral("unsolicited"), &options.unsolicitedMs))
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
