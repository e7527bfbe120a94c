#include "apptesthelpers.h"
#include "kuvelversion.h"
#include "mainwindow.h"
#include "ser2netprocess.h"
#include "simlog.h"
#include "simprocess.h"

#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QtTest>
#include <qcustomplot.h>

#include <memory>

#include <unistd.h>

namespace {

QString hexByte(int value)
{
    return QStringLiteral("%1").arg(value & 0xFF, 2, 16, QLatin1Char('0')).toUpper();
}

QString levelRecord(int channelIndex, int level, int value)
{
    return QStringLiteral("10 %1 %2 %3 %4")
        .arg(hexByte(channelIndex), hexByte(level), hexByte(value), hexByte(value >> 8));
}

// Every request a complete scan sends, from the channel write to the final stop.
QStringList expectedScan(int channel, int start, int stop, int step)
{
    const int index = channel - 1;
    const auto allLevels = [&](int phase) {
        QStringList records;
        for (int level = 0; level < 4; ++level)
            records.append(levelRecord(index, level, level == phase ? start : 65535));
        return records;
    };
    QStringList requests = {QStringLiteral("13 ") + hexByte(index)};
    requests += allLevels(0);
    requests += {QStringLiteral("12"), QStringLiteral("15")};
    for (int phase = 0; phase < 4; ++phase) {
        for (int value = start;; value += step) {
            requests.append(QStringLiteral("17"));
            if (value + step > stop)
                break;
            requests.append(levelRecord(index, phase, value + step));
        }
        if (phase < 3)
            requests += allLevels(phase + 1);
    }
    requests.append(QStringLiteral("16"));
    return requests;
}

// The requests after the last one that starts with `prefix`, that one included.
QStringList fromLast(const QStringList &requests, const QString &prefix)
{
    for (int i = requests.size() - 1; i >= 0; --i) {
        if (requests.at(i).startsWith(prefix))
            return requests.mid(i);
    }
    return {};
}

// The lines of a saved CSV file without its comment lines (the context header); each line,
// the last one too, must end in a bare newline.
QStringList csvLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {QStringLiteral("<cannot open %1>").arg(path)};
    const QString text = QString::fromUtf8(file.readAll());
    if (!text.endsWith(QLatin1Char('\n')) || text.contains(QLatin1Char('\r')))
        return {QStringLiteral("<bad line ends>"), text};
    const QStringList lines = text.left(text.size() - 1).split(QLatin1Char('\n'));
    return lines.filter(QRegularExpression(QStringLiteral("^[^#]")));
}

// The titles "Kuvel Counter - calibration N %" for each N, then the plain title.
QStringList progressTitles(const QList<int> &percents)
{
    QStringList titles;
    for (int percent : percents)
        titles.append(QStringLiteral("Kuvel Counter - calibration %1 %").arg(percent));
    titles.append(QStringLiteral("Kuvel Counter"));
    return titles;
}

} // namespace

// The calibration scan against the simulated counter.
class TestCalibration : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void completeScan_data();
    void completeScan();
    void scanPoints_data();
    void scanPoints();
    void stopDuringSecondPhase();
    void failedReadMeasuresLevelAgain();
    void lateCountsNeverPlottedForTheNextLevel();
    void unconfirmedLevelWriteStopsScan();
    void fiveFailedReadsEndScan();
    void restartKeepsOneChain();

    // What the window keeps of a scan and saves on request.
    void savedDataMatchesScan();
    void proposedLevelsApplied();
    void savePlotFile_data();
    void savePlotFile();
    void failedSavesWarn();
    void failedSaveKeepsOlderFile_data();
    void failedSaveKeepsOlderFile();
    void plotMenuSavesOnRequest();
    void progressInTitle_data();
    void progressInTitle();
    void endlessScanTitle();

private:
    // An identified window whose counter has the time constant `timeConst`, on its
    // calibration tab, with the scan range set.
    void openWindow(double timeConst, int channel, int start, int stop, int step,
                    const QStringList &simArguments = {});
    void click(const char *button);
    void waitForScanEnd(int timeoutMs = 20000);
    // Every title the window takes from now on.
    void recordTitles();
    // Right click in the middle of the plot, through the window as the platform delivers it.
    QMenu *openPlotMenu();
    QAction *action(QMenu *menu, const char *name);
    QList<double> keys(int graph);
    QList<double> values(int graph);
    // The plotted counts must be exactly the counts the device sent, point by point.
    void verifyPlotMatchesDevice();
    // Every counts read comes at least one time constant after a single level was written,
    // and two after all four were.
    void verifySettleDelays(double timeConst);

    template<typename T> T *child(const char *name)
    {
        return m_window->findChild<T *>(QLatin1String(name));
    }
    QCustomPlot *plot() { return child<QCustomPlot>("customPlot"); }
    QStringList requests() const { return simRequests(m_sim.logLines()); }

    SimProcess m_sim;
    // When started, the window reaches the simulator through it.
    Ser2netProcess m_server;
    quint16 m_serverPort = 0;
    std::unique_ptr<MainWindow> m_window;
    QStringList m_titles;
};

