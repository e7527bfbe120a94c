#include "scancontroller.h"
#include "ui_mainwindow.h"

#include "devicecall.h"
#include "kuvelcounterdriver.h"
#include "levelproposal.h"
#include "proposalspanel.h"
#include "scanplot.h"

#include <algorithm>
#include <iterator>
#include <QDir>
#include <QTimer>

namespace {

// A level held out of the way while another level of the channel is scanned.
constexpr quint16 HeldLevel = 65535;

constexpr int UnknownLevel = -1;

// The points of one phase: Start, Start + Step, ... up to the last one not above Stop, and
// Start alone when it lies above Stop. 0 when Step 0 keeps the scan at Start for ever.
int pointsPerPhase(int start, int stop, int step)
{
    if (start > stop)
        return 1;
    if (step <= 0)
        return 0;
    return (stop - start) / step + 1;
}

} // namespace

ScanController::ScanController(Ui::MainWindow *ui, DeviceCall *device, ScanPlot *plot,
                               ProposalsPanel *panel, QMainWindow *window)
    : QObject(window)
    , ui(ui)
    , m_device(device)
    , m_plot(plot)
    , m_panel(panel)
    , m_window(window)
    , m_timer(new QTimer(this))
{
    m_timer->setObjectName(QStringLiteral("calibrationTimer"));
    m_timer->setSingleShot(true);
    m_timer->setTimerType(Qt::PreciseTimer);
    connect(m_timer, &QTimer::timeout, this, &ScanController::step);
    m_device->addTick(m_timer);
    connect(m_panel, &ProposalsPanel::applyRequested, this, &ScanController::applyLevels);
}

bool ScanController::isRunning() const
{
    return ui->pbStopCalibration->isEnabled();
}

void ScanController::start()
{
    KuvelCounterDriver *driver = m_device->driver();
    if (!driver)
        return;

    m_plot->startScan();
    m_calibrPhase = 0;
    m_calibrValue = quint32(ui->sbStartCalibr->value());
    m_data.points.clear();
    m_channel = ui->sbChannelCalibr->value();
    m_fromFile = false;
    std::fill(std::begin(m_heldLevels), std::end(m_heldLevels), UnknownLevel);
    m_panel->clear();
    m_totalPoints = 4
        * pointsPerPhase(ui->sbStartCalibr->value(), ui->sbStopCalibr->value(),
                         ui->sbStep->value());

    // Points are measured against these levels, so a write that fails stops the scan before it
    // begins. Nothing was started yet.
    m_failedCountReads = 0;
    bool ok = false;
    driver->currentChannel()->setValueSync(quint8(ui->sbChannelCalibr->value() - 1), &ok,
                                           DeviceCall::Attempts);
    if (!ok || !writeLevels()) {
        m_device->resumeDeferred();
        m_device->warn(ok ? tr("Can't set reference level") : tr("Can't set current channel"));
        return;
    }
    const float timeConst = driver->timeConst()->getValueSync(nullptr, DeviceCall::Attempts);
    ui->dsbTimeConst->setValue(double(timeConst));
    m_data.header = ScanData::context(QStringLiteral("kuvel-counter " KUVEL_VERSION),
                                      QDateTime::currentDateTimeUtc(), m_portName,
                                      driver->acceptedType(), driver->acceptedIdentifier().toHex(),
                                      QString(), m_channel, double(timeConst));
    m_data.header += {{QStringLiteral("start"), QString::number(ui->sbStartCalibr->value())},
                      {QStringLiteral("stop"), QString::number(ui->sbStopCalibr->value())},
                      {QStringLiteral("step"), QString::number(ui->sbStep->value())}};
    driver->startCounter()->executeSync(nullptr, DeviceCall::Attempts);
    m_device->resumeDeferred();

    setRunning(true);
    // The levels settle for two time constants before the first point.
    m_device->restart(m_timer, DeviceCall::delayMs(double(timeConst), 2));
}

