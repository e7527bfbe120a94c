#include "apptesthelpers.h"
#include "commandcodes.h"
#include "counttrend.h"
#include "mainwindow.h"
#include "scandata.h"
#include "scanplot.h"
#include "scriptedcounter.h"
#include "ser2netprocess.h"
#include "simlog.h"
#include "simprocess.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QSpinBox>
#include <QTabWidget>
#include <QtEndian>
#include <QtTest>
#include <qcustomplot.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <sys/resource.h>

namespace {

QStringList repeated(const QString &item, int times)
{
    QStringList list;
    for (int i = 0; i < times; ++i)
        list.append(item);
    return list;
}

QByteArray floatPayload(float value)
{
    quint32 bits;
    std::memcpy(&bits, &value, 4);
    QByteArray out(4, Qt::Uninitialized);
    qToLittleEndian(bits, out.data());
    return out;
}

QByteArray countsPayload(quint32 c0, quint32 c1, quint32 c2, quint32 c3)
{
    QByteArray out(16, Qt::Uninitialized);
    const quint32 counts[] = {c0, c1, c2, c3};
    for (int i = 0; i < 4; ++i)
        qToLittleEndian(counts[i], out.data() + 4 * i);
    return out;
}

} // namespace

// The main window against a counter on a real pseudo-terminal: identification, the actions
// of the settings tab and the live counts.
class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    // Identification
    void deviceTypes_data();
    void deviceTypes();
    void silentDeviceRefusedAfterTypeAttempts();
    void typeWithoutChannelRefused();
    void controlsShowDeviceValues();
    void erasedChannelAcceptedWithOneWarning();
    void unboundWindowRefuses();

    // Actions
    void writesReachDevice_data();
    void writesReachDevice();
    void channelReadsBackAsWritten_data();
    void channelReadsBackAsWritten();
    void channelReadOutOfRangeIgnored();
    void silentDeviceWarns_data();
    void silentDeviceWarns();
    void silentReadsLeaveBoxes();
    void countingLocksControls();
    void timeConstTakesEitherDecimalSeparator_data();
    void timeConstTakesEitherDecimalSeparator();
    void enterInFieldRunsItsSetButton();
    void accessKeyClicksButton();
    void aboutShowsVersionsAndCounter();
    void settingsSurviveNewWindow();

    // Live counts
    void countsShownUnsigned();
    void oneTickAfterStop();
    void silentDeviceLeavesCounts();
    void lateCountsNeverShownForTheNextPoll();
    void restartKeepsOneChain();
    void tickWaitsForOtherRequest();

    // Trend
    void trendRecordsCountsSent();
    void trendRecordWriteErrorWarns();
    void restartedCounterRestoredWhileCounting();
    void trendSavesPlotAtChosenSizeAndData();

    // Files
    void fullFileKeepsWholeLines_data();
    void fullFileKeepsWholeLines();
    void openedFileKeepsWindowSize_data();
    void openedFileKeepsWindowSize();

private:
    // A shown window bound to `port`; `identified` tells whether identification succeeded.
    void openWindow(const QString &port, bool *identified = nullptr);
    void click(const char *button);
    template<typename T> T *child(const char *name)
    {
        return m_window->findChild<T *>(QLatin1String(name));
    }
    QStringList requests() const { return simRequests(m_sim.logLines()); }
    QStringList countLabels();

    SimProcess m_sim;
    std::unique_ptr<MainWindow> m_window;
    std::unique_ptr<TickCounter> m_ticks;
};

void TestMainWindow::init()
{
    m_ticks = std::make_unique<TickCounter>();
}

void TestMainWindow::cleanup()
{
    // The driver and link of a window outlive it by design; stopping the simulator hangs up
    // their port.
    m_window.reset();
    m_sim.stop();
    m_ticks.reset();
}

void TestMainWindow::openWindow(const QString &port, bool *identified)
{
    m_window = std::make_unique<MainWindow>();
    m_window->setPortName(port);
    const bool ok = m_window->isCorrectDevice();
    if (identified)
        *identified = ok;
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void TestMainWindow::click(const char *button)
{
    auto *widget = child<QPushButton>(button);
    QVERIFY2(widget, button);
    QTest::mouseClick(widget, Qt::LeftButton);
}

QStringList TestMainWindow::countLabels()
{
    return {child<QLabel>("lCounts1")->text(), child<QLabel>("lCounts2")->text(),
            child<QLabel>("lCounts3")->text(), child<QLabel>("lCounts4")->text()};
}

void TestMainWindow::deviceTypes_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("exact") << "KuvelCounter" << true;
    QTest::newRow("text before") << "Lab 3 KuvelCounter" << true;
    QTest::newRow("text after") << "KuvelCounter-8ch rev.2" << true;
    QTest::newRow("lower case") << "kuvelcounter" << false;
    QTest::newRow("upper case") << "KUVELCOUNTER" << false;
    QTest::newRow("split") << "Kuvel Counter" << false;
}

void TestMainWindow::deviceTypes()
{
    QFETCH(QString, type);
    QFETCH(bool, accepted);
    QVERIFY(m_sim.start({"--type", type}));

    bool identified = !accepted;
    openWindow(m_sim.portPath(), &identified);
    QCOMPARE(identified, accepted);
    // A refused type ends the identification before any setting is read.
    QCOMPARE(requests(), accepted ? QStringList({"06", "05", "14", "12"}) : QStringList({"06"}));
}