void TestCalibration::initTestCase()
{
    // The file dialogs keep their history in the user's settings; a test run keeps out of them.
    QStandardPaths::setTestModeEnabled(true);
}

void TestCalibration::cleanup()
{
    m_window.reset();
    m_server.kill();
    m_serverPort = 0;
    m_sim.stop();
    m_titles.clear();
}

void TestCalibration::openWindow(double timeConst, int channel, int start, int stop, int step,
                                 const QStringList &simArguments)
{
    QVERIFY(m_sim.start(simArguments));
    if (m_serverPort)
        QVERIFY(m_server.start(m_sim.portPath(), m_serverPort));
    m_window = std::make_unique<MainWindow>();
    m_window->setPortName(m_serverPort ? QStringLiteral("socket://127.0.0.1:%1").arg(m_serverPort)
                                       : m_sim.portPath());
    QVERIFY(m_window->isCorrectDevice());
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));

    child<QDoubleSpinBox>("dsbTimeConst")->setValue(timeConst);
    click("pbSetTimeConst");
    child<QTabWidget>("tabWidget")->setCurrentIndex(1);
    child<QSpinBox>("sbChannelCalibr")->setValue(channel);
    child<QSpinBox>("sbStartCalibr")->setValue(start);
    child<QSpinBox>("sbStopCalibr")->setValue(stop);
    child<QSpinBox>("sbStep")->setValue(step);
}

void TestCalibration::click(const char *button)
{
    auto *widget = child<QPushButton>(button);
    QVERIFY2(widget, button);
    QTest::mouseClick(widget, Qt::LeftButton);
}

void TestCalibration::waitForScanEnd(int timeoutMs)
{
    QVERIFY(QTest::qWaitFor(
        [this] { return !child<QPushButton>("pbStopCalibration")->isEnabled(); }, timeoutMs));
}

QList<double> TestCalibration::keys(int graph)
{
    QList<double> result;
    for (const QCPGraphData &point : *plot()->graph(graph)->data())
        result.append(point.key);
    return result;
}

QList<double> TestCalibration::values(int graph)
{
    QList<double> result;
    for (const QCPGraphData &point : *plot()->graph(graph)->data())
        result.append(point.value);
    return result;
}

void TestCalibration::verifyPlotMatchesDevice()
{
    const QList<QList<quint32>> sent = simCountsSent(m_sim.logLines());
    int record = 0;
    for (int graph = 0; graph < plot()->graphCount(); ++graph) {
        for (double value : values(graph)) {
            QVERIFY(record < sent.size());
            QCOMPARE(value, double(sent.at(record++).at(graph)));
        }
    }
}

void TestCalibration::verifySettleDelays(double timeConst)
{
    double lastWrite = -1.0;
    int levelsWritten = 0;
    int checked = 0;
    for (const SimLog::Line &request : SimLog::frames(m_sim.logLines())) {
        if (request.kind != QLatin1String("rx"))
            continue;
        const double time = request.time;
        if (request.code == 0x10) {
            lastWrite = time;
            ++levelsWritten;
        } else if (request.code == 0x17) {
            if (levelsWritten > 0) {
                const double settle = levelsWritten == 1 ? timeConst : 2 * timeConst;
                // A little under, for the rounding of the delay to whole milliseconds.
                QVERIFY2(
                    time - lastWrite >= settle * 0.9,
                    qPrintable(
                        QStringLiteral("read %1 s after the level write").arg(time - lastWrite)));
                ++checked;
            }
            levelsWritten = 0;
        } else if (request.code != 0x12 && request.code != 0x15) {
            levelsWritten = 0;
        }
    }
    QVERIFY(checked > 0);
}

void TestCalibration::completeScan_data()
{
    QTest::addColumn<bool>("throughServer");
    QTest::newRow("serial port") << false;
    QTest::newRow("network serial server") << true;
}