void ScanController::step()
{
    if (m_device->holdBack(m_timer))
        return;
    KuvelCounterDriver *driver = m_device->driver();
    // After a complete scan whose stop failed the phase is past the last one and nothing is
    // left to measure.
    if (!isRunning() || !driver || m_calibrPhase > 3)
        return;

    bool ok = false;
    const Kuvel_Counts_t counts = driver->counts()->getValueSync(&ok, DeviceCall::Attempts);
    m_device->resumeDeferred();
    if (!ok) {
        // The property would hand back an older answer; plotting it would invent a point.
        // Measure the same level again after the delay of a point of this phase, a few times.
        ui->lStatus->setText(QStringLiteral("Phase: %1, Value: %2, Counts: no answer")
                                 .arg(m_calibrPhase + 1)
                                 .arg(m_calibrValue));
        if (driver->isDeviceRefused())
            return; // the window's refusal ends the scan
        if (++m_failedCountReads >= MaxFailedCountReads) {
            end(tr("No counts from the counter at level %1 of phase %2 after %3 reads: the scan "
                   "ended.")
                    .arg(m_calibrValue)
                    .arg(m_calibrPhase + 1)
                    .arg(m_failedCountReads));
            return;
        }
        m_timer->start(DeviceCall::delayMs(ui->dsbTimeConst->value(), 1));
        return;
    }
    m_failedCountReads = 0;

    // The point is shown after the next level is written and the settle time armed: drawing
    // the plot takes longer than the device calls of a step, and in the event loop it runs
    // while the levels settle instead of lengthening every step of the scan.
    const ScanData::Point point {m_calibrPhase + 1, m_calibrValue, counts.count[m_calibrPhase]};
    m_data.points.append(point);
    showProgress();
    const auto showPoint = [this, point] {
        ui->lStatus->setText(QStringLiteral("Phase: %1, Value: %2, Counts: %3")
                                 .arg(point.phase)
                                 .arg(point.level)
                                 .arg(point.count));
        m_plot->addPoint(point);
    };

    m_calibrValue += quint32(ui->sbStep->value());
    int delay = 0;
    bool written = true;
    if (m_calibrValue <= quint32(ui->sbStopCalibr->value())) {
        written = writeLevel(m_calibrPhase, quint16(m_calibrValue));
        delay = DeviceCall::delayMs(ui->dsbTimeConst->value(), 1);
    } else {
        ++m_calibrPhase;
        if (m_calibrPhase > 3) {
            showPoint();
            ui->pbStopCalibration->click();
            return;
        }
        m_plot->addPhase(m_calibrPhase + 1);
        m_calibrValue = quint32(ui->sbStartCalibr->value());
        written = writeLevels();
        // All four levels moved: let them settle for two time constants.
        delay = DeviceCall::delayMs(ui->dsbTimeConst->value(), 2);
    }
    m_device->resumeDeferred();
    showPoint();
    if (!written) {
        if (!driver->isDeviceRefused())
            end(tr("The counter did not confirm the levels of phase %1 at %2: the scan ended.")
                    .arg(m_calibrPhase + 1)
                    .arg(m_calibrValue));
        return;
    }
    m_timer->start(delay);
}

bool ScanController::writeLevel(quint8 level, quint16 value)
{
    const Kuvel_RefLevel_t record {quint8(ui->sbChannelCalibr->value() - 1), level, value};
    bool ok = false;
    m_heldLevels[level] = UnknownLevel;
    m_device->driver()->referenceLevel()->setValueSync(record, &ok, DeviceCall::Attempts);
    if (ok)
        m_heldLevels[level] = value;
    return ok;
}

bool ScanController::writeLevels()
{
    // The phase's level starts the sweep; the other three are held out of the way.
    for (quint8 level = 0; level < 4; ++level) {
        if (!writeLevel(level, level == m_calibrPhase ? quint16(m_calibrValue) : HeldLevel))
            return false;
    }
    return true;
}

void ScanController::stop()
{
    const bool stopped
        = m_device->run(tr("The counter did not stop"), [](KuvelCounterDriver &driver, bool *ok) {
              driver.stopCounter()->executeSync(ok, DeviceCall::Attempts);
          });
    // A step still pending finds pbStopCalibration disabled and ends the chain.
    if (stopped)
        setRunning(false);
}

void ScanController::end(const QString &reason)
{
    // A point measured against a level the device may not hold would be a wrong point: the
    // scan ends instead, with the points measured so far.
    m_timer->stop();
    if (isRunning() && !m_device->driver()->isDeviceRefused())
        stop();
    else
        setRunning(false);
    m_device->warn(reason);
}

