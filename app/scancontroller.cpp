#include "scancontroller.h"
#include "ui_mainwindow.h"

#include "counterclient.h"
#include "datacontext.h"
#include "devicecall.h"
#include "levelproposal.h"
#include "precisewake.h"
#include "proposalspanel.h"
#include "scanplot.h"
#include "scansequence.h"

#include <QDir>
#include <QLabel>
#include <QLayout>
#include <QTimer>

ScanController::ScanController(Ui::MainWindow *ui, DeviceCall *device, ScanPlot *plot,
                               ProposalsPanel *panel, quint32 *value, quint8 *phase,
                               QMainWindow *window)
    : QObject(window)
    , ui(ui)
    , m_device(device)
    , m_plot(plot)
    , m_panel(panel)
    , m_window(window)
    , m_calibrValue(value)
    , m_calibrPhase(phase)
    , m_timer(new QTimer(this))
    , m_wake(new PreciseWake(this))
{
    m_statusMinimum = ui->lStatus->minimumSize();
    m_statusMaximum = ui->lStatus->maximumSize();
    m_timer->setObjectName(QStringLiteral("calibrationTimer"));
    m_timer->setSingleShot(true);
    m_timer->setTimerType(Qt::PreciseTimer);
    connect(m_timer, &QTimer::timeout, this, &ScanController::step);
    m_device->addTick(m_timer);
    connect(m_panel, &ProposalsPanel::applyRequested, this, &ScanController::applyLevels);
    // The status line shows an opened file's date and path: no text of any length widens the
    // window, it is cut at the window's edge.
    ui->lStatus->setSizePolicy(QSizePolicy::Ignored, ui->lStatus->sizePolicy().verticalPolicy());
}

ScanController::~ScanController() = default;

bool ScanController::isRunning() const
{
    return ui->pbStopCalibration->isEnabled();
}

void ScanController::start()
{
    CounterClient *client = m_device->client();
    if (!client)
        return;

    m_applied.clear();
    const quint32 start = quint32(ui->sbStartCalibr->value());
    const quint32 stop = quint32(ui->sbStopCalibr->value());
    const quint32 stepSize = quint32(ui->sbStep->value());
    m_plot->startScan();
    // The sequence of an earlier scan may still be on the stack of a step being waited in.
    if (m_sequence)
        m_sequence->deleteLater();
    m_channel = ui->sbChannelCalibr->value();
    m_sequence = new ScanSequence(client, m_channel, start, stop, stepSize, this);
    connect(m_sequence, &ScanSequence::pointRecorded, this, &ScanController::recordPoint);
    *m_calibrPhase = 0;
    *m_calibrValue = start;
    m_data.points.clear();
    m_fromFile = false;
    m_pointPending = false;
    m_panel->clear();

    // Points are measured against these levels, so a write that fails stops the scan before it
    // begins. Nothing was started yet.
    if (!m_sequence->begin()) {
        m_device->resumeDeferred();
        m_device->warn(m_sequence->failure() == ScanSequence::ChannelNotConfirmed
                           ? tr("Can't set current channel")
                           : tr("Can't set reference level"));
        return;
    }
    // A read that fails leaves the time constant the device answered last (identification
    // read one), and the scan goes on with it.
    float timeConst = 0;
    if (!client->readTimeConst(&timeConst))
        timeConst = client->driver()->timeConst()->currentValue();
    ui->dsbTimeConst->setValue(double(timeConst));
    m_data.header = client->context(DataContext::program(QStringLiteral("kuvel-counter")),
                                    QString(), m_channel, double(timeConst))
        + DataContext::scanRange(start, stop, stepSize);
    client->startCounter();
    m_device->resumeDeferred();

    // The levels settle for two time constants of the one read before the first point; the
    // later points are timed by the time constant the window shows.
    const int delay = m_sequence->start(double(timeConst));
    m_sequence->setTimeConst(ui->dsbTimeConst->value());
    setRunning(true);
    m_device->restart(m_timer, delay);
    m_wake->arm(delay);
}

