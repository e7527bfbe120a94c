#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "counttrend.h"
#include "curs485iointerface.h"
#include "decimalpointvalidator.h"
#include "kuvelcounterdriver.h"
#include "levelproposal.h"
#include "linkfactory.h"
#include "scandata.h"

#include <algorithm>
#include <iterator>
#include <vector>
#include <QBuffer>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QImageWriter>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QSaveFile>
#include <QSettings>
#include <QShortcut>
#include <QSpinBox>
#include <QStyle>
#include <QTabBar>
#include <QTemporaryFile>
#include <QTimer>
#include <QToolButton>
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

// Objects that live until the application object goes. Released then, quietly (a link
// closes its port, a driver sends nothing), so a process that makes windows one after the
// other, as the tests do, does not keep them all or report them as leaks.
std::vector<QObject *> &objectsReleasedAtExit()
{
    static std::vector<QObject *> objects;
    return objects;
}

void releaseObjectsAtExit()
{
    std::vector<QObject *> &objects = objectsReleasedAtExit();
    // The driver of a window goes before its link.
    for (QObject *object : objects)
        delete object;
    objects.clear();
}

void releaseAtExit(QObject *object)
{
    std::vector<QObject *> &objects = objectsReleasedAtExit();
    if (objects.empty())
        qAddPostRoutine(releaseObjectsAtExit);
    objects.push_back(object);
}

// Writes `bytes` to a new file beside `path` and only then puts it in place of `path`, so a
// failed save leaves no half file and keeps the one saved before. Each write goes straight to
// the file: a buffered one that fails only when QSaveFile closes the file is not reported by
// it, and an empty file would replace the older one.
bool writeWholeFile(const QString &path, const QByteArray &bytes, QString *reason)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && file.write(bytes) == bytes.size()
        && file.flush() && file.commit()) {
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

QPen phasePen(quint8 phase)
{
    static const Qt::GlobalColor colours[] = {Qt::blue, Qt::red, Qt::magenta, Qt::yellow};
    return QPen(colours[phase]);
}

// What the window remembers between runs; nothing measured depends on it.
const char SettingsOrganization[] = "Kuvel";
const char SettingsApplication[] = "kuvel-counter";

// The tooltip of a control, with its access key when it has one.
QString withKey(const QString &tip, const QKeySequence &key)
{
    if (key.isEmpty())
        return tip;
    return QStringLiteral("%1 (%2)").arg(tip, key.toString(QKeySequence::NativeText));
}

// A box with no proposal shows its minimum as this text.
constexpr int NoLevel = -1;

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
    , m_pollTimer(new QTimer(this))
    , m_calibrationTimer(new QTimer(this))
{
    ui->setupUi(this);
    DecimalPointValidator::install(ui->dsbTimeConst);

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

    // The plot drags its range with the left button, so the right one is free for the menu.
    m_plotMenu = new QMenu(ui->customPlot);
    m_plotMenu->setObjectName(QStringLiteral("plotMenu"));
    m_saveDataAction
        = m_plotMenu->addAction(tr("Save data..."), this, &MainWindow::askSaveScanData);
    m_saveDataAction->setObjectName(QStringLiteral("actionSaveData"));
    m_savePlotAction
        = m_plotMenu->addAction(tr("Save plot..."), this, &MainWindow::askSaveScanPlot);
    m_savePlotAction->setObjectName(QStringLiteral("actionSavePlot"));
    m_openDataAction
        = m_plotMenu->addAction(tr("Open data..."), this, &MainWindow::askOpenScanData);
    m_openDataAction->setObjectName(QStringLiteral("actionOpenData"));
    connect(ui->customPlot, &QCustomPlot::mouseDoubleClick, this, [this] {
        ui->customPlot->rescaleAxes();
        ui->customPlot->replot();
    });

    // The proposed levels of the last scan, editable, between the plot and the status line.
    auto *proposals = new QHBoxLayout;
    proposals->setObjectName(QStringLiteral("proposalLayout"));
    auto *proposalLabel = new QLabel(tr("Proposed levels:"), ui->tab_2);
    proposalLabel->setObjectName(QStringLiteral("lProposedLevels"));
    proposals->addWidget(proposalLabel);
    for (int i = 0; i < 4; ++i) {
        auto *box = new QSpinBox(ui->tab_2);
        box->setObjectName(QStringLiteral("sbProposedLevel%1").arg(i + 1));
        box->setRange(NoLevel, 65535);
        box->setSpecialValueText(tr("none"));
        box->setValue(NoLevel);
        box->setPrefix(QStringLiteral("%1: ").arg(i + 1));
        connect(box, QOverload<int>::of(&QSpinBox::valueChanged), this, &MainWindow::showMarkers);
        proposals->addWidget(box);
        m_proposalBoxes[i] = box;
    }
    m_applyButton = new QPushButton(tr("Apply levels"), ui->tab_2);
    m_applyButton->setObjectName(QStringLiteral("pbApplyLevels"));
    m_applyButton->setEnabled(false);
    connect(m_applyButton, &QPushButton::clicked, this, &MainWindow::applyLevels);
    proposals->addWidget(m_applyButton);
    ui->verticalLayout_5->insertLayout(ui->verticalLayout_5->indexOf(ui->lStatus), proposals);
    setUpPlot();
    ui->customPlot->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui->customPlot, &QWidget::customContextMenuRequested, this, &MainWindow::showPlotMenu);

    m_trend = new CountTrend(ui->tabWidget);
    m_trend->setObjectName(QStringLiteral("tabTrend"));
    ui->tabWidget->addTab(m_trend, tr("Trend"));
    connect(m_trend, &CountTrend::recordRequested, this, &MainWindow::recordTrend);

    setUpKeyboard();
    restoreSettings();
}

