// A lost adapter, end to end through the operator window and the real serial link: while the
// window polls the counts, the simulated counter goes away with its pseudo-terminal and the
// symlinked port name, as a pulled USB adapter takes its /dev/serial/by-id name with it.
#include "apptesthelpers.h"
#include "commandcodes.h"
#include "cstarprotocolpc.h"
#include "mainwindow.h"
#include "simlog.h"
#include "simprocess.h"

#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <optional>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

double processCpuSeconds()
{
    rusage usage;
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Sends one request straight to the device's terminal and waits for any answer, without the
// program's link: the counter keeps counting while its adapter is away, so the new device is
// put into counting before its port name appears.
bool startCountingDirectly(const QString &terminal)
{
    const int fd = ::open(QFile::encodeName(terminal).constData(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return false;
    cStarProtocolPC codec;
    codec.codeData(0x00, CommandCode::StartCounter, 0, nullptr);
    bool answered = ::write(fd, codec.frame(), size_t(codec.frameLength())) == codec.frameLength();
    pollfd p {fd, POLLIN, 0};
    answered = answered && ::poll(&p, 1, 2000) == 1;
    ::close(fd);
    return answered;
}

QString countsText(const MainWindow &window)
{
    QString text;
    for (int i = 1; i <= 4; ++i)
        text += window.findChild<QLabel *>(QStringLiteral("lCounts%1").arg(i))->text() + ' ';
    return text;
}

QPushButton *button(MainWindow &window, const char *name)
{
    return window.findChild<QPushButton *>(QLatin1String(name));
}

} // namespace

class tst_LostAdapter : public QObject
{
    Q_OBJECT

private slots:
    // Counted once the test log has its own message handler.
    void initTestCase() { m_ticks.emplace(); }
    void cleanupTestCase() { m_ticks.reset(); }
    void pollingSurvivesTheDeviceGoingAndResumesWhenItReturns();
    void anotherCounterBehindTheNameGetsNoRequest();

private:
    // The window on the counter behind `port`, counting at the shortest time constant.
    void startCounting(MainWindow &window, const QString &port);

    // The window's "tick" messages over the whole run, kept out of the test's output.
    std::optional<TickCounter> m_ticks;
};

void tst_LostAdapter::startCounting(MainWindow &window, const QString &port)
{
    window.setPortName(port);
    QVERIFY(window.isCorrectDevice());
    window.show();
    window.findChild<QDoubleSpinBox *>(QStringLiteral("dsbTimeConst"))->setValue(0.01);
    button(window, "pbSetTimeConst")->click();
    button(window, "pbStart")->click();
    QVERIFY(button(window, "pbStop")->isEnabled());
}

void tst_LostAdapter::pollingSurvivesTheDeviceGoingAndResumesWhenItReturns()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString port = dir.filePath(QStringLiteral("kuvel-port"));
    SimProcess sim;
    QVERIFY(sim.start({}, port));

    MainWindow window;
    startCounting(window, port);
    if (QTest::currentTestFailed())
        return;

    // Counting: the labels follow the device.
    const QString before = countsText(window);
    QTRY_VERIFY_WITH_TIMEOUT(countsText(window) != before, 5000);
    QTRY_VERIFY(m_ticks->count() > 5);

    // Warnings that come up are answered as an operator would, and remembered.
    BoxCloser warnings;

    // The adapter goes, and its port name with it.
    sim.stop();
    QVERIFY(!QFile::exists(port));
    // The labels show a reading at most 40 ms after it came: by then the last answer the
    // device gave is on them, and a poll now waits for an answer that never comes.
    QTest::qWait(100);
    const QString lastShown = countsText(window);
    const int ticksAtLoss = m_ticks->count();
    const double cpuAtLoss = processCpuSeconds();
    QElapsedTimer deadTime;
    deadTime.start();
    // Each poll now fails after its five attempts; the chain goes on, quietly.
    QTRY_VERIFY_WITH_TIMEOUT(m_ticks->count() >= ticksAtLoss + 2, 15000);
    const double cpuShare = (processCpuSeconds() - cpuAtLoss) / (deadTime.elapsed() / 1000.0);
    qInfo("device away for %lld ms: %d polls, %.1f %% of a core", deadTime.elapsed(),
          m_ticks->count() - ticksAtLoss, 100.0 * cpuShare);
    QVERIFY(warnings.shown.isEmpty());
    QCOMPARE(countsText(window), lastShown);
    QVERIFY(button(window, "pbStop")->isEnabled());
    // A hung-up line must not leave the port reporting errors in a loop.
    QVERIFY2(cpuShare < 0.25,
             qPrintable(QStringLiteral("%1 of a core while the device was away").arg(cpuShare)));

    // A write meets the missing device: its warning comes after all its attempts.
    QElapsedTimer writeTime;
    writeTime.start();
    button(window, "pbWriteEEPROM")->click();
    QCOMPARE(warnings.shown.size(), 1);
    QCOMPARE(warnings.shown.first().title + QLatin1Char('/') + warnings.shown.first().text,
             QStringLiteral("Warning.../Can't execute write command"));
    QVERIFY2(writeTime.elapsed() >= 4 * 500,
             qPrintable(QStringLiteral("warned after %1 ms").arg(writeTime.elapsed())));

    // A new adapter with the counter behind it appears under the same name: the poll picks it
    // up by itself, with no restart and nothing pressed.
    SimProcess newSim;
    QVERIFY(newSim.start());
    QVERIFY(startCountingDirectly(newSim.portPath()));
    QVERIFY(QFile::link(newSim.portPath(), port));
    const int ticksAtReturn = m_ticks->count();
    QTRY_VERIFY_WITH_TIMEOUT(countsText(window) != lastShown, 10000);
    // And it goes on updating, once per time constant.
    const QString firstAfterReturn = countsText(window);
    QTRY_VERIFY_WITH_TIMEOUT(countsText(window) != firstAfterReturn, 5000);
    QTRY_VERIFY(m_ticks->count() > ticksAtReturn + 5);
    QCOMPARE(warnings.shown.size(), 1);

    button(window, "pbStop")->click();
    QVERIFY(button(window, "pbStart")->isEnabled());
    QFile::remove(port);
}

// Another counter appears under the port's name while the window polls: it is asked for its
// type and identifier only, polling ends, and the operator is told which device answers.
void tst_LostAdapter::anotherCounterBehindTheNameGetsNoRequest()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString port = dir.filePath(QStringLiteral("kuvel-port"));
    SimProcess sim;
    QVERIFY(sim.start({}, port));
    MainWindow window;
    startCounting(window, port);
    if (QTest::currentTestFailed())
        return;
    QTRY_VERIFY(m_ticks->count() > 3);

    BoxCloser boxes;
    sim.stop();
    SimProcess other;
    QVERIFY(
        other.start({QStringLiteral("--udid"), QStringLiteral("4B4300000000000000000002")}, port));
    QTRY_COMPARE_WITH_TIMEOUT(boxes.shown.size(), 1, 15000);
    const QString warning = boxes.shown.first().text;
    QVERIFY2(warning.contains(port) && warning.contains("4B4300000000000000000002")
                 && warning.contains("4B43F9FAFB00010210203040"),
             qPrintable(warning));
    QVERIFY(!button(window, "pbStop")->isEnabled());
    QVERIFY(button(window, "pbStart")->isEnabled());
    // Refused requests fail at once, and none of them reaches the other counter.
    button(window, "pbWriteEEPROM")->click();
    QCOMPARE(boxes.shown.size(), 2);
    QStringList codes;
    for (const QString &request : simRequests(other.logLines()))
        codes << request.section(' ', 0, 0);
    QCOMPARE(codes.join(QLatin1Char(' ')), QStringLiteral("06 05"));
}

QTEST_MAIN(tst_LostAdapter)
#include "tst_lostadapter.moc"