void TestMainWindow::silentDeviceRefusedAfterTypeAttempts()
{
    QVERIFY(m_sim.start({"--silent"}));
    QElapsedTimer clock;
    clock.start();
    bool identified = true;
    openWindow(m_sim.portPath(), &identified);
    QVERIFY(!identified);
    QVERIFY(clock.elapsed() >= 2400); // five attempts of 500 ms each
    QCOMPARE(requests(), repeated("06", 5));
}

void TestMainWindow::typeWithoutChannelRefused()
{
    ScriptedCounter counter;
    QVERIFY(counter.open());
    counter.setAnswer(CommandCode::DeviceType, QByteArray("KuvelCounter\0", 13));

    bool identified = true;
    openWindow(counter.portPath(), &identified);
    QVERIFY(!identified);
    QCOMPARE(
        counter.requests(),
        QList<quint8>({CommandCode::DeviceType, CommandCode::Identifier, CommandCode::ReadChannel,
                       CommandCode::ReadChannel, CommandCode::ReadChannel, CommandCode::ReadChannel,
                       CommandCode::ReadChannel}));
    QCOMPARE(child<QSpinBox>("sbChannel")->value(), 1);
}

void TestMainWindow::controlsShowDeviceValues()
{
    ScriptedCounter counter;
    QVERIFY(counter.open());
    counter.setAnswer(CommandCode::DeviceType, "KuvelCounter");
    counter.setAnswer(CommandCode::ReadChannel,
                      QByteArray(1, 2)); // the device's index of channel 3
    counter.setAnswer(CommandCode::ReadTimeConst, floatPayload(0.25f));

    bool identified = false;
    openWindow(counter.portPath(), &identified);
    QVERIFY(identified);
    QCOMPARE(child<QSpinBox>("sbChannel")->value(), 3);
    QCOMPARE(child<QDoubleSpinBox>("dsbTimeConst")->value(), 0.25);
    // No level was written: none is known, and none passes for 0.
    for (const char *name : {"sbRefLevel1", "sbRefLevel2", "sbRefLevel3", "sbRefLevel4"}) {
        QCOMPARE(child<QSpinBox>(name)->value(), 0);
        QCOMPARE(child<QSpinBox>(name)->text(), QStringLiteral("unknown"));
    }
}

void TestMainWindow::erasedChannelAcceptedWithOneWarning()
{
    ScriptedCounter counter;
    QVERIFY(counter.open());
    counter.setAnswer(CommandCode::DeviceType, "KuvelCounter");
    counter.setAnswer(CommandCode::Identifier, QByteArray(12, 0));
    counter.setAnswer(CommandCode::ReadChannel, QByteArray(1, char(0xFF))); // an erased EEPROM
    counter.setAnswer(CommandCode::ReadTimeConst, floatPayload(0.25f));
    counter.setAnswer(CommandCode::WriteChannel);

    BoxCloser boxes;
    bool identified = false;
    openWindow(counter.portPath(), &identified);
    QVERIFY(identified);
    QCOMPARE(child<QDoubleSpinBox>("dsbTimeConst")->value(), 0.25);
    QVERIFY(QTest::qWaitFor([&] { return !boxes.shown.isEmpty(); }));
    QCOMPARE(boxes.shown.first().title, QStringLiteral("Warning..."));
    QVERIFY2(boxes.shown.first().text.contains("out of range"),
             qPrintable(boxes.shown.first().text));

    // The operator sets a channel, and the warning does not come back.
    child<QSpinBox>("sbChannel")->setValue(3);
    click("pbSetChannel");
    QCOMPARE(counter.requests().last(), CommandCode::WriteChannel);
    m_window->hide();
    m_window->show();
    QTest::qWait(50);
    QCOMPARE(boxes.shown.size(), 1);
}

void TestMainWindow::unboundWindowRefuses()
{
    MainWindow window;
    QVERIFY(!window.isCorrectDevice());
}

void TestMainWindow::writesReachDevice_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("box");
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("request");

    QTest::newRow("channel 1") << "pbSetChannel" << 1 << "sbChannel" << 1.0 << "13 00";
    QTest::newRow("channel 8") << "pbSetChannel" << 8 << "sbChannel" << 8.0 << "13 07";
    QTest::newRow("level 3 of channel 2")
        << "pbSetRefLevel3" << 2 << "sbRefLevel3" << 1000.0 << "10 01 02 E8 03";
    QTest::newRow("level 1 of channel 8")
        << "pbSetRefLevel1" << 8 << "sbRefLevel1" << 65535.0 << "10 07 00 FF FF";
    QTest::newRow("level 2 of channel 1")
        << "pbSetRefLevel2" << 1 << "sbRefLevel2" << 258.0 << "10 00 01 02 01";
    QTest::newRow("level 4 of channel 5")
        << "pbSetRefLevel4" << 5 << "sbRefLevel4" << 0.0 << "10 04 03 00 00";
    QTest::newRow("time constant 0.25")
        << "pbSetTimeConst" << 1 << "dsbTimeConst" << 0.25 << "11 00 00 80 3E";
    QTest::newRow("time constant 10")
        << "pbSetTimeConst" << 1 << "dsbTimeConst" << 10.0 << "11 00 00 20 41";
}