MainWindow::~MainWindow()
{
    // The driver and the link stay: nothing is sent to the device on exit. Answers still owed
    // to this window's requests (only when the device answered late) are waited for, at most
    // a few answer time-outs, so that the next program on the line does not take them for
    // answers to its own requests.
    m_pollTimer->stop();
    m_calibrationTimer->stop();
    if (m_driver) {
        disconnect(m_driver, nullptr, this, nullptr);
        if (m_link && m_link->isOpen())
            m_driver->waitForOwedAnswers();
    }
    delete ui;
}

void MainWindow::setPortName(const QString &name)
{
    m_portName = name;
    m_firmware.clear();
    closePort();
    m_deviceAnswered = false;
    // Link and driver outlive the window: nothing is sent to the device when it closes. The
    // port opens with the first request.
    cuIOInterface *link = createLink(name);
    m_driver = new KuvelCounterDriver;
    m_driver->setIOInterface(link);
    // Queued: it is emitted inside a request, which the warning box must not interrupt.
    connect(m_driver, &CommonDriver::deviceChanged, this, &MainWindow::refuseOtherDevice,
            Qt::QueuedConnection);
    releaseAtExit(m_driver);
    releaseAtExit(link);
    m_link = link;
    connect(link, &cuIOInterface::msgReceived, this, [this] { m_deviceAnswered = true; });
}

bool MainWindow::openPort(QString *reason)
{
    if (!m_link)
        return false;
    if (m_link->initialize())
        return true;
    if (reason)
        *reason = m_link->openErrorText();
    return false;
}

void MainWindow::closePort()
{
    if (m_link)
        m_link->close();
}

bool MainWindow::isCorrectDevice()
{
    if (!m_driver)
        return false;

    bool ok = false;
    const QString type = m_driver->deviceType()->getValueSync(&ok, Attempts);
    if (!ok || !m_driver->isSupportedType(type))
        return false;
    // Its identifier tells it from another device that may take its place on the line.
    if (!m_driver->acceptDevice(type, Attempts))
        return false;

    const quint8 channel = m_driver->currentChannel()->getValueSync(&ok, Attempts);
    if (!ok)
        return false;
    // An erased EEPROM reports 255. Such a counter is still the operator's to set right, so
    // it is accepted and the operator told once the window is up.
    m_channelOutOfRange = showChannel(channel) ? -1 : channel;

    const float timeConst = m_driver->timeConst()->getValueSync(&ok, Attempts);
    if (!ok)
        return false;
    ui->dsbTimeConst->setValue(double(timeConst));
    return true;
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    // Taken once the style and fonts are final. Every page of the tabs counts, so no caption
    // or button text is cut on any of them.
    if (minimumSize() != minimumSizeHint())
        setMinimumSize(minimumSizeHint());
    if (m_channelOutOfRange < 0)
        return;
    const int channel = m_channelOutOfRange;
    m_channelOutOfRange = -1;
    // From the event loop, so the box comes over the window already drawn.
    QTimer::singleShot(0, this, [this, channel] {
        warn(tr("The counter's active channel is out of range: it reports channel index %1, "
                "not one of its channels 1 to 8.\nChoose a channel and press Set.")
                 .arg(channel));
    });
}

void MainWindow::enebleGUI(bool enable)
{
    ui->pbStart->setEnabled(enable);
    ui->pbStop->setEnabled(!enable);
    ui->gbSettings->setEnabled(enable);
    ui->tabWidget->setTabEnabled(1, enable);
    if (m_trend)
        m_trend->setCounting(!enable);
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

bool MainWindow::stopCounter()
{
    bool ok = false;
    m_driver->stopCounter()->executeSync(&ok, Attempts);
    resumeDeferred();
    if (!ok)
        warn(tr("The counter did not stop"));
    return ok;
}

void MainWindow::stopCounting()
{
    if (!m_driver || !stopCounter())
        return;
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
        m_lastCountsTime = QDateTime::currentDateTime();
        if (m_trend)
            m_trend->addCounts(counts.count);
    }
    showCountsCurrent(ok);
    // A failed read keeps polling, so the display comes back by itself with the device; another
    // device on the line ends it (refuseOtherDevice).
    if (!m_driver->isDeviceRefused())
        m_pollTimer->start(delayMs(ui->dsbTimeConst->value(), 1));
}

