#ifndef COUNTWATCHER_H
#define COUNTWATCHER_H

#include "countingrun.h"

#include <QElapsedTimer>

// Starts counting and reads the four counts once per period, one CSV line
// `time_s,count1,count2,count3,count4` per answered read. The reads keep to a fixed grid of
// periods from the start, so a slow answer does not shift the ones after it; a period whose
// read got no answer prints nothing and is noted on standard error.
class CountWatcher : public CountingRun
{
    Q_OBJECT
public:
    // count 0: until interrupted; periodSeconds 0: the device's time constant.
    CountWatcher(CounterClient *client, int count, double periodSeconds, QObject *parent = nullptr);
    ~CountWatcher() override;

protected:
    void begin() override;
    void tick() override;

private:
    const int m_count;
    double m_periodSeconds;
    qint64 m_periodMs = 0;
    qint64 m_nextDueMs = 0;
    int m_reads = 0;
    int m_missed = 0;
    QElapsedTimer m_clock;
};

#endif // COUNTWATCHER_H