void ScanController::step()
{
    if (m_device->holdBack(m_timer))
        return;
    CounterClient *client = m_device->client();
    // After a complete scan whose stop failed the phase is past the last one and nothing is
    // left to measure.
    if (!isRunning() || !client || !m_sequence || m_sequence->isComplete())
        return;

    const int phaseBefore = m_sequence->phase();
    const ScanSequence::Step step = m_sequence->step();
    m_device->resumeDeferred();
    *m_calibrPhase = quint8(m_sequence->phase());
    *m_calibrValue = m_sequence->level();
    if (*m_calibrPhase != phaseBefore && !m_sequence->isComplete())
        m_plot->addPhase(*m_calibrPhase + 1);

    // Another device on the line: the window's refusal ends the scan.
    const bool refused = client->isRefused();
    // A failed read measures the same level again after the delay of a point of its phase.
    const bool again = !refused
        && (step.outcome == ScanSequence::Measure || step.outcome == ScanSequence::Retry);
    // The point is shown after the next level is written and the settle time armed: drawing
    // the plot takes longer than the device calls of a step, and after the timer's start it
    // runs while the levels settle instead of lengthening every step of the scan.
    if (again) {
        m_timer->start(step.delayMs);
        m_wake->arm(step.delayMs);
    }
    if (m_pointPending) {
        m_pointPending = false;
        showStep(QStringLiteral("Phase: %1, Value: %2, Counts: %3")
                     .arg(m_lastPoint.phase)
                     .arg(m_lastPoint.level)
                     .arg(m_lastPoint.count));
        m_plot->addPoint(m_lastPoint);
    } else {
        showStep(QStringLiteral("Phase: %1, Value: %2, Counts: no answer")
                     .arg(*m_calibrPhase + 1)
                     .arg(*m_calibrValue));
    }
    if (refused || again)
        return;

    switch (step.outcome) {
    case ScanSequence::Measure:
    case ScanSequence::Retry:
        return;
    case ScanSequence::Complete:
        ui->pbStopCalibration->click();
        return;
    case ScanSequence::Failed:
        if (m_sequence->failure() == ScanSequence::NoCounts) {
            end(tr("No counts from the counter at level %1 of phase %2 after %3 reads: the scan "
                   "ended.")
                    .arg(*m_calibrValue)
                    .arg(*m_calibrPhase + 1)
                    .arg(m_sequence->failedReads()));
        } else {
            end(tr("The counter did not confirm the levels of phase %1 at %2: the scan ended.")
                    .arg(*m_calibrPhase + 1)
                    .arg(*m_calibrValue));
        }
        return;
    case ScanSequence::Interrupted:
        return;
    }
}

void ScanController::recordPoint(const ScanData::Point &point)
{
    m_data.points.append(point);
    m_lastPoint = point;
    m_pointPending = true;
    showProgress();
}

void ScanController::stop()
{
    const bool stopped = m_device->run(tr("The counter did not stop"),
                                       [](CounterClient &client) { return client.stopCounter(); });
    // A step still pending finds pbStopCalibration disabled and ends the chain.
    if (stopped)
        setRunning(false);
}

void ScanController::end(const QString &reason)
{
    // A point measured against a level the device may not hold would be a wrong point: the
    // scan ends instead, with the points measured so far.
    cancelStep();
    if (isRunning() && !m_device->client()->isRefused())
        stop();
    else
        setRunning(false);
    m_device->warn(reason);
}

void ScanController::cancelStep()
{
    m_timer->stop();
    m_wake->disarm();
}

void ScanController::abandon()
{
    cancelStep();
    if (isRunning())
        setRunning(false);
}

