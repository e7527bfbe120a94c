#include "counttrend.h"

#include "datacontext.h"
#include "plotsupport.h"

#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <qcustomplot.h>

namespace {

// What the trend keeps and shows: at the shortest time constant 60000 readings per count.
constexpr double HistorySeconds = 600.0;
constexpr double MinimumSpanSeconds = 10.0;

// Ten minutes across the plot move it by about a pixel a second, and a redraw of a full
// history costs milliseconds: at 100 polls a second it is redrawn four times a second, not at
// every poll.
constexpr int ReplotIntervalMs = 250;

// Told apart by colour on a screen and by line style in grey print, each colour dark enough
// to show on white: the calibration plot's blue, red and magenta, and orange for its yellow.
QPen countPen(int index, bool wide = false)
{
    static const QColor colours[]
        = {QColor(0, 0, 230), QColor(220, 0, 0), QColor(190, 0, 190), QColor(230, 120, 0)};
    static const Qt::PenStyle styles[]
        = {Qt::SolidLine, Qt::DashLine, Qt::DotLine, Qt::DashDotLine};
    QPen pen(colours[index]);
    pen.setStyle(styles[index]);
    // On screen one pixel: a wider line over the full history costs ten times the CPU.
    // In a saved picture the broken lines are wider, so that their pattern shows in print.
    if (wide && index > 0)
        pen.setWidthF(1.6);
    return pen;
}

} // namespace

CountTrend::CountTrend(QWidget *parent)
    : QWidget(parent)
    , m_plot(new QCustomPlot(this))
    , m_logarithmic(new QCheckBox(tr("Logarithmic counts"), this))
    , m_pause(new QPushButton(tr("Pause"), this))
    , m_record(new QPushButton(tr("Record..."), this))
    , m_menu(new QMenu(this))
    , m_replotTimer(new QTimer(this))
{
    m_plot->setObjectName(QStringLiteral("trendPlot"));
    m_logarithmic->setObjectName(QStringLiteral("cbLogCounts"));
    m_pause->setObjectName(QStringLiteral("pbPause"));
    m_record->setObjectName(QStringLiteral("pbRecord"));

    auto *controls = new QHBoxLayout;
    controls->addWidget(m_logarithmic);
    controls->addStretch();
    controls->addWidget(m_pause);
    controls->addWidget(m_record);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(controls);
    layout->addWidget(m_plot, 1);

    for (int i = 0; i < 4; ++i) {
        QCPGraph *graph = m_plot->addGraph();
        graph->setPen(countPen(i));
        graph->setName(tr("%1-photon").arg(i + 1));
    }
    QSharedPointer<QCPAxisTickerDateTime> timeTicker(new QCPAxisTickerDateTime);
    timeTicker->setDateTimeFormat(QStringLiteral("HH:mm:ss"));
    m_plot->xAxis->setTicker(timeTicker);
    m_plot->xAxis->setLabel(tr("Time"));
    m_plot->yAxis->setLabel(tr("Counts"));
    PlotSupport::placeLegendAbove(m_plot);

    // Dragging or zooming the view holds it where the operator put it.
    m_plot->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    connect(m_plot, &QCustomPlot::mousePress, this, [this](QMouseEvent *event) {
        if (event->button() == Qt::LeftButton)
            setPaused(true);
    });
    connect(m_plot, &QCustomPlot::mouseWheel, this, [this] { setPaused(true); });
    connect(m_plot, &QCustomPlot::mouseDoubleClick, this, [this] { setPaused(false); });
    m_pause->setCheckable(true);
    m_pause->setToolTip(tr("Holds the view still; the readings go on being kept and recorded. "
                           "Dragging or zooming the plot pauses it, a double click follows "
                           "the readings again."));
    connect(m_pause, &QPushButton::toggled, this, [this](bool paused) {
        if (!paused)
            replotNow();
    });

    // The left button drags the view, so the right one is free for the menu.
    m_menu->setObjectName(QStringLiteral("trendMenu"));
    QAction *savePlotAction = m_menu->addAction(tr("Save plot..."), this, [this] {
        const QString path = askSavePath(
            tr("Save plot..."), fileName(QStringLiteral("png")),
            {tr("PNG image (*.png)"), tr("JPEG image (*.jpg *.jpeg)"), tr("PDF document (*.pdf)")},
            {QStringLiteral("png"), QStringLiteral("jpg"), QStringLiteral("pdf")}, &m_plotSize);
        if (!path.isEmpty())
            savePlot(path);
    });
    savePlotAction->setObjectName(QStringLiteral("actionTrendSavePlot"));
    m_saveDataAction = m_menu->addAction(tr("Save data..."), this, [this] {
        const QString path = askSavePath(tr("Save data..."), fileName(QStringLiteral("csv")),
                                         {tr("CSV files (*.csv)")}, {QStringLiteral("csv")});
        if (!path.isEmpty())
            saveData(path);
    });
    m_saveDataAction->setObjectName(QStringLiteral("actionTrendSaveData"));
    m_plot->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_plot, &QWidget::customContextMenuRequested, this, &CountTrend::showMenu);

    m_logarithmic->setChecked(true);
    setLogarithmic(true);
    connect(m_logarithmic, &QCheckBox::toggled, this, &CountTrend::setLogarithmic);

    m_record->setEnabled(false);
    connect(m_record, &QPushButton::clicked, this, [this] {
        if (isRecording())
            stopRecording();
        else
            emit recordRequested();
    });

    m_replotTimer->setSingleShot(true);
    connect(m_replotTimer, &QTimer::timeout, this, &CountTrend::replotNow);
    m_clock.start();
    m_clockEpochMs = QDateTime::currentMSecsSinceEpoch();
}

