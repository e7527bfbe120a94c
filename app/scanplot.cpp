#include "scanplot.h"

#include "detectorfit.h"
#include "plotsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>
#include <QTimer>
#include <qcustomplot.h>

namespace {

// A scan at the shortest time constant adds a point every 10 ms, faster than a screen shows
// them, and a replot costs a few milliseconds. So the plot is redrawn at most this often.
constexpr int ReplotIntervalMs = 40;

QPen phasePen(int phase)
{
    static const Qt::GlobalColor colours[] = {Qt::blue, Qt::red, Qt::magenta, Qt::yellow};
    return QPen(colours[phase - 1]);
}

} // namespace

ScanPlot::ScanPlot(QCustomPlot *plot, QWidget *window)
    : QObject(plot)
    , m_plot(plot)
    , m_window(window)
    , m_replotTimer(new QTimer(plot))
    , m_menu(new QMenu(plot))
{
    // The opposite axes always show the same range. The plot's slots take a QCPRange by value
    // in one overload and by reference in another, which the text form resolves.
    connect(m_plot->xAxis, SIGNAL(rangeChanged(QCPRange)), m_plot->xAxis2,
            SLOT(setRange(QCPRange)));
    connect(m_plot->yAxis, SIGNAL(rangeChanged(QCPRange)), m_plot->yAxis2,
            SLOT(setRange(QCPRange)));
    m_plot->xAxis->setLabel(tr("Reference level"));
    m_plot->yAxis->setLabel(tr("Counts"));
    PlotSupport::placeLegendAbove(m_plot);

    m_replotTimer->setObjectName(QStringLiteral("replotTimer"));
    m_replotTimer->setSingleShot(true);
    connect(m_replotTimer, &QTimer::timeout, this, &ScanPlot::replotNow);

    // The plot drags its range with the left button, so the right one is free for the menu.
    m_menu->setObjectName(QStringLiteral("plotMenu"));
    m_saveDataAction = m_menu->addAction(tr("Save data..."), this, &ScanPlot::saveDataRequested);
    m_saveDataAction->setObjectName(QStringLiteral("actionSaveData"));
    m_savePlotAction = m_menu->addAction(tr("Save plot..."), this, &ScanPlot::savePlotRequested);
    m_savePlotAction->setObjectName(QStringLiteral("actionSavePlot"));
    m_openDataAction = m_menu->addAction(tr("Open data..."), this, &ScanPlot::openDataRequested);
    m_openDataAction->setObjectName(QStringLiteral("actionOpenData"));
    m_plot->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_plot, &QWidget::customContextMenuRequested, this, &ScanPlot::showMenu);
    connect(m_plot, &QCustomPlot::mouseDoubleClick, this, [this] {
        m_plot->rescaleAxes();
        m_plot->replot();
    });
}

void ScanPlot::reset()
{
    m_plot->clearPlottables();
    m_fitCurves.clear();
    m_plot->clearItems();
    m_plot->yAxis->grid()->setSubGridVisible(true);
    m_plot->xAxis->grid()->setSubGridVisible(true);
    m_plot->yAxis->setScaleType(QCPAxis::stLogarithmic);
    m_plot->yAxis2->setScaleType(QCPAxis::stLogarithmic);
    // Counts span decades; this plot library only places ticks by decade when told to.
    QSharedPointer<QCPAxisTickerLog> logTicker(new PlotSupport::EndLabelledLogTicker);
    m_plot->yAxis->setTicker(logTicker);
    m_plot->yAxis2->setTicker(logTicker);
    m_plot->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    m_plot->axisRect()->setupFullAxesBox();
}

void ScanPlot::startScan()
{
    reset();
    addPhase(1);
    // Drawn by the timer or with the first point, once the scan's first settle time runs.
    replotSoon();
}

void ScanPlot::addPhase(int phase)
{
    QCPGraph *graph = m_plot->addGraph();
    graph->setPen(phasePen(phase));
    graph->setName(tr("%1-photon").arg(phase));
}

void ScanPlot::addPoint(const ScanData::Point &point)
{
    m_plot->graph(point.phase - 1)->addData(double(point.level), double(point.count));
    m_plot->rescaleAxes();
    // A point comes right after a step armed its settle time: drawn then, the plot takes its
    // time while the levels settle, where a timer's own moment could fall on the next step.
    if (!m_sinceReplot.isValid() || m_sinceReplot.elapsed() >= ReplotIntervalMs) {
        m_replotTimer->stop();
        replotNow();
    } else {
        // Drawn with a later point, or by the timer when none comes.
        m_replotTimer->start(ReplotIntervalMs);
    }
}

void ScanPlot::showScan(const QVector<ScanData::Point> &points, int phases)
{
    reset();
    for (int phase = 1; phase <= phases; ++phase)
        addPhase(phase);
    for (const ScanData::Point &point : points)
        m_plot->graph(point.phase - 1)->addData(double(point.level), double(point.count));
    m_plot->rescaleAxes();
    m_plot->replot();
}