void MainWindow::recordTrend()
{
    if (!m_driver || !m_trend)
        return;
    // The settings are locked while counting, so the header holds for every line.
    const QString path = m_trend->askRecordPath(ui->sbChannel->value());
    if (path.isEmpty() || !ui->pbStop->isEnabled())
        return;
    const QByteArray header = ScanData::headerLines(ScanData::context(
        QStringLiteral("kuvel-counter " KUVEL_VERSION), QDateTime::currentDateTimeUtc(), m_portName,
        m_driver->acceptedType(), m_driver->acceptedIdentifier().toHex(), firmware(),
        ui->sbChannel->value(), ui->dsbTimeConst->value()));
    if (ui->pbStop->isEnabled())
        m_trend->startRecording(path, header);
}

QString MainWindow::firmware()
{
    // Asked only when a file's header needs it, so identification keeps its requests.
    if (m_firmware.isEmpty() && m_driver) {
        bool ok = false;
        const QString text = m_driver->firmwareVersion()->getValueSync(&ok, Attempts);
        resumeDeferred();
        if (ok)
            m_firmware = text;
    }
    return m_firmware.isEmpty() ? tr("unknown") : m_firmware;
}

void MainWindow::showCountsCurrent(bool current)
{
    // The numbers stay, but counts the device no longer confirms must not pass for live ones:
    // they are greyed, and say since when they are old, until an answer comes back.
    QString note;
    if (!current) {
        note = m_lastCountsTime.isValid()
            ? tr("Not current: the last answer came at %1")
                  .arg(m_lastCountsTime.toString(QStringLiteral("HH:mm:ss")))
            : tr("Not current: the counter has not answered");
    }
    for (QLabel *label : {ui->lCounts1, ui->lCounts2, ui->lCounts3, ui->lCounts4}) {
        label->setEnabled(current);
        label->setToolTip(note);
    }
}

bool MainWindow::writeCalibrationLevel(quint8 level, quint16 value)
{
    const Kuvel_RefLevel_t record {quint8(ui->sbChannelCalibr->value() - 1), level, value};
    bool ok = false;
    m_heldLevels[level] = NoLevel;
    m_driver->referenceLevel()->setValueSync(record, &ok, Attempts);
    if (ok)
        m_heldLevels[level] = value;
    return ok;
}

bool MainWindow::writeCalibrationLevels()
{
    // The phase's level starts the sweep; the other three are held out of the way.
    for (quint8 level = 0; level < 4; ++level) {
        if (!writeCalibrationLevel(level,
                                   level == m_calibrPhase ? quint16(m_calibrValue) : HeldLevel))
            return false;
    }
    return true;
}

void MainWindow::endCalibration(const QString &reason)
{
    // A point measured against a level the device may not hold would be a wrong point: the
    // scan ends instead, with the points measured so far.
    m_calibrationTimer->stop();
    if (ui->pbStopCalibration->isEnabled() && !m_driver->isDeviceRefused())
        stopCalibration();
    else
        setCalibrationRunning(false);
    warn(reason);
}

void MainWindow::setCalibrationRunning(bool running)
{
    // Counting and the scan exclude each other through the tabs they disable.
    ui->tabWidget->setTabEnabled(0, !running);
    ui->sbChannelCalibr->setEnabled(!running);
    ui->sbStartCalibr->setEnabled(!running);
    ui->sbStopCalibr->setEnabled(!running);
    ui->sbStep->setEnabled(!running);
    const bool wasRunning = ui->pbStopCalibration->isEnabled();
    ui->pbStartCalibration->setEnabled(!running);
    ui->pbStopCalibration->setEnabled(running);
    m_applyButton->setEnabled(!running && !m_scanPoints.isEmpty());
    if (running) {
        showScanProgress();
        return;
    }
    setWindowTitle(tr("Kuvel Counter"));
    if (!wasRunning)
        return;
    // A scan leaves the device with the levels it wrote last; the operator must know them
    // before counting or writing the EEPROM.
    proposeLevels(qMin(int(m_calibrPhase), 4));
    ui->lStatus->setText(ui->lStatus->text() + QStringLiteral("   ") + heldLevelsText());
}

QString MainWindow::heldLevelsText() const
{
    QStringList levels;
    for (int i = 0; i < 4; ++i) {
        levels.append(QStringLiteral("%1: %2").arg(i + 1).arg(
            m_heldLevels[i] < 0 ? tr("unknown") : QString::number(m_heldLevels[i])));
    }
    return tr("Channel %1 now holds the levels %2")
        .arg(m_scanChannel)
        .arg(levels.join(QStringLiteral(", ")));
}

void MainWindow::setUpPlot()
{
    QCustomPlot *plot = ui->customPlot;
    plot->xAxis->setLabel(tr("Reference level"));
    plot->yAxis->setLabel(tr("Counts"));
    plot->legend->setVisible(true);
}