CountTrend::~CountTrend() = default;

void CountTrend::addCounts(const quint32 counts[4])
{
    // The monotonic clock keeps the keys in order when the system's clock is set.
    const double key = double(m_clockEpochMs + m_clock.elapsed()) / 1000.0;
    for (int i = 0; i < 4; ++i) {
        QCPGraph *graph = m_plot->graph(i);
        // A gap in the values breaks the line between two runs.
        if (m_newRun && !graph->data()->isEmpty())
            graph->addData(key, qQNaN());
        graph->addData(key, double(counts[i]));
        graph->data()->removeBefore(key - HistorySeconds);
    }
    m_newRun = false;
    m_lastKey = key;

    if (isRecording()) {
        const QByteArray line
            = QByteArray::number(double(m_recordClock.nsecsElapsed()) / 1e9, 'f', 3) + ','
            + QByteArray::number(counts[0]) + ',' + QByteArray::number(counts[1]) + ','
            + QByteArray::number(counts[2]) + ',' + QByteArray::number(counts[3]) + '\n';
        if (!m_file.write(line))
            failRecording(m_file.errorString());
    }
    replotSoon();
}

void CountTrend::markGap(const QString &what)
{
    m_newRun = true;
    if (isRecording()) {
        const QByteArray line
            = DataContext::lines(DataContext::gap(QDateTime::currentDateTimeUtc(), what));
        if (!m_file.write(line))
            failRecording(m_file.errorString());
    }
}

void CountTrend::setCounting(bool counting, int channel)
{
    m_record->setEnabled(counting);
    if (counting) {
        m_newRun = true;
        if (channel > 0)
            m_channel = channel;
    } else {
        stopRecording();
    }
}

void CountTrend::setPaused(bool paused)
{
    m_pause->setChecked(paused);
}

bool CountTrend::isPaused() const
{
    return m_pause->isChecked();
}

