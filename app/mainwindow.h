#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "levelproposal.h"
#include "scandata.h"

#include <QDateTime>
#include <QHash>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QVector>

class CountTrend;
class KuvelCounterDriver;
class cuIOInterface;
class QAction;
class QMenu;
class QPushButton;
class QSpinBox;
class QTimer;
class QToolButton;

namespace Ui {
class MainWindow;
}

// The operator's only window: the counter's settings, live counts and the calibration scan.
// Every device call is synchronous and processes events while it waits for the answer, so
// the poll and the scan step hold their own requests back until no other request waits.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    // Builds the window without touching the device: no port is known yet.
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Creates the link and the counter driver for the port; nothing is sent yet. Binding
    // again lets go of the earlier port.
    void setPortName(const QString &name);
    // Opens the port before the first request, so that a port that cannot be used is told
    // apart from a silent device. False with the operator's reason in *reason.
    bool openPort(QString *reason);
    // Closes the port after a failed identification, so the device is free again.
    void closePort();
    // True once any message came from the line: a failed identification then met a device
    // that is not the counter, not silence.
    bool deviceAnswered() const { return m_deviceAnswered; }
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
    // Enter in a value field runs the field's Set button.
    bool eventFilter(QObject *watched, QEvent *event) override;

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
    // Access keys, Enter in the value fields, the About button and the tooltips.
    void setUpKeyboard();
    void restoreSettings();
    void placeAboutButton();
    static QString proposalTip(int index);

    bool showChannel(quint8 channelIndex);
    void showCountsCurrent(bool current);
    // Each false when the device did not confirm the write after its attempts.
    bool writeCalibrationLevel(quint8 level, quint16 value);
    bool writeCalibrationLevels();
    // Ends a running scan with a warning that says why, stopping the counter.
    void endCalibration(const QString &reason);
    // Another device answers behind the reopened port: stop polling and scanning, and say so.
    void refuseOtherDevice();
    void setCalibrationRunning(bool running);
    void resumeDeferred();
    void warn(const QString &text);
    // Stops the counter; a warning says so when the device did not confirm.
    bool stopCounter();

    void recordScanPoint(quint8 phase, quint32 level, quint32 count);
    void showScanProgress();
    void showPlotMenu(const QPoint &pos);
    void askSaveScanData();
    void askSaveScanPlot();
    void askOpenScanData();

    // Proposals for the phases of m_scanPoints (phases not measured propose nothing), shown
    // in the boxes and as markers.
    void proposeLevels(int phasesMeasured);
    void showMarkers();
    // Writes the four levels of the boxes to the scanned channel and shows them, and the
    // channel, on the Counts tab.
    void applyLevels();
    void setUpPlot();
    // What the device holds for the scanned channel, as far as the window wrote it.
    QString heldLevelsText() const;
    QString askSavePath(const QString &caption, const QString &name, const QStringList &filters,
                        const QStringList &suffixes);

    // A point as the operator reads it: phase 1 to 4, the level written, the phase's count.
    struct ScanPoint
    {
        int phase;
        quint32 level;
        quint32 count;
    };

    Ui::MainWindow *ui;
    QString m_portName;
    KuvelCounterDriver *m_driver = nullptr;
    cuIOInterface *m_link = nullptr;
    bool m_deviceAnswered = false;
    quint32 m_calibrValue = 0;
    quint8 m_calibrPhase = 0;
    // The channel index the device reported at identification when it is none of the eight,
    // to be told once the window is shown; -1 otherwise.
    int m_channelOutOfRange = -1;
    // When the live counts were last answered; invalid before the first answer.
    QDateTime m_lastCountsTime;
    // Every point the last scan measured, cleared by the next start.
    QVector<ScanPoint> m_scanPoints;
    // The points the running scan measures in all; 0 when it never ends (Step 0).
    int m_scanTotalPoints = 0;
    // Counts reads in a row at one point that got no answer; this many end the scan.
    int m_failedCountReads = 0;
    static constexpr int MaxFailedCountReads = 5;

    // The channel (1 to 8) the shown points belong to, and the context they were measured in.
    int m_scanChannel = 0;
    ScanData::Header m_scanHeader;
    // Read once, when the first header needs it: identification asks nothing more.
    QString m_firmware;
    QString firmware();
    // The levels last confirmed for the scanned channel, -1 where a write was not confirmed.
    int m_heldLevels[4] = {-1, -1, -1, -1};
    // The shown points came from a file: the device's active channel may be another one.
    bool m_scanFromFile = false;
    QVector<LevelProposal> m_proposals;
    QSpinBox *m_proposalBoxes[4] = {};
    QPushButton *m_applyButton = nullptr;

    QMenu *m_plotMenu = nullptr;
    QAction *m_openDataAction = nullptr;
    QAction *m_saveDataAction = nullptr;
    QAction *m_savePlotAction = nullptr;
    // Where the operator saved last, offered again by the next file dialog.
    QString m_saveDir;

    // The value fields whose Enter runs a Set button.
    QHash<QObject *, QPushButton *> m_setButtons;
    QToolButton *m_aboutButton = nullptr;

    // Gone in a window without the trend, which then polls as before.
    QPointer<CountTrend> m_trend;

    // One timer per chain: a new start restarts it, so a tick armed by an earlier run can
    // never run beside the new one.
    QTimer *m_pollTimer;
    QTimer *m_calibrationTimer;
    // A tick or step that fell due while a request was waiting, to be run once it is over.
    bool m_pollDeferred = false;
    bool m_calibrationDeferred = false;
};

#endif // MAINWINDOW_H