void MainWindow::proposeLevels(int phasesMeasured)
{
    ScanData data;
    for (const ScanPoint &point : qAsConst(m_scanPoints))
        data.points.append({point.phase, point.level, point.count});
    m_proposals.clear();
    for (int phase = 1; phase <= 4; ++phase) {
        // A stopped phase has only part of its curve: what it seems to show is not a valley.
        m_proposals.append(phase <= phasesMeasured
                               ? LevelProposal::fromCurve(data.curve(phase), phase)
                               : LevelProposal());
    }
    for (int i = 0; i < 4; ++i) {
        const LevelProposal &proposal = m_proposals[i];
        m_proposalBoxes[i]->setValue(proposal.isValid() ? proposal.level() : NoLevel);
        m_proposalBoxes[i]->setToolTip(proposal.isValid()
                                           ? tr("Proposed by the scan")
                                           : tr("No proposal: %1").arg(proposal.reason()));
    }
    m_applyButton->setEnabled(!m_scanPoints.isEmpty());
    showMarkers();
}

void MainWindow::showMarkers()
{
    QCustomPlot *plot = ui->customPlot;
    plot->clearItems();
    for (int i = 0; i < 4; ++i) {
        const int level = m_proposalBoxes[i]->value();
        if (level == NoLevel || i >= plot->graphCount())
            continue;
        auto *line = new QCPItemStraightLine(plot);
        QPen pen = phasePen(quint8(i));
        pen.setStyle(Qt::DashLine);
        line->setPen(pen);
        line->point1->setCoords(level, 1);
        line->point2->setCoords(level, 10);
    }
    replotSoon(plot);
}

void MainWindow::applyLevels()
{
    if (!m_driver || m_scanChannel < 1)
        return;
    for (int i = 0; i < 4; ++i) {
        if (m_proposalBoxes[i]->value() == NoLevel) {
            warn(tr("Level %1 has no value: enter one, then apply the levels.").arg(i + 1));
            return;
        }
    }
    bool ok = true;
    // After a scan the device's active channel is the scanned one; a scan opened from a file
    // may belong to another, and the EEPROM must store the channel the levels are for.
    if (m_scanFromFile) {
        m_driver->currentChannel()->setValueSync(quint8(m_scanChannel - 1), &ok, Attempts);
        if (!ok) {
            resumeDeferred();
            warn(tr("Can't set current channel"));
            return;
        }
    }
    QSpinBox *const countsBoxes[]
        = {ui->sbRefLevel1, ui->sbRefLevel2, ui->sbRefLevel3, ui->sbRefLevel4};
    ui->sbChannel->setValue(m_scanChannel);
    for (quint8 i = 0; i < 4; ++i) {
        const quint16 value = quint16(m_proposalBoxes[i]->value());
        const Kuvel_RefLevel_t record {quint8(m_scanChannel - 1), i, value};
        m_driver->referenceLevel()->setValueSync(record, &ok, Attempts);
        if (!ok) {
            resumeDeferred();
            warn(tr("The counter did not confirm level %1 = %2 of channel %3; the levels "
                    "before it were written.")
                     .arg(i + 1)
                     .arg(value)
                     .arg(m_scanChannel));
            return;
        }
        countsBoxes[i]->setValue(value);
    }
    resumeDeferred();
    ui->lStatus->setText(tr("Levels applied: channel %1 now holds the levels 1: %2, 2: %3, "
                            "3: %4, 4: %5, as the Counts tab shows.")
                             .arg(m_scanChannel)
                             .arg(m_proposalBoxes[0]->value())
                             .arg(m_proposalBoxes[1]->value())
                             .arg(m_proposalBoxes[2]->value())
                             .arg(m_proposalBoxes[3]->value()));
}

void MainWindow::recordScanPoint(quint8 phase, quint32 level, quint32 count)
{
    m_scanPoints.append({phase + 1, level, count});
    showScanProgress();
}

void MainWindow::showScanProgress()
{
    // The status line is busy with the last point, so the progress goes to the title.
    if (m_scanTotalPoints <= 0) {
        setWindowTitle(tr("Kuvel Counter - calibration"));
        return;
    }
    const int percent = int(qint64(m_scanPoints.size()) * 100 / m_scanTotalPoints);
    setWindowTitle(tr("Kuvel Counter - calibration %1 %").arg(percent));
}