void TestCalibration::completeScan()
{
    QFETCH(bool, throughServer);
    if (throughServer) {
        if (!Ser2netProcess::isInstalled())
            QSKIP("ser2net is not installed (scripts/deps.sh installs it)");
        m_serverPort = Ser2netProcess::freePort();
    }
    openWindow(0.01, 3, 100, 300, 100);
    // A value typed but never written is replaced by the device's.
    auto *timeConst = child<QDoubleSpinBox>("dsbTimeConst");
    timeConst->setValue(5.0);

    BoxCloser boxes;
    click("pbStartCalibration");
    QVERIFY(!child<QPushButton>("pbStartCalibration")->isEnabled());
    QVERIFY(child<QPushButton>("pbStopCalibration")->isEnabled());
    QVERIFY(!child<QTabWidget>("tabWidget")->isTabEnabled(0));
    for (const char *name : {"sbChannelCalibr", "sbStartCalibr", "sbStopCalibr", "sbStep"})
        QVERIFY(!child<QSpinBox>(name)->isEnabled());
    QCOMPARE(timeConst->value(), 0.01);

    waitForScanEnd();
    QVERIFY(boxes.shown.isEmpty());

    // Channel 3 is index 2 in every record; in phase 2 levels 0, 2 and 3 are held at 65535
    // while level 1 steps; the scan stops the counter after the twelfth point.
    QCOMPARE(fromLast(requests(), "13"), expectedScan(3, 100, 300, 100));

    QCOMPARE(plot()->graphCount(), 4);
    const Qt::GlobalColor pens[] = {Qt::blue, Qt::red, Qt::magenta, Qt::yellow};
    for (int graph = 0; graph < 4; ++graph) {
        QCOMPARE(keys(graph), QList<double>({100, 200, 300}));
        QCOMPARE(plot()->graph(graph)->pen().color(), QColor(pens[graph]));
        QCOMPARE(plot()->graph(graph)->keyAxis(), plot()->xAxis);
        QCOMPARE(plot()->graph(graph)->valueAxis(), plot()->yAxis);
    }
    verifyPlotMatchesDevice();
    verifySettleDelays(0.01);
    const QList<quint32> last = simCountsSent(m_sim.logLines()).last();
    // The device keeps what the scan wrote last, and the operator is told.
    QCOMPARE(child<QLabel>("lStatus")->text(),
             QStringLiteral("Phase: 4, Value: 300, Counts: %1   Channel 3 now holds the levels "
                            "1: 65535, 2: 65535, 3: 65535, 4: 300")
                 .arg(last.at(3)));
    // Three points a phase show no valley.
    for (int level = 1; level <= 4; ++level)
        QCOMPARE(child<QSpinBox>(QStringLiteral("sbProposedLevel%1").arg(level).toLatin1())->text(),
                 QStringLiteral("none"));

    QCOMPARE(plot()->yAxis->scaleType(), QCPAxis::stLogarithmic);
    QCOMPARE(plot()->yAxis2->scaleType(), QCPAxis::stLogarithmic);
    QCOMPARE(plot()->xAxis->scaleType(), QCPAxis::stLinear);
    QVERIFY(plot()->xAxis->grid()->subGridVisible());
    QVERIFY(plot()->yAxis->grid()->subGridVisible());
    QCOMPARE(plot()->interactions(), QCP::Interactions(QCP::iRangeDrag | QCP::iRangeZoom));
    QVERIFY(plot()->xAxis2->visible());
    QVERIFY(plot()->yAxis2->visible());

    // Unlocked again; the device keeps the last levels of the scan.
    QVERIFY(child<QPushButton>("pbStartCalibration")->isEnabled());
    QVERIFY(child<QTabWidget>("tabWidget")->isTabEnabled(0));
    for (const char *name : {"sbChannelCalibr", "sbStartCalibr", "sbStopCalibr", "sbStep"})
        QVERIFY(child<QSpinBox>(name)->isEnabled());

    if (!throughServer)
        return;
    // The server restarted behind the window's back: the next request connects again and
    // the counter is identified again before it is read.
    m_server.kill();
    QVERIFY(m_server.restart());
    const int before = requests().size();
    child<QTabWidget>("tabWidget")->setCurrentIndex(0);
    click("pbGetChannel");
    // Then its channel and time constant are compared with the run's, the levels the scan
    // left are written again (no level can be read back), and the channel is read under them.
    QCOMPARE(requests().mid(before),
             QStringList({"06", "05", "14", "14", "12", "10 02 00 FF FF", "10 02 01 FF FF",
                          "10 02 02 FF FF", "10 02 03 2C 01", "14"}));
    QCOMPARE(child<QSpinBox>("sbChannel")->value(), 3);
    QVERIFY(boxes.shown.isEmpty());
}

void TestCalibration::scanPoints_data()
{
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("stop");
    QTest::addColumn<int>("step");
    QTest::addColumn<QList<double>>("points");

    QTest::newRow("stop between points") << 100 << 350 << 100 << QList<double>({100, 200, 300});
    QTest::newRow("start above stop") << 500 << 300 << 100 << QList<double>({500});
    QTest::newRow("start at stop") << 700 << 700 << 5000 << QList<double>({700});
    QTest::newRow("last level 65535") << 65000 << 65535 << 535 << QList<double>({65000, 65535});
}

