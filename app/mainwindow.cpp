#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "aboutbox.h"
#include "countdisplay.h"
#include "counterclient.h"
#include "counttrend.h"
#include "datacontext.h"
#include "decimalpointvalidator.h"
#include "proposalspanel.h"
#include "scancontroller.h"
#include "scandata.h"
#include "scanplot.h"
#include "scansequence.h"
#include "windowkeyboard.h"

#include <vector>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QLineEdit>
#include <QScreen>
#include <QSettings>
#include <QSpinBox>
#include <QTimer>

namespace {

// Objects that live until the application object goes. Released then, quietly (the counter
// closes its port and sends nothing), so a process that makes windows one after the
// other, as the tests do, does not keep them all or report them as leaks.
std::vector<QObject *> &objectsReleasedAtExit()
{
    static std::vector<QObject *> objects;
    return objects;
}

void releaseObjectsAtExit()
{
    std::vector<QObject *> &objects = objectsReleasedAtExit();
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

// What the window remembers between runs; nothing measured depends on it.
const char SettingsOrganization[] = "Kuvel";
const char SettingsApplication[] = "kuvel-counter";

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), m_device(this), m_pollTimer(new QTimer(this))
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
    connect(ui->sbChannel, QOverload<int>::of(&QSpinBox::valueChanged), this,
            [this] { showLevel(0, 0); });
    for (QSpinBox *box : levelBoxes()) {
        // What the operator enters is a level, no longer "unknown".
        connect(box, QOverload<int>::of(&QSpinBox::valueChanged), this, [this, box] {
            if (!m_showingLevels)
                box->setSpecialValueText(QString());
        });
        connect(box->findChild<QLineEdit *>(), &QLineEdit::textEdited, box,
                [box] { box->setSpecialValueText(QString()); });
    }

    m_pollTimer->setObjectName(QStringLiteral("pollTimer"));
    m_pollTimer->setSingleShot(true);
    m_pollTimer->setTimerType(Qt::PreciseTimer);
    connect(m_pollTimer, &QTimer::timeout, this, &MainWindow::timeOut);
    m_device.addTick(m_pollTimer);
    m_counts = new CountDisplay({ui->lCounts1, ui->lCounts2, ui->lCounts3, ui->lCounts4}, this);

    m_plot = new ScanPlot(ui->customPlot, this);
    // The proposed levels of the last scan, editable, between the plot and the status line.
    m_proposals = new ProposalsPanel(ui->tab_2);
    m_proposals->setObjectName(QStringLiteral("proposalPanel"));
    ui->verticalLayout_5->insertWidget(ui->verticalLayout_5->indexOf(ui->lStatus), m_proposals);
    connect(m_proposals, &ProposalsPanel::levelsChanged, m_plot,
            [this] { m_plot->showMarkers(m_proposals->levels()); });
    m_scan = new ScanController(ui, &m_device, m_plot, m_proposals, &m_calibrValue, &m_calibrPhase,
                                this);
    connectPlotMenu();

    m_trend = new CountTrend(ui->tabWidget);
    m_trend->setObjectName(QStringLiteral("tabTrend"));
    ui->tabWidget->addTab(m_trend, tr("Trend"));
    connect(m_trend, &CountTrend::recordRequested, this, &MainWindow::recordTrend);

    auto *keyboard
        = new WindowKeyboard(ui, m_proposals->applyButton(),
                             m_trend->findChild<QPushButton *>(QStringLiteral("pbRecord")), this);
    connect(keyboard, &WindowKeyboard::aboutRequested, this, &MainWindow::showAbout);
    restoreSettings();
}

MainWindow::~MainWindow()
{
    // The counter stays: nothing is sent to the device on exit. Answers still owed to this
    // window's requests (only when the device answered late) are waited for, at most a few
    // answer time-outs, so that the next program on the line does not take them for answers
    // to its own requests.
    m_pollTimer->stop();
    m_scan->cancelStep();
    if (m_client) {
        disconnect(m_driver, nullptr, this, nullptr);
        if (m_client->isOpen())
            m_driver->waitForOwedAnswers();
    }
    delete ui;
}

