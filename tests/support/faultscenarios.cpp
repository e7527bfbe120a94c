#include "faultscenarios.h"

#include "simprocess.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

namespace FaultScenarios {

namespace {

// Reads, writes and counts reads in turn. Each write changes the value the next read of
// the same kind must return, so a value left over from an earlier request shows as wrong.
void mixedOperations(FaultRun *run, int operations, bool readTexts)
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
                readTexts ? run->readDeviceType() : run->readIdentifier();
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

void mixedOperations(FaultRun *run, int operations)
{
    mixedOperations(run, operations, true);
}

void fixedSizeOperations(FaultRun *run, int operations)
{
    mixedOperations(run, operations, false);
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
    run.identify();
    operations(&run, qMax(1, operationCount - run.operationCount()));
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

Result lateCounts(int operations, quint64 seed, double share)
{
    return runScenario({QStringLiteral("--numbered-counts"), QStringLiteral("--late"),
                        QString::number(share), QStringLiteral("--late-ms"),
                        QStringLiteral("600-1500"), QStringLiteral("--late-codes"),
                        QStringLiteral("17")},
                       seed, 500, false, &mixedOperations, operations);
}

Result lateMixedCodes(int operations, quint64 seed)
{
    return runScenario({QStringLiteral("--numbered-counts"), QStringLiteral("--late"),
                        QStringLiteral("0.2"), QStringLiteral("--late-ms"),
                        QStringLiteral("600-1500"), QStringLiteral("--late-codes"),
                        QStringLiteral("17,12,14")},
                       seed, 500, false, &mixedOperations, operations);
}

Result shortAndLong(int operations, quint64 seed, int answerTimeoutMs)
{
    return runScenario({QStringLiteral("--numbered-counts"), QStringLiteral("--short"),
                        QStringLiteral("0.2"), QStringLiteral("--long"), QStringLiteral("0.1")},
                       seed, answerTimeoutMs, false, &fixedSizeOperations, operations);
}

Result echo(int operations, quint64 seed, int answerTimeoutMs)
{
    return runScenario({QStringLiteral("--numbered-counts"), QStringLiteral("--echo"),
                        QStringLiteral("--drop"), QStringLiteral("0.1")},
                       seed, answerTimeoutMs, false, &mixedOperations, operations);
}

Result swappedDevice(int operations, quint64 seed, int answerTimeoutMs)
{
    Result result;
    const QStringList first {QStringLiteral("--seed"), QString::number(seed),
                             QStringLiteral("--numbered-counts")};
    const QStringList second {QStringLiteral("--seed"), QString::number(seed + 1),
                              QStringLiteral("--numbered-counts"), QStringLiteral("--udid"),
                              QStringLiteral("4b4300000000000000000002")};
    result.simArguments
        = first.join(QLatin1Char(' ')) + QStringLiteral(", then ") + second.join(QLatin1Char(' '));

    // The program opens the port by a name that the second counter takes over, as a
    // /dev/serial/by-id name passes to whatever is plugged in next.
    QTemporaryDir dir;
    const QString portName = dir.filePath(QStringLiteral("counter"));
    SimProcess before;
    SimProcess after;
    if (!dir.isValid() || !before.start(first, portName))
        return result;
    result.started = true;

    QElapsedTimer clock;
    clock.start();
    FaultRun run(portName, answerTimeoutMs);
    run.identify();
    mixedOperations(&run, qMax(1, operations / 2 - 2));
    before.stop();
    // Lets the link see the hang-up, as it would between two polls.
    pause(50);
    if (!after.start(second, portName)) {
        result.started = false;
        return result;
    }
    run.markDeviceSwap();
    run.readDeviceType();
    run.readIdentifier();
    mixedOperations(&run, qMax(1, operations - run.operationCount()));
    result.seconds = double(clock.elapsed()) / 1000.0;

    after.stop();
    result.figures = run.check(before.logLines());
    return result;
}

} // namespace FaultScenarios
