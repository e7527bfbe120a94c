#ifndef FAULTSCENARIOS_H
#define FAULTSCENARIOS_H

#include "faultrun.h"

#include <QString>

// The fault scenarios, each against a freshly started simulated counter with its faults on.
// The tests run them short, the report program long; both judge them by the same figures.
namespace FaultScenarios {

struct Result
{
    bool started = false; // false: the simulator did not come up
    QString simArguments;
    double seconds = 0.0;
    FaultFigures figures;
};

// 20 % of answers dropped. A mix of reads, writes and counts reads while counting.
Result drops(int operations, quint64 seed, int answerTimeoutMs = 500);
// 5 % of answers with one byte changed, 20 % preceded by noise bytes. Same mix.
Result corruption(int operations, quint64 seed, int answerTimeoutMs = 500);
// 5 % of answers 700 ms late (after the 500 ms time-out) and 5 % answered with the code and
// payload of another read. Same mix. The time-out stays 500 ms, below the lateness.
Result lateAndWrongCode(int operations, quint64 seed);
// Counts sent unasked every 3 ms while counting; counts, channel and time-constant reads.
Result unsolicited(int operations, quint64 seed, int answerTimeoutMs = 500);

// The scenarios below number the counts, so a counts value that answers an earlier request
// than the operation's own shows as such.
// `share` of the counts answers 600-1500 ms late, after the program's 500 ms time-out; late
// answers overtake each other. Same mix as the drops.
Result lateCounts(int operations, quint64 seed, double share);
// 20 % of the answers to counts, time-constant and channel reads 600-1500 ms late.
Result lateMixedCodes(int operations, quint64 seed);
// 20 % of getter answers cut below their value's size, 10 % with bytes appended. The mix
// reads the identifier instead of the device type: a text cut before its end is still a
// text, which no reader can tell from a whole one.
Result shortAndLong(int operations, quint64 seed, int answerTimeoutMs = 500);
// Every request echoed back before its answer, as by an echoing adapter; 10 % of answers
// dropped, so an echo taken for a confirmation shows. Same mix as the drops.
Result echo(int operations, quint64 seed, int answerTimeoutMs = 500);
// Half-way through the run the counter behind the port's name is replaced by one with
// another identifier (the same type). Every operation after that must fail.
Result swappedDevice(int operations, quint64 seed, int answerTimeoutMs = 500);

} // namespace FaultScenarios

#endif // FAULTSCENARIOS_H