void TestMainWindow::writesReachDevice()
{
    QFETCH(QString, button);
    QFETCH(int, channel);
    QFETCH(QString, box);
    QFETCH(double, value);
    QFETCH(QString, request);
    QVERIFY(m_sim.start());
    openWindow(m_sim.portPath());

    child<QSpinBox>("sbChannel")->setValue(channel);
    if (auto *number = m_window->findChild<QSpinBox *>(box))
        number->setValue(int(value));
    else
        m_window->findChild<QDoubleSpinBox *>(box)->setValue(value);

    BoxCloser boxes;
    click(qPrintable(button));
    // After the identification's type, identifier, channel and time constant.
    QCOMPARE(requests().value(4), request);
    QCOMPARE(requests().size(), 5);
    QVERIFY(boxes.shown.isEmpty());
}

void TestMainWindow::channelReadsBackAsWritten_data()
{
    QTest::addColumn<bool>("throughServer");
    QTest::newRow("serial port") << false;
    QTest::newRow("network serial server") << true;
}

void TestMainWindow::channelReadsBackAsWritten()
{
    QFETCH(bool, throughServer);
    if (throughServer && !Ser2netProcess::isInstalled())
        QSKIP("ser2net is not installed (scripts/deps.sh installs it)");
    QVERIFY(m_sim.start());
    Ser2netProcess server;
    const quint16 port = Ser2netProcess::freePort();
    if (throughServer)
        QVERIFY(server.start(m_sim.portPath(), port));
    bool identified = false;
    openWindow(throughServer ? QStringLiteral("socket://127.0.0.1:%1").arg(port) : m_sim.portPath(),
               &identified);
    QVERIFY(identified);
    auto *channel = child<QSpinBox>("sbChannel");

    channel->setValue(3);
    click("pbSetChannel");
    channel->setValue(5);
    click("pbGetChannel");
    QCOMPARE(channel->value(), 3);
    QCOMPARE(requests().mid(4), QStringList({"13 02", "14"}));

    channel->setValue(8);
    click("pbSetChannel");
    channel->setValue(1);
    click("pbGetChannel");
    QCOMPARE(channel->value(), 8);
}

void TestMainWindow::channelReadOutOfRangeIgnored()
{
    ScriptedCounter counter;
    QVERIFY(counter.open());
    counter.setAnswer(CommandCode::DeviceType, "KuvelCounter");
    counter.setAnswer(CommandCode::ReadChannel, QByteArray(1, 0));
    counter.setAnswer(CommandCode::ReadTimeConst, floatPayload(1.0f));
    openWindow(counter.portPath());
    auto *channel = child<QSpinBox>("sbChannel");
    QCOMPARE(channel->value(), 1);

    BoxCloser boxes;
    channel->setValue(6);
    counter.setAnswer(CommandCode::ReadChannel, QByteArray(1, char(0xFF)));
    click("pbGetChannel");
    QCOMPARE(channel->value(), 6);
    counter.setAnswer(CommandCode::ReadChannel, QByteArray(1, 7));
    click("pbGetChannel");
    QCOMPARE(channel->value(), 8);
    QVERIFY(boxes.shown.isEmpty());
}

void TestMainWindow::silentDeviceWarns_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("text");

    QTest::newRow("set channel") << "pbSetChannel"
                                 << "13"
                                 << "Can't set current channel";
    QTest::newRow("set time constant") << "pbSetTimeConst"
                                       << "11"
                                       << "Can't set time constant";
    QTest::newRow("set level") << "pbSetRefLevel2"
                               << "10"
                               << "Can't set reference level";
    QTest::newRow("start") << "pbStart"
                           << "15"
                           << "Can't start counter";
    QTest::newRow("stop") << "pbStop"
                          << "16"
                          << "The counter did not stop";
    QTest::newRow("EEPROM") << "pbWriteEEPROM"
                            << "0C"
                            << "Can't execute write command";
}

void TestMainWindow::silentDeviceWarns()
{
    QFETCH(QString, button);
    QFETCH(QString, code);
    QFETCH(QString, text);
    QVERIFY(m_sim.start());
    openWindow(m_sim.portPath());
    child<QDoubleSpinBox>("dsbTimeConst")->setValue(0.01);

    const bool stopping = button == QLatin1String("pbStop");
    if (stopping) {
        click("pbStart");
        QVERIFY(QTest::qWaitFor([&] { return m_ticks->count() >= 2; }));
    }

    QVERIFY(m_sim.toggleSilence());
    BoxCloser boxes;
    click(qPrintable(button));
    QCOMPARE(boxes.shown.size(), 1);
    const ShownBox box = boxes.shown.first();
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.title, QStringLiteral("Warning..."));
    QCOMPARE(box.text, text);
    QCOMPARE(box.parent, m_window.get());

    // The warning comes after every attempt went unanswered.
    QCOMPARE(countCode(simRequests(linesAfter(m_sim.logLines(), "ctl silent=on")), code), 5);

    // A failed start or stop leaves the counting state as it was.
    QCOMPARE(child<QPushButton>("pbStop")->isEnabled(), stopping);
    QCOMPARE(child<QPushButton>("pbStart")->isEnabled(), !stopping);
    if (stopping) {
        // Counting goes on: once the device is back, polls read counts again.
        QVERIFY(m_sim.toggleSilence());
        QVERIFY(QTest::qWaitFor([&] {
            return !simRequests(linesAfter(m_sim.logLines(), "ctl silent=off")).isEmpty();
        }));
    } else if (button == QLatin1String("pbStart")) {
        const int ticks = m_ticks->count();
        QTest::qWait(100);
        QCOMPARE(m_ticks->count(), ticks);
        QVERIFY(!requests().contains("17"));
    }
}

