#ifndef COUNTTREND_H
#define COUNTTREND_H

#include "linewriter.h"

#include <QElapsedTimer>
#include <QString>
#include <QWidget>

class QCheckBox;
class QCustomPlot;
class QPushButton;
class QTimer;

// The four live counts over time, scrolling over the last minutes, and "Record..." that
// streams every later reading to a CSV file as the CLI's watch prints it. It is fed by the
// window's answered polls only and knows nothing of the device.
class CountTrend : public QWidget
{
    Q_OBJECT
public:
    explicit CountTrend(QWidget *parent = nullptr);
    ~CountTrend() override;

    // One answered poll, taken now.
    void addCounts(const quint32 counts[4]);
    // Counting starts or stops: a new run is not joined to the last one by a line, and a
    // recording ends with its run, since the header's settings may change before the next.
    void setCounting(bool counting);

    // Asks the operator where to record; empty when cancelled.
    QString askRecordPath(int channel);
    // Writes the header (comment lines that say where, when and how) and streams every later
    // reading. Warns and returns false when the file cannot be written.
    bool startRecording(const QString &path, const QByteArray &headerLines);
    void stopRecording();
    bool isRecording() const { return m_file.isOpen(); }

signals:
    // "Record..." was pressed: the window asks for the file and gathers the header.
    void recordRequested();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void replotSoon();
    void replotNow();
    void setLogarithmic(bool logarithmic);
    // Ends the recording and tells the operator why, from the event loop: the poll that found
    // the error goes on while the box is up.
    void failRecording(const QString &reason);

    QCustomPlot *m_plot;
    QCheckBox *m_logarithmic;
    QPushButton *m_record;
    QTimer *m_replotTimer;
    // Keys are seconds since the epoch, taken from a monotonic clock.
    QElapsedTimer m_clock;
    qint64 m_clockEpochMs = 0;
    bool m_newRun = false;
    double m_lastKey = 0;
    LineWriter m_file;
    QElapsedTimer m_recordClock;
    QString m_saveDir;
};

#endif // COUNTTREND_H
