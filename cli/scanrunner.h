#ifndef SCANRUNNER_H
#define SCANRUNNER_H

#include "countingrun.h"
#include "scansequence.h"

// The calibration scan of the counter layer, run from the command line: writes
// `phase,level,count` lines as the points come, progress and, at the end, the proposed levels
// on standard error. Every failure ends the run with the counter stopped.
class ScanRunner : public CountingRun
{
    Q_OBJECT
public:
    ScanRunner(CounterClient *client, int channel, quint32 start, quint32 stop, quint32 step,
               QObject *parent = nullptr);
    ~ScanRunner() override;

protected:
    void begin() override;
    void tick() override;

private:
    void recordPoint(const ScanData::Point &point);
    void reportMissedRead();
    // Says what ended the scan and finishes the run; nothing when it ended by a signal or a
    // closed output, which finished the run already.
    void endFailed();
    // The proposed levels of a complete scan and the detector's model fitted to it on standard
    // error, and as the last comment lines of the data when it has a header. False when the
    // run ended.
    bool reportProposals();

    ScanSequence m_sequence;
};

#endif // SCANRUNNER_H
