// kuvel-counter-server as a process in front of the simulated counter, driven by Python
// clients through PyVISA and pyvisa-py (tests/python/server_checks.py) and raw sockets.

#include "simlog.h"
#include "simprocess.h"

#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#ifndef KUVEL_SERVER_PATH
#error "KUVEL_SERVER_PATH must name the kuvel-counter-server executable"
#endif

namespace {
constexpr int StartTimeoutMs = 10000;
constexpr int CheckTimeoutMs = 120000;
const QString Python = QStringLiteral("/usr/bin/python3");
} // namespace

class TestServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void everyCommand();
    void twoClientsInterleave();
    void badInputsHurtOnlyTheirClient();
    void readOnlyRefusesWrites();
    void lostCounterGivesErrorsUntilBack();
    void restartedCounterRestored();
    void deviceTextsStayInTheirAnswer();
    void idleHalfLinesLoseTheirSlot();
    void pyMeasureInstrument();
    void startUpFailuresExitAsTheCli();

private:
    bool startServer(const QStringList &extraArgs = {});
    // Runs one check of server_checks.py against the server; its output on failure.
    void check(const QString &name, const QStringList &extraArgs = {});

    QTemporaryDir m_dir;
    QString m_link;
    SimProcess m_sim;
    QProcess m_server;
    quint16 m_port = 0;
};

void TestServer::initTestCase()
{
    QProcess probe;
    probe.start(Python, {"-c", "import pyvisa, pyvisa_py, pymeasure"});
    if (!probe.waitForFinished(StartTimeoutMs) || probe.exitStatus() != QProcess::NormalExit
        || probe.exitCode() != 0)
        QSKIP("/usr/bin/python3 with pyvisa, pyvisa-py and pymeasure is not installed");
    m_link = m_dir.filePath(QStringLiteral("kuvel-port"));
}

void TestServer::init()
{
    QVERIFY(m_sim.start({"--numbered-counts"}, m_link));
}

void TestServer::cleanup()
{
    if (m_server.state() != QProcess::NotRunning) {
        m_server.terminate();
        // Still alive after SIGTERM would be a fault of its own: a server must end cleanly.
        QVERIFY(m_server.waitForFinished(StartTimeoutMs));
        QCOMPARE(m_server.exitCode(), 0);
    }
    m_sim.stop();
}

bool TestServer::startServer(const QStringList &extraArgs)
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost))
        return false;
    m_port = probe.serverPort();
    probe.close();
    m_server.start(
        QStringLiteral(KUVEL_SERVER_PATH),
        QStringList {"--port", m_link, "--listen", QStringLiteral("127.0.0.1:%1").arg(m_port)}
            + extraArgs);
    // It says it serves once it listens.
    m_server.setReadChannel(QProcess::StandardError);
    QByteArray err;
    while (!err.contains("serving")) {
        if (!m_server.waitForReadyRead(StartTimeoutMs))
            return false;
        err += m_server.readAllStandardError();
    }
    return true;
}

void TestServer::check(const QString &name, const QStringList &extraArgs)
{
    QProcess python;
    python.start(
        Python,
        QStringList {QFINDTESTDATA("python/server_checks.py"), name, QString::number(m_port)}
            + extraArgs);
    QVERIFY(python.waitForFinished(CheckTimeoutMs));
    const QByteArray output = python.readAllStandardOutput() + python.readAllStandardError();
    QVERIFY2(python.exitStatus() == QProcess::NormalExit && python.exitCode() == 0,
             output.constData());
    QCOMPARE(m_server.state(), QProcess::Running);
}

void TestServer::everyCommand()
{
    QVERIFY(startServer());
    check("every");
}

void TestServer::twoClientsInterleave()
{
    QVERIFY(startServer());
    check("interleave");
}

// Unknown commands, bad and missing values, an endless line, binary garbage, clients that
// leave mid-command or never read: errors or a closed connection for that client alone.
void TestServer::badInputsHurtOnlyTheirClient()
{
    QVERIFY(startServer());
    check("bad");
}

void TestServer::readOnlyRefusesWrites()
{
    QVERIFY(startServer({"--read-only"}));
    check("readonly");
    // Nothing refused reached the counter: it was asked for no write at all.
    for (const QString &line : m_sim.logLines())
        QVERIFY2(!line.contains(QRegularExpression("\\brx (10|11|13|0[cC])\\b")), qPrintable(line));
}