void ScanController::cancelStep()
{
    m_timer->stop();
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
    m_window->setWindowTitle(tr("Kuvel Counter"));
    if (!wasRunning)
        return;
    // A scan leaves the device with the levels it wrote last; the operator must know them
    // before counting or writing the EEPROM.
    m_panel->propose(m_data, qMin(int(m_calibrPhase), 4));
    ui->lStatus->setText(ui->lStatus->text() + QStringLiteral("   ") + heldLevelsText());
}

void ScanController::showProgress()
{
    // The status line is busy with the last point, so the progress goes to the title.
    if (m_totalPoints <= 0) {
        m_window->setWindowTitle(tr("Kuvel Counter - calibration"));
        return;
    }
    const int percent = int(qint64(m_data.points.size()) * 100 / m_totalPoints);
    m_window->setWindowTitle(tr("Kuvel Counter - calibration %1 %").arg(percent));
}

QString ScanController::heldLevelsText() const
{
    QStringList levels;
    for (int i = 0; i < 4; ++i) {
        levels.append(QStringLiteral("%1: %2").arg(i + 1).arg(
            m_heldLevels[i] < 0 ? tr("unknown") : QString::number(m_heldLevels[i])));
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
    for (auto &entry : data.header) {
        if (entry.first == QLatin1String("firmware"))
            entry.second = firmware();
    }
    const QVector<LevelProposal> &proposals = m_panel->proposals();
    data.header.append(
        {QStringLiteral("proposed levels"),
         LevelProposal::listText(proposals.isEmpty() ? QVector<LevelProposal>(4) : proposals)});
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
    if (!ok || m_channel < 1 || m_channel > DeviceCall::ChannelCount)
        m_channel = 0;
    int phases = 0;
    for (const ScanData::Point &point : data.points)
        phases = qMax(phases, point.phase);

    m_plot->showScan(data.points, phases);
    m_panel->propose(data, phases);
    m_panel->setApplyEnabled(m_channel > 0 && !data.points.isEmpty());
    ui->lStatus->setText(tr("Scan of channel %1 from %2 (%3)")
                             .arg(m_channel > 0 ? QString::number(m_channel) : QStringLiteral("?"),
                                  data.value(QStringLiteral("date")),
                                  QDir::toNativeSeparators(path)));
}

void ScanController::applyLevels()
{
    if (!m_device->driver() || m_channel < 1)
        return;
    for (int i = 0; i < 4; ++i) {
        if (m_panel->level(i) == ProposalsPanel::NoLevel) {
            m_device->warn(
                tr("Level %1 has no value: enter one, then apply the levels.").arg(i + 1));
            return;
        }
    }
    const quint8 channel = quint8(m_channel - 1);
    // After a scan the device's active channel is the scanned one; a scan opened from a file
    // may belong to another, and the EEPROM must store the channel the levels are for.
    if (m_fromFile
        && !m_device->run(
            tr("Can't set current channel"), [channel](KuvelCounterDriver &driver, bool *ok) {
                driver.currentChannel()->setValueSync(channel, ok, DeviceCall::Attempts);
            })) {
        return;
    }
    QSpinBox *const countsBoxes[]
        = {ui->sbRefLevel1, ui->sbRefLevel2, ui->sbRefLevel3, ui->sbRefLevel4};
    ui->sbChannel->setValue(m_channel);
    for (quint8 i = 0; i < 4; ++i) {
        const Kuvel_RefLevel_t record {channel, i, quint16(m_panel->level(i))};
        const QString failure = tr("The counter did not confirm level %1 = %2 of channel %3; the "
                                   "levels before it were written.")
                                    .arg(i + 1)
                                    .arg(record.value)
                                    .arg(m_channel);
        if (!m_device->run(failure, [record](KuvelCounterDriver &driver, bool *ok) {
                driver.referenceLevel()->setValueSync(record, ok, DeviceCall::Attempts);
            }))
            return;
        countsBoxes[i]->setValue(record.value);
    }
    ui->lStatus->setText(tr("Levels applied: channel %1 now holds the levels 1: %2, 2: %3, "
                            "3: %4, 4: %5, as the Counts tab shows.")
                             .arg(m_channel)
                             .arg(m_panel->level(0))
                             .arg(m_panel->level(1))
                             .arg(m_panel->level(2))
                             .arg(m_panel->level(3)));
}