void TestMainWindow::silentReadsLeaveBoxes()
{
    QVERIFY(m_sim.start());
    openWindow(m_sim.portPath());
    auto *channel = child<QSpinBox>("sbChannel");
    auto *timeConst = child<QDoubleSpinBox>("dsbTimeConst");
    channel->setValue(4);
    timeConst->setValue(2.5);

    QVERIFY(m_sim.toggleSilence());
    BoxCloser boxes;
    click("pbGetChannel");
    click("pbGetTimeConst");
    QCOMPARE(channel->value(), 4);
    QCOMPARE(timeConst->value(), 2.5);
    QVERIFY(boxes.shown.isEmpty());
    QStringList expected = repeated("14", 5) + repeated("12", 5);
    QCOMPARE(simRequests(linesAfter(m_sim.logLines(), "ctl silent=on")), expected);

    // The same reads fill the boxes once the device answers.
    QVERIFY(m_sim.toggleSilence());
    click("pbGetTimeConst");
    QCOMPARE(timeConst->value(), 1.0);
}

void TestMainWindow::countingLocksControls()
{
    QVERIFY(m_sim.start());
    openWindow(m_sim.portPath());
    child<QDoubleSpinBox>("dsbTimeConst")->setValue(0.25);
    auto *tabs = child<QTabWidget>("tabWidget");
    auto *start = child<QPushButton>("pbStart");
    auto *stop = child<QPushButton>("pbStop");

    BoxCloser boxes;
    click("pbStart");
    QVERIFY(!start->isEnabled());
    QVERIFY(stop->isEnabled());
    QVERIFY(!child<QGroupBox>("gbSettings")->isEnabled());
    QVERIFY(!tabs->isTabEnabled(1));
    QVERIFY(tabs->isTabEnabled(0));
    QVERIFY(child<QGroupBox>("groupBox_2")->isEnabled());
    QVERIFY(child<QPushButton>("pbWriteEEPROM")->isEnabled());
    // The first poll comes one time constant after the start.
    auto *poll = m_window->findChild<QTimer *>("pollTimer");
    QVERIFY(poll && poll->isActive());
    QCOMPARE(poll->interval(), 250);

    // The settings cannot be changed while counting; the EEPROM can still be written.
    click("pbSetChannel");
    click("pbGetTimeConst");
    click("pbWriteEEPROM");
    QCOMPARE(requests().mid(4), QStringList({"15", "0C"}));

    click("pbStop");
    QVERIFY(start->isEnabled());
    QVERIFY(!stop->isEnabled());
    QVERIFY(child<QGroupBox>("gbSettings")->isEnabled());
    QVERIFY(tabs->isTabEnabled(1));
    QVERIFY(boxes.shown.isEmpty());
}

void TestMainWindow::timeConstTakesEitherDecimalSeparator_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<double>("value");
    // Left to the locale, the other separator groups digits and the value is ten times off.
    QTest::newRow("comma, C") << QStringLiteral("C") << QStringLiteral("0,5") << 0.5;
    QTest::newRow("point, German") << QStringLiteral("de_DE") << QStringLiteral("0.5") << 0.5;
    QTest::newRow("no grouping") << QStringLiteral("C") << QStringLiteral("1,000") << 1.0;
}

void TestMainWindow::timeConstTakesEitherDecimalSeparator()
{
    QFETCH(QString, locale);
    QFETCH(QString, typed);
    QFETCH(double, value);
    const QLocale previous;
    QLocale::setDefault(QLocale(locale));
    MainWindow window;
    QLocale::setDefault(previous);
    window.show();
    auto *box = window.findChild<QDoubleSpinBox *>("dsbTimeConst");

    box->clear();
    QTest::keyClicks(box, typed);
    QTest::keyClick(box, Qt::Key_Return);
    QCOMPARE(box->value(), value);
}

void TestMainWindow::enterInFieldRunsItsSetButton()
{
    QVERIFY(m_sim.start());
    openWindow(m_sim.portPath());
    auto *box = child<QDoubleSpinBox>("dsbTimeConst");
    box->setFocus();
    box->selectAll();
    QTest::keyClicks(box, "0.5");
    QTest::keyClick(box, Qt::Key_Return);
    QCOMPARE(requests().mid(4), QStringList({"11 00 00 00 3F"}));
}

void TestMainWindow::accessKeyClicksButton()
{
    QVERIFY(m_sim.start());
    openWindow(m_sim.portPath());
    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    // Alt+A reads the active channel; the Calibration tab's hidden Start must not share Alt+S.
    QTest::keyClick(m_window.get(), Qt::Key_A, Qt::AltModifier);
    QTest::keyClick(m_window.get(), Qt::Key_S, Qt::AltModifier);
    QTRY_VERIFY(!child<QPushButton>("pbStart")->isEnabled());
    QCOMPARE(requests().value(4), QStringLiteral("14"));
    QCOMPARE(countCode(requests(), "10"), 0);
    click("pbStop");
}

