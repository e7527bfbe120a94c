// kuvel-longrun: polls the counts of the simulated counter at the shortest time constant,
// 0.01 s, for a long time, and prints the number of polls, the failures and the resident
// memory of this process at the start, every minute and at the end. By default the poll is
// the operator window's own (MainWindow on the offscreen platform); --driver polls through
// the counter driver alone, as the window does, and counts failures exactly.
#include "curs485iointerface.h"
#include "kuvelcounterdriver.h"
#include "mainwindow.h"
#include "simprocess.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <memory>

namespace {

constexpr int Attempts = 5;
constexpr float TimeConst = 0.01f;
// Growth of the resident set after the first report that still counts as flat: the allocator
// and Qt's caches settle in steps of a few pages.
constexpr qint64 FlatKiB = 1024;

qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

struct Tally
{
    qint64 polls = 0;
    qint64 failures = 0;
};

QString clock(qint64 ms)
{
    const qint64 s = ms / 1000;
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

void report(const char *what, qint64 ms, const Tally &tally, qint64 rss)
{
    std::printf("%-6s %6s  polls %8lld  failures %6lld  RSS %7lld KiB\n", what,
                qPrintable(clock(ms)), tally.polls, tally.failures, rss);
    std::fflush(stdout);
}

// The window's own poll: ticks are counted from its "tick" message. A read that fails has
// taken all its attempts, five answer time-outs, before the next tick is armed, so a gap that
// long between two ticks is a failed poll. A record equal to the one before (the four labels
// unchanged) is only noted: the simulated counter's seeded noise repeats one now and then.
constexpr qint64 FailedPollGapMs = qint64(Attempts) * 500;
QLabel *g_label[4] = {};
Tally *g_tally = nullptr;
QString g_lastCounts;
QElapsedTimer g_sinceTick;
qint64 g_repeatedRecords = 0;
QtMessageHandler g_previousHandler = nullptr;

void countTicks(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg && message == QLatin1String("tick") && g_tally) {
        // The labels show what the previous tick read.
        QString counts;
        for (QLabel *label : g_label)
            counts += label->text() + QLatin1Char(' ');
        if (g_tally->polls > 0) {
            if (g_sinceTick.elapsed() >= FailedPollGapMs)
                ++g_tally->failures;
            else if (counts == g_lastCounts)
                ++g_repeatedRecords;
        }
        g_sinceTick.restart();
        g_lastCounts = counts;
        ++g_tally->polls;
        return;
    }
    g_previousHandler(type, context, message);
}

bool startWindow(MainWindow *window, const QString &port, Tally *tally)
{
    window->setPortName(port);
    if (!window->isCorrectDevice())
        return false;
    window->findChild<QDoubleSpinBox *>(QStringLiteral("dsbTimeConst"))->setValue(TimeConst);
    window->findChild<QPushButton *>(QStringLiteral("pbSetTimeConst"))->click();
    for (int i = 0; i < 4; ++i)
        g_label[i] = window->findChild<QLabel *>(QStringLiteral("lCounts%1").arg(i + 1));
    g_tally = tally;
    g_sinceTick.start();
    g_previousHandler = qInstallMessageHandler(&countTicks);
    window->findChild<QPushButton *>(QStringLiteral("pbStart"))->click();
    return window->findChild<QPushButton *>(QStringLiteral("pbStop"))->isEnabled();
}

} // namespace

