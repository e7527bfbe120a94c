#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "devicecall.h"

#include <QDateTime>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QVector>

class CountDisplay;
class CounterClient;
class CountTrend;
class KuvelCounterDriver;
class ProposalsPanel;
class ScanController;
class ScanPlot;
class QSpinBox;
class QTimer;

namespace Ui {
class MainWindow;
}

// The operator's only window: the counter's settings, live counts and the calibration scan.
// It binds the counter, runs the Counts tab and wires the parts of the others: the scan
// (ScanController), its plot (ScanPlot), the proposed levels (ProposalsPanel), the trend
// (CountTrend), the keys and tooltips (WindowKeyboard) and the About box (AboutBox).
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    // Builds the window without touching the device: no port is known yet.
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Creates the counter for the port (its link and driver); nothing is sent yet. Binding
    // again lets go of the earlier port.
    void setPortName(const QString &name);
    // Opens the port before the first request, so that a port that cannot be used is told
    // apart from a silent device. False with the operator's reason in *reason.
    bool openPort(QString *reason);
    // Closes the port after a failed identification, so the device is free again.
    void closePort();
    // True once any message came from the line: a failed identification then met a device
    // that is not the counter, not silence.
    bool deviceAnswered() const;
    // Identifies the counter and loads its active channel and time constant into the window.
    // False when the window must not be shown.
    bool isCorrectDevice();
    // Locks the settings and the calibration tab while the counter counts (enable false).
    void enebleGUI(bool enable);

    // The points of the last scan as CSV `phase,level,count` with a header line; the points of
    // a scan still running are those measured so far. Warns the operator and returns false
    // when the file cannot be written, leaving an existing file as it was.
    bool saveScanData(const QString &path);
    // The plot as PNG, JPG or PDF, chosen by the file's extension. Warns the operator and
    // returns false for another extension or a file that cannot be written, leaving an
    // existing file as it was.
    bool saveScanPlot(const QString &path);
    // Shows a saved scan again: its curves and the levels they propose. Warns the operator and
    // returns false for a file that is not a saved scan, keeping what the plot showed.
    bool openScanData(const QString &path);
    // The name a save offers: the channel and the UTC date and time the scan started,
    // "scan-ch3-20261208-141502.csv".
    QString defaultScanName(const QString &suffix) const;

protected:
    void showEvent(QShowEvent *event) override;
    // Keeps the window's geometry, the scan's range and the save folder for the next start.
    void closeEvent(QCloseEvent *event) override;

public slots:
    // One poll of the live counts while counting runs.
    void timeOut();
    // One step of the calibration scan.
    void calibrationTimeOut();

private:
    void readChannel();
    void writeChannel();
    void readTimeConst();
    void writeTimeConst();
    void writeRefLevel(int level);
    void startCounting();
    void stopCounting();
    void saveToEeprom();
    void startCalibration();
    void stopCalibration();
    // Asks for the file and records the trend, the header telling the device and the run.
    void recordTrend();
    // The program's and its libraries' versions, and the counter's when one is connected.
    void showAbout();
    void restoreSettings();
    // The plot's menu: which entries apply, and what they do.
    void connectPlotMenu();

    // The device's channel index (from 0) in the box; false for one that is none of the eight.
    bool showChannel(int channelIndex);
    void showCountsCurrent(bool current);
    // Another device answers behind the reopened port: stop polling and scanning, and say so.
    void refuseOtherDevice();
    // The level boxes of the shown channel: the level the counter confirmed, or "unknown".
    // channel 0: every box of the shown channel; level 0: all four.
    void showLevel(int channel, int level);
    QVector<QSpinBox *> levelBoxes() const;

    Ui::MainWindow *ui;
    QString m_portName;
    // The driver of m_client, for what the counter said at identification.
    KuvelCounterDriver *m_driver = nullptr;
    // The level being measured and the phase shown, 0 to 3 (4 once the scan is complete): the
    // scan controller sets them from its sequence after each step.
    quint32 m_calibrValue = 0;
    quint8 m_calibrPhase = 0;
    // The counter behind the port: it outlives the window, so nothing is sent on exit.
    CounterClient *m_client = nullptr;
    // The window's device calls, and the ticks they hold back.
    DeviceCall m_device;
    // The channel index the device reported at identification when it is none of the eight,
    // to be told once the window is shown; -1 otherwise.
    int m_channelOutOfRange = -1;
    // When the live counts were last answered; invalid before the first answer.
    QDateTime m_lastCountsTime;
    // Read once, when the first header needs it: identification asks nothing more.
    QString m_firmware;
    QString firmware();

    ScanPlot *m_plot;
    ProposalsPanel *m_proposals;
    ScanController *m_scan;
    CountDisplay *m_counts;
    // Gone in a window without the trend, which then polls as before.
    QPointer<CountTrend> m_trend;
    bool m_showingLevels = false;

    // One timer for the chain: a new start restarts it, so a tick armed by an earlier run can
    // never run beside the new one.
    QTimer *m_pollTimer;
};

#endif // MAINWINDOW_H