void TestCalibration::scanPoints()
{
    QFETCH(int, start);
    QFETCH(int, stop);
    QFETCH(int, step);
    QFETCH(QList<double>, points);
    openWindow(0.01, 1, start, stop, step);

    click("pbStartCalibration");
    waitForScanEnd();
    QCOMPARE(plot()->graphCount(), 4);
    for (int graph = 0; graph < 4; ++graph)
        QCOMPARE(keys(graph), points);
    QCOMPARE(fromLast(requests(), "13"), expectedScan(1, start, stop, step));
    verifyPlotMatchesDevice();
}

void TestCalibration::stopDuringSecondPhase()
{
    openWindow(0.1, 1, 100, 300, 100);
    click("pbStartCalibration");
    // Two time constants of settling before the first point.
    QCOMPARE(m_window->findChild<QTimer *>("calibrationTimer")->interval(), 200);

    QVERIFY(QTest::qWaitFor([this] { return plot()->graphCount() >= 2; }));
    QCOMPARE(plot()->graphCount(), 2);
    click("pbStopCalibration");
    QVERIFY(!child<QPushButton>("pbStopCalibration")->isEnabled());
    QVERIFY(child<QPushButton>("pbStartCalibration")->isEnabled());
    QVERIFY(child<QTabWidget>("tabWidget")->isTabEnabled(0));

    // The pending step ends the chain without asking the device anything.
    QTest::qWait(400);
    QCOMPARE(requests().last(), QStringLiteral("16"));
    QCOMPARE(plot()->graphCount(), 2);
    QCOMPARE(keys(0), QList<double>({100, 200, 300}));
    QVERIFY(plot()->graph(1)->dataCount() < 3);

    // The next start clears the old graphs.
    click("pbStartCalibration");
    QCOMPARE(plot()->graphCount(), 1);
    QCOMPARE(plot()->graph(0)->dataCount(), 0);
    click("pbStopCalibration");
}

void TestCalibration::failedReadMeasuresLevelAgain()
{
    openWindow(0.1, 1, 100, 300, 100);
    click("pbStartCalibration");
    QVERIFY(QTest::qWaitFor([this] { return plot()->graph(0)->dataCount() >= 1; }));

    QVERIFY(m_sim.toggleSilence());
    auto *status = child<QLabel>("lStatus");
    QVERIFY(QTest::qWaitFor(
        [status] { return status->text().endsWith(QLatin1String("no answer")); }, 10000));
    QCOMPARE(status->text(), QStringLiteral("Phase: 1, Value: 200, Counts: no answer"));
    QCOMPARE(plot()->graph(0)->dataCount(), 1);
    QVERIFY(m_sim.toggleSilence());

    waitForScanEnd();
    // The level that got no answer is measured again, and no point was invented for it.
    for (int graph = 0; graph < 4; ++graph)
        QCOMPARE(keys(graph), QList<double>({100, 200, 300}));
    verifyPlotMatchesDevice();
    QVERIFY(m_sim.logLines().filter(" rx 17 silent").size() >= 5);
    QCOMPARE(simRequests(linesAfter(m_sim.logLines(), "ctl silent=off")).mid(0, 2),
             QStringList({"17", levelRecord(0, 0, 300)}));
}

// Every counts answer 700 ms late: each read takes its first attempt's answer, which the
// simulator numbers by the counts request it answers (odd: a read's first request). An even
// 1-photon count would be the answer owed to the previous read, plotted against this level.
void TestCalibration::lateCountsNeverPlottedForTheNextLevel()
{
    openWindow(0.01, 1, 0, 200, 100,
               {"--numbered-counts", "--late", "1", "--late-ms", "700", "--late-codes", "17"});
    click("pbStartCalibration");
    QVERIFY(QTest::qWaitFor([this] { return plot()->graph(0)->dataCount() == 3; }, 15000));
    click("pbStopCalibration");
    for (double count : values(0))
        QVERIFY2(qRound(count) % 2 == 1, qPrintable(QString::number(count)));
}

// The points are measured against the levels written; a write the counter does not confirm
// keeps the scan from starting, with the warning of the level buttons.
void TestCalibration::unconfirmedLevelWriteStopsScan()
{
    openWindow(0.01, 1, 0, 200, 100, {"--drop", "1", "--drop-codes", "10"});
    BoxCloser boxes;
    click("pbStartCalibration");
    QCOMPARE(boxes.shown.size(), 1);
    QCOMPARE(boxes.shown.first().text, QStringLiteral("Can't set reference level"));
    QVERIFY(child<QPushButton>("pbStartCalibration")->isEnabled());
    QVERIFY(!child<QPushButton>("pbStopCalibration")->isEnabled());
    QVERIFY(!simRequests(m_sim.logLines()).contains("15")); // never started
}

