// What the detector fit costs and gains. By default: the time of one fit of four phases of 100
// points each (0 to 49500 in steps of 500, 1 s per point, Poisson counts from the simulator's
// default model), beside the peak search it replaces on the same curves.
//
// With --shortest: for each level, the shortest time constant at which every one of 10 scans
// gets a proposal inside its valley (clear of both peaks by 1500, as in the tests), by the
// peak search on that level's phase and by the fit of all four phases.
#include "benchstats.h"
#include "detectorfit.h"
#include "kuvelcountermodel.h"
#include "levelproposal.h"

#include <QtEndian>

#include <cstring>

namespace {

constexpr int Runs = 30;
constexpr int Seeds = 10;
constexpr int PhotonHeight = 8000; // the simulator's default

// One phase scanned on the simulator's model, with Poisson counts.
QVector<QPointF> poissonCurve(int phase, float timeConst, quint64 seed)
{
    KuvelCounterModel model;
    QByteArray answer, payload(4, '\0');
    qToLittleEndian<float>(timeConst, payload.data());
    model.handle(CommandCode::WriteTimeConst, payload, &answer);
    SimRandom random(seed * 4 + quint64(phase));
    QVector<QPointF> curve;
    for (int level = 0; level <= 49500; level += 500) {
        QByteArray record(4, '\0');
        record[1] = char(phase - 1);
        qToLittleEndian<quint16>(quint16(level), record.data() + 2);
        model.handle(CommandCode::WriteReferenceLevel, record, &answer);
        curve.append(QPointF(level, double(random.poisson(model.expectedCount(phase - 1)))));
    }
    return curve;
}

QVector<QVector<QPointF>> scan(float timeConst, quint64 seed)
{
    QVector<QVector<QPointF>> curves;
    for (int phase = 1; phase <= 4; ++phase)
        curves.append(poissonCurve(phase, timeConst, seed));
    return curves;
}

bool inValley(const LevelProposal &proposal, int photons)
{
    return proposal.isValid() && proposal.level() > (photons - 1) * PhotonHeight + 1500
        && proposal.level() < photons * PhotonHeight - 1500;
}

int shortest()
{
    const float timeConsts[] = {0.01f, 0.02f, 0.05f, 0.1f, 0.2f, 0.5f, 1.0f, 2.0f, 5.0f, 10.0f};
    constexpr int Count = int(sizeof(timeConsts) / sizeof(timeConsts[0]));
    // hits[method][level][time constant]: scans with the proposal in the valley
    int hits[2][4][Count] = {};
    for (int t = 0; t < Count; ++t) {
        for (quint64 seed = 1; seed <= Seeds; ++seed) {
            const QVector<QVector<QPointF>> curves = scan(timeConsts[t], seed);
            const QVector<LevelProposal> fitted = DetectorFit::proposals(curves);
            for (int level = 1; level <= 4; ++level) {
                hits[0][level - 1][t]
                    += inValley(LevelProposal::fromCurve(curves[level - 1], level), level);
                hits[1][level - 1][t] += inValley(fitted[level - 1], level);
            }
        }
    }
    const char *names[2] = {"peak search", "fit"};
    for (int method = 0; method < 2; ++method) {
        for (int level = 0; level < 4; ++level) {
            // The shortest from which on every longer one succeeds too.
            int from = Count;
            while (from > 0 && hits[method][level][from - 1] == Seeds)
                --from;
            std::printf("%-11s level %d: shortest time constant %s s; in the valley per time "
                        "constant:",
                        names[method], level + 1,
                        from < Count ? bench::format(timeConsts[from], 2).c_str() : "> 10");
            for (int t = 0; t < Count; ++t)
                std::printf(" %d", hits[method][level][t]);
            std::printf(" of %d\n", Seeds);
        }
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--shortest") == 0)
        return shortest();

    const QVector<QVector<QPointF>> curves = scan(1.0f, 1);
    std::vector<double> fitMs, searchMs;
    int proposed = 0;
    for (int run = 0; run < Runs; ++run) {
        double begin = bench::monotonicSeconds();
        const DetectorFit fit(curves);
        fitMs.push_back(1000.0 * (bench::monotonicSeconds() - begin));
        proposed = 0;
        for (const LevelProposal &proposal : fit.proposals())
            proposed += proposal.isValid();
        if (run == 0) {
            for (const QString &line : fit.reportLines())
                std::fprintf(stderr, "%s\n", qPrintable(line));
        }

        begin = bench::monotonicSeconds();
        for (int phase = 1; phase <= 4; ++phase)
            LevelProposal::fromCurve(curves[phase - 1], phase);
        searchMs.push_back(1000.0 * (bench::monotonicSeconds() - begin));
    }

    bench::Row row;
    row.bench = "fit";
    row.figure
        = "fit of 4 phases x 100 points, ms (" + std::to_string(proposed) + " of 4 proposed)";
    row.value = bench::format(bench::median(fitMs), 2);
    row.spread = bench::spread(fitMs, 2);
    row.baseline = bench::format(bench::median(searchMs), 3) + " (peak search)";
    row.ratio = bench::format(bench::median(fitMs) / bench::median(searchMs), 0);
    row.goal = "< 100 ms";
    row.met = bench::yesNo(bench::median(fitMs) < 100.0);
    bench::printRow(row);
    return 0;
}