void TestServer::lostCounterGivesErrorsUntilBack()
{
    QVERIFY(startServer({"--attempts", "1"}));
    m_sim.stop();
    check("lost");
    QVERIFY(m_sim.start({"--numbered-counts"}, m_link));
    check("back");
    // Identified again before the counter got a request of the server's.
    const QStringList received = m_sim.logLines().filter(" rx ");
    QVERIFY(received.size() >= 2);
    QVERIFY2(received.at(0).contains(" rx 06") && received.at(1).contains(" rx 05"),
             qPrintable(received.mid(0, 2).join('\n')));
}

// The counter restarts in its power-on state: the channel, time constant and level the
// clients wrote and counting are set again, the counts it gave before are no answer, and the
// error queue says what it found.
void TestServer::restartedCounterRestored()
{
    QVERIFY(startServer());
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, m_port);
    QVERIFY(socket.waitForConnected(StartTimeoutMs));
    const auto query = [&socket](const QByteArray &line) {
        socket.write(line + '\n');
        while (!socket.canReadLine()) {
            if (!socket.waitForReadyRead(StartTimeoutMs))
                return QByteArray();
        }
        return socket.readLine().trimmed();
    };
    QCOMPARE(query("CONF:CHAN 3;CONF:TCON 0.01;CONF:LEV 3,2,12000;INIT;FETC:COUN?").count(','), 3);
    m_sim.stop();
    QVERIFY(m_sim.start({"--numbered-counts"}, m_link));

    socket.write("FETC:COUN?\n");
    const QByteArray error = query("SYST:ERR?");
    QVERIFY2(error.startsWith("-240,") && error.contains("opened again with channel 1"),
             error.constData());
    QCOMPARE(query("CONF:CHAN?"), QByteArray("3"));
    QVERIFY(!query("FETC:COUN?").startsWith("1,"));
    const QStringList requests = simRequests(m_sim.logLines());
    QVERIFY(requests.contains("13 02"));
    QVERIFY(requests.contains("10 02 01 E0 2E"));
    QVERIFY(requests.contains("15"));
}

void TestServer::deviceTextsStayInTheirAnswer()
{
    QVERIFY(startServer({"--attempts", "1"}));
    m_sim.stop();
    QVERIFY(
        m_sim.start({"--type", "Evil\n1,2,3,4\n", "--udid", "4B4300000000000000000002"}, m_link));
    check("evil");
}

void TestServer::idleHalfLinesLoseTheirSlot()
{
    QVERIFY(startServer({"--line-timeout", "1"}));
    check("halflines");
}

void TestServer::pyMeasureInstrument()
{
    QVERIFY(startServer());
    check("pymeasure", {QFileInfo(QFINDTESTDATA("../server/python/kuvelcounter.py")).path()});
    // MEAS:COUN? of a stopped counter: its time constant read, counting started, the counts
    // read one gate later and counting stopped again.
    const QStringList requests = simRequests(m_sim.logLines());
    QCOMPARE(requests.mid(requests.size() - 4), QStringList({"12", "15", "17", "16"}));
}

void TestServer::startUpFailuresExitAsTheCli()
{
    const struct
    {
        QStringList args;
        int exitCode;
    } cases[] = {
        {{"--listen", "127.0.0.1:5025"}, 1},
        {{"--port", m_link, "--listen", "nohost"}, 1},
        {{"--port", m_dir.filePath("absent")}, 3},
    };
    for (const auto &c : cases) {
        QProcess server;
        server.start(QStringLiteral(KUVEL_SERVER_PATH), c.args);
        QVERIFY(server.waitForFinished(StartTimeoutMs));
        QCOMPARE(server.exitCode(), c.exitCode);
    }
    SimProcess other;
    QVERIFY(other.start({"--type", "Other"}));
    QProcess server;
    server.start(QStringLiteral(KUVEL_SERVER_PATH), {"--port", other.portPath()});
    QVERIFY(server.waitForFinished(StartTimeoutMs));
    QCOMPARE(server.exitCode(), 2);
    QVERIFY(server.readAllStandardError().contains("Wrong device"));
}

QTEST_GUILESS_MAIN(TestServer)
#include "tst_server.moc"