// A counter that stops answering ends the scan after five unanswered reads of one point.
void TestCalibration::fiveFailedReadsEndScan()
{
    openWindow(0.01, 1, 100, 300, 100);
    click("pbStartCalibration");
    QVERIFY(QTest::qWaitFor([this] { return plot()->graph(0)->dataCount() >= 1; }));
    QVERIFY(m_sim.toggleSilence());
    BoxCloser boxes;
    // The counter does not confirm the stop either: two warnings.
    QVERIFY(QTest::qWaitFor([&] { return boxes.shown.size() >= 2; }, 30000));
    QVERIFY2(
        boxes.shown.last().text.startsWith("No counts from the counter at level 200 of phase 1"),
        qPrintable(boxes.shown.last().text));
    QCOMPARE(m_sim.logLines().filter(" rx 17 silent").size(), 25);
    QCOMPARE(plot()->graph(0)->dataCount(), 1);
}

void TestCalibration::restartKeepsOneChain()
{
    openWindow(0.05, 2, 100, 300, 100);
    click("pbStartCalibration");
    QVERIFY(QTest::qWaitFor([this] { return plot()->graph(0)->dataCount() >= 1; }));
    // A step is pending when the scan is stopped and at once started again.
    click("pbStopCalibration");
    click("pbStartCalibration");
    waitForScanEnd();

    QCOMPARE(fromLast(requests(), "13"), expectedScan(2, 100, 300, 100));
    for (int graph = 0; graph < 4; ++graph)
        QCOMPARE(keys(graph), QList<double>({100, 200, 300}));
    // A step left over from the first scan would read before the levels had settled.
    verifySettleDelays(0.05);
}

void TestCalibration::recordTitles()
{
    connect(m_window.get(), &QWidget::windowTitleChanged, this,
            [this](const QString &title) { m_titles.append(title); });
}

QMenu *TestCalibration::openPlotMenu()
{
    QWindow *window = m_window->windowHandle();
    if (!window)
        return nullptr;
    const QPoint pos = plot()->mapTo(m_window.get(), plot()->rect().center());
    QTest::mouseClick(window, Qt::RightButton, {}, pos);
    const auto popup = [] { return qobject_cast<QMenu *>(QApplication::activePopupWidget()); };
    return QTest::qWaitFor([&popup] { return popup() != nullptr; }, 2000) ? popup() : nullptr;
}

QAction *TestCalibration::action(QMenu *menu, const char *name)
{
    return menu->findChild<QAction *>(QLatin1String(name));
}

void TestCalibration::savedDataMatchesScan()
{
    QTemporaryDir dir;
    openWindow(0.01, 2, 0, 2000, 500);
    click("pbStartCalibration");
    waitForScanEnd();

    BoxCloser boxes;
    const QString path = dir.filePath("scan.csv");
    QVERIFY(m_window->saveScanData(path));
    QVERIFY(boxes.shown.isEmpty());

    // Every counts answer is one row, in the order measured, with the count of its phase.
    const QList<QList<quint32>> sent = simCountsSent(m_sim.logLines());
    QStringList expected = {QStringLiteral("phase,level,count")};
    int record = 0;
    for (int phase = 1; phase <= 4; ++phase) {
        for (int level = 0; level <= 2000; level += 500) {
            QVERIFY(record < sent.size());
            expected.append(QStringLiteral("%1,%2,%3")
                                .arg(phase)
                                .arg(level)
                                .arg(sent.at(record++).at(phase - 1)));
        }
    }
    QCOMPARE(record, sent.size());
    QCOMPARE(csvLines(path), expected);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QStringList header = QString::fromUtf8(file.readAll()).split('\n').mid(0, 14);
    QCOMPARE(header.at(0), QStringLiteral("# program: kuvel-counter " KUVEL_VERSION));
    QVERIFY(header.at(1).contains(QRegularExpression("^# date: \\d{4}-\\d\\d-\\d\\dT[\\d:]{8}Z$")));
    QCOMPARE(header.at(6), QStringLiteral("# channel: 2"));
    // What the channel holds when saved: the levels the scan wrote last.
    QVERIFY2(header.at(8).startsWith("# levels: 65535, 65535, 65535, "), qPrintable(header.at(8)));
    QVERIFY(header.at(12).startsWith("# proposed levels: 1: "));
    // The fit of the detector's model follows the proposals it made.
    QVERIFY(header.at(13).startsWith("# pulse height: ")
            || header.at(13).startsWith("# fit: none"));
    QVERIFY(m_window->defaultScanName("csv").contains(
        QRegularExpression("^scan-ch2-\\d{8}-\\d{6}\\.csv$")));

    // Opened again, the scan shows the same points and saves the same file.
    const QList<double> counts = values(1);
    click("pbStartCalibration");
    click("pbStopCalibration");
    child<QSpinBox>("sbChannelCalibr")->setValue(5);
    QVERIFY(m_window->openScanData(path));
    // The scan's channel, ready for the next scan or Apply levels.
    QCOMPARE(child<QSpinBox>("sbChannelCalibr")->value(), 2);
    QCOMPARE(plot()->graphCount(), 4);
    QCOMPARE(values(1), counts);
    QCOMPARE(plot()->graph(3)->name(), QStringLiteral("4-photon"));
    const QString again = dir.filePath("again.csv");
    QVERIFY(m_window->saveScanData(again));
    QFile reopened(again);
    QVERIFY(file.seek(0) && reopened.open(QIODevice::ReadOnly));
    QCOMPARE(reopened.readAll(), file.readAll());
    QVERIFY(boxes.shown.isEmpty());

    // The next start forgets the old points, and a save replaces the file instead of adding.
    click("pbStartCalibration");
    click("pbStopCalibration");
    QVERIFY(m_window->saveScanData(path));
    QCOMPARE(csvLines(path), QStringList({"phase,level,count"}));
}

