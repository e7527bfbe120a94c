#ifndef SCANCONTROLLER_H
#define SCANCONTROLLER_H

#include "scandata.h"

#include <QObject>
#include <QSize>
#include <QString>

#include <functional>

class DeviceCall;
class ProposalsPanel;
class QMainWindow;
class PreciseWake;
class QTimer;
class ScanPlot;
class ScanSequence;

namespace Ui {
class MainWindow;
}

// The calibration scan of the Calibration tab: the counter layer's ScanSequence (for one
// channel, each of the four levels in turn swept from Start to Stop by Step while the other
// three are held out of the way, one counts read per point after the levels settled), run as a
// chain of single-shot steps, each held back while another request waits; a scan runs exactly
// while pbStopCalibration is enabled, and Step 0 runs until the operator stops it. It also
// keeps the scan shown (measured or opened from a file) and writes its proposed levels on
// Apply levels.
class ScanController : public QObject
{
    Q_OBJECT
public:
    // `value` and `phase` are the window's: the level being measured and the phase's index,
    // 0 to 3 (4 once the scan is complete), set from the sequence after each step.
    ScanController(Ui::MainWindow *ui, DeviceCall *device, ScanPlot *plot, ProposalsPanel *panel,
                   quint32 *value, quint8 *phase, QMainWindow *window);
    ~ScanController() override;

    void start();
    // One step: the counts at the current level, then the next level or phase.
    void step();
    // Stops the counter; the scan ends once the device confirmed it.
    void stop();
    // Another device answers on the port: the scan just ends, nothing more is sent.
    void abandon();
    // Drops the step pending, as the window goes.
    void cancelStep();
    bool isRunning() const;

    // The points and the context of the scan shown, measured or opened.
    const ScanData &data() const { return m_data; }
    // The channel (1 to 8) the shown points belong to; 0 when a file does not tell.
    int channel() const { return m_channel; }
    // The shown points came from a file: the device's active channel may be another one.
    bool isFromFile() const { return m_fromFile; }
    // "scan-ch3-20261208-141502.csv": the channel and the UTC date and time the scan started.
    QString defaultName(const QString &suffix) const;
    // The shown scan as a file saves it. A scan measured here gets the firmware, asked only
    // now so that identification keeps its requests, and the levels it proposed.
    ScanData dataToSave(const std::function<QString()> &firmware) const;
    // Shows a saved scan: its curves and the levels they propose. `path` goes to the status.
    void showSaved(const ScanData &data, const QString &path);
    // Writes the four levels of the proposal boxes to the scanned channel and shows them, and
    // the channel, on the Counts tab.
    void applyLevels();

private:
    // A point the sequence recorded: kept, and shown once the step has written the next level.
    void recordPoint(const ScanData::Point &point);
    // Ends a running scan with a warning that says why, stopping the counter.
    void end(const QString &reason);
    void setRunning(bool running);
    void showProgress();
    // Shows the point or the missed read of a step on the status line.
    void showStep(const QString &text);
    // While a scan runs, the status line has the fixed size of its longest step text, so that a
    // new text repaints the line alone instead of laying out and repainting the whole window.
    void pinStatusLine(bool pinned);
    // What the device holds for the scanned channel, as far as the window wrote it.
    QString heldLevelsText() const;

    Ui::MainWindow *ui;
    DeviceCall *m_device;
    ScanPlot *m_plot;
    ProposalsPanel *m_panel;
    QMainWindow *m_window;
    quint32 *m_calibrValue;
    quint8 *m_calibrPhase;
    // The last scan started, kept after its end for the levels it left; replaced by the next.
    ScanSequence *m_sequence = nullptr;
    // Every point the last scan measured, cleared by the next start, and its context.
    ScanData m_data;
    int m_channel = 0;
    bool m_fromFile = false;
    // The levels Apply levels wrote for the scan shown, confirmed; empty before.
    QVector<int> m_applied;
    // The point of the step running, shown at its end.
    ScanData::Point m_lastPoint {};
    bool m_pointPending = false;
    bool m_statusPinned = false;
    // The status line's own size limits, back once the scan ends.
    QSize m_statusMinimum;
    QSize m_statusMaximum;
    // One timer for the chain: a new start restarts it, so a step armed by an earlier scan can
    // never run beside the new one.
    QTimer *m_timer;
    // Ends each settle delay on time, where drawing after the timer's start would delay it.
    PreciseWake *m_wake;
};

#endif // SCANCONTROLLER_H
