#include "counttrend.h"

#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
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

} // namespace

CountTrend::CountTrend(QWidget *parent)
    : QWidget(parent)
    , m_plot(new QCustomPlot(this))
    , m_logarithmic(new QCheckBox(tr("Logarithmic counts"), this))
    , m_record(new QPushButton(tr("Record..."), this))
    , m_replotTimer(new QTimer(this))
{
    m_plot->setObjectName(QStringLiteral("trendPlot"));
    m_logarithmic->setObjectName(QStringLiteral("cbLogCounts"));
    m_record->setObjectName(QStringLiteral("pbRecord"));

    auto *controls = new QHBoxLayout;
    controls->addWidget(m_logarithmic);
    controls->addStretch();
    controls->addWidget(m_record);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(controls);
    layout->addWidget(m_plot, 1);

    // The colours of the calibration plot's phases, the yellow darkened to show on white.
    static const Qt::GlobalColor colours[] = {Qt::blue, Qt::red, Qt::magenta, Qt::darkYellow};
    for (int i = 0; i < 4; ++i) {
        QCPGraph *graph = m_plot->addGraph();
        graph->setPen(QPen(colours[i]));
        graph->setName(tr("%1-photon").arg(i + 1));
    }
    QSharedPointer<QCPAxisTickerDateTime> timeTicker(new QCPAxisTickerDateTime);
    timeTicker->setDateTimeFormat(QStringLiteral("HH:mm:ss"));
    m_plot->xAxis->setTicker(timeTicker);
    m_plot->xAxis->setLabel(tr("Time"));
    m_plot->yAxis->setLabel(tr("Counts"));
    m_plot->legend->setVisible(true);
    m_plot->axisRect()->insetLayout()->setInsetAlignment(0, Qt::AlignTop | Qt::AlignLeft);

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

void CountTrend::setCounting(bool counting)
{
    m_record->setEnabled(counting);
    if (counting)
        m_newRun = true;
    else
        stopRecording();
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
    if (isVisible() && !m_replotTimer->isActive())
        m_replotTimer->start(ReplotIntervalMs);
}

void CountTrend::replotNow()
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
    m_plot->replot();
}

void CountTrend::setLogarithmic(bool logarithmic)
{
    QCPAxis *axis = m_plot->yAxis;
    axis->setScaleType(logarithmic ? QCPAxis::stLogarithmic : QCPAxis::stLinear);
    // Counts span decades; this plot library only places ticks by decade when told to.
    if (logarithmic)
        axis->setTicker(QSharedPointer<QCPAxisTicker>(new QCPAxisTickerLog));
    else
        axis->setTicker(QSharedPointer<QCPAxisTicker>(new QCPAxisTicker));
    axis->grid()->setSubGridVisible(logarithmic);
    if (isVisible())
        replotNow();
}