void TestCalibration::proposedLevelsApplied()
{
    openWindow(0.01, 4, 0, 24000, 1000);
    click("pbStartCalibration");
    waitForScanEnd();

    // The simulator's 1-photon pulses are 8000 high: the level lies clear of them and of
    // the noise at 0.
    auto *first = child<QSpinBox>("sbProposedLevel1");
    QVERIFY2(first->value() > 1500 && first->value() < 6500, qPrintable(first->text()));
    int markers = 0;
    for (int level = 1; level <= 4; ++level)
        markers
            += child<QSpinBox>(QStringLiteral("sbProposedLevel%1").arg(level).toLatin1())->value()
            >= 0;
    QCOMPARE(plot()->itemCount(), markers);
    QList<int> levels;
    for (int level = 1; level <= 4; ++level) {
        auto *box = child<QSpinBox>(QStringLiteral("sbProposedLevel%1").arg(level).toLatin1());
        // The operator fills in what the scan could not propose.
        if (box->value() < 0)
            box->setValue(30000 + level);
        levels.append(box->value());
    }

    const int before = requests().size();
    BoxCloser boxes;
    click("pbApplyLevels");
    QVERIFY(boxes.shown.isEmpty());
    QStringList expected;
    for (int level = 0; level < 4; ++level)
        expected.append(levelRecord(3, level, levels.at(level)));
    QCOMPARE(requests().mid(before), expected);
    // The Counts tab shows what the device holds now, so the EEPROM stores what is seen.
    QCOMPARE(child<QSpinBox>("sbChannel")->value(), 4);
    QCOMPARE(child<QSpinBox>("sbRefLevel1")->value(), levels.at(0));
    QCOMPARE(child<QSpinBox>("sbRefLevel4")->value(), levels.at(3));

    // Saved now, the scan names the levels applied beside the ones it proposed.
    QTemporaryDir dir;
    const QString path = dir.filePath("applied.csv");
    QVERIFY(m_window->saveScanData(path));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split('\n');
    const QString applied = QStringLiteral("%1, %2, %3, %4")
                                .arg(levels.at(0))
                                .arg(levels.at(1))
                                .arg(levels.at(2))
                                .arg(levels.at(3));
    QVERIFY(lines.contains("# levels: " + applied));
    QVERIFY(lines.contains("# applied levels: " + applied));
}

void TestCalibration::savePlotFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("format");

    QTest::newRow("png") << "scan.png" << QByteArray("png");
    QTest::newRow("JPG in capitals") << "scan.JPG" << QByteArray("jpeg");
    QTest::newRow("jpeg") << "scan.jpeg" << QByteArray("jpeg");
    QTest::newRow("pdf") << "scan.pdf" << QByteArray("pdf");
}

void TestCalibration::savePlotFile()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, format);
    QTemporaryDir dir;
    openWindow(0.01, 1, 0, 1000, 500);
    click("pbStartCalibration");
    waitForScanEnd();

    BoxCloser boxes;
    const QString path = dir.filePath(name);
    QVERIFY(m_window->saveScanPlot(path));
    QVERIFY(boxes.shown.isEmpty());

    if (format == "pdf") {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.size() > 1000);
        QCOMPARE(file.read(5), QByteArray("%PDF-"));
        return;
    }
    // Judged by its content, not its name.
    QImageReader reader(path);
    reader.setDecideFormatFromContent(true);
    QCOMPARE(reader.format(), format);
    const QImage image = reader.read();
    QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
    QCOMPARE(image.size(), plot()->size());
    if (format == "png") {
        // Lossless: the pens of the first and the last phase are in the picture.
        bool blue = false;
        bool yellow = false;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QRgb pixel = image.pixel(x, y) & 0xFFFFFF;
                blue = blue || pixel == 0x0000FF;
                yellow = yellow || pixel == 0xFFFF00;
            }
        }
        QVERIFY(blue);
        QVERIFY(yellow);
    }
}

