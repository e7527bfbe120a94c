// kuvel-fault-report: runs the fault scenarios against the simulated counter, long enough for
// figures, and prints them, then one table of all, with the reads per second each scenario
// left (succeeded operations per second of wall time: what the faults cost). The late answers
// stay within 1.5 s, under the driver's owed-answer bound of 2 s, beyond which an answer is
// taken as the answer to the next request of its code (see RequestTracker). Exits with 1
// when any wrong value or unconfirmed success was accepted, with 2 when the simulator did
// not start.
#include "faultscenarios.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <QVector>

#include <cmath>
#include <cstdio>

namespace {

constexpr double DropShare = 0.2;

double readsPerSecond(const FaultScenarios::Result &result)
{
    return result.seconds > 0.0 ? result.figures.succeeded / result.seconds : 0.0;
}

void printTable(const QVector<QPair<QString, FaultScenarios::Result>> &rows)
{
    std::printf("\n| Scenario | Simulator options | Succeeded | Wrong values accepted | "
                "Successes not confirmed | Reads per second |\n|---|---|---|---|---|---|\n");
    for (const auto &row : rows) {
        const FaultFigures &f = row.second.figures;
        std::printf("| %s | `%s` | %d of %d | %d of %d | %d | %.1f |\n", qPrintable(row.first),
                    qPrintable(row.second.simArguments), f.succeeded, f.operations, f.wrongValues,
                    f.valuesChecked, f.unconfirmedSuccesses, readsPerSecond(row.second));
    }
}

void printFigures(const char *name, const FaultScenarios::Result &result, bool drops)
{
    const FaultFigures &f = result.figures;
    std::printf("\n== %s (kuvel-counter-sim %s)\n", name, qPrintable(result.simArguments));
    std::printf("  operations                %d in %.1f s, succeeded %d, failed %d\n", f.operations,
                result.seconds, f.succeeded, f.failed);
    std::printf("  success rate              %.4f %%\n",
                f.operations ? 100.0 * f.succeeded / f.operations : 0.0);
    std::printf("  reads per second          %.1f\n", readsPerSecond(result));
    if (drops) {
        const double expected = std::pow(DropShare, FaultRun::Attempts);
        std::printf("  failure rate              %.5f, expected 0.2^5 = %.5f (%.2f of %d)\n",
                    f.failureRate(), expected, expected * f.operations, f.operations);
    }
    std::printf("  requests received         %d\n", f.requests);
    std::printf("  answers dropped           %d (%.1f %%)\n", f.answersDropped,
                f.requests ? 100.0 * f.answersDropped / f.requests : 0.0);
    std::printf("  answers corrupted         %d\n", f.answersCorrupted);
    std::printf("  answers with noise before %d\n", f.noiseBursts);
    std::printf("  answers late              %d\n", f.answersLate);
    std::printf("  answers with another code %d\n", f.answersWrongCode);
    std::printf("  answers cut short / longer %d / %d\n", f.answersShort, f.answersLong);
    std::printf("  requests echoed           %d\n", f.requestsEchoed);
    std::printf("  unsolicited frames        %d (taken for a counts answer %d)\n",
                f.unsolicitedFrames, f.unsolicitedTaken);
    std::printf("  values checked            %d (counts %d, distinct counts records %d)\n",
                f.valuesChecked, f.countsChecked, f.distinctCounts);
    std::printf("  wrong values accepted     %d (stale %d, cut short %d, echo %d)\n", f.wrongValues,
                f.staleValues, f.shortTaken, f.echoTaken);
    std::printf("  successes after the swap  %d\n", f.successesAfterSwap);
    std::printf("  successes not confirmed   %d\n", f.unconfirmedSuccesses);
    std::printf("  failures with an answer   %d\n", f.missedAnswers);
    for (const QString &problem : f.problems)
        std::printf("  ! %s\n", qPrintable(problem));
    for (const QString &odd : f.oddities.mid(0, 5))
        std::printf("  ? %s\n", qPrintable(odd));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kuvel-fault-report"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Runs the counter driver and the serial link against the simulated counter with "
        "dropped, corrupted, late, wrong-code, unsolicited, cut-short, longer and echoed "
        "answers and with the device swapped mid-run, checks every value read against the "
        "simulator's log, and prints the figures and a table with the reads per second each "
        "scenario left. The late answers come at most 1.5 s after their request: the driver "
        "waits 2 s for an owed answer, and one later than that is taken as the answer to the "
        "next request of its code, as the protocol carries no request number; a lost answer is "
        "far more common on a real line than one that late. No scenario here sends one."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("operations"), QStringLiteral("Operations per scenario (default 300)."),
         QStringLiteral("n")},
        {QStringLiteral("seed"), QStringLiteral("Seed of the simulator's faults (default 1)."),
         QStringLiteral("n")},
        {QStringLiteral("timeout-ms"),
         QStringLiteral("Answer time-out of the drop, corruption and unsolicited scenarios "
                        "(default 500, the program's own; the late scenarios always use 500)."),
         QStringLiteral("ms")},
        {QStringLiteral("scenario"),
         QStringLiteral("Only this one: drops, corruption, late, unsolicited, late20, late50, "
                        "late100, late-mixed, short, echo, swapped."),
         QStringLiteral("name")},
    });
    parser.process(app);

    const int operations = parser.isSet(QStringLiteral("operations"))
        ? parser.value(QStringLiteral("operations")).toInt()
        : 300;
    const quint64 seed = parser.isSet(QStringLiteral("seed"))
        ? parser.value(QStringLiteral("seed")).toULongLong()
        : 1;
    const int timeoutMs = parser.isSet(QStringLiteral("timeout-ms"))
        ? parser.value(QStringLiteral("timeout-ms")).toInt()
        : 500;
    const QString only = parser.value(QStringLiteral("scenario"));
    if (operations < 2 || timeoutMs < 10) {
        std::fprintf(stderr,
                     "kuvel-fault-report: --operations needs 2 or more, --timeout-ms "
                     "10 or more\n");
        return 2;
    }

    struct Scenario
    {
        const char *name;
        FaultScenarios::Result (*run)(int, quint64, int);
        bool drops;
    };
    const Scenario scenarios[] = {
        {"drops", &FaultScenarios::drops, true},
        {"corruption", &FaultScenarios::corruption, false},
        {"late", [](int n, quint64 s, int) { return FaultScenarios::lateAndWrongCode(n, s); },
         false},
        {"unsolicited", &FaultScenarios::unsolicited, false},
        {"late20", [](int n, quint64 s, int) { return FaultScenarios::lateCounts(n, s, 0.2); },
         false},
        {"late50", [](int n, quint64 s, int) { return FaultScenarios::lateCounts(n, s, 0.5); },
         false},
        {"late100", [](int n, quint64 s, int) { return FaultScenarios::lateCounts(n, s, 1.0); },
         false},
        {"late-mixed", [](int n, quint64 s, int) { return FaultScenarios::lateMixedCodes(n, s); },
         false},
        {"short", &FaultScenarios::shortAndLong, false},
        {"echo", &FaultScenarios::echo, false},
        {"swapped", &FaultScenarios::swappedDevice, false},
    };
    QVector<QPair<QString, FaultScenarios::Result>> rows;

    bool clean = true;
    bool ran = false;
    for (const Scenario &scenario : scenarios) {
        if (!only.isEmpty() && only != QLatin1String(scenario.name))
            continue;
        ran = true;
        const FaultScenarios::Result result = scenario.run(operations, seed, timeoutMs);
        if (!result.started) {
            std::fprintf(stderr, "kuvel-fault-report: the simulated counter did not start\n");
            return 2;
        }
        printFigures(scenario.name, result, scenario.drops);
        rows.append({QString::fromLatin1(scenario.name), result});
        clean = clean && result.figures.clean();
    }
    if (!ran) {
        std::fprintf(stderr, "kuvel-fault-report: no scenario named %s\n", qPrintable(only));
        return 2;
    }
    printTable(rows);
    std::printf("\nAn answer later than 2 s (the owed-answer bound) would be taken as the answer "
                "to the next request of its code; the late answers here come within 1.5 s.\n");
    std::printf("\n%s\n",
                clean ? "no wrong value and no unconfirmed success accepted"
                      : "WRONG VALUES OR UNCONFIRMED SUCCESSES ACCEPTED");
    return clean ? 0 : 1;
}
