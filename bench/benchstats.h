#ifndef BENCHSTATS_H
#define BENCHSTATS_H

// Small helpers shared by the benchmark programs: order statistics over samples, CPU time of
// the process, and the one-line result format that bench/run.sh gathers into its table.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <time.h>

namespace bench {

// Value at fraction q (0..1) of the sorted samples, nearest rank.
inline double quantile(std::vector<double> samples, double q)
{
    if (samples.empty())
        return std::nan("");
    std::sort(samples.begin(), samples.end());
    const double rank = std::ceil(q * double(samples.size()));
    const size_t index = size_t(std::clamp(rank, 1.0, double(samples.size()))) - 1;
    return samples[index];
}

inline double median(const std::vector<double> &samples)
{
    if (samples.empty())
        return std::nan("");
    std::vector<double> s = samples;
    std::sort(s.begin(), s.end());
    const size_t n = s.size();
    return n % 2 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2.0;
}

inline double minOf(const std::vector<double> &s)
{
    return s.empty() ? std::nan("") : *std::min_element(s.begin(), s.end());
}

inline double maxOf(const std::vector<double> &s)
{
    return s.empty() ? std::nan("") : *std::max_element(s.begin(), s.end());
}

// User plus system CPU time of the whole process, in seconds.
inline double processCpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

inline double monotonicSeconds()
{
    timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + t.tv_nsec / 1e9;
}

inline std::string format(double value, int decimals)
{
    if (std::isnan(value))
        return "-";
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

// "median (min-max)" of repeated runs.
inline std::string spread(const std::vector<double> &runs, int decimals)
{
    if (runs.size() < 2)
        return format(runs.empty() ? std::nan("") : runs.front(), decimals);
    return format(minOf(runs), decimals) + "-" + format(maxOf(runs), decimals);
}

// One row of the table printed by bench/run.sh. Tab-separated so that run.sh can lay the rows
// out without parsing numbers: benchmark, figure, value (median of the runs), spread over the
// runs, baseline, ratio, goal, whether the goal is met.
struct Row
{
    std::string bench;
    std::string figure;
    std::string value;
    std::string spread;
    std::string baseline = "-";
    std::string ratio = "-";
    std::string goal = "-";
    std::string met = "-";
};

inline void printRow(const Row &row)
{
    std::printf("ROW\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n", row.bench.c_str(), row.figure.c_str(),
                row.value.c_str(), row.spread.c_str(), row.baseline.c_str(), row.ratio.c_str(),
                row.goal.c_str(), row.met.c_str());
    std::fflush(stdout);
}

inline std::string yesNo(bool met)
{
    return met ? "yes" : "NO";
}

} // namespace bench

#endif // BENCHSTATS_H
