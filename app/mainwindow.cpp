#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "curs485iointerface.h"
#include "kuvelcounterdriver.h"

#include <QDebug>
#include <QMessageBox>
#include <QTimer>
#include <qcustomplot.h>

namespace {

// Every device call of the window sends its request up to this many times.
constexpr int Attempts = 5;

// The device holds the active channel as an index from 0; the window shows channels 1 to 8.
constexpr quint8 ChannelCount = 8;

// A level held out of the way while another level of the channel is scanned.
constexpr quint16 HeldLevel = 65535;

// Milliseconds of `factor` time constants, fraction dropped. A time constant reported by the
// device reaches here unchecked, so a garbled one must not become a negative or overflowing
// delay.
int delayMs(double timeConstSeconds, int factor)
{
    const double ms = timeConstSeconds * 1000.0 * factor;
    if (!(ms > 0.0))
        return 0;
    return ms < 1e9 ? int(ms) : 1000000000;
}

// A scan at the shortest time constant adds a point every 10 ms, faster than a screen shows
// them, and a replot costs a few milliseconds. So the plot is redrawn at most this often.
constexpr int ReplotIntervalMs = 40;

void replotSoon(QCustomPlot *plot)
{
    const QString name = QStringLiteral("replotTimer");
    auto *timer = plot->findChild<QTimer *>(name, Qt::FindDirectChildrenOnly);
    if (!timer) {
        timer = new QTimer(plot);
        timer->setObjectName(name);
        timer->setSingleShot(true);
        QObject::connect(timer, &QTimer::timeout, plot, [plot] { plot->replot(); });
    }
    if (!timer->isActive())
        timer->start(ReplotIntervalMs);
}

QPen phasePen(quint8 phase)
{
    static const Qt::GlobalColor colours[] = {Qt::blue, Qt::red, Qt::magenta, Qt::yellow};
    return QPen(colours[phase]);
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
    , m_pollTimer(new QTimer(this))
    , m_calibrationTimer(new QTimer(this))
{
    ui->setupUi(this);

    connect(ui->pbGetChannel, &QPushButton::clicked, this, &MainWindow::readChannel);
    connect(ui->pbSetChannel, &QPushButton::clicked, this, &MainWindow::writeChannel);
    connect(ui->pbGetTimeConst, &QPushButton::clicked, this, &MainWindow::readTimeConst);
    connect(ui->pbSetTimeConst, &QPushButton::clicked, this, &MainWindow::writeTimeConst);
    connect(ui->pbSetRefLevel1, &QPushButton::clicked, this, [this] { writeRefLevel(1); });
    connect(ui->pbSetRefLevel2, &QPushButton::clicked, this, [this] { writeRefLevel(2); });
    connect(ui->pbSetRefLevel3, &QPushButton::clicked, this, [this] { writeRefLevel(3); });
    connect(ui->pbSetRefLevel4, &QPushButton::clicked, this, [this] { writeRefLevel(4); });
    connect(ui->pbStart, &QPushButton::clicked, this, &MainWindow::startCounting);
    connect(ui->pbStop, &QPushButton::clicked, this, &MainWindow::stopCounting);
    connect(ui->pbStartCalibration, &QPushButton::clicked, this, &MainWindow::startCalibration);
    connect(ui->pbStopCalibration, &QPushButton::clicked, this, &MainWindow::stopCalibration);
    connect(ui->pbWriteEEPROM, &QPushButton::clicked, this, &MainWindow::saveToEeprom);

    // The opposite axes always show the same range. The plot's slots take a QCPRange by value
    // in one overload and by reference in another, which the text form resolves.
    connect(ui->customPlot->xAxis, SIGNAL(rangeChanged(QCPRange)), ui->customPlot->xAxis2,
            SLOT(setRange(QCPRange)));
    connect(ui->customPlot->yAxis, SIGNAL(rangeChanged(QCPRange)), ui->customPlot->yAxis2,
            SLOT(setRange(QCPRange)));

    m_pollTimer->setObjectName(QStringLiteral("pollTimer"));
    m_pollTimer->setSingleShot(true);
    m_pollTimer->setTimerType(Qt::PreciseTimer);
    connect(m_pollTimer, &QTimer::timeout, this, &MainWindow::timeOut);

    m_calibrationTimer->setObjectName(QStringLiteral("calibrationTimer"));
    m_calibrationTimer->setSingleShot(true);
    m_calibrationTimer->setTimerType(Qt::PreciseTimer);
    connect(m_calibrationTimer, &QTimer::timeout, this, &MainWindow::calibrationTimeOut);
}

MainWindow::~MainWindow()
{
    // The driver and the link stay: nothing is sent to the device on exit.
    delete ui;
}

void MainWindow::setPortName(const QString &name)
{
    m_portName = name;
    // Link and driver live until the process ends; the port opens with the first request.
    auto *link = new cuRs485IOInterface;
    link->setPortName(name);
    m_driver = new KuvelCounterDriver;
    m_driver->setIOInterface(link);
}

bool MainWindow::isCorrectDevice()
{
    if (!m_driver)
        return false;

    bool ok = false;
    const QString type = m_driver->deviceType()->getValueSync(&ok, Attempts);
    if (!ok || !type.contains(QLatin1String("KuvelCounter")))
        return false;

    const quint8 channel = m_driver->currentChannel()->getValueSync(&ok, Attempts);
    if (!ok || !showChannel(channel))
        return false;

    const float timeConst = m_driver->timeConst()->getValueSync(&ok, Attempts);
    if (!ok)
        return false;
    ui->dsbTimeConst->setValue(double(timeConst));
    return true;
}

void MainWindow::enebleGUI(bool enable)
{
    ui->pbStart->setEnabled(enable);
    ui->pbStop->setEnabled(!enable);
    ui->gbSettings->setEnabled(enable);
    ui->tabWidget->setTabEnabled(1, enable);
}

bool MainWindow::showChannel(quint8 channelIndex)
{
    // The device counts channels from 0, the box from 1. Anything above the last channel is
    // not a channel at all and counts as a failed read.
    if (channelIndex >= ChannelCount)
        return false;
    ui->sbChannel->setValue(channelIndex + 1);
    return true;
}

void MainWindow::readChannel()
{
    if (!m_driver)
        return;
    bool ok = false;
    const quint8 channel = m_driver->currentChannel()->getValueSync(&ok, Attempts);
    resumeDeferred();
    if (ok)
        showChannel(channel);
}

void MainWindow::writeChannel()
{
    if (!m_driver)
        return;
    bool ok = false;
    m_driver->currentChannel()->setValueSync(quint8(ui->sbChannel->value() - 1), &ok, Attempts);
    resumeDeferred();
    if (!ok)
        warn(tr("Can't set current channel"));
}

void MainWindow::readTimeConst()
{
    if (!m_driver)
        return;
    bool ok = false;
    const float timeConst = m_driver->timeConst()->getValueSync(&ok, Attempts);
    resumeDeferred();
    if (ok)
        ui->dsbTimeConst->setValue(double(timeConst));
}

void MainWindow::writeTimeConst()
{
    if (!m_driver)
        return;
    bool ok = false;
    m_driver->timeConst()->setValueSync(float(ui->dsbTimeConst->value()), &ok, Attempts);
    resumeDeferred();
    if (!ok)
        warn(tr("Can't set time constant"));
}

void MainWindow::writeRefLevel(int level)
{
    if (!m_driver)
        return;
    const QSpinBox *const boxes[]
        = {ui->sbRefLevel1, ui->sbRefLevel2, ui->sbRefLevel3, ui->sbRefLevel4};
    const Kuvel_RefLevel_t record {quint8(ui->sbChannel->value() - 1), quint8(level - 1),
                                   quint16(boxes[level - 1]->value())};
    bool ok = false;
    m_driver->referenceLevel()->setValueSync(record, &ok, Attempts);
    resumeDeferred();
    if (!ok)
        warn(tr("Can't set reference level"));
}

void MainWindow::startCounting()
{
    if (!m_driver)
        return;
    bool ok = false;
    m_driver->startCounter()->executeSync(&ok, Attempts);
    resumeDeferred();
    if (!ok) {
        warn(tr("Can't start counter"));
        return;
    }
    enebleGUI(false);
    // The first counts come one time constant after the start. Restarting the timer drops a
    // tick still pending from an earlier run.
    m_pollDeferred = false;
    m_pollTimer->start(delayMs(ui->dsbTimeConst->value(), 1));
}

void MainWindow::stopCounting()
{
    if (!m_driver)
        return;
    bool ok = false;
    m_driver->stopCounter()->executeSync(&ok, Attempts);
    resumeDeferred();
    if (!ok) {
        warn(tr("The counter did not stop"));
        return;
    }
    // The pending tick is left to find pbStop disabled and end the chain itself.
    enebleGUI(true);
}

void MainWindow::saveToEeprom()
{
    if (!m_driver)
        return;
    bool ok = false;
    m_driver->writeEeprom()->executeSync(&ok, Attempts);
    resumeDeferred();
    if (!ok)
        warn(tr("Can't execute write command"));
}

void MainWindow::timeOut()
{
    // A request started here would share the driver's single bookkeeping with the one being
    // waited for; run once that wait is over instead.
    if (m_driver && m_driver->isWaiting()) {
        m_pollDeferred = true;
        return;
    }
    qDebug() << "tick";
    // Counting runs exactly while pbStop is enabled.
    if (!ui->pbStop->isEnabled() || !m_driver)
        return;

    bool ok = false;
    const Kuvel_Counts_t counts = m_driver->counts()->getValueSync(&ok, Attempts);
    resumeDeferred();
    if (ok) {
        ui->lCounts1->setText(QStringLiteral("1: %1").arg(counts.count[0]));
        ui->lCounts2->setText(QStringLiteral("2: %1").arg(counts.count[1]));
        ui->lCounts3->setText(QStringLiteral("3: %1").arg(counts.count[2]));
        ui->lCounts4->setText(QStringLiteral("4: %1").arg(counts.count[3]));
    }
    // A failed read keeps polling, so the display comes back by itself with the device.
    m_pollTimer->start(delayMs(ui->dsbTimeConst->value(), 1));
}

void MainWindow::writeCalibrationLevel(quint8 level, quint16 value)
{
    const Kuvel_RefLevel_t record {quint8(ui->sbChannelCalibr->value() - 1), level, value};
    m_driver->referenceLevel()->setValueSync(record, nullptr, Attempts);
}

void MainWindow::writeCalibrationLevels()
{
    // The phase's level starts the sweep; the other three are held out of the way.
    for (quint8 level = 0; level < 4; ++level)
        writeCalibrationLevel(level, level == m_calibrPhase ? quint16(m_calibrValue) : HeldLevel);
}

void MainWindow::setCalibrationRunning(bool running)
{
    // Counting and the scan exclude each other through the tabs they disable.
    ui->tabWidget->setTabEnabled(0, !running);
    ui->sbChannelCalibr->setEnabled(!running);
    ui->sbStartCalibr->setEnabled(!running);
    ui->sbStopCalibr->setEnabled(!running);
    ui->sbStep->setEnabled(!running);
    ui->pbStartCalibration->setEnabled(!running);
    ui->pbStopCalibration->setEnabled(running);
}

void MainWindow::startCalibration()
{
    if (!m_driver)
        return;

    QCustomPlot *plot = ui->customPlot;
    plot->clearGraphs();
    plot->addGraph();
    plot->graph(0)->setPen(phasePen(0));
    plot->yAxis->grid()->setSubGridVisible(true);
    plot->xAxis->grid()->setSubGridVisible(true);
    plot->yAxis->setScaleType(QCPAxis::stLogarithmic);
    plot->yAxis2->setScaleType(QCPAxis::stLogarithmic);
    // Counts span decades; this plot library only places ticks by decade when told to.
    QSharedPointer<QCPAxisTickerLog> logTicker(new QCPAxisTickerLog);
    plot->yAxis->setTicker(logTicker);
    plot->yAxis2->setTicker(logTicker);
    plot->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    plot->axisRect()->setupFullAxesBox();
    plot->replot();

    m_calibrPhase = 0;
    m_calibrValue = quint32(ui->sbStartCalibr->value());

    // What the device does with these is not checked: the scan runs on regardless.
    m_driver->currentChannel()->setValueSync(quint8(ui->sbChannelCalibr->value() - 1), nullptr,
                                             Attempts);
    writeCalibrationLevels();
    const float timeConst = m_driver->timeConst()->getValueSync(nullptr, Attempts);
    ui->dsbTimeConst->setValue(double(timeConst));
    m_driver->startCounter()->executeSync(nullptr, Attempts);
    resumeDeferred();

    setCalibrationRunning(true);
    // The levels settle for two time constants before the first point. Restarting the timer
    // drops a step still pending from an earlier scan.
    m_calibrationDeferred = false;
    m_calibrationTimer->start(delayMs(double(timeConst), 2));
}

void MainWindow::calibrationTimeOut()
{
    if (m_driver && m_driver->isWaiting()) {
        m_calibrationDeferred = true;
        return;
    }
    // The scan runs exactly while pbStopCalibration is enabled; after a complete scan whose
    // stop failed the phase is past the last one and nothing is left to measure.
    if (!ui->pbStopCalibration->isEnabled() || !m_driver || m_calibrPhase > 3)
        return;

    bool ok = false;
    const Kuvel_Counts_t counts = m_driver->counts()->getValueSync(&ok, Attempts);
    resumeDeferred();
    if (!ok) {
        // The property would hand back an older answer; plotting it would invent a point.
        // Measure the same level again after the delay of a point of this phase.
        ui->lStatus->setText(QStringLiteral("Phase: %1, Value: %2, Counts: no answer")
                                 .arg(m_calibrPhase + 1)
                                 .arg(m_calibrValue));
        m_calibrationTimer->start(delayMs(ui->dsbTimeConst->value(), 1));
        return;
    }

    // The point is shown after the next level is written and the settle time armed: drawing
    // the plot takes longer than the device calls of a step, and in the event loop it runs
    // while the levels settle instead of lengthening every step of the scan.
    const quint8 phase = m_calibrPhase;
    const quint32 value = m_calibrValue;
    const quint32 count = counts.count[phase];
    QCustomPlot *plot = ui->customPlot;
    const auto showPoint = [this, plot, phase, value, count] {
        ui->lStatus->setText(QStringLiteral("Phase: %1, Value: %2, Counts: %3")
                                 .arg(phase + 1)
                                 .arg(value)
                                 .arg(count));
        plot->graph(phase)->addData(double(value), double(count));
        plot->rescaleAxes();
        replotSoon(plot);
    };

    m_calibrValue += quint32(ui->sbStep->value());
    int delay = 0;
    if (m_calibrValue <= quint32(ui->sbStopCalibr->value())) {
        writeCalibrationLevel(m_calibrPhase, quint16(m_calibrValue));
        delay = delayMs(ui->dsbTimeConst->value(), 1);
    } else {
        ++m_calibrPhase;
        if (m_calibrPhase > 3) {
            showPoint();
            ui->pbStopCalibration->click();
            return;
        }
        plot->addGraph();
        plot->graph(m_calibrPhase)->setPen(phasePen(m_calibrPhase));
        m_calibrValue = quint32(ui->sbStartCalibr->value());
        writeCalibrationLevels();
        // All four levels moved: let them settle for two time constants.
        delay = delayMs(ui->dsbTimeConst->value(), 2);
    }
    resumeDeferred();
    m_calibrationTimer->start(delay);
    showPoint();
}

void MainWindow::stopCalibration()
{
    if (!m_driver)
        return;
    bool ok = false;
    m_driver->stopCounter()->executeSync(&ok, Attempts);
    resumeDeferred();
    if (!ok) {
        warn(tr("The counter did not stop"));
        return;
    }
    // A step still pending finds pbStopCalibration disabled and ends the chain.
    setCalibrationRunning(false);
}

void MainWindow::resumeDeferred()
{
    // Called after each of the window's device calls: once no request waits any more, what
    // fell due meanwhile runs from the event loop.
    if (!m_driver || m_driver->isWaiting())
        return;
    if (m_pollDeferred) {
        m_pollDeferred = false;
        m_pollTimer->start(0);
    }
    if (m_calibrationDeferred) {
        m_calibrationDeferred = false;
        m_calibrationTimer->start(0);
    }
}

void MainWindow::warn(const QString &text)
{
    QMessageBox::warning(this, tr("Warning..."), text);
}
