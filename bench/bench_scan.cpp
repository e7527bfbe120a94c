// A complete four-phase calibration scan at the shortest time constant, 0.01 s, against the
// simulated counter, driven through the main window as the operator drives it. The baseline
// is the sum of the settle delays the scan itself arms: what a scan costs with no work at all.
// Then "Open data..." of the largest scan a file may hold, its points shuffled against the same
// points in order: a plot that adds them one by one out of order takes n squared.
#include "bareline.h"
#include "benchstats.h"
#include "commandcodes.h"
#include "mainwindow.h"
#include "scandata.h"
#include "simprocess.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <QApplication>
#include <QDoubleSpinBox>
#include <QEventLoop>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>
#include <qcustomplot.h>

namespace {

constexpr int Runs = 5;
constexpr double TimeConst = 0.01;
// Levels 0, 100, ... 900: ten points in each phase.
constexpr int Start = 0;
constexpr int Stop = 900;
constexpr int Step = 100;

template<typename T> T *child(QObject *parent, const char *name)
{
    T *found = parent->findChild<T *>(QString::fromLatin1(name));
    if (!found)
        std::fprintf(stderr, "bench_scan: the window has no %s\n", name);
    return found;
}

struct ScanResult
{
    double seconds = 0;
    double cpuSeconds = 0;
    int points = 0;
};

// The settle delays a scan arms, in milliseconds and in order, each with its fraction dropped
// as the window drops it: two time constants as the device reported it before the first
// point, two of the window's time constant before the first point of each later phase, one
// before every other point.
std::vector<int> armedDelaysMs(float deviceTimeConst, double windowTimeConst, int pointsPerPhase)
{
    std::vector<int> delays;
    for (int phase = 0; phase < 4; ++phase) {
        delays.push_back(phase == 0 ? int(double(deviceTimeConst) * 1000.0 * 2)
                                    : int(windowTimeConst * 1000.0 * 2));
        for (int point = 1; point < pointsPerPhase; ++point)
            delays.push_back(int(windowTimeConst * 1000.0));
    }
    return delays;
}

// The floor under any scan in this toolkit on this machine: the same delays chained with
// bare precise single-shot timers that do nothing else.
double timerChainSeconds(const std::vector<int> &delays)
{
    QEventLoop loop;
    size_t next = 0;
    std::function<void()> step = [&] {
        if (next == delays.size()) {
            loop.quit();
            return;
        }
        QTimer::singleShot(delays[next++], Qt::PreciseTimer, step);
    };
    const double begin = bench::monotonicSeconds();
    step();
    loop.exec();
    return bench::monotonicSeconds() - begin;
}

// The least a program can do for the same scan: the same requests in the same order, each
// written and its answer read with bare write/poll/read, and the same delays chained with
// bare precise single-shot timers. Against a simulator of its own, so that the window's
// port never sees these answers.
double bareScanSeconds(bench::BareLine &line, const std::vector<int> &delays, int pointsPerPhase)
{
    const auto frame = [](quint8 command, std::vector<quint8> payload) {
        auto codec = std::make_shared<cStarProtocolPC>();
        codec->codeData(0x00, command, quint8(payload.size()), payload.data());
        return codec;
    };
    const auto level = [&](quint8 index, quint16 value) {
        return frame(CommandCode::WriteReferenceLevel,
                     {0, index, quint8(value), quint8(value >> 8)});
    };
    bool ok = true;
    const auto exchange = [&](const std::shared_ptr<cStarProtocolPC> &request) {
        ok = ok && line.exchange(*request) > 0;
    };
    const auto writeLevels = [&](int phase) {
        for (quint8 index = 0; index < 4; ++index)
            exchange(level(index, index == phase ? Start : 65535));
    };

    QEventLoop loop;
    size_t next = 0;
    int point = 0;
    std::function<void()> step = [&] {
        exchange(frame(CommandCode::ReadCounts, {}));
        const int phase = point / pointsPerPhase;
        const int value = Start + (point % pointsPerPhase + 1) * Step;
        ++point;
        if (next == delays.size()) {
            exchange(frame(CommandCode::StopCounter, {}));
            loop.quit();
            return;
        }
        if (point % pointsPerPhase == 0)
            writeLevels(phase + 1);
        else
            exchange(level(quint8(phase), quint16(value)));
        QTimer::singleShot(delays[next++], Qt::PreciseTimer, step);
    };
    const double begin = bench::monotonicSeconds();
    exchange(frame(CommandCode::WriteChannel, {0}));
    writeLevels(0);
    exchange(frame(CommandCode::ReadTimeConst, {}));
    exchange(frame(CommandCode::StartCounter, {}));
    QTimer::singleShot(delays[next++], Qt::PreciseTimer, step);
    loop.exec();
    const double seconds = bench::monotonicSeconds() - begin;
    return ok ? seconds : std::nan("");
}

// One scan, from the click on the start button to the end of the stop the last step runs.
// Answers false when it did not complete with every point plotted.
bool runScan(MainWindow &window, int pointsPerPhase, ScanResult *result)
{
    auto *start = child<QPushButton>(&window, "pbStartCalibration");
    auto *stop = child<QPushButton>(&window, "pbStopCalibration");
    auto *plot = child<QCustomPlot>(&window, "customPlot");
    if (!start || !stop || !plot)
        return false;

    QEventLoop loop;
    double end = 0;
    // Connected after the window's own slot, so this runs once the stop is done.
    const auto stopConnection = QObject::connect(stop, &QPushButton::clicked, [&] {
        end = bench::monotonicSeconds();
        loop.quit();
    });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);

