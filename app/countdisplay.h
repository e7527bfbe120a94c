#ifndef COUNTDISPLAY_H
#define COUNTDISPLAY_H

#include <array>
#include <QElapsedTimer>
#include <QObject>

class QLabel;
class QTimer;

// The four live counts in their labels ("1: %1" to "4: %1"). At the shortest time constant
// the counter answers a hundred times a second, faster than anyone reads a number, and a
// label whose text changes its size lays out the whole window again. So the labels are
// given the size of the longest count once, and show the newest counts at most every
// IntervalMs; the last counts of a run are always shown, at most IntervalMs late.
class CountDisplay : public QObject
{
    Q_OBJECT
public:
    // 25 times a second: a number that changes faster is a blur.
    static constexpr int IntervalMs = 40;

    // `labels` are the four labels, 1-photon count first; they stay the caller's.
    CountDisplay(const std::array<QLabel *, 4> &labels, QObject *parent);

    // The counts of one answered poll.
    void show(const quint32 counts[4]);
    // 0 shows every reading at once, as the window did before.
    void setIntervalMs(int ms) { m_intervalMs = ms; }

private:
    void showNow();

    std::array<QLabel *, 4> m_labels;
    quint32 m_counts[4] = {};
    int m_intervalMs = IntervalMs;
    QElapsedTimer m_sinceShown;
    QTimer *m_timer;
};

#endif // COUNTDISPLAY_H
