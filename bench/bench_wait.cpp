// CPU time the process spends while a synchronous request with 5 attempts waits for a device
// that never answers (about 2.5 s). The baseline, in the same run, is a wait that calls
// processEvents in a tight loop for the same time, which is what a spinning wait costs.
#include "benchstats.h"
#include "curs485iointerface.h"
#include "kuvelcounterdriver.h"
#include "pseudoterminal.h"

#include <QCoreApplication>
#include <QElapsedTimer>

namespace {

constexpr int Runs = 5;
constexpr int BaselineRuns = 3;
constexpr int Attempts = 5;

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);

    // A silent device on a line that stays up: the far end is never answered, only drained so
    // the terminal's buffer never fills.
    PseudoTerminal line;
    if (line.path().isEmpty()) {
        std::fprintf(stderr, "bench_wait: no pseudo-terminal\n");
        return 1;
    }
    cuRs485IOInterface link;
    link.setPortName(line.path());
    KuvelCounterDriver driver;
    driver.setIOInterface(&link);
    if (!link.initialize()) {
        std::fprintf(stderr, "bench_wait: cannot open %s\n", qPrintable(line.path()));
        return 1;
    }

    std::vector<double> waitSeconds;
    std::vector<double> waitCpuShare;
    for (int run = 0; run < Runs; ++run) {
        line.drain();
        bool ok = true;
        const double cpu0 = bench::processCpuSeconds();
        const double t0 = bench::monotonicSeconds();
        // A different read each run: the driver holds a request back while an earlier
        // unanswered request of the same code may still be answered, which is not this wait.
        switch (run % 5) {
        case 0:
            driver.counts()->getValueSync(&ok, Attempts);
            break;
        case 1:
            driver.timeConst()->getValueSync(&ok, Attempts);
            break;
        case 2:
            driver.currentChannel()->getValueSync(&ok, Attempts);
            break;
        case 3:
            driver.deviceType()->getValueSync(&ok, Attempts);
            break;
        default:
            driver.UDID()->getValueSync(&ok, Attempts);
            break;
        }
        const double elapsed = bench::monotonicSeconds() - t0;
        const double cpu = bench::processCpuSeconds() - cpu0;
        if (ok) {
            std::fprintf(stderr, "bench_wait: the silent line answered\n");
            return 1;
        }
        waitSeconds.push_back(elapsed);
        waitCpuShare.push_back(100.0 * cpu / elapsed);
        std::fprintf(stderr, "wait run %d: %.3f s, CPU %.4f s (%.3f %%)\n", run + 1, elapsed, cpu,
                     100.0 * cpu / elapsed);
    }

    // The same time spent the way a spinning wait spends it.
    const double spinFor = bench::median(waitSeconds);
    std::vector<double> spinCpuShare;
    for (int run = 0; run < BaselineRuns; ++run) {
        const double cpu0 = bench::processCpuSeconds();
        const double t0 = bench::monotonicSeconds();
        while (bench::monotonicSeconds() - t0 < spinFor)
            QCoreApplication::processEvents();
        const double elapsed = bench::monotonicSeconds() - t0;
        const double cpu = bench::processCpuSeconds() - cpu0;
        spinCpuShare.push_back(100.0 * cpu / elapsed);
        std::fprintf(stderr, "spin run %d: %.3f s, CPU %.4f s (%.1f %%)\n", run + 1, elapsed, cpu,
                     100.0 * cpu / elapsed);
    }

    const double share = bench::median(waitCpuShare);
    const double spinShare = bench::median(spinCpuShare);
    bench::Row duration;
    duration.bench = "wait";
    duration.figure = "5 attempts to a silent device, s";
    duration.value = bench::format(bench::median(waitSeconds), 3);
    duration.spread = bench::spread(waitSeconds, 3);
    duration.baseline = "2.500 (5 x 500 ms)";
    duration.ratio = bench::format(bench::median(waitSeconds) / 2.5, 3);
    bench::printRow(duration);

    bench::Row cpu;
    cpu.bench = "wait";
    cpu.figure = "CPU during the wait, % of a core";
    cpu.value = bench::format(share, 3);
    cpu.spread = bench::spread(waitCpuShare, 3);
    cpu.baseline = bench::format(spinShare, 1) + " (spin)";
    cpu.ratio = bench::format(share / spinShare, 5);
    cpu.goal = "< 1 %";
    cpu.met = bench::yesNo(share < 1.0);
    bench::printRow(cpu);
    return 0;
}
