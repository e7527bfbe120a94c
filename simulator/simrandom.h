#ifndef SIMRANDOM_H
#define SIMRANDOM_H

#include <QtGlobal>

#include <algorithm>
#include <cmath>

// A small generator of our own (splitmix64), so that a seed gives the same run on every
// platform and standard library, which std::*_distribution does not promise.
class SimRandom
{
public:
    explicit SimRandom(quint64 seed) : m_state(seed) { }

    quint64 next()
    {
        quint64 z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // Uniform in [0, 1).
    double uniform() { return double(next() >> 11) * (1.0 / 9007199254740992.0); }

    // Uniform in [0, bound).
    quint32 below(quint32 bound) { return bound ? quint32(next() % bound) : 0; }

    bool chance(double share) { return uniform() < share; }

    // Standard normal, by Box-Muller.
    double gaussian()
    {
        const double radius = std::sqrt(-2.0 * std::log(1.0 - uniform()));
        return radius * std::cos(6.283185307179586 * uniform());
    }

    // A Poisson count of this mean: exact for small means, by the normal approximation from
    // 30 on, where the two differ by less than a count's own spread shows.
    quint64 poisson(double mean)
    {
        if (mean >= 30.0)
            return quint64(std::max(0.0, std::round(mean + std::sqrt(mean) * gaussian())));
        const double limit = std::exp(-mean);
        quint64 count = 0;
        for (double product = uniform(); product > limit; product *= uniform())
            ++count;
        return count;
    }

private:
    quint64 m_state;
};

#endif // SIMRANDOM_H