void TestCalibration::failedSavesWarn()
{
    // No device is needed to save what the window holds.
    QTemporaryDir dir;
    m_window = std::make_unique<MainWindow>();
    BoxCloser boxes;

    const QString missing = dir.filePath("missing/scan.csv");
    QVERIFY(!m_window->saveScanData(missing));
    QVERIFY(!m_window->saveScanPlot(dir.filePath("missing/scan.png")));
    QVERIFY(!m_window->saveScanPlot(dir.filePath("missing/scan.pdf")));
    // A format the plot cannot write is refused, not written under the wrong name.
    QVERIFY(!m_window->saveScanPlot(dir.filePath("scan.bmp")));
    QVERIFY(!m_window->saveScanPlot(dir.filePath("scan")));
    // A directory in the way of the file.
    QVERIFY(QDir(dir.path()).mkdir("taken.csv"));
    QVERIFY(!m_window->saveScanData(dir.filePath("taken.csv")));

    QCOMPARE(boxes.shown.size(), 6);
    for (const ShownBox &box : boxes.shown) {
        QCOMPARE(box.title, QStringLiteral("Warning..."));
        QCOMPARE(box.icon, QMessageBox::Warning);
        QCOMPARE(box.parent, m_window.get());
    }
    QVERIFY(boxes.shown.at(0).text.startsWith("Can't save the scan data to " + missing));
    QVERIFY(boxes.shown.at(3).text.contains(".png, .jpg or .pdf"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
             QStringList({"taken.csv"}));
    QVERIFY(QFileInfo(dir.filePath("taken.csv")).isDir());
}

void TestCalibration::failedSaveKeepsOlderFile_data()
{
    QTest::addColumn<QString>("name");
    for (const char *name : {"scan.csv", "scan.png", "scan.jpg", "scan.pdf"})
        QTest::newRow(name) << name;
}

void TestCalibration::failedSaveKeepsOlderFile()
{
    QFETCH(QString, name);
    QTemporaryDir dir;
    const QString path = dir.filePath(name);
    // As root, a small filesystem filled up; otherwise a folder that takes no new file.
    const bool root = ::geteuid() == 0;
    if (root && QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=64k", "tmpfs", dir.path()}))
        QSKIP("cannot mount a tmpfs");
    const auto restore = qScopeGuard([&] {
        if (root)
            QProcess::execute("umount", {dir.path()});
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    });
    QFile older(path);
    QVERIFY(older.open(QIODevice::WriteOnly) && older.write("older\n") == 6);
    older.close();
    if (root) {
        QFile filler(dir.filePath("filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        while (filler.write(QByteArray(4096, 'x')) > 0) { }
    } else {
        QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner));
    }

    m_window = std::make_unique<MainWindow>();
    BoxCloser boxes;
    QVERIFY(!(name.endsWith(".csv") ? m_window->saveScanData(path) : m_window->saveScanPlot(path)));
    QCOMPARE(boxes.shown.size(), 1);
    QVERIFY2(boxes.shown.first().text.contains(path), qPrintable(boxes.shown.first().text));
    if (root)
        QVERIFY2(boxes.shown.first().text.contains("No space left"),
                 qPrintable(boxes.shown.first().text));
    QVERIFY(older.open(QIODevice::ReadOnly));
    QCOMPARE(older.readAll(), QByteArray("older\n"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), root ? 2 : 1);
}

void TestCalibration::plotMenuSavesOnRequest()
{
    QTemporaryDir dir;
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    const auto restore = qScopeGuard([&previous] { QDir::setCurrent(previous); });
    openWindow(0.01, 1, 0, 1000, 500);

    // Before any scan there is nothing to save but the empty plot.
    QMenu *menu = openPlotMenu();
    QVERIFY(menu);
    QCOMPARE(menu->actions().size(), 3);
    QCOMPARE(action(menu, "actionSaveData")->text(), QStringLiteral("Save data..."));
    QCOMPARE(action(menu, "actionSavePlot")->text(), QStringLiteral("Save plot..."));
    QVERIFY(!action(menu, "actionSaveData")->isEnabled());
    QVERIFY(action(menu, "actionSavePlot")->isEnabled());
    menu->close();

    click("pbStartCalibration");
    waitForScanEnd();
    // A scan writes nothing by itself.
    QVERIFY(QDir(dir.path()).isEmpty());

    // The operator picks a name without an extension; the format's is added.
    QString dialogTitle;
    const auto saveAs = [&](const char *actionName, const QString &name) {
        QMenu *menu = openPlotMenu();
        QVERIFY(menu);
        QAction *chosen = action(menu, actionName);
        QVERIFY(chosen->isEnabled());
        onNextModal<QFileDialog>([&dialogTitle, name](QFileDialog *dialog) {
            dialogTitle = dialog->windowTitle();
            if (name.isEmpty()) {
                dialog->reject();
                return;
            }
            // selectFile() leaves alone a name the operator may be typing: whether the name
            // field has focus yet depends on the window system, and on the settings of
            // earlier dialogs.
            if (auto *edit = dialog->findChild<QLineEdit *>("fileNameEdit"))
                edit->clearFocus();
            dialog->selectFile(name);
            // As the Save button does, with the dialog's own check of the name.
            static_cast<QDialog *>(dialog)->accept();
        });
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(chosen).center());
    };
    BoxCloser boxes;
    saveAs("actionSaveData", dir.filePath("first"));
    QCOMPARE(dialogTitle, QStringLiteral("Save data..."));
    QStringList lines = csvLines(dir.filePath("first.csv"));
    QCOMPARE(lines.size(), 1 + 4 * 3);
    QCOMPARE(lines.first(), QStringLiteral("phase,level,count"));
    QVERIFY(lines.at(12).startsWith("4,1000,"));

    // Cancelled: nothing more is written.
    saveAs("actionSaveData", QString());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList({"first.csv"}));

    saveAs("actionSavePlot", dir.filePath("picture.png"));
    QCOMPARE(dialogTitle, QStringLiteral("Save plot..."));
    QImageReader reader(dir.filePath("picture.png"));
    reader.setDecideFormatFromContent(true);
    QCOMPARE(reader.format(), QByteArray("png"));
    QVERIFY(!reader.read().isNull());
    QVERIFY(boxes.shown.isEmpty());
}