void MainWindow::startCalibration()
{
    if (!m_driver)
        return;

    QCustomPlot *plot = ui->customPlot;
    plot->clearGraphs();
    plot->clearItems();
    plot->addGraph();
    plot->graph(0)->setPen(phasePen(0));
    plot->graph(0)->setName(tr("1-photon"));
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
    m_scanPoints.clear();
    m_scanChannel = ui->sbChannelCalibr->value();
    m_scanFromFile = false;
    std::fill(std::begin(m_heldLevels), std::end(m_heldLevels), NoLevel);
    for (int i = 0; i < 4; ++i) {
        m_proposalBoxes[i]->setValue(NoLevel);
        m_proposalBoxes[i]->setToolTip(proposalTip(i));
    }
    m_proposals.clear();
    m_applyButton->setEnabled(false);
    m_scanTotalPoints = 4
        * pointsPerPhase(ui->sbStartCalibr->value(), ui->sbStopCalibr->value(),
                         ui->sbStep->value());

    // Points are measured against these levels, so a write that fails stops the scan before it
    // begins. Nothing was started yet.
    m_failedCountReads = 0;
    bool ok = false;
    m_driver->currentChannel()->setValueSync(quint8(ui->sbChannelCalibr->value() - 1), &ok,
                                             Attempts);
    if (!ok || !writeCalibrationLevels()) {
        resumeDeferred();
        warn(ok ? tr("Can't set reference level") : tr("Can't set current channel"));
        return;
    }
    const float timeConst = m_driver->timeConst()->getValueSync(nullptr, Attempts);
    ui->dsbTimeConst->setValue(double(timeConst));
    m_scanHeader = ScanData::context(
        QStringLiteral("kuvel-counter " KUVEL_VERSION), QDateTime::currentDateTimeUtc(), m_portName,
        m_driver->acceptedType(), m_driver->acceptedIdentifier().toHex(), QString(), m_scanChannel,
        double(timeConst));
    m_scanHeader += {{QStringLiteral("start"), QString::number(ui->sbStartCalibr->value())},
                     {QStringLiteral("stop"), QString::number(ui->sbStopCalibr->value())},
                     {QStringLiteral("step"), QString::number(ui->sbStep->value())}};
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
        // Measure the same level again after the delay of a point of this phase, a few times.
        ui->lStatus->setText(QStringLiteral("Phase: %1, Value: %2, Counts: no answer")
                                 .arg(m_calibrPhase + 1)
                                 .arg(m_calibrValue));
        if (m_driver->isDeviceRefused())
            return; // refuseOtherDevice ends the scan
        if (++m_failedCountReads >= MaxFailedCountReads) {
            endCalibration(tr("No counts from the counter at level %1 of phase %2 after %3 "
                              "reads: the scan ended.")
                               .arg(m_calibrValue)
                               .arg(m_calibrPhase + 1)
                               .arg(m_failedCountReads));
            return;
        }
        m_calibrationTimer->start(delayMs(ui->dsbTimeConst->value(), 1));
        return;
    }
    m_failedCountReads = 0;

    // The point is shown after the next level is written and the settle time armed: drawing
    // the plot takes longer than the device calls of a step, and in the event loop it runs
    // while the levels settle instead of lengthening every step of the scan.
    const quint8 phase = m_calibrPhase;
    const quint32 value = m_calibrValue;
    const quint32 count = counts.count[phase];
    recordScanPoint(phase, value, count);
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
    bool written = true;
    if (m_calibrValue <= quint32(ui->sbStopCalibr->value())) {
        written = writeCalibrationLevel(m_calibrPhase, quint16(m_calibrValue));
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
        plot->graph(m_calibrPhase)->setName(tr("%1-photon").arg(m_calibrPhase + 1));
        m_calibrValue = quint32(ui->sbStartCalibr->value());
        written = writeCalibrationLevels();
        // All four levels moved: let them settle for two time constants.
        delay = delayMs(ui->dsbTimeConst->value(), 2);
    }
    resumeDeferred();
    showPoint();
    if (!written) {
        if (!m_driver->isDeviceRefused())
            endCalibration(tr("The counter did not confirm the levels of phase %1 at %2: the "
                              "scan ended.")
                               .arg(m_calibrPhase + 1)
                               .arg(m_calibrValue));
        return;
    }
    m_calibrationTimer->start(delay);
}

void MainWindow::refuseOtherDevice()
{
    // Nothing more goes to that device, not even a stop: polling and a scan just end.
    m_pollTimer->stop();
    m_calibrationTimer->stop();
    if (ui->pbStop->isEnabled())
        enebleGUI(true);
    if (ui->pbStopCalibration->isEnabled())
        setCalibrationRunning(false);
    warn(tr("Another device answers on %1 since the port was opened again:\n"
            "type \"%2\", identifier %3,\n"
            "not the counter \"%4\", identifier %5.\n"
            "Nothing more is sent to it. Connect the counter and start the program again.")
             .arg(m_portName, m_driver->foundType(), m_driver->foundIdentifier().toHex(),
                  m_driver->acceptedType(), m_driver->acceptedIdentifier().toHex()));
}

