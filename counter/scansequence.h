#ifndef SCANSEQUENCE_H
#define SCANSEQUENCE_H

#include "counterclient.h"
#include "levelproposal.h"
#include "scandata.h"

#include <QObject>
#include <QVector>

#include <functional>

// The calibration scan of one channel, step by step; the front end owns the timer. A scan has
// four phases, one per reference level: in phase p the level p steps from Start to Stop by
// Step while the other three are held at 65535, and every point records count p. The levels
// settle for two time constants after all four were written (the start of a phase) and for one
// after a single level was written. The front end runs
//   begin()        the channel and the four levels of phase 1 are written;
//   start(t)       it has read the time constant and started the counter: the first delay;
//   step()         after each delay: reads the counts, records the point, writes the next
//                  level and answers the next delay, or that the scan is complete or failed.
// Step 0 with Start not above Stop never leaves the first point of phase 1: the scan then runs
// until the front end stops it.
class ScanSequence : public QObject
{
    Q_OBJECT
public:
    enum Outcome {
        Measure, // a point was recorded, the next level written: step() again after delayMs
        Retry, // the counts read failed or was dropped (the counter's state restored): step()
               // again after delayMs, at the same level
        Complete, // the last point of phase 4 is recorded; nothing more is sent
        Failed, // see failure(); nothing more is sent
        Interrupted, // the front end's interruption check said so; nothing more is sent
    };
    enum Failure {
        NoFailure,
        ChannelNotConfirmed,
        LevelNotConfirmed, // failedLevel() and failedValue() say which
        NoCounts, // MaxFailedReads counts reads in a row got no answer
    };
    struct Step
    {
        Outcome outcome;
        int delayMs = 0;
    };

    // One phase for each level of the channel.
    static constexpr int PhaseCount = CounterClient::LevelCount;
    // A level held out of the way while another level of the channel is scanned.
    static constexpr quint16 HeldLevel = 65535;
    // A failed counts read measures the same level again; this many in a row end the scan.
    static constexpr int MaxFailedReads = 5;

    // Channel 1 to 8; the 32-bit levels let Start + Step beyond 65535 end a phase.
    ScanSequence(CounterClient *client, int channel, quint32 start, quint32 stop, quint32 step,
                 QObject *parent = nullptr);
    ~ScanSequence() override;

    // Start, Start + Step, ... up to the last one not above Stop; Start alone when it lies
    // above Stop. 0 when Step 0 keeps the scan at Start for ever.
    static int pointsPerPhase(quint32 start, quint32 stop, quint32 step);
    // Milliseconds of `timeConstants` time constants, fraction dropped. The product is taken to
    // the microsecond first, so 0.01 s stored as a float still gives 10 ms; a garbled time
    // constant gives no negative or overflowing delay.
    static int delayMs(double timeConstSeconds, int timeConstants);

    // Asked wherever more requests would follow in the same call (after each write and each
    // recorded point): true ends the scan there, with nothing more sent (a signal that came
    // while a request waited, a closed output).
    void setInterruption(const std::function<bool()> &interrupted);

    // Writes the channel and the four levels of phase 1. False when the device did not confirm
    // one of them (or when interrupted): nothing more is then sent.
    bool begin();
    // The time constant the delays are made of, from now on: the one read at the start of the
    // scan. Answers the delay before the first point, two time constants.
    int start(double timeConstSeconds);
    // A front end that times its points by the time constant it shows, rounded, sets it here.
    void setTimeConst(double seconds) { m_timeConst = seconds; }
    Step step();

    int channel() const { return m_channel; }
    quint32 startLevel() const { return m_start; }
    quint32 stopLevel() const { return m_stop; }
    quint32 stepSize() const { return m_step; }
    // The phase being measured, 0 to 3 (shown as 1 to 4), and its level; past the last phase
    // once the scan is complete.
    int phase() const { return m_phase; }
    quint32 level() const { return m_value; }
    bool isComplete() const { return m_phase >= PhaseCount; }
    Failure failure() const { return m_failure; }
    int failedLevel() const { return m_failedLevel; } // 1 to 4
    quint16 failedValue() const { return m_failedValue; }
    int failedReads() const { return m_failedReads; }

    int pointsPerPhase() const { return m_pointsPerPhase; }
    int totalPoints() const { return PhaseCount * m_pointsPerPhase; } // 0: without end
    int pointsOfPhase() const { return m_pointsOfPhase; }
    int pointsDone() const { return m_data.points.size(); }
    // Settling time still to come, in seconds: one time constant per remaining point of this
    // phase (two before its first), two plus one per further point for each later phase; 0
    // for a scan without end.
    double secondsLeft() const;

    // What each level of the channel holds as far as the device confirmed, 1-based level in
    // index level - 1; -1 where a write was not confirmed or none was made yet.
    const int *heldLevels() const { return m_heldLevels; }
    // The points recorded so far, phase 1 to 4.
    const QVector<ScanData::Point> &points() const { return m_data.points; }
    // The detector's model fitted to the phases measured to their end (ScanData::fit), and
    // the levels it proposes.
    DetectorFit fit() const;
    QVector<LevelProposal> proposals() const;

signals:
    void pointRecorded(const ScanData::Point &point);
    void progressed(int pointsDone, int totalPoints);

private:
    bool writeLevel(int levelIndex, quint16 value);
    // The phase's level gets the current value, the other three are held.
    bool writeAllLevels();
    bool interrupted() const { return m_interrupted && m_interrupted(); }
    Step end(Outcome outcome);

    CounterClient *m_client;
    const int m_channel;
    const quint32 m_start;
    const quint32 m_stop;
    const quint32 m_step;
    const int m_pointsPerPhase;
    std::function<bool()> m_interrupted;

    double m_timeConst = 0;
    quint32 m_value = 0;
    int m_phase = 0;
    int m_pointsOfPhase = 0;
    int m_failedReads = 0;
    // Set once the scan has ended: every later step() answers it again and sends nothing.
    int m_ended = -1;
    Failure m_failure = NoFailure;
    int m_failedLevel = 0;
    quint16 m_failedValue = 0;
    int m_heldLevels[PhaseCount] = {-1, -1, -1, -1};
    ScanData m_data;
};

#endif // SCANSEQUENCE_H