void TestMainWindow::aboutShowsVersionsAndCounter()
{
    QVERIFY(m_sim.start());
    openWindow(m_sim.portPath());
    BoxCloser boxes;
    QTest::keyClick(m_window.get(), Qt::Key_F1);
    QTRY_COMPARE(boxes.shown.size(), 1);
    const ShownBox box = boxes.shown.first();
    QCOMPARE(box.title, QStringLiteral("About Kuvel Counter"));
    QVERIFY(QRegularExpression("^Kuvel Counter \\d").match(box.text).hasMatch());
    for (const QString &part :
         {QStringLiteral("Qt ") + qVersion(),
          QStringLiteral("QCustomPlot " QCUSTOMPLOT_VERSION_STR), m_sim.portPath(),
          QStringLiteral("Firmware: sim-"), QStringLiteral("Identifier: 4b43")}) {
        QVERIFY2(box.text.contains(part, Qt::CaseInsensitive), qPrintable(part));
    }
    // The firmware is read once, for the box.
    QCOMPARE(countCode(requests(), "09"), 1);
}

void TestMainWindow::settingsSurviveNewWindow()
{
    QSettings settings(QStringLiteral("Kuvel"), QStringLiteral("kuvel-counter"));
    settings.clear();
    m_window = std::make_unique<MainWindow>();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    m_window->resize(1000, 700);
    child<QSpinBox>("sbChannelCalibr")->setValue(6);
    child<QSpinBox>("sbStartCalibr")->setValue(100);
    child<QSpinBox>("sbStopCalibr")->setValue(900);
    child<QSpinBox>("sbStep")->setValue(7);
    m_window->close();

    m_window = std::make_unique<MainWindow>();
    QCOMPARE(m_window->size(), QSize(1000, 700));
    QCOMPARE(child<QSpinBox>("sbChannelCalibr")->value(), 6);
    QCOMPARE(child<QSpinBox>("sbStartCalibr")->value(), 100);
    QCOMPARE(child<QSpinBox>("sbStopCalibr")->value(), 900);
    QCOMPARE(child<QSpinBox>("sbStep")->value(), 7);
    // Other tests' windows start from the described values.
    settings.clear();
}

void TestMainWindow::countsShownUnsigned()
{
    ScriptedCounter counter;
    QVERIFY(counter.open());
    counter.setAnswer(CommandCode::DeviceType, "KuvelCounter");
    counter.setAnswer(CommandCode::ReadChannel, QByteArray(1, 0));
    counter.setAnswer(CommandCode::ReadTimeConst, floatPayload(0.01f));
    counter.setAnswer(CommandCode::StartCounter);
    counter.setAnswer(CommandCode::StopCounter);
    counter.setAnswer(CommandCode::ReadCounts, countsPayload(0, 1, 65535, 4294967295u));
    openWindow(counter.portPath());
    QCOMPARE(child<QDoubleSpinBox>("dsbTimeConst")->value(), 0.01);

    click("pbStart");
    QCOMPARE(countLabels(), QStringList({"1: ", "2:", "3:", "4:"}));
    const QStringList expected = {"1: 0", "2: 1", "3: 65535", "4: 4294967295"};
    QVERIFY(QTest::qWaitFor([&] { return countLabels() == expected; }));

    // The labels keep the last counts after counting stopped.
    click("pbStop");
    QTest::qWait(50);
    QCOMPARE(countLabels(), expected);
}

void TestMainWindow::oneTickAfterStop()
{
    QVERIFY(m_sim.start());
    openWindow(m_sim.portPath());
    child<QDoubleSpinBox>("dsbTimeConst")->setValue(0.01);

    click("pbStart");
    QVERIFY(QTest::qWaitFor([&] { return m_ticks->count() >= 3; }));
    click("pbStop");
    const int ticks = m_ticks->count();
    QTest::qWait(150);
    QCOMPARE(m_ticks->count(), ticks + 1);
    // Nothing is read after the stop.
    const QStringList all = requests();
    QCOMPARE(all.last(), QStringLiteral("16"));
    QVERIFY(all.count("17") >= 2);
}

void TestMainWindow::silentDeviceLeavesCounts()
{
    QVERIFY(m_sim.start());
    openWindow(m_sim.portPath());
    child<QDoubleSpinBox>("dsbTimeConst")->setValue(0.01);

    click("pbStart");
    QVERIFY(QTest::qWaitFor([&] { return countLabels().first() != QLatin1String("1: "); }));
    QVERIFY(m_sim.toggleSilence());
    const QStringList shown = countLabels();

    // A whole failed read, then the next tick already asks again.
    QVERIFY(QTest::qWaitFor(
        [&] { return simRequests(linesAfter(m_sim.logLines(), "ctl silent=on")).count("17") >= 6; },
        10000));
    QCOMPARE(countLabels(), shown);
    // Kept, but greyed and dated by the last answer.
    const QList<QLabel *> labels = m_window->findChildren<QLabel *>(QRegularExpression("^lCounts"));
    QCOMPARE(labels.size(), 4);
    for (QLabel *label : labels) {
        QVERIFY(!label->isEnabled());
        QVERIFY2(label->toolTip().contains(QRegularExpression("\\d\\d:\\d\\d:\\d\\d")),
                 qPrintable(label->toolTip()));
    }

    QVERIFY(m_sim.toggleSilence());
    QVERIFY(QTest::qWaitFor([&] { return countLabels() != shown; }, 10000));
    for (QLabel *label : labels)
        QVERIFY(label->isEnabled() && label->toolTip().isEmpty());
    // What is shown is what the device sent last.
    const QList<quint32> last = simCountsSent(m_sim.logLines()).last();
    QCOMPARE(countLabels().last(), QStringLiteral("4: %1").arg(last.at(3)));
}