void MainWindow::stopCalibration()
{
    if (!m_driver || !stopCounter())
        return;
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

void MainWindow::showPlotMenu(const QPoint &pos)
{
    m_saveDataAction->setEnabled(!m_scanPoints.isEmpty());
    m_openDataAction->setEnabled(!ui->pbStopCalibration->isEnabled());
    m_plotMenu->popup(ui->customPlot->mapToGlobal(pos));
}

QString MainWindow::askSavePath(const QString &caption, const QString &name,
                                const QStringList &filters, const QStringList &suffixes)
{
    QFileDialog dialog(this, caption, m_saveDir);
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

void MainWindow::askSaveScanData()
{
    const QString path = askSavePath(tr("Save data..."), defaultScanName(QStringLiteral("csv")),
                                     {tr("CSV files (*.csv)")}, {QStringLiteral("csv")});
    if (!path.isEmpty())
        saveScanData(path);
}

void MainWindow::askSaveScanPlot()
{
    const QString path = askSavePath(
        tr("Save plot..."), defaultScanName(QStringLiteral("png")),
        {tr("PNG image (*.png)"), tr("JPEG image (*.jpg *.jpeg)"), tr("PDF document (*.pdf)")},
        {QStringLiteral("png"), QStringLiteral("jpg"), QStringLiteral("pdf")});
    if (!path.isEmpty())
        saveScanPlot(path);
}

QString MainWindow::defaultScanName(const QString &suffix) const
{
    ScanData data;
    data.header = m_scanHeader;
    const QDateTime when = QDateTime::fromString(data.value(QStringLiteral("date")), Qt::ISODate);
    if (!when.isValid() || m_scanChannel < 1)
        return QStringLiteral("scan.") + suffix;
    return QStringLiteral("scan-ch%1-%2.%3")
        .arg(m_scanChannel)
        .arg(when.toUTC().toString(QStringLiteral("yyyyMMdd-HHmmss")), suffix);
}

bool MainWindow::saveScanData(const QString &path)
{
    ScanData data;
    data.header = m_scanHeader;
    if (!m_scanFromFile && !m_scanHeader.isEmpty()) {
        // Asked only now, so identification keeps its requests.
        for (auto &entry : data.header) {
            if (entry.first == QLatin1String("firmware"))
                entry.second = firmware();
        }
        data.header.append({QStringLiteral("proposed levels"),
                            LevelProposal::listText(
                                m_proposals.isEmpty() ? QVector<LevelProposal>(4) : m_proposals)});
    }
    for (const ScanPoint &point : qAsConst(m_scanPoints))
        data.points.append({point.phase, point.level, point.count});
    QString reason;
    if (writeWholeFile(path, data.toCsv(), &reason))
        return true;
    warn(tr("Can't save the scan data to %1:\n%2").arg(QDir::toNativeSeparators(path), reason));
    return false;
}

bool MainWindow::saveScanPlot(const QString &path)
{
    QCustomPlot *plot = ui->customPlot;
    const QString suffix = QFileInfo(path).suffix().toLower();
    // The file shows the newest points even while the throttled replot is still pending.
    plot->replot();
    QByteArray bytes;
    QString reason;
    if (suffix == QLatin1String("png")) {
        bytes = rasterPlot(plot, "png", &reason);
    } else if (suffix == QLatin1String("jpg") || suffix == QLatin1String("jpeg")) {
        bytes = rasterPlot(plot, "jpg", &reason);
    } else if (suffix == QLatin1String("pdf")) {
        bytes = pdfPlot(plot, &reason);
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

void MainWindow::askOpenScanData()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("Open data..."), m_saveDir,
                                                      tr("CSV files (*.csv)"));
    if (path.isEmpty())
        return;
    m_saveDir = QFileInfo(path).absolutePath();
    openScanData(path);
}

bool MainWindow::openScanData(const QString &path)
{
    QFile file(path);
    ScanData data;
    QString reason;
    if (!file.open(QIODevice::ReadOnly))
        reason = file.errorString();
    else if (!ScanData::fromCsv(file.readAll(), &data, &reason))
        reason = tr("it is not a saved scan: %1").arg(reason);
    if (!reason.isEmpty()) {
        warn(tr("Can't open the scan data %1:\n%2").arg(QDir::toNativeSeparators(path), reason));
        return false;
    }
    m_scanPoints.clear();
    int phases = 0;
    for (const ScanData::Point &point : qAsConst(data.points)) {
        m_scanPoints.append({point.phase, point.level, point.count});
        phases = qMax(phases, point.phase);
    }
    // The proposals are worked out again from the points, as the scan did; saving the data
    // again keeps the header it had.
    m_scanHeader = data.header;
    m_scanFromFile = true;
    bool ok = false;
    m_scanChannel = data.value(QStringLiteral("channel")).toInt(&ok);
    if (!ok || m_scanChannel < 1 || m_scanChannel > ChannelCount)
        m_scanChannel = 0;

    QCustomPlot *plot = ui->customPlot;
    plot->clearGraphs();
    plot->yAxis->setScaleType(QCPAxis::stLogarithmic);
    plot->yAxis2->setScaleType(QCPAxis::stLogarithmic);
    QSharedPointer<QCPAxisTickerLog> logTicker(new QCPAxisTickerLog);
    plot->yAxis->setTicker(logTicker);
    plot->yAxis2->setTicker(logTicker);
    plot->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    plot->axisRect()->setupFullAxesBox();
    for (int phase = 0; phase < phases; ++phase) {
        plot->addGraph();
        plot->graph(phase)->setPen(phasePen(quint8(phase)));
        plot->graph(phase)->setName(tr("%1-photon").arg(phase + 1));
    }
    for (const ScanPoint &point : qAsConst(m_scanPoints))
        plot->graph(point.phase - 1)->addData(double(point.level), double(point.count));
    plot->rescaleAxes();
    proposeLevels(phases);
    m_applyButton->setEnabled(m_scanChannel > 0 && !m_scanPoints.isEmpty());
    ui->lStatus->setText(
        tr("Scan of channel %1 from %2 (%3)")
            .arg(m_scanChannel > 0 ? QString::number(m_scanChannel) : QStringLiteral("?"),
                 data.value(QStringLiteral("date")), QDir::toNativeSeparators(path)));
    plot->replot();
    return true;
}

void MainWindow::setUpKeyboard()
{
    // Alt+letter instead of an "&" in the captions, which keep their described texts. A
    // shortcut of a hidden or disabled button does not fire, so the Start and Stop of the
    // Counts tab and of the Calibration tab can share their keys.
    struct Control
    {
        QWidget *widget;
        int key;
        QString tip;
    };
    QPushButton *record
        = m_trend ? m_trend->findChild<QPushButton *>(QStringLiteral("pbRecord")) : nullptr;
    const Control controls[] = {
        {ui->pbGetChannel, Qt::ALT | Qt::Key_A,
         tr("Reads the counter's active channel into the Channel field")},
        {ui->pbSetChannel, Qt::ALT | Qt::Key_C,
         tr("Makes the Channel field's channel the counter's active channel")},
        {ui->pbGetTimeConst, Qt::ALT | Qt::Key_G,
         tr("Reads the counter's time constant into the Time Const field")},
        {ui->pbSetTimeConst, Qt::ALT | Qt::Key_T, tr("Writes the Time Const field to the counter")},
        {ui->pbSetRefLevel1, Qt::ALT | Qt::Key_1,
         tr("Writes the 1-photon reference level to the channel in the Channel field")},
        {ui->pbSetRefLevel2, Qt::ALT | Qt::Key_2,
         tr("Writes the 2-photon reference level to the channel in the Channel field")},
        {ui->pbSetRefLevel3, Qt::ALT | Qt::Key_3,
         tr("Writes the 3-photon reference level to the channel in the Channel field")},
        {ui->pbSetRefLevel4, Qt::ALT | Qt::Key_4,
         tr("Writes the 4-photon reference level to the channel in the Channel field")},
        {ui->pbStart, Qt::ALT | Qt::Key_S,
         tr("Starts the counter and shows its counts as they come")},
        {ui->pbStop, Qt::ALT | Qt::Key_P, tr("Stops the counter")},
        {ui->pbWriteEEPROM, Qt::ALT | Qt::Key_W,
         tr("Makes the counter keep its current channel, time constant and levels after a "
            "power cycle")},
        {ui->pbStartCalibration, Qt::ALT | Qt::Key_S,
         tr("Scans the levels of the chosen channel from Start to Stop and plots the counts")},
        {ui->pbStopCalibration, Qt::ALT | Qt::Key_P, tr("Ends the running scan")},
        {m_applyButton, Qt::ALT | Qt::Key_L,
         tr("Writes the proposed levels to the scanned channel")},
        {record, Qt::ALT | Qt::Key_R, tr("Writes the counts to a file while counting runs")},
        {ui->sbChannel, 0, tr("The channel to read or make active (1 to 8)")},
        {ui->dsbTimeConst, 0, tr("The time constant in seconds; Enter writes it to the counter")},
        {ui->sbRefLevel1, 0, tr("The 1-photon reference level; Enter writes it")},
        {ui->sbRefLevel2, 0, tr("The 2-photon reference level; Enter writes it")},
        {ui->sbRefLevel3, 0, tr("The 3-photon reference level; Enter writes it")},
        {ui->sbRefLevel4, 0, tr("The 4-photon reference level; Enter writes it")},
        {ui->sbChannelCalibr, 0, tr("The channel whose levels the scan writes (1 to 8)")},
        {ui->sbStartCalibr, 0, tr("The first level the scan writes")},
        {ui->sbStopCalibr, 0, tr("The last level the scan writes")},
        {ui->sbStep, 0, tr("How far the level moves per point; 0 stays at Start")},
        {ui->customPlot, 0,
         tr("Counts against level per phase; right-click to save or open, double-click to "
            "fit")},
    };
    for (const Control &control : controls) {
        if (!control.widget)
            continue;
        const QKeySequence key(control.key);
        control.widget->setToolTip(withKey(control.tip, key));
        auto *button = qobject_cast<QPushButton *>(control.widget);
        if (!button || key.isEmpty())
            continue;
        auto *shortcut = new QShortcut(key, button);
        connect(shortcut, &QShortcut::activated, button, &QPushButton::click);
    }
    for (int i = 0; i < 4; ++i)
        m_proposalBoxes[i]->setToolTip(proposalTip(i));

    m_setButtons = {{ui->sbChannel, ui->pbSetChannel},     {ui->dsbTimeConst, ui->pbSetTimeConst},
                    {ui->sbRefLevel1, ui->pbSetRefLevel1}, {ui->sbRefLevel2, ui->pbSetRefLevel2},
                    {ui->sbRefLevel3, ui->pbSetRefLevel3}, {ui->sbRefLevel4, ui->pbSetRefLevel4}};
    for (auto it = m_setButtons.cbegin(); it != m_setButtons.cend(); ++it)
        it.key()->installEventFilter(this);

    // No menu bar, and the tabs' corner widgets are not laid out for tabs on the left: the
    // About button sits below the tabs, in the free end of their column, and F1 opens it too.
    m_aboutButton = new QToolButton(ui->tabWidget);
    m_aboutButton->setObjectName(QStringLiteral("tbAbout"));
    m_aboutButton->setText(tr("About"));
    m_aboutButton->setIcon(style()->standardIcon(QStyle::SP_MessageBoxInformation));
    m_aboutButton->setToolButtonStyle(Qt::ToolButtonIconOnly);
    m_aboutButton->setAutoRaise(true);
    m_aboutButton->setToolTip(
        withKey(tr("About: versions of the program and of the connected counter"),
                QKeySequence(Qt::Key_F1)));
    connect(m_aboutButton, &QToolButton::clicked, this, &MainWindow::showAbout);
    ui->tabWidget->installEventFilter(this);
    if (auto *bar = ui->tabWidget->findChild<QTabBar *>())
        bar->installEventFilter(this);
    auto *help = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(help, &QShortcut::activated, this, &MainWindow::showAbout);
}

QString MainWindow::proposalTip(int index)
{
    return tr("The level Apply levels writes for phase %1").arg(index + 1);
}

void MainWindow::placeAboutButton()
{
    const auto *bar = ui->tabWidget->findChild<QTabBar *>();
    const QSize hint = m_aboutButton->sizeHint();
    const int width = bar && bar->width() > 0 ? bar->width() : hint.width();
    m_aboutButton->setGeometry(0, ui->tabWidget->height() - hint.height(), width, hint.height());
    m_aboutButton->raise();
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Resize && !m_setButtons.contains(watched)) {
        // The tab bar gets its width after the tab widget's own resize.
        QTimer::singleShot(0, this, &MainWindow::placeAboutButton);
        return QMainWindow::eventFilter(watched, event);
    }
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        QPushButton *button = m_setButtons.value(watched);
        if (button && (key == Qt::Key_Return || key == Qt::Key_Enter)) {
            // What was typed becomes the field's value first, as leaving the field would.
            static_cast<QAbstractSpinBox *>(watched)->interpretText();
            button->click();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::showAbout()
{
    QString text = tr("Kuvel Counter %1\nThe operator program of the photon-number-resolving "
                      "counter.\n\nQt %2\nQCustomPlot %3")
                       .arg(QStringLiteral(KUVEL_VERSION), QString::fromLatin1(qVersion()),
                            QStringLiteral(QCUSTOMPLOT_VERSION_STR));
    if (m_driver && m_link && m_link->isOpen() && !m_driver->acceptedType().isEmpty()) {
        text
            += tr("\n\nCounter on %1\nType: %2\nFirmware: %3\nIdentifier: %4")
                   .arg(cuRs485IOInterface::printablePortName(m_portName), m_driver->acceptedType(),
                        firmware(), m_driver->acceptedIdentifier().toHex());
    } else {
        text += tr("\n\nNo counter connected.");
    }
    QMessageBox box(QMessageBox::NoIcon, tr("About Kuvel Counter"), text, QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("aboutBox"));
    if (!windowIcon().isNull())
        box.setIconPixmap(windowIcon().pixmap(64));
    box.exec();
}

void MainWindow::restoreSettings()
{
    const QSettings settings {QLatin1String(SettingsOrganization),
                              QLatin1String(SettingsApplication)};
    restoreGeometry(settings.value(QStringLiteral("window/geometry")).toByteArray());
    const std::pair<QSpinBox *, const char *> boxes[]
        = {{ui->sbChannelCalibr, "calibration/channel"},
           {ui->sbStartCalibr, "calibration/start"},
           {ui->sbStopCalibr, "calibration/stop"},
           {ui->sbStep, "calibration/step"}};
    for (const auto &box : boxes) {
        bool ok = false;
        const int value = settings.value(QLatin1String(box.second)).toInt(&ok);
        if (ok)
            box.first->setValue(value);
    }
    m_saveDir = settings.value(QStringLiteral("saveFolder")).toString();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    QSettings settings {QLatin1String(SettingsOrganization), QLatin1String(SettingsApplication)};
    settings.setValue(QStringLiteral("window/geometry"), saveGeometry());
    settings.setValue(QStringLiteral("calibration/channel"), ui->sbChannelCalibr->value());
    settings.setValue(QStringLiteral("calibration/start"), ui->sbStartCalibr->value());
    settings.setValue(QStringLiteral("calibration/stop"), ui->sbStopCalibr->value());
    settings.setValue(QStringLiteral("calibration/step"), ui->sbStep->value());
    if (!m_saveDir.isEmpty())
        settings.setValue(QStringLiteral("saveFolder"), m_saveDir);
    QMainWindow::closeEvent(event);
}
