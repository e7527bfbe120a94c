#ifndef SCANPLOT_H
#define SCANPLOT_H

#include "scandata.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QVector>

class DetectorFit;
class QAction;
class QCPCurve;
class QCustomPlot;
class QMenu;
class QPoint;
class QTimer;
class QWidget;

// The calibration tab's plot: one graph per phase, counts against level on a logarithmic axis,
// the detector's model fitted to the scan as a dashed curve over each phase's points, the
// proposed levels as dashed markers, and the exports of the shown scan (CSV, PNG, JPG,
// PDF) behind its right-click menu. It knows nothing of the device: the window tells it what
// to show and answers its menu's requests.
class ScanPlot : public QObject
{
    Q_OBJECT
public:
    // `window` parents the file dialogs and the warnings.
    ScanPlot(QCustomPlot *plot, QWidget *window);

    // An empty plot for a new scan, with the graph of phase 1, drawn with the next replot.
    void startScan();
    // The graph of `phase` (1 to 4), added as the scan reaches it.
    void addPhase(int phase);
    // A measured point, drawn with the next replot.
    void addPoint(const ScanData::Point &point);
    // A saved scan of `phases` phases, fitted into view.
    void showScan(const QVector<ScanData::Point> &points, int phases);
    // A dashed line at each level of a phase shown; a negative level draws none.
    void showMarkers(const QVector<int> &levels);
    // The fitted counts over the levels of each phase shown, dashed in the phase's colour, in
    // place of an earlier fit; nothing for a fit that failed. The curves are no graphs: the
    // graphs hold the measured points alone.
    void showFit(const DetectorFit &fit);

    // Each warns the operator and returns false when the file cannot be written or read,
    // leaving an existing file, or what the plot showed, as it was.
    bool saveData(const QString &path, const ScanData &data);
    // The plot at the size chosen in the last Save plot dialog (the size shown before one),
    // under a title line naming the scan's channel (0: none known) and date.
    bool savePlot(const QString &path, int channel = 0, const QString &date = QString());
    bool readData(const QString &path, ScanData *data);

    // File dialogs that start in the folder used last; empty when cancelled.
    QString askDataPath(const QString &name);
    // Also asks for the picture's size.
    QString askPlotPath(const QString &name);
    QString askOpenPath();
    QString saveDir() const { return m_saveDir; }
    void setSaveDir(const QString &dir) { m_saveDir = dir; }

    // Which menu entries apply, set while menuAboutToShow is handled.
    void setMenuState(bool canSaveData, bool canOpenData);

signals:
    void menuAboutToShow();
    void saveDataRequested();
    void savePlotRequested();
    void openDataRequested();

private:
    // Log axes, sub-grids, drag and zoom: what every scan shown starts from.
    void reset();
    void showMenu(const QPoint &pos);
    void replotSoon();
    void replotNow();
    QString askSavePath(const QString &caption, const QString &name, const QStringList &filters,
                        const QStringList &suffixes, QSize *size = nullptr);
    void warn(const QString &text);

    QCustomPlot *m_plot;
    QWidget *m_window;
    QTimer *m_replotTimer;
    // Since the last replot; invalid before the first.
    QElapsedTimer m_sinceReplot;
    QMenu *m_menu;
    QAction *m_saveDataAction;
    QAction *m_savePlotAction;
    QAction *m_openDataAction;
    QVector<QCPCurve *> m_fitCurves;
    // The size of a saved plot; invalid: as shown.
    QSize m_plotSize;
    // Where the operator saved last, offered again by the next file dialog.
    QString m_saveDir;
};

#endif // SCANPLOT_H