void MainWindow::setPortName(const QString &name)
{
    m_portName = name;
    m_firmware.clear();
    closePort();
    // The counter outlives the window: nothing is sent to the device when it closes. The port
    // opens with the first request.
    m_client = new CounterClient(name, DeviceCall::Attempts);
    // The window waits for the owed answers as it goes; at exit the counter goes quietly.
    m_client->leaveOwedAnswers();
    m_driver = m_client->driver();
    m_device.setClient(m_client);
    // Queued: it is emitted inside a request, which the warning box must not interrupt.
    connect(m_driver, &CommonDriver::deviceChanged, this, &MainWindow::refuseOtherDevice,
            Qt::QueuedConnection);
    connect(m_client, &CounterClient::levelKnown, this, &MainWindow::showLevel);
    // The counter came back and its state was set again: the trend breaks its line there.
    connect(m_client, &CounterClient::stateRestored, this, [this](bool, const QString &text) {
        if (m_trend && ui->pbStop->isEnabled())
            m_trend->markGap(text);
    });
    releaseAtExit(m_client);
}

bool MainWindow::openPort(QString *reason)
{
    if (!m_client)
        return false;
    if (m_client->open())
        return true;
    if (reason)
        *reason = m_client->openErrorText();
    return false;
}

void MainWindow::closePort()
{
    if (m_client)
        m_client->close();
}

bool MainWindow::deviceAnswered() const
{
    return m_client && m_client->hasHeardLine();
}

