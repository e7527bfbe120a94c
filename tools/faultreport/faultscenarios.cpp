#include "faultscenarios.h"

#include "simprocess.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

namespace FaultScenarios {

namespace {

// Reads, writes and counts reads in turn. Each write changes the value the next read of
// the same kind must return, so a value left over from an earlier request shows as wrong.
void mixedOperations(FaultRun *run, int operations)
{
    run->startCounting();
    for (int i = 1; i < operations; ++i) {
        const int round = i / 8;
        switch (i % 8) {
        case 0:
            run->writeTimeConst(0.01f * float(1 + round % 20));
            break;
        case 1:
            run->readTimeConst();
            break;
        case 3:
            run->writeChannel(quint8(round % 8));
            break;
        case 4:
            run->readChannel();
            break;
        case 6:
            run->writeRefLevel(quint8(round % 8), quint8(round % 4), quint16(1000 + i));
            break;
        case 7:
            if (round % 4 == 0) {
                run->readDeviceType();
                break;
            }
            run->readCounts();
            break;
        default:
            run->readCounts();
            break;
        }
    }
}

Result runScenario(const QStringList &faultArguments, quint64 seed, int answerTimeoutMs,
                   bool unsolicitedCountsAllowed, void (*operations)(FaultRun *, int),
                   int operationCount)
{
    Result result;
    const QStringList arguments
        = QStringList {QStringLiteral("--seed"), QString::number(seed)} + faultArguments;
    result.simArguments = arguments.join(QLatin1Char(' '));

    SimProcess sim;
    if (!sim.start(arguments))
        return result;
    result.started = true;

    QElapsedTimer clock;
    clock.start();
    FaultRun run(sim.portPath(), answerTimeoutMs);
    operations(&run, operationCount);
    result.seconds = double(clock.elapsed()) / 1000.0;

    // Answers still on their way are logged by the time the simulator stops.
    sim.stop();
    result.figures = run.check(sim.logLines(), unsolicitedCountsAllowed);
    return result;
}

// Lets the event loop run, as the window's poll does between its ticks: frames that come
// meanwhile are taken in with no request waiting.
void pause(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

void countsAndSettings(FaultRun *run, int operations)
{
    run->startCounting();
    for (int i = 1; i < operations; ++i) {
        pause(2);
        switch (i % 4) {
        case 1:
            run->readChannel();
            break;
        case 3:
            run->readTimeConst();
            break;
        default:
            run->readCounts();
            break;
        }
    }
}

} // namespace

Result drops(int operations, quint64 seed, int answerTimeoutMs)
{
    return runScenario({QStringLiteral("--drop"), QStringLiteral("0.2")}, seed, answerTimeoutMs,
                       false, &mixedOperations, operations);
}

Result corruption(int operations, quint64 seed, int answerTimeoutMs)
{
    return runScenario({QStringLiteral("--corrupt"), QStringLiteral("0.05"),
                        QStringLiteral("--noise"), QStringLiteral("0.2")},
                       seed, answerTimeoutMs, false, &mixedOperations, operations);
}

Result lateAndWrongCode(int operations, quint64 seed)
{
    return runScenario({QStringLiteral("--late"), QStringLiteral("0.05"),
                        QStringLiteral("--late-ms"), QStringLiteral("700"),
                        QStringLiteral("--wrong-code"), QStringLiteral("0.05")},
                       seed, 500, false, &mixedOperations, operations);
}

Result unsolicited(int operations, quint64 seed, int answerTimeoutMs)
{
    return runScenario({QStringLiteral("--unsolicited"), QStringLiteral("3")}, seed,
                       answerTimeoutMs, true, &countsAndSettings, operations);
}

} // namespace FaultScenarios