    const double cpuBegin = bench::processCpuSeconds();
    const double begin = bench::monotonicSeconds();
    start->click();
    guard.start(60000);
    loop.exec();
    QObject::disconnect(stopConnection);

    if (end == 0 || stop->isEnabled()) {
        std::fprintf(stderr, "bench_scan: the scan did not complete\n");
        return false;
    }
    result->points = 0;
    for (int i = 0; i < plot->graphCount(); ++i)
        result->points += plot->graph(i)->dataCount();
    if (plot->graphCount() != 4 || result->points != 4 * pointsPerPhase) {
        std::fprintf(stderr, "bench_scan: %d graphs with %d points, expected 4 with %d\n",
                     plot->graphCount(), result->points, 4 * pointsPerPhase);
        return false;
    }
    result->seconds = end - begin;
    result->cpuSeconds = bench::processCpuSeconds() - cpuBegin;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The live poll's "tick" and other debug lines are not part of the figures.
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    QApplication app(argc, argv);
    QApplication::setStyle(QStringLiteral("Fusion"));

    SimProcess sim(SimProcess::Unlogged);
    SimProcess bareSim(SimProcess::Unlogged);
    if (!sim.start() || !bareSim.start()) {
        std::fprintf(stderr, "bench_scan: the simulator did not start\n");
        return 1;
    }
    bench::BareLine bareLine(bareSim.portPath());

    MainWindow window;
    window.setPortName(sim.portPath());
    if (!window.isCorrectDevice()) {
        std::fprintf(stderr, "bench_scan: the simulator was not identified\n");
        return 1;
    }
    window.show();

    // The scan takes its time constant from the device, so the device gets it first.
    auto *timeConst = child<QDoubleSpinBox>(&window, "dsbTimeConst");
    auto *setTimeConst = child<QPushButton>(&window, "pbSetTimeConst");
    auto *startLevel = child<QSpinBox>(&window, "sbStartCalibr");
    auto *stopLevel = child<QSpinBox>(&window, "sbStopCalibr");
    auto *step = child<QSpinBox>(&window, "sbStep");
    if (!timeConst || !setTimeConst || !startLevel || !stopLevel || !step)
        return 1;
    timeConst->setValue(TimeConst);
    setTimeConst->click();
    startLevel->setValue(Start);
    stopLevel->setValue(Stop);
    step->setValue(Step);

    const int pointsPerPhase = (Stop - Start) / Step + 1;
    const std::vector<int> delays
        = armedDelaysMs(float(TimeConst), timeConst->value(), pointsPerPhase);
    double armed = 0;
    for (int ms : delays)
        armed += ms / 1000.0;

