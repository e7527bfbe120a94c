#ifndef ROUNDTRIPBLOCKS_H
#define ROUNDTRIPBLOCKS_H

// One block of synchronous counts reads, through the program or as a bare exchange, for the
// round-trip benchmarks: they alternate such blocks so drift of a shared machine touches every
// side alike.

#include "bareline.h"
#include "benchstats.h"
#include "cuiointerface.h"
#include "kuvelcounterdriver.h"

#include <algorithm>
#include <vector>

namespace bench {

// The samples of one side in one run, in microseconds, and the time they took.
struct RoundTripSamples
{
    std::vector<double> us;
    double seconds = 0;
    double cpuSeconds = 0; // of this process only: the simulator's is not in it
    int failures = 0;
    int answerBytes = 0;
};

// Reads not measured before each block: the first requests of a link open its line.
constexpr int RoundTripWarmUp = 20;
constexpr int RoundTripAttempts = 5;

// `reads` counts reads through the driver on `link`.
inline void programBlock(cuIOInterface *link, int reads, RoundTripSamples *samples)
{
    KuvelCounterDriver driver;
    driver.setIOInterface(link);
    bool ok = false;
    for (int i = 0; i < RoundTripWarmUp; ++i)
        driver.counts()->getValueSync(&ok, RoundTripAttempts);

    const double cpuStart = processCpuSeconds();
    const double start = monotonicSeconds();
    for (int i = 0; i < reads; ++i) {
        const double t0 = monotonicSeconds();
        driver.counts()->getValueSync(&ok, RoundTripAttempts);
        samples->us.push_back((monotonicSeconds() - t0) * 1e6);
        samples->failures += !ok;
    }
    samples->seconds += monotonicSeconds() - start;
    samples->cpuSeconds += processCpuSeconds() - cpuStart;
}

// `reads` exchanges of the request frame with bare write/poll/read on `line`.
inline void bareBlock(BareLine &line, const cAbstractStarProtocol &request, int reads,
                      RoundTripSamples *samples)
{
    if (!line.isOpen()) {
        samples->failures += reads;
        return;
    }
    for (int i = 0; i < RoundTripWarmUp; ++i)
        line.exchange(request);

    const double cpuStart = processCpuSeconds();
    const double start = monotonicSeconds();
    for (int i = 0; i < reads; ++i) {
        const double t0 = monotonicSeconds();
        const int bytes = line.exchange(request);
        samples->us.push_back((monotonicSeconds() - t0) * 1e6);
        samples->failures += bytes == 0;
        samples->answerBytes = std::max(samples->answerBytes, bytes);
    }
    samples->seconds += monotonicSeconds() - start;
    samples->cpuSeconds += processCpuSeconds() - cpuStart;
}

} // namespace bench

#endif // ROUNDTRIPBLOCKS_H