QString CountTrend::askRecordPath(int channel)
{
    QFileDialog dialog(this, tr("Record..."), m_saveDir);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilters({tr("CSV files (*.csv)")});
    dialog.setDefaultSuffix(QStringLiteral("csv"));
    // UTC, as the header's date.
    dialog.selectFile(
        QStringLiteral("trend-ch%1-%2.csv")
            .arg(channel)
            .arg(QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss"))));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    const QString path = dialog.selectedFiles().first();
    m_saveDir = QFileInfo(path).absolutePath();
    return path;
}

bool CountTrend::startRecording(const QString &path, const QByteArray &headerLines)
{
    stopRecording();
    // Unbuffered: every line reaches the file as it is read, and a write that fails is known
    // at once, not when a buffer is flushed later.
    const QByteArray text = headerLines + "time_s,count1,count2,count3,count4\n";
    if (!m_file.open(path) || !m_file.write(text)) {
        const QString reason = m_file.errorString();
        m_file.close();
        QMessageBox::warning(
            window(), tr("Warning..."),
            tr("Can't record to %1:\n%2").arg(QDir::toNativeSeparators(path), reason));
        return false;
    }
    m_recordClock.start();
    m_record->setText(tr("Stop recording"));
    return true;
}

void CountTrend::stopRecording()
{
    if (m_file.isOpen())
        m_file.close();
    m_record->setText(tr("Record..."));
}

void CountTrend::failRecording(const QString &reason)
{
    const QString path = m_file.fileName();
    stopRecording();
    QTimer::singleShot(0, this, [this, path, reason] {
        QMessageBox::warning(window(), tr("Warning..."),
                             tr("Recording to %1 stopped: the file could not be written:\n%2")
                                 .arg(QDir::toNativeSeparators(path), reason));
    });
}

void CountTrend::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // Nothing is drawn while the tab is hidden.
    replotNow();
}

void CountTrend::replotSoon()
{
    if (isVisible() && !isPaused() && !m_replotTimer->isActive())
        m_replotTimer->start(ReplotIntervalMs);
}

void CountTrend::replotNow()
{
    if (!isPaused()) {
        followTime();
        fitCounts();
    }
    m_plot->replot();
}

void CountTrend::followTime()
{
    // The history fills the plot as it grows, and scrolls once it is full.
    const QSharedPointer<QCPGraphDataContainer> data = m_plot->graph(0)->data();
    if (data->isEmpty()) {
        const double now = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
        m_plot->xAxis->setRange(now - MinimumSpanSeconds, now);
    } else {
        const double span
            = qBound(MinimumSpanSeconds, m_lastKey - data->constBegin()->key, HistorySeconds);
        m_plot->xAxis->setRange(m_lastKey - span, m_lastKey);
    }
}

void CountTrend::fitCounts()
{
    const bool logarithmic = m_logarithmic->isChecked();
    // A logarithmic axis cannot show a count of 0; those points drop out of the line.
    const QCP::SignDomain domain = logarithmic ? QCP::sdPositive : QCP::sdBoth;
    QCPRange range;
    bool haveRange = false;
    for (int i = 0; i < 4; ++i) {
        bool found = false;
        const QCPRange graphRange = m_plot->graph(i)->getValueRange(found, domain);
        if (!found)
            continue;
        range = haveRange
            ? QCPRange(qMin(range.lower, graphRange.lower), qMax(range.upper, graphRange.upper))
            : graphRange;
        haveRange = true;
    }
    if (!haveRange)
        range = logarithmic ? QCPRange(1, 10) : QCPRange(0, 10);
    if (logarithmic)
        range = QCPRange(range.lower / 2, range.upper * 2);
    else
        range = QCPRange(range.lower - 0.05 * range.size() - 1,
                         range.upper + 0.05 * range.size() + 1);
    m_plot->yAxis->setRange(range);
}

void CountTrend::setLogarithmic(bool logarithmic)
{
    QCPAxis *axis = m_plot->yAxis;
    axis->setScaleType(logarithmic ? QCPAxis::stLogarithmic : QCPAxis::stLinear);
    // Counts span decades; this plot library only places ticks by decade when told to.
    if (logarithmic)
        axis->setTicker(QSharedPointer<QCPAxisTicker>(new PlotSupport::EndLabelledLogTicker));
    else
        axis->setTicker(QSharedPointer<QCPAxisTicker>(new QCPAxisTicker));
    axis->grid()->setSubGridVisible(logarithmic);
    // Even a paused view needs counts its new scale can show.
    fitCounts();
    if (isVisible())
        m_plot->replot();
}

void CountTrend::showMenu(const QPoint &pos)
{
    m_saveDataAction->setEnabled(!m_plot->graph(0)->data()->isEmpty());
    m_menu->popup(m_plot->mapToGlobal(pos));
}

QString CountTrend::fileName(const QString &suffix) const
{
    QString name = QStringLiteral("trend");
    if (m_channel > 0)
        name += QStringLiteral("-ch%1").arg(m_channel);
    // UTC, as the header's date.
    return name
        + QStringLiteral("-%1.%2").arg(
            QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss")), suffix);
}

QString CountTrend::askSavePath(const QString &caption, const QString &name,
                                const QStringList &filters, const QStringList &suffixes,
                                QSize *size)
{
    QSize chosen = size && size->isValid() ? *size : m_plot->size();
    const QString path = PlotSupport::askSavePath(this, caption, m_saveDir, name, filters, suffixes,
                                                  size ? &chosen : nullptr);
    if (path.isEmpty())
        return {};
    if (size)
        *size = chosen;
    m_saveDir = QFileInfo(path).absolutePath();
    return path;
}

bool CountTrend::savePlot(const QString &path)
{
    // A view that follows the readings shows the newest first: its timed redraw may not have
    // run since the last reading, and the picture would show the axes of before.
    if (!isPaused()) {
        followTime();
        fitCounts();
    }
    // The time of the left edge, local as the time axis, with its offset from UTC.
    const QDateTime left
        = QDateTime::fromMSecsSinceEpoch(qint64(m_plot->xAxis->range().lower * 1000.0));
    QString title = tr("Counts");
    if (m_channel > 0)
        title += tr(", channel %1").arg(m_channel);
    title
        += QStringLiteral(", ") + left.toOffsetFromUtc(left.offsetFromUtc()).toString(Qt::ISODate);
    for (int i = 0; i < 4; ++i)
        m_plot->graph(i)->setPen(countPen(i, true));
    QString reason;
    const bool saved = PlotSupport::savePlot(m_plot, path, m_plotSize, title, &reason);
    for (int i = 0; i < 4; ++i)
        m_plot->graph(i)->setPen(countPen(i));
    m_plot->replot(QCustomPlot::rpQueuedReplot);
    if (saved)
        return true;
    warn(tr("Can't save the plot to %1:\n%2").arg(QDir::toNativeSeparators(path), reason));
    return false;
}

bool CountTrend::saveData(const QString &path)
{
    QCPGraphDataContainer *graphs[4];
    for (int i = 0; i < 4; ++i)
        graphs[i] = m_plot->graph(i)->data().data();
    const int readings = graphs[0]->size();
    const double first = readings > 0 ? graphs[0]->constBegin()->key : 0;
    DataContext::Entries entries
        = {{QStringLiteral("program"), DataContext::program(QStringLiteral("kuvel-counter"))},
           {QStringLiteral("date"),
            QDateTime::fromMSecsSinceEpoch(qint64(first * 1000.0)).toUTC().toString(Qt::ISODate)}};
    if (m_channel > 0)
        entries.append({QStringLiteral("channel"), QString::number(m_channel)});
    QByteArray text = DataContext::lines(entries) + "time_s,count1,count2,count3,count4\n";
    // The four graphs got every reading together; a gap between two runs is no reading.
    for (int i = 0; i < readings; ++i) {
        const double key = (graphs[0]->constBegin() + i)->key;
        if (qIsNaN((graphs[0]->constBegin() + i)->value))
            continue;
        text += QByteArray::number(key - first, 'f', 3);
        for (QCPGraphDataContainer *graph : graphs)
            text += ',' + QByteArray::number(quint32((graph->constBegin() + i)->value));
        text += '\n';
    }
    QString reason;
    if (PlotSupport::writeWholeFile(path, text, &reason))
        return true;
    warn(tr("Can't save the trend's data to %1:\n%2").arg(QDir::toNativeSeparators(path), reason));
    return false;
}

void CountTrend::warn(const QString &text)
{
    QMessageBox::warning(window(), tr("Warning..."), text);
}