    // The three alternate run by run, so drift of a shared machine touches all alike.
    std::vector<double> seconds, overheadPercent, bareSeconds, barePercent, timersPercent;
    for (int run = 0; run < Runs; ++run) {
        ScanResult r;
        if (!runScan(window, pointsPerPhase, &r))
            return 1;
        seconds.push_back(r.seconds);
        overheadPercent.push_back(100.0 * (r.seconds - armed) / armed);
        bareSeconds.push_back(bareScanSeconds(bareLine, delays, pointsPerPhase));
        if (std::isnan(bareSeconds.back())) {
            std::fprintf(stderr, "bench_scan: the bare scan got no answer\n");
            return 1;
        }
        barePercent.push_back(100.0 * (bareSeconds.back() - armed) / armed);
        timersPercent.push_back(100.0 * (timerChainSeconds(delays) - armed) / armed);
        std::fprintf(stderr,
                     "scan %d: %d points, %.3f s, settle delays %.3f s, overhead %.1f %%, "
                     "CPU %.3f s; bare scan %.3f s (%.1f %%); bare timers alone %.1f %%\n",
                     run + 1, r.points, r.seconds, armed, overheadPercent.back(), r.cpuSeconds,
                     bareSeconds.back(), barePercent.back(), timersPercent.back());
    }
    bench::Row row;
    row.bench = "scan";
    row.figure = "4 phases x " + std::to_string(pointsPerPhase) + " points at 0.01 s, s";
    row.value = bench::format(bench::median(seconds), 3);
    row.spread = bench::spread(seconds, 3);
    row.baseline = bench::format(bench::median(bareSeconds), 3) + " (bare)";
    row.ratio = bench::format(bench::median(seconds) / bench::median(bareSeconds), 3);
    bench::printRow(row);

    row.figure = "overhead over the " + bench::format(armed, 3) + " s of delays, %";
    row.value = bench::format(bench::median(overheadPercent), 1);
    row.spread = bench::spread(overheadPercent, 1);
    row.baseline = bench::format(bench::median(barePercent), 1) + " (bare)";
    row.ratio = "-";
    row.goal = "< 10 %";
    row.met = bench::yesNo(bench::median(overheadPercent) < 10.0);
    bench::printRow(row);

    QTemporaryDir dir;
    ScanData data;
    for (int phase = 1; phase <= 4; ++phase) {
        for (quint32 level = 0; level < 65536; ++level)
            data.points.append({phase, level, 100000 - level});
    }
    QFile inOrder(dir.filePath("in-order.csv"));
    inOrder.open(QIODevice::WriteOnly);
    inOrder.write(data.toCsv());
    inOrder.close();
    std::shuffle(data.points.begin(), data.points.end(), std::mt19937(1));
    QFile shuffled(dir.filePath("shuffled.csv"));
    shuffled.open(QIODevice::WriteOnly);
    shuffled.write(data.toCsv());
    shuffled.close();
    std::vector<double> shuffledSeconds, inOrderSeconds;
    for (int run = 0; run < Runs; ++run) {
        for (QFile *file : {&shuffled, &inOrder}) {
            const double start = bench::monotonicSeconds();
            if (!window.openScanData(file->fileName())) {
                std::fprintf(stderr, "bench_scan: %s was not opened\n",
                             qPrintable(file->fileName()));
                return 1;
            }
            (file == &shuffled ? shuffledSeconds : inOrderSeconds)
                .push_back(bench::monotonicSeconds() - start);
        }
    }
    row.figure = "Open data... of " + std::to_string(data.points.size()) + " points shuffled, s";
    row.value = bench::format(bench::median(shuffledSeconds), 3);
    row.spread = bench::spread(shuffledSeconds, 3);
    row.baseline = bench::format(bench::median(inOrderSeconds), 3) + " (in order)";
    const double ratio = bench::median(shuffledSeconds) / bench::median(inOrderSeconds);
    row.ratio = bench::format(ratio, 3);
    row.goal = "< 2";
    row.met = bench::yesNo(ratio < 2.0);
    bench::printRow(row);
    return 0;
}