void ScanController::setRunning(bool running)
{
    // Counting and the scan exclude each other through the tabs they disable.
    ui->tabWidget->setTabEnabled(0, !running);
    ui->sbChannelCalibr->setEnabled(!running);
    ui->sbStartCalibr->setEnabled(!running);
    ui->sbStopCalibr->setEnabled(!running);
    ui->sbStep->setEnabled(!running);
    const bool wasRunning = isRunning();
    ui->pbStartCalibration->setEnabled(!running);
    ui->pbStopCalibration->setEnabled(running);
    m_panel->setApplyEnabled(!running && !m_data.points.isEmpty());
    if (running) {
        showProgress();
        return;
    }
    pinStatusLine(false);
    m_window->setWindowTitle(tr("Kuvel Counter"));
    if (!wasRunning)
        return;
    // A scan leaves the device with the levels it wrote last; the operator must know them
    // before counting or writing the EEPROM.
    m_panel->propose(m_data, qMin(int(*m_calibrPhase), ScanSequence::PhaseCount));
    m_plot->showFit(m_panel->fit());
    ui->lStatus->setText(ui->lStatus->text() + QStringLiteral("   ") + heldLevelsText());
}

void ScanController::showStep(const QString &text)
{
    // Pinned with the first step's text, so that the text of before stays whole until then.
    if (!m_statusPinned)
        pinStatusLine(true);
    ui->lStatus->setText(text);
}

void ScanController::pinStatusLine(bool pinned)
{
    if (pinned == m_statusPinned)
        return;
    m_statusPinned = pinned;
    QLabel *status = ui->lStatus;
    // A label's new text asks its parent for a new layout unless the label's size is fixed, and
    // the tab widget answers a new layout by repainting all it holds.
    QLayout *layout = status->parentWidget() ? status->parentWidget()->layout() : nullptr;
    if (!pinned) {
        if (layout)
            layout->setAlignment(status, Qt::Alignment());
        status->setMinimumSize(m_statusMinimum);
        status->setMaximumSize(m_statusMaximum);
        return;
    }
    // The longest step text: the widest digit in every place a number can take.
    const QFontMetrics metrics = status->fontMetrics();
    QChar widest = QLatin1Char('0');
    for (char digit = '1'; digit <= '9'; ++digit) {
        if (metrics.horizontalAdvance(QLatin1Char(digit)) > metrics.horizontalAdvance(widest))
            widest = QLatin1Char(digit);
    }
    const QString number(10, widest);
    const QString longest
        = QStringLiteral("Phase: %1, Value: %2, Counts: %3").arg(widest).arg(number, number);
    const QString missed
        = QStringLiteral("Phase: %1, Value: %2, Counts: no answer").arg(widest).arg(number);
    const QMargins margins = status->contentsMargins();
    const int width = qMax(metrics.horizontalAdvance(longest), metrics.horizontalAdvance(missed))
        + margins.left() + margins.right() + 2 * status->margin() + qMax(status->indent(), 0);
    // At the left of the line, where its text stood at the line's full width. Aligned
    // horizontally only: a vertical alignment would let the line take height from the plot.
    if (layout)
        layout->setAlignment(status, Qt::AlignLeft);
    status->setFixedSize(width, status->height());
}

void ScanController::showProgress()
{
    // The status line is busy with the last point, so the progress goes to the title.
    const int totalPoints = m_sequence ? m_sequence->totalPoints() : 0;
    if (totalPoints <= 0) {
        m_window->setWindowTitle(tr("Kuvel Counter - calibration"));
        return;
    }
    const int percent = int(qint64(m_data.points.size()) * 100 / totalPoints);
    m_window->setWindowTitle(tr("Kuvel Counter - calibration %1 %, about %2 s left")
                                 .arg(percent)
                                 .arg(m_sequence->secondsLeft(), 0, 'f', 1));
}

QString ScanController::heldLevelsText() const
{
    QStringList levels;
    const int *held = m_sequence->heldLevels();
    for (int i = 0; i < ScanSequence::PhaseCount; ++i) {
        levels.append(QStringLiteral("%1: %2").arg(i + 1).arg(
            held[i] < 0 ? tr("unknown") : QString::number(held[i])));
    }
    return tr("Channel %1 now holds the levels %2")
        .arg(m_channel)
        .arg(levels.join(QStringLiteral(", ")));
}

QString ScanController::defaultName(const QString &suffix) const
{
    const QDateTime when = QDateTime::fromString(m_data.value(QStringLiteral("date")), Qt::ISODate);
    if (!when.isValid() || m_channel < 1)
        return QStringLiteral("scan.") + suffix;
    return QStringLiteral("scan-ch%1-%2.%3")
        .arg(m_channel)
        .arg(when.toUTC().toString(QStringLiteral("yyyyMMdd-HHmmss")), suffix);
}

