#ifndef SCANRUNNER_H
#define SCANRUNNER_H

#include "countingrun.h"

#include <QPointF>
#include <QVector>

// The four-phase calibration scan of one channel, the same as the window's: in phase p the
// level p of the channel steps from Start to Stop by Step while the other three are held at
// 65535, and each point records count p. The first point of a phase is read two time
// constants after its four levels were written, every later one a time constant after its
// level was written. Writes `phase,level,count` lines, progress and, at the end, the proposed
// levels on standard error.
class ScanRunner : public CountingRun
{
    Q_OBJECT
public:
    // A failed counts read measures the same level again; this many in a row end the scan.
    static constexpr int MaxFailedReads = 5;

    ScanRunner(CounterClient *client, int channel, quint32 start, quint32 stop, quint32 step,
               QObject *parent = nullptr);
    ~ScanRunner() override;

    // Start, Start + Step, ... up to the last not above Stop; Start above Stop gives Start.
    static int pointsPerPhase(quint32 start, quint32 stop, quint32 step);

protected:
    void begin() override;
    void tick() override;

private:
    // The phase's level gets the current value, the other three are held.
    bool writeAllLevels();
    bool writeLevel(int levelIndex, quint16 value);
    double secondsLeft() const;
    // The proposed levels of a complete scan on standard error, and as a last comment line of
    // the data when it has a header. False when the run ended.
    bool reportProposals();

    const int m_channel;
    const quint32 m_start;
    const quint32 m_stop;
    const quint32 m_step;
    const int m_pointsPerPhase;

    float m_timeConst = 0;
    // 32 bits, so Start + Step beyond 65535 ends the phase instead of wrapping around.
    quint32 m_value = 0;
    int m_phase = 0; // 0 to 3, shown as 1 to 4
    int m_pointsOfPhase = 0;
    int m_pointsDone = 0;
    int m_failedReads = 0;
    QVector<QPointF> m_curves[4];
};

#endif // SCANRUNNER_H
