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

} // namespace FaultScenarios

#endif // FAULTSCENARIOS_H