// Every counts answer 700 ms late, beyond the 500 ms time-out: each poll sends a second
// attempt and shows its first attempt's answer. The simulator numbers its counts answers (the
// 1-photon count is the number of the counts request answered), so a poll that showed the
// answer owed to the previous poll's second attempt would show an even number.
void TestMainWindow::lateCountsNeverShownForTheNextPoll()
{
    QVERIFY(m_sim.start(
        {"--numbered-counts", "--late", "1", "--late-ms", "700", "--late-codes", "17"}));
    openWindow(m_sim.portPath());
    child<QDoubleSpinBox>("dsbTimeConst")->setValue(0.01);
    QStringList shown;
    auto *label = child<QLabel>("lCounts1");
    click("pbStart");
    QVERIFY(QTest::qWaitFor(
        [&] {
            if (shown.isEmpty() || shown.last() != label->text())
                shown << label->text();
            return shown.size() > 4;
        },
        15000));
    click("pbStop");
    for (const QString &text : shown.mid(1)) {
        const int number = text.mid(3).toInt();
        QVERIFY2(number % 2 == 1, qPrintable(shown.join(" | ")));
    }
}

void TestMainWindow::restartKeepsOneChain()
{
    QVERIFY(m_sim.start());
    openWindow(m_sim.portPath());
    child<QDoubleSpinBox>("dsbTimeConst")->setValue(0.05);

    click("pbStart");
    QTest::qWait(130); // a tick is pending when the run is stopped
    click("pbStop");
    click("pbStart");
    QVERIFY(child<QPushButton>("pbStop")->isEnabled());

    const int ticks = m_ticks->count();
    const int reads = requests().count("17");
    QTest::qWait(1000);
    // One chain polls at most once per 50 ms period; two would poll about twice as often.
    QVERIFY2(m_ticks->count() - ticks <= 21, qPrintable(QString::number(m_ticks->count() - ticks)));
    QVERIFY(requests().count("17") - reads <= 21);
    QVERIFY(m_ticks->count() - ticks >= 5);
}

void TestMainWindow::tickWaitsForOtherRequest()
{
    // Every answer takes 100 ms, ten poll periods.
    QVERIFY(m_sim.start({"--delay", "100"}));
    openWindow(m_sim.portPath());
    child<QDoubleSpinBox>("dsbTimeConst")->setValue(0.01);

    click("pbStart");
    QVERIFY(QTest::qWaitFor([&] { return m_ticks->count() >= 2; }));
    BoxCloser boxes;
    click("pbWriteEEPROM");
    QVERIFY(boxes.shown.isEmpty());

    // Polls fell due during the EEPROM request's wait, yet none was sent before its answer.
    const QStringList after = linesAfter(m_sim.logLines(), " rx 0C");
    QVERIFY(!after.isEmpty());
    QVERIFY2(after.first().contains(" tx 0C"), qPrintable(after.first()));
    // And the held-back poll ran right after.
    QVERIFY(QTest::qWaitFor(
        [&] { return simRequests(linesAfter(m_sim.logLines(), " tx 0C")).contains("17"); }));
    click("pbStop");
}

void TestMainWindow::trendRecordsCountsSent()
{
    QVERIFY(m_sim.start());
    openWindow(m_sim.portPath());
    child<QDoubleSpinBox>("dsbTimeConst")->setValue(0.01);
    QTemporaryDir dir;
    const QString path = dir.filePath("trend.csv");
    auto *plot = child<QCustomPlot>("trendPlot");
    QCOMPARE(plot->yAxis->scaleType(), QCPAxis::stLogarithmic);
    child<QCheckBox>("cbLogCounts")->click();
    QCOMPARE(plot->yAxis->scaleType(), QCPAxis::stLinear);

    click("pbStart");
    QVERIFY(QTest::qWaitFor([&] { return m_ticks->count() >= 3; }));
    auto *tabs = child<QTabWidget>("tabWidget");
    tabs->setCurrentWidget(child<QWidget>("tabTrend"));
    onNextModal<QFileDialog>([path](QFileDialog *dialog) {
        if (auto *edit = dialog->findChild<QLineEdit *>("fileNameEdit"))
            edit->clearFocus();
        dialog->selectFile(path);
        static_cast<QDialog *>(dialog)->accept();
    });
    click("pbRecord");
    QCOMPARE(child<QPushButton>("pbRecord")->text(), QStringLiteral("Stop recording"));
    const auto lines = [&] {
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    };
    QVERIFY(QTest::qWaitFor([&] { return lines().size() >= 9 + 5; }));
    // Paused, the view holds still while the readings go on being kept and recorded.
    click("pbPause");
    QVERIFY(child<CountTrend>("tabTrend")->isPaused());
    const QCPRange shown = plot->xAxis->range();
    const int recorded = lines().size();
    QTest::qWait(600);
    QCOMPARE(plot->xAxis->range(), shown);
    QVERIFY(lines().size() > recorded + 5);
    click("pbPause");
    QVERIFY(QTest::qWaitFor([&] { return plot->xAxis->range().upper > shown.upper; }));
    tabs->setCurrentIndex(0);
    click("pbStop");
    // Stopping the count ends its recording.
    QCOMPARE(child<QPushButton>("pbRecord")->text(), QStringLiteral("Record..."));

    const QStringList all = lines();
    const QStringList keys = {"program",  "date",    "port",          "device type", "identifier",
                              "firmware", "channel", "time constant", "levels"};
    for (int i = 0; i < keys.size(); ++i)
        QVERIFY2(all.at(i).startsWith("# " + keys.at(i) + ": "), qPrintable(all.at(i)));
    QVERIFY(all.at(0).startsWith("# program: kuvel-counter "));
    QVERIFY(QRegularExpression("^# date: \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$")
                .match(all.at(1))
                .hasMatch());
    QVERIFY(QRegularExpression("^# identifier: [0-9a-fA-F]{24}$").match(all.at(4)).hasMatch());
    QVERIFY2(!all.at(5).endsWith(": no answer"), qPrintable(all.at(5)));
    QCOMPARE(all.mid(6, 4),
             QStringList({"# channel: 1", "# time constant: 0.01",
                          "# levels: unknown, unknown, unknown, unknown",
                          "time_s,count1,count2,count3,count4"}));

    // Every row is a counts answer the device sent, in order, and the last one sent is the last
    // row: nothing read while recording was left out.
    const QList<QList<quint32>> sent = simCountsSent(m_sim.logLines());
    const QStringList rows = all.mid(10);
    QVERIFY(rows.size() <= sent.size());
    double previous = 0;
    for (int i = 0; i < rows.size(); ++i) {
        const QStringList fields = rows.at(i).split(',');
        QCOMPARE(fields.size(), 5);
        QVERIFY(QRegularExpression("^\\d+\\.\\d{3}$").match(fields.at(0)).hasMatch());
        QVERIFY(fields.at(0).toDouble() >= previous);
        previous = fields.at(0).toDouble();
        const QList<quint32> expected = sent.at(sent.size() - rows.size() + i);
        for (int c = 0; c < 4; ++c)
            QCOMPARE(fields.at(c + 1).toUInt(), expected.at(c));
    }
    // The trend shows every answered poll, the recorded ones among them.
    for (int c = 0; c < 4; ++c)
        QCOMPARE(plot->graph(c)->dataCount(), sent.size());
}

