// What the live trend costs: windows count at the shortest time constant, 0.01 s, each against
// a simulated counter of its own, one after the other and in turns, so that drift of a shared
// machine touches all alike. One shows its Trend tab, filled beforehand with a full history
// (ten minutes of readings at 100 a second, its most costly state). The other is the same
// window without the trend, showing an empty tab in its place: the same polling, with nothing
// drawn. The figure is the CPU time of the process per second of wall time while each counts,
// and the difference in % of one core. The window without the trend is also measured with
// its Counts tab shown, whose labels show the counts at most 25 times a second at a fixed
// size, and, in the same turns, with those labels as they were before: a new text at every
// poll in labels that size themselves to it, which lays out the window each time.
#include "benchstats.h"
#include "countdisplay.h"
#include "counttrend.h"
#include "mainwindow.h"
#include "simprocess.h"

#include <QApplication>
#include <QDateTime>
#include <QDoubleSpinBox>
#include <QEventLoop>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <qcustomplot.h>

namespace {

constexpr int Runs = 4;
constexpr int RunMs = 5000;
constexpr double TimeConst = 0.01;
constexpr int HistoryReadings = 60000;

int s_ticks = 0;

void countTicks(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtDebugMsg && text == QLatin1String("tick"))
        ++s_ticks;
    else if (type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(text));
}

template<typename T> T *child(QObject *parent, const char *name)
{
    T *found = parent->findChild<T *>(QString::fromLatin1(name));
    if (!found)
        std::fprintf(stderr, "bench_trend: the window has no %s\n", name);
    return found;
}

struct Counting
{
    double cpuPerSecond = 0;
    double pollsPerSecond = 0;
};