void TestCalibration::progressInTitle_data()
{
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("stop");
    QTest::addColumn<int>("step");
    QTest::addColumn<QStringList>("titles");
    // The settle time of the whole scan, two time constants before each phase and one before
    // each further point.
    QTest::addColumn<QString>("firstTimeLeft");

    QTest::newRow("stop between points")
        << 100 << 350 << 100 << progressTitles({0, 8, 16, 25, 33, 41, 50, 58, 66, 75, 83, 91, 100})
        << "0.2";
    QTest::newRow("start above stop, step 0")
        << 500 << 300 << 0 << progressTitles({0, 25, 50, 75, 100}) << "0.1";
    QTest::newRow("last level 65535")
        << 65000 << 65535 << 535 << progressTitles({0, 12, 25, 37, 50, 62, 75, 87, 100}) << "0.1";
}

void TestCalibration::progressInTitle()
{
    QFETCH(int, start);
    QFETCH(int, stop);
    QFETCH(int, step);
    QFETCH(QStringList, titles);
    QFETCH(QString, firstTimeLeft);
    openWindow(0.01, 1, start, stop, step);
    recordTitles();

    click("pbStartCalibration");
    waitForScanEnd();
    // Each progress title also says the settle time left, as the command line does.
    const QRegularExpression timeLeft(", about (\\d+\\.\\d) s left$");
    QStringList secondsLeft;
    for (QString &title : m_titles) {
        const QRegularExpressionMatch match = timeLeft.match(title);
        if (match.hasMatch())
            secondsLeft.append(match.captured(1));
        title.remove(timeLeft);
    }
    QCOMPARE(m_titles, titles);
    QCOMPARE(secondsLeft.size(), titles.size() - 1);
    QCOMPARE(secondsLeft.first(), firstTimeLeft);
    QCOMPARE(secondsLeft.last(), QStringLiteral("0.0"));
    for (int i = 1; i < secondsLeft.size(); ++i)
        QVERIFY2(secondsLeft[i].toDouble() <= secondsLeft[i - 1].toDouble(),
                 qPrintable(secondsLeft.join(' ')));
    // The status line keeps showing the last point.
    QVERIFY(child<QLabel>("lStatus")->text().startsWith("Phase: 4, Value: "));
}

void TestCalibration::endlessScanTitle()
{
    QTemporaryDir dir;
    openWindow(0.01, 1, 100, 300, 0);
    recordTitles();

    click("pbStartCalibration");
    QVERIFY(QTest::qWaitFor([this] { return plot()->graph(0)->dataCount() >= 5; }));
    click("pbStopCalibration");
    // Step 0 never leaves the first level: no share of a whole to show.
    QCOMPARE(m_titles, QStringList({"Kuvel Counter - calibration", "Kuvel Counter"}));

    // What it measured until stopped is kept all the same.
    QVERIFY(m_window->saveScanData(dir.filePath("endless.csv")));
    const QStringList lines = csvLines(dir.filePath("endless.csv"));
    QCOMPARE(lines.size(), 1 + simCountsSent(m_sim.logLines()).size());
    QVERIFY(lines.size() >= 6);
    for (const QString &line : lines.mid(1))
        QVERIFY2(line.startsWith("1,100,"), qPrintable(line));
}

QTEST_MAIN(TestCalibration)
#include "tst_calibration.moc"