void TestMainWindow::trendRecordWriteErrorWarns()
{
    CountTrend trend;
    BoxCloser boxes;
    QVERIFY(!trend.startRecording("/dev/full", {}));
    QVERIFY(!trend.isRecording());
    QCOMPARE(boxes.shown.size(), 1);
    QCOMPARE(boxes.shown.first().title, QStringLiteral("Warning..."));
    QVERIFY2(boxes.shown.first().text.contains("/dev/full"), qPrintable(boxes.shown.first().text));
}

void TestMainWindow::trendSavesPlotAtChosenSizeAndData()
{
    QTemporaryDir dir;
    CountTrend trend;
    trend.resize(500, 400);
    trend.show();
    QVERIFY(QTest::qWaitForWindowExposed(&trend));
    trend.setCounting(true, 3);
    const quint32 counts[][4] = {{400, 30, 2, 0}, {410, 31, 3, 1}};
    for (const auto &reading : counts)
        trend.addCounts(reading);

    // Right click, Save plot..., a size typed into the dialog.
    auto *plot = trend.findChild<QCustomPlot *>("trendPlot");
    QTest::mouseClick(trend.windowHandle(), Qt::RightButton, {},
                      plot->mapTo(&trend, plot->rect().center()));
    QMenu *menu = nullptr;
    QVERIFY(QTest::qWaitFor([&] {
        return (menu = qobject_cast<QMenu *>(QApplication::activePopupWidget())) != nullptr;
    }));
    const QString path = dir.filePath("trend.png");
    onNextModal<QFileDialog>([path](QFileDialog *dialog) {
        dialog->findChild<QSpinBox *>("sbPlotWidth")->setValue(640);
        dialog->findChild<QSpinBox *>("sbPlotHeight")->setValue(360);
        if (auto *edit = dialog->findChild<QLineEdit *>("fileNameEdit"))
            edit->clearFocus();
        dialog->selectFile(path);
        static_cast<QDialog *>(dialog)->accept();
    });
    QAction *save = menu->findChild<QAction *>("actionTrendSavePlot");
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(save).center());
    QCOMPARE(QImage(path).size(), QSize(640, 360));
    // Saved at once after the readings, before the timed redraw: the axes show them all the same.
    QVERIFY2(plot->yAxis->range().contains(30) && plot->yAxis->range().contains(410),
             qPrintable(QStringLiteral("%1 to %2")
                            .arg(plot->yAxis->range().lower)
                            .arg(plot->yAxis->range().upper)));

    const QString data = dir.filePath("trend.csv");
    QVERIFY(trend.saveData(data));
    QFile file(data);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 4 + 2);
    QCOMPARE(lines.at(2), QStringLiteral("# channel: 3"));
    QCOMPARE(lines.at(3), QStringLiteral("time_s,count1,count2,count3,count4"));
    QVERIFY(lines.at(4).startsWith("0.000,400,30,2,0"));
    QVERIFY(lines.at(5).endsWith(",410,31,3,1"));
}

void TestMainWindow::fullFileKeepsWholeLines_data()
{
    QTest::addColumn<bool>("record");
    QTest::newRow("Record...") << true;
    QTest::newRow("Save data...") << false;
}

