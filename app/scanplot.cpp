#include "scanplot.h"

#include "detectorfit.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QImageWriter>
#include <QMenu>
#include <QMessageBox>
#include <QSaveFile>
#include <QTemporaryFile>
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

// Writes `bytes` to a new file beside `path` and only then puts it in place of `path`, so a
// failed save leaves no half file and keeps the one saved before. Each write goes straight to
// the file: a buffered one that fails only when QSaveFile closes the file is not reported by
// it, and an empty file would replace the older one. A write the disk takes in part names no
// error: the rest is written again, and that write fails with the system's reason.
bool writeWholeFile(const QString &path, const QByteArray &bytes, QString *reason)
{
    QSaveFile file(path);
    bool written = file.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    for (qint64 done = 0, n = 0; written && done < bytes.size(); done += n) {
        n = file.write(bytes.constData() + done, bytes.size() - done);
        written = n > 0;
    }
    if (written && file.flush() && file.commit()) {
        return true;
    }
    *reason = file.errorString();
    file.cancelWriting();
    return false;
}

// The plot as a PNG or JPG file in memory, as the plot's own savePng/saveJpg would write it.
// Those write to the target's path directly and truncate an older file before they can fail.
QByteArray rasterPlot(QCustomPlot *plot, const char *format, QString *reason)
{
    QImage image = plot->toPixmap().toImage();
    // The plot library stores 96 dots per inch.
    const int dotsPerMeter = int(96 / 0.0254);
    image.setDotsPerMeterX(dotsPerMeter);
    image.setDotsPerMeterY(dotsPerMeter);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    QImageWriter writer(&buffer, format);
    if (image.isNull() || !writer.write(image)) {
        *reason = writer.errorString();
        return {};
    }
    return bytes;
}

// The plot as a PDF file in memory. Only the plot library knows how to draw itself into a
// PDF, and it writes to a path: a temporary one here, read back and checked for the trailer
// a complete PDF ends with, since the PDF writer does not report a failed write.
QByteArray pdfPlot(QCustomPlot *plot, QString *reason)
{
    QTemporaryFile temporary(QDir::tempPath() + QStringLiteral("/kuvel-plot-XXXXXX.pdf"));
    if (!temporary.open()) {
        *reason = temporary.errorString();
        return {};
    }
    temporary.close();
    QByteArray bytes;
    QFile written(temporary.fileName());
    if (plot->savePdf(temporary.fileName()) && written.open(QIODevice::ReadOnly))
        bytes = written.readAll();
    if (!bytes.trimmed().endsWith("%%EOF")) {
        *reason = QCoreApplication::translate("MainWindow", "the PDF could not be written in %1")
                      .arg(QDir::toNativeSeparators(QDir::tempPath()));
        return {};
    }
    return bytes;
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
    m_plot->legend->setVisible(true);

    m_replotTimer->setObjectName(QStringLiteral("replotTimer"));
    m_replotTimer->setSingleShot(true);
    connect(m_replotTimer, &QTimer::timeout, m_plot, [this] { m_plot->replot(); });

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
    QSharedPointer<QCPAxisTickerLog> logTicker(new QCPAxisTickerLog);
    m_plot->yAxis->setTicker(logTicker);
    m_plot->yAxis2->setTicker(logTicker);
    m_plot->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    m_plot->axisRect()->setupFullAxesBox();
}

void ScanPlot::startScan()
{
    reset();
    addPhase(1);
    m_plot->replot();
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
    replotSoon();
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

void ScanPlot::replotSoon()
{
    if (!m_replotTimer->isActive())
        m_replotTimer->start(ReplotIntervalMs);
}

bool ScanPlot::saveData(const QString &path, const ScanData &data)
{
    QString reason;
    if (writeWholeFile(path, data.toCsv(), &reason))
        return true;
    warn(tr("Can't save the scan data to %1:\n%2").arg(QDir::toNativeSeparators(path), reason));
    return false;
}

bool ScanPlot::savePlot(const QString &path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    // The file shows the newest points even while the throttled replot is still pending.
    m_plot->replot();
    QByteArray bytes;
    QString reason;
    if (suffix == QLatin1String("png")) {
        bytes = rasterPlot(m_plot, "png", &reason);
    } else if (suffix == QLatin1String("jpg") || suffix == QLatin1String("jpeg")) {
        bytes = rasterPlot(m_plot, "jpg", &reason);
    } else if (suffix == QLatin1String("pdf")) {
        bytes = pdfPlot(m_plot, &reason);
    } else {
        warn(tr("Can't save the plot to %1:\nthe file name must end in .png, .jpg or .pdf")
                 .arg(QDir::toNativeSeparators(path)));
        return false;
    }
    if (!bytes.isEmpty() && writeWholeFile(path, bytes, &reason))
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
    return askSavePath(
        tr("Save plot..."), name,
        {tr("PNG image (*.png)"), tr("JPEG image (*.jpg *.jpeg)"), tr("PDF document (*.pdf)")},
        {QStringLiteral("png"), QStringLiteral("jpg"), QStringLiteral("pdf")});
}

QString ScanPlot::askSavePath(const QString &caption, const QString &name,
                              const QStringList &filters, const QStringList &suffixes)
{
    QFileDialog dialog(m_window, caption, m_saveDir);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilters(filters);
    // A name typed without an extension gets the chosen format's before the dialog checks for
    // a file to replace; added afterwards, it could overwrite one without asking.
    dialog.setDefaultSuffix(suffixes.first());
    connect(&dialog, &QFileDialog::filterSelected, &dialog,
            [&dialog, filters, suffixes](const QString &filter) {
                dialog.setDefaultSuffix(suffixes.value(filters.indexOf(filter), suffixes.first()));
            });
    dialog.selectFile(name);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    const QString path = dialog.selectedFiles().first();
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
