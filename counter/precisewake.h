#ifndef PRECISEWAKE_H
#define PRECISEWAKE_H

#include <QObject>

class QSocketNotifier;

// Wakes the event loop at a timer's exact deadline. Qt rounds the time it sleeps up to whole
// milliseconds from the moment it goes to sleep, so a timer armed and then followed by other
// work (drawing a point, say) fires up to a millisecond late, every time: at a time constant
// of 10 ms that lengthens a scan by several per cent. Armed right after the timer's start with
// the same delay, this wakes the loop when the deadline has passed, and the timer fires at
// once. Where the system has no such clock, it does nothing and the timer keeps Qt's rounding.
class PreciseWake : public QObject
{
    Q_OBJECT

public:
    explicit PreciseWake(QObject *parent = nullptr);
    ~PreciseWake() override;

    void arm(int delayMs);
    void disarm();

private:
    void woken();

    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
};

#endif // PRECISEWAKE_H