void ScanPlot::showMarkers(const QVector<int> &levels)
{
    m_plot->clearItems();
    for (int i = 0; i < levels.size(); ++i) {
        if (levels[i] < 0 || i >= m_plot->graphCount())
            continue;
        auto *line = new QCPItemStraightLine(m_plot);
        QPen pen = phasePen(i + 1);
        pen.setStyle(Qt::DashLine);
        line->setPen(pen);
        line->point1->setCoords(levels[i], 1);
        line->point2->setCoords(levels[i], 10);
    }
    replotSoon();
}

void ScanPlot::showFit(const DetectorFit &fit)
{
    for (QCPCurve *curve : qAsConst(m_fitCurves))
        m_plot->removePlottable(curve);
    m_fitCurves.clear();
    for (int phase = 1; phase <= m_plot->graphCount(); ++phase) {
        QVector<QPointF> points;
        for (const QCPGraphData &point : *m_plot->graph(phase - 1)->data())
            points.append(QPointF(point.key, point.value));
        QVector<double> levels, counts;
        for (const QPointF &point : fit.fittedCurve(points)) {
            // Below half a count the curve only stretches the logarithmic axis.
            if (point.y() < 0.5)
                break;
            levels.append(point.x());
            counts.append(point.y());
        }
        if (levels.size() < 2)
            continue;
        auto *curve = new QCPCurve(m_plot->xAxis, m_plot->yAxis);
        curve->setData(levels, counts);
        // Wider than the measured points' line, so that it shows where the two coincide.
        QPen pen = phasePen(phase);
        pen.setStyle(Qt::DashLine);
        pen.setWidth(2);
        curve->setPen(pen);
        curve->setName(tr("%1-photon fit").arg(phase));
        curve->removeFromLegend();
        m_fitCurves.append(curve);
    }
    replotSoon();
}

void ScanPlot::replotNow()
{
    m_sinceReplot.start();
    m_plot->replot();
}

void ScanPlot::replotSoon()
{
    if (!m_replotTimer->isActive())
        m_replotTimer->start(ReplotIntervalMs);
}

bool ScanPlot::saveData(const QString &path, const ScanData &data)
{
    QString reason;
    if (PlotSupport::writeWholeFile(path, data.toCsv(), &reason))
        return true;
    warn(tr("Can't save the scan data to %1:\n%2").arg(QDir::toNativeSeparators(path), reason));
    return false;
}

bool ScanPlot::savePlot(const QString &path, int channel, const QString &date)
{
    QString title = tr("Calibration scan");
    if (channel > 0)
        title += tr(", channel %1").arg(channel);
    if (!date.isEmpty())
        title += QStringLiteral(", ") + date;
    QString reason;
    if (PlotSupport::savePlot(m_plot, path, m_plotSize, title, &reason))
        return true;
    warn(tr("Can't save the plot to %1:\n%2").arg(QDir::toNativeSeparators(path), reason));
    return false;
}

bool ScanPlot::readData(const QString &path, ScanData *data)
{
    QFile file(path);
    QString reason;
    if (!file.open(QIODevice::ReadOnly))
        reason = file.errorString();
    else if (!ScanData::fromCsv(file.read(ScanData::MaxFileBytes + 1), data, &reason))
        reason = tr("it is not a saved scan: %1").arg(reason);
    if (reason.isEmpty())
        return true;
    warn(tr("Can't open the scan data %1:\n%2").arg(QDir::toNativeSeparators(path), reason));
    return false;
}

QString ScanPlot::askDataPath(const QString &name)
{
    return askSavePath(tr("Save data..."), name, {tr("CSV files (*.csv)")},
                       {QStringLiteral("csv")});
}

QString ScanPlot::askPlotPath(const QString &name)
{
    QSize size = m_plotSize.isValid() ? m_plotSize : m_plot->size();
    const QString path = askSavePath(
        tr("Save plot..."), name,
        {tr("PNG image (*.png)"), tr("JPEG image (*.jpg *.jpeg)"), tr("PDF document (*.pdf)")},
        {QStringLiteral("png"), QStringLiteral("jpg"), QStringLiteral("pdf")}, &size);
    if (!path.isEmpty())
        m_plotSize = size;
    return path;
}

QString ScanPlot::askSavePath(const QString &caption, const QString &name,
                              const QStringList &filters, const QStringList &suffixes, QSize *size)
{
    const QString path
        = PlotSupport::askSavePath(m_window, caption, m_saveDir, name, filters, suffixes, size);
    if (!path.isEmpty())
        m_saveDir = QFileInfo(path).absolutePath();
    return path;
}

QString ScanPlot::askOpenPath()
{
    const QString path = QFileDialog::getOpenFileName(m_window, tr("Open data..."), m_saveDir,
                                                      tr("CSV files (*.csv)"));
    if (!path.isEmpty())
        m_saveDir = QFileInfo(path).absolutePath();
    return path;
}

void ScanPlot::setMenuState(bool canSaveData, bool canOpenData)
{
    m_saveDataAction->setEnabled(canSaveData);
    m_openDataAction->setEnabled(canOpenData);
}

void ScanPlot::showMenu(const QPoint &pos)
{
    emit menuAboutToShow();
    m_menu->popup(m_plot->mapToGlobal(pos));
}

void ScanPlot::warn(const QString &text)
{
    QMessageBox::warning(m_window, QCoreApplication::translate("MainWindow", "Warning..."), text);
}
