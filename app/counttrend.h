#ifndef COUNTTREND_H
#define COUNTTREND_H

#include "linewriter.h"

#include <QElapsedTimer>
#include <QSize>
#include <QString>
#include <QWidget>

class QAction;
class QCheckBox;
class QCustomPlot;
class QMenu;
class QPushButton;
class QTimer;

// The four live counts over time, scrolling over the last minutes, and "Record..." that
// streams every later reading to a CSV file as the CLI's watch prints it. The mouse drags and
// zooms the plot, which pauses it; "Pause" holds the view still while readings go on being
// kept and recorded, and a double click follows them again. Its right-click menu saves the
// plot (at a chosen size, under a title line) and the readings it holds. It is fed by the
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
    // `channel` (1 to 8) is the run's, named by saved plots and data.
    void setCounting(bool counting, int channel = 0);
    // The view holds still: new readings are kept and recorded, but not drawn.
    void setPaused(bool paused);
    bool isPaused() const;
    // The counter's state was lost and set again: the line breaks here, and a recording gets
    // a comment line with the time and what happened.
    void markGap(const QString &what);

    // Asks the operator where to record; empty when cancelled.
    QString askRecordPath(int channel);
    // Writes the header (comment lines that say where, when and how) and streams every later
    // reading. Warns and returns false when the file cannot be written.
    bool startRecording(const QString &path, const QByteArray &headerLines);
    void stopRecording();
    bool isRecording() const { return m_file.isOpen(); }

    // The plot as shown, as PNG, JPG or PDF by the extension, at the size chosen in the last
    // Save plot dialog (the size shown before one), under a title line naming the channel and
    // the date and time of the view's left edge. Warns and returns false on failure.
    bool savePlot(const QString &path);
    // The readings held, as a recording writes them, the seconds counted from the first.
    // Warns and returns false on failure.
    bool saveData(const QString &path);

signals:
    // "Record..." was pressed: the window asks for the file and gathers the header.
    void recordRequested();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void replotSoon();
    void replotNow();
    // The last readings across the plot, scrolling; the counts of the time shown in height.
    void followTime();
    void fitCounts();
    void showMenu(const QPoint &pos);
    QString askSavePath(const QString &caption, const QString &name, const QStringList &filters,
                        const QStringList &suffixes, QSize *size = nullptr);
    QString fileName(const QString &suffix) const;
    void warn(const QString &text);
    void setLogarithmic(bool logarithmic);
    // Ends the recording and tells the operator why, from the event loop: the poll that found
    // the error goes on while the box is up.
    void failRecording(const QString &reason);

    QCustomPlot *m_plot;
    QCheckBox *m_logarithmic;
    QPushButton *m_pause;
    QPushButton *m_record;
    QMenu *m_menu;
    QAction *m_saveDataAction;
    QTimer *m_replotTimer;
    // Keys are seconds since the epoch, taken from a monotonic clock.
    QElapsedTimer m_clock;
    qint64 m_clockEpochMs = 0;
    bool m_newRun = false;
    double m_lastKey = 0;
    LineWriter m_file;
    QElapsedTimer m_recordClock;
    QString m_saveDir;
    int m_channel = 0;
    // The size of a saved plot; invalid: as shown.
    QSize m_plotSize;
};

#endif // COUNTTREND_H