ScanData ScanController::dataToSave(const std::function<QString()> &firmware) const
{
    ScanData data = m_data;
    if (m_fromFile || data.header.isEmpty())
        return data;
    // The levels the channel holds now, as far as the counter confirmed them: after Apply
    // levels, the applied ones.
    const CounterClient *client = m_device->client();
    const QString levels
        = client ? DataContext::levels(client->knownLevels(m_channel)).first().second : QString();
    for (auto &entry : data.header) {
        if (entry.first == QLatin1String("firmware"))
            entry.second = firmware();
        else if (entry.first == QLatin1String("levels") && client)
            entry.second = levels;
    }
    data.header += m_panel->results();
    if (!m_applied.isEmpty())
        data.header += DataContext::levels(m_applied, QStringLiteral("applied levels"));
    return data;
}

void ScanController::showSaved(const ScanData &data, const QString &path)
{
    // The proposals are worked out again from the points, as the scan did; saving the data
    // again keeps the header it had.
    m_data = data;
    m_fromFile = true;
    bool ok = false;
    m_channel = data.value(QStringLiteral("channel")).toInt(&ok);
    if (!ok || m_channel < CounterClient::MinChannel || m_channel > CounterClient::MaxChannel)
        m_channel = 0;
    if (m_channel > 0)
        ui->sbChannelCalibr->setValue(m_channel);
    int phases = 0;
    for (const ScanData::Point &point : data.points)
        phases = qMax(phases, point.phase);

    m_plot->showScan(data.points, phases);
    m_panel->propose(data, phases);
    m_plot->showFit(m_panel->fit());
    m_panel->setApplyEnabled(m_channel > 0 && !data.points.isEmpty());
    ui->lStatus->setText(tr("Scan of channel %1 from %2 (%3)")
                             .arg(m_channel > 0 ? QString::number(m_channel) : QStringLiteral("?"),
                                  data.value(QStringLiteral("date")),
                                  QDir::toNativeSeparators(path)));
}

void ScanController::applyLevels()
{
    if (!m_device->client() || m_channel < 1)
        return;
    for (int i = 0; i < 4; ++i) {
        if (m_panel->level(i) == ProposalsPanel::NoLevel) {
            m_device->warn(
                tr("Level %1 has no value: enter one, then apply the levels.").arg(i + 1));
            return;
        }
    }
    const int channel = m_channel;
    // After a scan the device's active channel is the scanned one; a scan opened from a file
    // may belong to another, and the EEPROM must store the channel the levels are for.
    if (m_fromFile
        && !m_device->run(tr("Can't set current channel"), [channel](CounterClient &client) {
               return client.writeChannel(channel);
           })) {
        return;
    }
    QSpinBox *const countsBoxes[]
        = {ui->sbRefLevel1, ui->sbRefLevel2, ui->sbRefLevel3, ui->sbRefLevel4};
    ui->sbChannel->setValue(m_channel);
    for (int i = 0; i < CounterClient::LevelCount; ++i) {
        const quint16 value = quint16(m_panel->level(i));
        const QString failure = tr("The counter did not confirm level %1 = %2 of channel %3; the "
                                   "levels before it were written.")
                                    .arg(i + 1)
                                    .arg(value)
                                    .arg(m_channel);
        if (!m_device->run(failure, [channel, i, value](CounterClient &client) {
                return client.writeLevel(channel, i + 1, value);
            }))
            return;
        countsBoxes[i]->setValue(value);
    }
    m_applied.clear();
    for (int i = 0; i < CounterClient::LevelCount; ++i)
        m_applied.append(m_panel->level(i));
    ui->lStatus->setText(tr("Levels applied: channel %1 now holds the levels 1: %2, 2: %3, "
                            "3: %4, 4: %5, as the Counts tab shows.")
                             .arg(m_channel)
                             .arg(m_panel->level(0))
                             .arg(m_panel->level(1))
                             .arg(m_panel->level(2))
                             .arg(m_panel->level(3)));
}