int main(int argc, char *argv[])
{
    // A report program: no display needed unless one is asked for.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kuvel-longrun"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Polls the counts of the simulated counter every 0.01 s for a long time and prints the "
        "polls, the failures and the resident memory of this process."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("minutes"), QStringLiteral("Length of the run (default 10)."),
         QStringLiteral("n")},
        {QStringLiteral("seconds"), QStringLiteral("Length of the run in seconds instead."),
         QStringLiteral("n")},
        {QStringLiteral("every"), QStringLiteral("Seconds between reports (default 60)."),
         QStringLiteral("n")},
        {QStringLiteral("driver"),
         QStringLiteral("Poll through the counter driver alone instead of the window.")},
    });
    parser.process(app);

    qint64 runMs = 10 * 60 * 1000;
    if (parser.isSet(QStringLiteral("minutes")))
        runMs = parser.value(QStringLiteral("minutes")).toLongLong() * 60 * 1000;
    if (parser.isSet(QStringLiteral("seconds")))
        runMs = parser.value(QStringLiteral("seconds")).toLongLong() * 1000;
    const qint64 everyMs = parser.isSet(QStringLiteral("every"))
        ? parser.value(QStringLiteral("every")).toLongLong() * 1000
        : 60 * 1000;
    const bool driverOnly = parser.isSet(QStringLiteral("driver"));
    if (runMs <= 0 || everyMs <= 0) {
        std::fprintf(stderr, "kuvel-longrun: the run and the report period must be positive\n");
        return 2;
    }

    SimProcess sim;
    if (!sim.start()) {
        std::fprintf(stderr, "kuvel-longrun: the simulated counter did not start\n");
        return 2;
    }
    std::printf("kuvel-longrun: %s poll of counts at %.2f s for %lld s against %s\n",
                driverOnly ? "driver" : "window", double(TimeConst), runMs / 1000,
                qPrintable(sim.portPath()));

    Tally tally;
    QElapsedTimer elapsed;
    std::unique_ptr<MainWindow> window;
    cuRs485IOInterface link;
    KuvelCounterDriver driver;
    std::function<void()> poll;

    if (driverOnly) {
        link.setPortName(sim.portPath());
        driver.setIOInterface(&link);
        bool ok = false;
        driver.timeConst()->setValueSync(TimeConst, &ok, Attempts);
        if (ok)
            driver.startCounter()->executeSync(&ok, Attempts);
        if (!ok) {
            std::fprintf(stderr, "kuvel-longrun: the counter did not start counting\n");
            return 1;
        }
        // As the window's poll: read, then the next read one time constant later.
        poll = [&] {
            bool ok = false;
            driver.counts()->getValueSync(&ok, Attempts);
            ++tally.polls;
            tally.failures += !ok;
            QTimer::singleShot(int(TimeConst * 1000), &app, poll);
        };
        QTimer::singleShot(int(TimeConst * 1000), &app, poll);
    } else {
        window = std::make_unique<MainWindow>();
        if (!startWindow(window.get(), sim.portPath(), &tally)) {
            std::fprintf(stderr,
                         "kuvel-longrun: the window did not identify the counter or "
                         "did not start counting\n");
            return 1;
        }
    }

    const qint64 startRss = residentKiB();
    qint64 settledRss = startRss;
    elapsed.start();
    report("start", 0, tally, startRss);

    QTimer reporter;
    QObject::connect(&reporter, &QTimer::timeout, &app, [&] {
        const qint64 rss = residentKiB();
        if (elapsed.elapsed() < everyMs + everyMs / 2)
            settledRss = rss; // the first report: caches and pools have filled by now
        report("", elapsed.elapsed(), tally, rss);
    });
    reporter.start(int(everyMs));
    QTimer::singleShot(int(runMs), &app, &QCoreApplication::quit);
    app.exec();

    if (!driverOnly)
        qInstallMessageHandler(g_previousHandler);
    const qint64 endRss = residentKiB();
    report("end", elapsed.elapsed(), tally, endRss);
    const qint64 growth = endRss - settledRss;
    const bool flat = growth <= FlatKiB;
    std::printf("polls %lld, failures %lld (%s), RSS start %lld KiB, end %lld KiB, "
                "growth after the first report %+lld KiB: %s\n",
                tally.polls, tally.failures,
                driverOnly ? "reads without an answer" : "polls that took every attempt", startRss,
                endRss, growth, flat ? "flat" : "GROWING");
    if (!driverOnly)
        std::printf("counts records equal to the one before: %lld (the device's own repeats)\n",
                    g_repeatedRecords);
    return flat ? 0 : 1;
}
