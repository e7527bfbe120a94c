// Round trip of one synchronous counts read through the driver and the serial link against
// the simulated counter on a pseudo-terminal, side by side with the same frames written and
// the answers read with bare write/poll/read on the same terminal and the same simulator.
// The two alternate block by block, so drift of a shared machine touches both alike.
#include "benchstats.h"
#include "commandcodes.h"
#include "cstarprotocolpc.h"
#include "curs485iointerface.h"
#include "roundtripblocks.h"
#include "simprocess.h"

#include <QCoreApplication>

#include <memory>

namespace {

// Each run takes Reads reads of each side, in blocks that alternate between the two sides.
constexpr int Reads = 2000;
constexpr int Blocks = 10;
constexpr int BlockReads = Reads / Blocks;
constexpr int Runs = 5;
using CommandCode::ReadCounts;
constexpr double LineBitsPerSecond = 500000.0;

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);

    SimProcess sim(SimProcess::Unlogged);
    if (!sim.start()) {
        std::fprintf(stderr, "bench_roundtrip: the simulator did not start\n");
        return 1;
    }

    cStarProtocolPC requestCodec;
    requestCodec.codeData(0x00, ReadCounts, 0, nullptr);
    const int requestBytes = requestCodec.frameLength();

    std::vector<double> progMedian, progP99, progRate, bareMedian, bareP99, bareRate;
    std::vector<double> progCpu, bareCpu;
    int answerBytes = 0;
    int failures = 0;
    for (int run = 0; run < Runs; ++run) {
        bench::RoundTripSamples p;
        bench::RoundTripSamples b;
        for (int block = 0; block < Blocks; ++block) {
            {
                cuRs485IOInterface link;
                link.setPortName(sim.portPath());
                bench::programBlock(&link, BlockReads, &p);
            }
            bench::BareLine line(sim.portPath());
            bench::bareBlock(line, requestCodec, BlockReads, &b);
        }
        progMedian.push_back(bench::median(p.us));
        progP99.push_back(bench::quantile(p.us, 0.99));
        progRate.push_back(double(p.us.size()) / p.seconds);
        bareMedian.push_back(bench::median(b.us));
        bareP99.push_back(bench::quantile(b.us, 0.99));
        bareRate.push_back(double(b.us.size()) / b.seconds);
        progCpu.push_back(p.cpuSeconds / double(p.us.size()) * 1e6);
        bareCpu.push_back(b.cpuSeconds / double(b.us.size()) * 1e6);
        std::fprintf(stderr,
                     "run %d: program median %.1f us p99 %.1f us %.0f reads/s (%d failed); "
                     "bare median %.1f us p99 %.1f us %.0f reads/s (%d failed)\n",
                     run + 1, progMedian.back(), progP99.back(), progRate.back(), p.failures,
                     bareMedian.back(), bareP99.back(), bareRate.back(), b.failures);
        answerBytes = std::max(answerBytes, b.answerBytes);
        failures += p.failures + b.failures;
    }

    const double median = bench::median(progMedian);
    const double bare = bench::median(bareMedian);
    bench::Row row;
    row.bench = "round trip";
    row.figure = "counts read, median us";
    row.value = bench::format(median, 1);
    row.spread = bench::spread(progMedian, 1);
    row.baseline = bench::format(bare, 1) + " (bare)";
    row.ratio = bench::format(median / bare, 2);
    row.goal = "<= 1.5x bare";
    row.met = bench::yesNo(median / bare <= 1.5);
    bench::printRow(row);

    const double p99 = bench::median(progP99);
    const double bareP99Median = bench::median(bareP99);
    row.figure = "counts read, p99 us";
    row.value = bench::format(p99, 1);
    row.spread = bench::spread(progP99, 1);
    row.baseline = bench::format(bareP99Median, 1) + " (bare)";
    row.ratio = bench::format(p99 / bareP99Median, 2);
    row.goal = "-";
    row.met = "-";
    bench::printRow(row);

    const double rate = bench::median(progRate);
    const double bareRateMedian = bench::median(bareRate);
    // The process's own CPU time per read hardly depends on how the machine schedules the
    // two processes, so it shows the program's cost where the times above are noisy.
    row.figure = "CPU time of the process per read, us";
    row.value = bench::format(bench::median(progCpu), 1);
    row.spread = bench::spread(progCpu, 1);
    row.baseline = bench::format(bench::median(bareCpu), 1) + " (bare)";
    row.ratio = bench::format(bench::median(progCpu) / bench::median(bareCpu), 2);
    bench::printRow(row);

    row.figure = "reads per second";
    row.value = bench::format(rate, 0);
    row.spread = bench::spread(progRate, 0);
    row.baseline = bench::format(bareRateMedian, 0) + " (bare)";
    row.ratio = bench::format(rate / bareRateMedian, 2);
    bench::printRow(row);

    // The same exchange on a real line: every byte is a start bit, 8 data bits and a stop bit.
    const double lineUs = (requestBytes + answerBytes) * 10.0 / LineBitsPerSecond * 1e6;
    row.figure = "500000-baud 8N1 line, " + std::to_string(requestBytes) + "+"
        + std::to_string(answerBytes) + " B, us";
    row.value = bench::format(lineUs, 0);
    row.spread = "(computed)";
    row.baseline = bench::format(1e6 / lineUs, 0) + " reads/s";
    row.ratio = bench::format(median / lineUs, 3);
    bench::printRow(row);

    if (failures)
        std::fprintf(stderr, "bench_roundtrip: %d reads got no answer\n", failures);
    return failures ? 1 : 0;
}