void TestMainWindow::fullFileKeepsWholeLines()
{
    QFETCH(bool, record);
    QTemporaryDir dir;
    const QString path = dir.filePath("full.csv");
    CountTrend trend;
    QVERIFY(!record || trend.startRecording(path, {}));
    QCustomPlot plot;
    ScanData data;
    data.points.fill({1, 100, 1000000}, 200);
    // A file size limit is a full disk for this process alone.
    BoxCloser boxes;
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit {};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlim_t unlimited = limit.rlim_cur;
    limit.rlim_cur = 1000;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
    const quint32 counts[4] = {1234567, 2345678, 3456789, 4567890};
    for (int i = 0; record && i < 100; ++i)
        trend.addCounts(counts);
    const bool saved = !record && ScanPlot(&plot, &plot).saveData(path, data);
    limit.rlim_cur = unlimited;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);

    QVERIFY(!saved && !trend.isRecording());
    QVERIFY(QTest::qWaitFor([&] { return !boxes.shown.isEmpty(); }));
    QVERIFY2(boxes.shown.first().text.contains(std::strerror(EFBIG)),
             qPrintable(boxes.shown.first().text));
    QFile file(path);
    QVERIFY(!record || (file.open(QIODevice::ReadOnly) && file.readAll().endsWith('\n')));
}

void TestMainWindow::openedFileKeepsWindowSize_data()
{
    QTest::addColumn<int>("dateLength");
    QTest::newRow("a date as long as a line may be") << ScanData::MaxLineBytes - 10;
    QTest::newRow("a date of 1 MB, refused") << 1024 * 1024;
}

void TestMainWindow::openedFileKeepsWindowSize()
{
    QFETCH(int, dateLength);
    QSettings settings(QStringLiteral("Kuvel"), QStringLiteral("kuvel-counter"));
    settings.clear();
    m_window = std::make_unique<MainWindow>();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    const QSize size = m_window->size();
    const int minimumWidth = m_window->minimumSizeHint().width();
    QTemporaryDir dir;
    QFile file(dir.filePath("scan.csv"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("# date: " + QByteArray(dateLength, '9') + "\nphase,level,count\n1,100,5000\n");
    file.close();
    BoxCloser boxes;
    QCOMPARE(m_window->openScanData(file.fileName()), dateLength < ScanData::MaxLineBytes);
    QCOMPARE(boxes.shown.size(), dateLength < ScanData::MaxLineBytes ? 0 : 1);
    // The label's new size reaches the window through posted layout requests.
    QTest::qWait(100);
    QCOMPARE(m_window->minimumSizeHint().width(), minimumWidth);

    // Nor does a window saved far wider than the screens come back so.
    m_window->resize(100000, size.height());
    m_window->close();
    m_window = std::make_unique<MainWindow>();
    QVERIFY(m_window->width() <= 2 * m_window->screen()->virtualSize().width());
    settings.clear();
}

QTEST_MAIN(TestMainWindow)
// The counter restarts while the window counts on channel 3 at 0.01 s: its channel, time
// constant, the level written and counting are set again, the answer it gave in its power-on
// state is neither shown nor recorded, and the recording marks the gap.
void TestMainWindow::restartedCounterRestoredWhileCounting()
{
    QTemporaryDir dir;
    const QString port = dir.filePath("kuvel-port");
    QVERIFY(m_sim.start({"--numbered-counts"}, port));
    openWindow(port);
    child<QSpinBox>("sbChannel")->setValue(3);
    click("pbSetChannel");
    child<QDoubleSpinBox>("dsbTimeConst")->setValue(0.01);
    click("pbSetTimeConst");
    child<QSpinBox>("sbRefLevel2")->setValue(12000);
    click("pbSetRefLevel2");
    click("pbStart");
    QVERIFY(QTest::qWaitFor([&] { return m_ticks->count() >= 3; }));
    const QString path = dir.filePath("trend.csv");
    child<QTabWidget>("tabWidget")->setCurrentWidget(child<QWidget>("tabTrend"));
    onNextModal<QFileDialog>([path](QFileDialog *dialog) {
        dialog->selectFile(path);
        static_cast<QDialog *>(dialog)->accept();
    });
    click("pbRecord");
    const auto lines = [&] {
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    };
    QVERIFY(QTest::qWaitFor([&] { return lines().size() >= 14; }));

    m_sim.stop();
    QVERIFY(m_sim.start({"--numbered-counts"}, port));
    QVERIFY(QTest::qWaitFor([&] { return m_sim.logLines().filter(" tx 17").size() >= 5; }, 10000));
    child<QTabWidget>("tabWidget")->setCurrentIndex(0);
    click("pbStop");

    const QStringList requests = simRequests(m_sim.logLines());
    QVERIFY(requests.contains("13 02"));
    QVERIFY(requests.contains("11 0A D7 23 3C"));
    QVERIFY(requests.contains("10 02 01 E0 2E"));
    QVERIFY(requests.contains("15"));
    const QStringList all = lines();
    QVERIFY(all.contains("# levels: unknown, 12000, unknown, unknown"));
    QVERIFY2(!all.filter(QRegularExpression("^# gap: .*opened again with channel 1")).isEmpty(),
             qPrintable(all.join('\n')));
    // The count of the restarted counter's first answer, read while it did not count.
    QVERIFY2(all.filter(QRegularExpression("^[\\d.]+,1,")).isEmpty(), qPrintable(all.join('\n')));
    QCOMPARE(child<QSpinBox>("sbRefLevel2")->value(), 12000);
    QCOMPARE(child<QSpinBox>("sbRefLevel1")->text(), QStringLiteral("unknown"));
}

#include "tst_mainwindow.moc"