// Counting for RunMs, measured from the first poll on, so the start and the stop are not in it.
bool count(MainWindow &window, Counting *result)
{
    auto *start = child<QPushButton>(&window, "pbStart");
    auto *stop = child<QPushButton>(&window, "pbStop");
    if (!start || !stop)
        return false;
    start->click();
    if (!stop->isEnabled()) {
        std::fprintf(stderr, "bench_trend: counting did not start\n");
        return false;
    }
    QEventLoop settle;
    QTimer::singleShot(200, &settle, &QEventLoop::quit);
    settle.exec();

    const int ticks = s_ticks;
    const double cpuBegin = bench::processCpuSeconds();
    const double begin = bench::monotonicSeconds();
    QEventLoop loop;
    QTimer::singleShot(RunMs, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
    const double seconds = bench::monotonicSeconds() - begin;
    result->cpuPerSecond = (bench::processCpuSeconds() - cpuBegin) / seconds;
    result->pollsPerSecond = (s_ticks - ticks) / seconds;
    stop->click();
    return !stop->isEnabled();
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The poll's "tick" is counted, not printed.
    qputenv("QT_LOGGING_RULES", "*.debug=false;default.debug=true");
    qInstallMessageHandler(countTicks);
    QApplication app(argc, argv);
    QApplication::setStyle(QStringLiteral("Fusion"));

    SimProcess simTrend(SimProcess::Unlogged);
    SimProcess simPlain(SimProcess::Unlogged);
    if (!simTrend.start() || !simPlain.start()) {
        std::fprintf(stderr, "bench_trend: the simulator did not start\n");
        return 1;
    }

    MainWindow withTrend;
    MainWindow without;
    withTrend.setPortName(simTrend.portPath());
    without.setPortName(simPlain.portPath());
    if (!withTrend.isCorrectDevice() || !without.isCorrectDevice()) {
        std::fprintf(stderr, "bench_trend: the simulator was not identified\n");
        return 1;
    }
    auto *trend = child<CountTrend>(&withTrend, "tabTrend");
    auto *plot = child<QCustomPlot>(&withTrend, "trendPlot");
    auto *tabs = child<QTabWidget>(&withTrend, "tabWidget");
    if (!trend || !plot || !tabs)
        return 1;
    delete child<CountTrend>(&without, "tabTrend");
    auto *plainTabs = child<QTabWidget>(&without, "tabWidget");
    if (!plainTabs)
        return 1;
    auto *empty = new QWidget;
    plainTabs->addTab(empty, QStringLiteral("Empty"));
    for (MainWindow *window : {&withTrend, &without}) {
        auto *timeConst = child<QDoubleSpinBox>(window, "dsbTimeConst");
        if (!timeConst)
            return 1;
        timeConst->setValue(TimeConst);
    }
    // The trend as after ten minutes of counting, its readings 10 ms apart up to now: what it
    // holds and draws is the most it ever does.
    const double now = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    for (int i = 0; i < HistoryReadings; ++i) {
        const double key = now - (HistoryReadings - i) * TimeConst;
        plot->graph(0)->addData(key, 100000 + i % 1000);
        plot->graph(1)->addData(key, 10000 + i % 100);
        plot->graph(2)->addData(key, 1000 + i % 10);
        plot->graph(3)->addData(key, 100);
    }
    tabs->setCurrentWidget(trend);
    withTrend.show();
    without.show();

    auto *display = child<CountDisplay>(&without, "countDisplay");
    if (!display)
        return 1;
    const QList<QLabel *> labels = without.findChildren<QLabel *>(QRegularExpression("^lCounts"));
    QList<QPair<QSize, QSize>> fixedSizes;
    for (QLabel *label : labels)
        fixedSizes.append({label->minimumSize(), label->maximumSize()});
    // The count labels as they were: every poll's text at once, in labels that size themselves.
    const auto labelsOfOld = [&](bool old) {
        display->setIntervalMs(old ? 0 : CountDisplay::IntervalMs);
        for (int i = 0; i < labels.size(); ++i) {
            labels[i]->setMinimumSize(old ? QSize(0, 0) : fixedSizes[i].first);
            labels[i]->setMaximumSize(old ? QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX)
                                          : fixedSizes[i].second);
        }
    };

    std::vector<double> trendCpu, plainCpu, countsCpu, oldCountsCpu, difference, trendPolls,
        plainPolls, countsPolls;
    for (int run = 0; run < Runs; ++run) {
        Counting shown, plain, counts, oldCounts;
        plainTabs->setCurrentWidget(empty);
        if (!count(withTrend, &shown) || !count(without, &plain))
            return 1;
        plainTabs->setCurrentIndex(0);
        if (!count(without, &counts))
            return 1;
        labelsOfOld(true);
        const bool counted = count(without, &oldCounts);
        labelsOfOld(false);
        if (!counted)
            return 1;
        oldCountsCpu.push_back(100.0 * oldCounts.cpuPerSecond);
        countsPolls.push_back(counts.pollsPerSecond);
        trendCpu.push_back(100.0 * shown.cpuPerSecond);
        plainCpu.push_back(100.0 * plain.cpuPerSecond);
        countsCpu.push_back(100.0 * counts.cpuPerSecond);
        difference.push_back(trendCpu.back() - plainCpu.back());
        trendPolls.push_back(shown.pollsPerSecond);
        plainPolls.push_back(plain.pollsPerSecond);
        std::fprintf(stderr,
                     "run %d: with the trend shown %.1f %% of a core at %.1f polls/s (%d points "
                     "a graph), without %.1f %% at %.1f polls/s, difference %.1f %%; without, "
                     "Counts tab shown %.1f %% at %.1f polls/s, its labels as before %.1f %% at "
                     "%.1f polls/s\n",
                     run + 1, trendCpu.back(), shown.pollsPerSecond, plot->graph(0)->dataCount(),
                     plainCpu.back(), plain.pollsPerSecond, difference.back(), countsCpu.back(),
                     counts.pollsPerSecond, oldCountsCpu.back(), oldCounts.pollsPerSecond);
    }

    bench::Row row;
    row.bench = "trend";
    row.figure = "CPU counting at 0.01 s, trend shown, % of a core";
    row.value = bench::format(bench::median(trendCpu), 1);
    row.spread = bench::spread(trendCpu, 1);
    row.baseline = bench::format(bench::median(plainCpu), 1) + " (no trend)";
    row.ratio = bench::format(bench::median(trendCpu) / bench::median(plainCpu), 2);
    bench::printRow(row);

    row.figure = "CPU counting at 0.01 s, no trend, Counts tab shown, % of a core";
    row.value = bench::format(bench::median(countsCpu), 1);
    row.spread = bench::spread(countsCpu, 1);
    row.baseline = bench::format(bench::median(oldCountsCpu), 1) + " (labels as before)";
    row.ratio = bench::format(bench::median(countsCpu) / bench::median(oldCountsCpu), 2);
    row.goal = "< 5 %";
    row.met = bench::yesNo(bench::median(countsCpu) < 5.0);
    bench::printRow(row);

    row.figure = "polls per second, Counts tab shown";
    row.value = bench::format(bench::median(countsPolls), 1);
    row.spread = bench::spread(countsPolls, 1);
    row.baseline = "-";
    row.ratio = "-";
    row.goal = "-";
    row.met = "-";
    bench::printRow(row);

    row.figure = "trend's extra CPU, % of a core";
    row.value = bench::format(bench::median(difference), 1);
    row.spread = bench::spread(difference, 1);
    row.baseline = "-";
    row.ratio = "-";
    row.goal = "< 5 %";
    row.met = bench::yesNo(bench::median(difference) < 5.0);
    bench::printRow(row);

    row.figure = "polls per second, trend shown";
    row.value = bench::format(bench::median(trendPolls), 1);
    row.spread = bench::spread(trendPolls, 1);
    row.baseline = bench::format(bench::median(plainPolls), 1) + " (no trend)";
    row.goal = "-";
    row.met = "-";
    bench::printRow(row);
    return 0;
}