bool MainWindow::isCorrectDevice()
{
    // Its identifier tells it from another device that may take its place on the line.
    if (!m_client || m_client->identify(nullptr) != CounterClient::NoFailure)
        return false;

    int channel = 0;
    if (!m_client->readChannel(&channel))
        return false;
    // An erased EEPROM reports 255. Such a counter is still the operator's to set right, so
    // it is accepted and the operator told once the window is up.
    m_channelOutOfRange = showChannel(channel - 1) ? -1 : channel - 1;

    float timeConst = 0;
    if (!m_client->readTimeConst(&timeConst))
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
        m_device.warn(
            tr("The counter's active channel is out of range: it reports channel index %1, "
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
        m_trend->setCounting(!enable, ui->sbChannel->value());
}

bool MainWindow::showChannel(int channelIndex)
{
    // The device counts channels from 0, the box from 1. Anything above the last channel is
    // not a channel at all and counts as a failed read.
    if (channelIndex >= CounterClient::MaxChannel)
        return false;
    ui->sbChannel->setValue(channelIndex + 1);
    return true;
}

void MainWindow::readChannel()
{
    int channel = 0;
    if (m_device.run({},
                     [&channel](CounterClient &client) { return client.readChannel(&channel); }))
        showChannel(channel - 1);
}

void MainWindow::writeChannel()
{
    const int channel = ui->sbChannel->value();
    m_device.run(tr("Can't set current channel"),
                 [channel](CounterClient &client) { return client.writeChannel(channel); });
}

void MainWindow::readTimeConst()
{
    float timeConst = 0;
    if (m_device.run(
            {}, [&timeConst](CounterClient &client) { return client.readTimeConst(&timeConst); }))
        ui->dsbTimeConst->setValue(double(timeConst));
}

void MainWindow::writeTimeConst()
{
    const float timeConst = float(ui->dsbTimeConst->value());
    m_device.run(tr("Can't set time constant"),
                 [timeConst](CounterClient &client) { return client.writeTimeConst(timeConst); });
}

QVector<QSpinBox *> MainWindow::levelBoxes() const
{
    return {ui->sbRefLevel1, ui->sbRefLevel2, ui->sbRefLevel3, ui->sbRefLevel4};
}

void MainWindow::showLevel(int channel, int level)
{
    // Only what was written and confirmed since the counter was identified is known: the
    // counter cannot read a level back.
    if (!m_client || (channel != 0 && channel != ui->sbChannel->value()))
        return;
    const QVector<QSpinBox *> boxes = levelBoxes();
    m_showingLevels = true;
    for (int i = 0; i < boxes.size(); ++i) {
        if (level != 0 && level != i + 1)
            continue;
        const int known = m_client->knownLevel(ui->sbChannel->value(), i + 1);
        // The special text shows at the minimum, so the box keeps its range 0 to 65535.
        boxes[i]->setSpecialValueText(known < 0 ? tr("unknown") : QString());
        boxes[i]->setValue(known < 0 ? boxes[i]->minimum() : known);
    }
    m_showingLevels = false;
}

void MainWindow::writeRefLevel(int level)
{
    // The box's value as it stands, 0 while it reads "unknown"; confirmed, it is known.
    const QSpinBox *box = levelBoxes().at(level - 1);
    const int channel = ui->sbChannel->value();
    const quint16 value = quint16(box->value());
    m_device.run(tr("Can't set reference level"), [channel, level, value](CounterClient &client) {
        return client.writeLevel(channel, level, value);
    });
}

void MainWindow::startCounting()
{
    if (!m_device.run(tr("Can't start counter"),
                      [](CounterClient &client) { return client.startCounter(); }))
        return;
    enebleGUI(false);
    // The first counts come one time constant after the start.
    m_device.restart(m_pollTimer, ScanSequence::delayMs(ui->dsbTimeConst->value(), 1));
}

void MainWindow::stopCounting()
{
    // The pending tick is left to find pbStop disabled and end the chain itself.
    if (m_device.run(tr("The counter did not stop"),
                     [](CounterClient &client) { return client.stopCounter(); }))
        enebleGUI(true);
}

void MainWindow::saveToEeprom()
{
    m_device.run(tr("Can't execute write command"),
                 [](CounterClient &client) { return client.writeEeprom(); });
}

void MainWindow::timeOut()
{
    if (m_device.holdBack(m_pollTimer))
        return;
    qDebug() << "tick";
    // Counting runs exactly while pbStop is enabled.
    if (!ui->pbStop->isEnabled() || !m_client)
        return;

    Kuvel_Counts_t counts {};
    const bool ok = m_client->readCounts(&counts);
    m_device.resumeDeferred();
    if (ok) {
        m_counts->show(counts.count);
        m_lastCountsTime = QDateTime::currentDateTime();
        if (m_trend)
            m_trend->addCounts(counts.count);
    }
    showCountsCurrent(ok);
    if (m_client->wasRestored()) {
        for (QLabel *label : {ui->lCounts1, ui->lCounts2, ui->lCounts3, ui->lCounts4})
            label->setToolTip(m_client->restoreText());
    }
    // A failed read keeps polling, so the display comes back by itself with the device; another
    // device on the line ends it (refuseOtherDevice).
    if (!m_client->isRefused())
        m_pollTimer->start(ScanSequence::delayMs(ui->dsbTimeConst->value(), 1));
}

void MainWindow::recordTrend()
{
    if (!m_client || !m_trend)
        return;
    // The settings are locked while counting, so the header holds for every line.
    const QString path = m_trend->askRecordPath(ui->sbChannel->value());
    if (path.isEmpty() || !ui->pbStop->isEnabled())
        return;
    const QByteArray header = DataContext::lines(
        m_client->context(DataContext::program(QStringLiteral("kuvel-counter")), firmware(),
                          ui->sbChannel->value(), ui->dsbTimeConst->value()));
    if (ui->pbStop->isEnabled())
        m_trend->startRecording(path, header);
}

QString MainWindow::firmware()
{
    // Asked only when a file's header needs it, so identification keeps its requests.
    QString text;
    if (m_firmware.isEmpty() && m_device.run({}, [&text](CounterClient &client) {
            return client.readText(client.driver()->firmwareVersion(), &text);
        }))
        m_firmware = text;
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

void MainWindow::calibrationTimeOut()
{
    m_scan->step();
}

void MainWindow::startCalibration()
{
    m_scan->start();
}

void MainWindow::stopCalibration()
{
    m_scan->stop();
}

void MainWindow::refuseOtherDevice()
{
    // Nothing more goes to that device, not even a stop: polling and a scan just end.
    m_pollTimer->stop();
    if (ui->pbStop->isEnabled())
        enebleGUI(true);
    m_scan->abandon();
    m_device.warn(tr("Another device answers on %1 since the port was opened again:\n"
                     "type \"%2\", identifier %3,\n"
                     "not the counter \"%4\", identifier %5.\n"
                     "Nothing more is sent to it. Connect the counter and start the program again.")
                      .arg(m_portName, m_driver->foundType(), m_driver->foundIdentifier().toHex(),
                           m_driver->acceptedType(), m_driver->acceptedIdentifier().toHex()));
}

void MainWindow::connectPlotMenu()
{
    connect(m_plot, &ScanPlot::menuAboutToShow, this, [this] {
        m_plot->setMenuState(!m_scan->data().points.isEmpty(), !m_scan->isRunning());
    });
    connect(m_plot, &ScanPlot::saveDataRequested, this, [this] {
        const QString path = m_plot->askDataPath(defaultScanName(QStringLiteral("csv")));
        if (!path.isEmpty())
            saveScanData(path);
    });
    connect(m_plot, &ScanPlot::savePlotRequested, this, [this] {
        const QString path = m_plot->askPlotPath(defaultScanName(QStringLiteral("png")));
        if (!path.isEmpty())
            saveScanPlot(path);
    });
    connect(m_plot, &ScanPlot::openDataRequested, this, [this] {
        const QString path = m_plot->askOpenPath();
        if (!path.isEmpty())
            openScanData(path);
    });
}

QString MainWindow::defaultScanName(const QString &suffix) const
{
    return m_scan->defaultName(suffix);
}

bool MainWindow::saveScanData(const QString &path)
{
    return m_plot->saveData(path, m_scan->dataToSave([this] { return firmware(); }));
}

bool MainWindow::saveScanPlot(const QString &path)
{
    return m_plot->savePlot(path, m_scan->channel(), m_scan->data().value(QStringLiteral("date")));
}

bool MainWindow::openScanData(const QString &path)
{
    ScanData data;
    if (!m_plot->readData(path, &data))
        return false;
    m_scan->showSaved(data, path);
    return true;
}

void MainWindow::showAbout()
{
    AboutBox box(this);
    if (m_client && m_client->isOpen() && !m_driver->acceptedType().isEmpty()) {
        box.setCounter(m_client->printablePortName(), m_driver->acceptedType(), firmware(),
                       m_driver->acceptedIdentifier().toHex());
    }
    box.exec();
}

void MainWindow::restoreSettings()
{
    const QSettings settings {QLatin1String(SettingsOrganization),
                              QLatin1String(SettingsApplication)};
    restoreGeometry(settings.value(QStringLiteral("window/geometry")).toByteArray());
    // A window may reach past the screens' edges, but not by millions of pixels, as a window
    // once widened by a file's text was saved.
    const QSize bound = 2 * screen()->virtualSize();
    if (width() > bound.width() || height() > bound.height())
        resize(size().boundedTo(bound));
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
    m_plot->setSaveDir(settings.value(QStringLiteral("saveFolder")).toString());
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    QSettings settings {QLatin1String(SettingsOrganization), QLatin1String(SettingsApplication)};
    settings.setValue(QStringLiteral("window/geometry"), saveGeometry());
    settings.setValue(QStringLiteral("calibration/channel"), ui->sbChannelCalibr->value());
    settings.setValue(QStringLiteral("calibration/start"), ui->sbStartCalibr->value());
    settings.setValue(QStringLiteral("calibration/stop"), ui->sbStopCalibr->value());
    settings.setValue(QStringLiteral("calibration/step"), ui->sbStep->value());
    if (!m_plot->saveDir().isEmpty())
        settings.setValue(QStringLiteral("saveFolder"), m_plot->saveDir());
    QMainWindow::closeEvent(event);
}
