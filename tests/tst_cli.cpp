// kuvel-counter-cli run as a separate process against the simulated counter: what it prints,
// how it exits, and what the counter received, read back from the simulator's log.

#include "commandcodes.h"
#include "kuvelversion.h"
#include "ser2netprocess.h"
#include "simlog.h"
#include "simprocess.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#ifndef KUVEL_CLI_PATH
#error "KUVEL_CLI_PATH must name the kuvel-counter-cli executable"
#endif

namespace {

constexpr int RunTimeoutMs = 20000;

struct CliResult
{
    int exitCode = -1;
    QStringList out; // lines of standard output
    QStringList err; // lines of standard error
};

// The counting commands as the tests run them: most look at the data alone, without the
// context lines and the requests that fetch them.
QStringList plain(const QStringList &args)
{
    if (args.contains("scan") || args.contains("watch"))
        return args + QStringList {"--no-header"};
    return args;
}

QStringList lines(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// The requests and answers of the simulator's log.
using LogEntry = SimLog::Line;

// Requests the counter received and acted on (a silent counter ignores them).
QList<LogEntry> received(const QList<LogEntry> &entries)
{
    QList<LogEntry> result;
    for (const LogEntry &entry : entries) {
        if (entry.kind == QLatin1String("rx") && !entry.tags.contains("silent"))
            result << entry;
    }
    return result;
}

int indexOfCode(const QList<LogEntry> &entries, quint8 code, int from = 0)
{
    for (int i = from; i < entries.size(); ++i) {
        if (entries[i].code == code)
            return i;
    }
    return -1;
}

quint32 countOf(const QByteArray &payload, int index)
{
    return qFromLittleEndian<quint32>(payload.constData() + 4 * index);
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void versionOfTheBuild();
    void usageErrors_data();
    void usageErrors();
    void usageErrorNamesValue_data();
    void usageErrorNamesValue();
    void info();
    void getAndSet();
    void simpleCommands();
    void wrongDevice();
    void silentDevice();
    void portThatDoesNotOpen_data();
    void portThatDoesNotOpen();
    void throughNetworkSerialServer();
    void watchCount();
    void scanMatchesLevelsWritten_data();
    void scanMatchesLevelsWritten();
    void scanHeaderAndProposals();
    void scanMeasuresAgainAfterFailedRead();
    void scanGivesUpOnSilentDevice();
    void lateCountsNeverPrintedForTheNextRead();
    void anotherCounterBehindThePortEndsWatch();
    void restartedCounterRestoredMidScan();
    void signalStopsCounter_data();
    void signalStopsCounter();
    void closedOutputStopsCounter();
    void fullOutputFails_data();
    void fullOutputFails();

private:
    CliResult run(const QStringList &args, bool withPort = true, bool header = false);
    void startCli(QProcess &process, const QStringList &args);
    bool waitForLogLine(const QString &needle, int from, int timeoutMs = 5000);

    SimProcess m_sim;
};

CliResult TestCli::run(const QStringList &args, bool withPort, bool header)
{
    QProcess process;
    const QStringList arguments = header ? args : plain(args);
    process.start(QStringLiteral(KUVEL_CLI_PATH),
                  withPort ? QStringList {"--port", m_sim.portPath()} + arguments : arguments);
    CliResult result;
    if (!process.waitForFinished(RunTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    result.out = lines(process.readAllStandardOutput());
    result.err = lines(process.readAllStandardError());
    return result;
}

void TestCli::startCli(QProcess &process, const QStringList &args)
{
    process.start(QStringLiteral(KUVEL_CLI_PATH),
                  QStringList {"--port", m_sim.portPath()} + plain(args));
    QVERIFY(process.waitForStarted());
}

bool TestCli::waitForLogLine(const QString &needle, int from, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        const QStringList log = m_sim.logLines();
        for (int i = from; i < log.size(); ++i) {
            if (log[i].contains(needle))
                return true;
        }
        QThread::msleep(5);
    }
    return false;
}

void TestCli::usageErrors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("withPort");
    QTest::newRow("no port") << QStringList {"info"} << false;
    QTest::newRow("no command") << QStringList {} << true;
    QTest::newRow("unknown command") << QStringList {"frob"} << true;
    QTest::newRow("unknown option") << QStringList {"info", "--frob"} << true;
    QTest::newRow("get without what") << QStringList {"get"} << true;
    QTest::newRow("get level") << QStringList {"get", "level"} << true;
    QTest::newRow("channel 0") << QStringList {"set", "channel", "0"} << true;
    QTest::newRow("channel 9") << QStringList {"set", "channel", "9"} << true;
    QTest::newRow("channel not a number") << QStringList {"set", "channel", "two"} << true;
    QTest::newRow("time constant too short") << QStringList {"set", "timeconst", "0.001"} << true;
    QTest::newRow("time constant too long") << QStringList {"set", "timeconst", "10.5"} << true;
    QTest::newRow("time constant nan") << QStringList {"set", "timeconst", "nan"} << true;
    QTest::newRow("time constant grouped") << QStringList {"set", "timeconst", "1,000.5"} << true;
    QTest::newRow("level 5") << QStringList {"set", "level", "1", "5", "100"} << true;
    QTest::newRow("level value 65536") << QStringList {"set", "level", "1", "1", "65536"} << true;
    QTest::newRow("level value negative") << QStringList {"set", "level", "1", "1", "-1"} << true;
    QTest::newRow("level without value") << QStringList {"set", "level", "1", "1"} << true;
    QTest::newRow("extra argument") << QStringList {"start", "now"} << true;
    QTest::newRow("watch count 0") << QStringList {"watch", "--count", "0"} << true;
    QTest::newRow("watch period 0") << QStringList {"watch", "--period", "0"} << true;
    QTest::newRow("scan option on info") << QStringList {"info", "--step", "5"} << true;
    QTest::newRow("scan without stop")
        << QStringList {"scan", "--channel", "1", "--start", "0", "--step", "5"} << true;
    QTest::newRow("scan step 0") << QStringList {"scan",   "--channel", "1",      "--start", "0",
                                                 "--stop", "10",        "--step", "0"}
                                 << true;
    QTest::newRow("scan stop 65536")
        << QStringList {"scan", "--channel", "1", "--start", "0", "--stop", "65536", "--step", "1"}
        << true;
    QTest::newRow("attempts 0") << QStringList {"info", "--attempts", "0"} << true;
}

void TestCli::versionOfTheBuild()
{
    // Both answer without a command or a port, and never open a terminal.
    for (const char *path : {KUVEL_CLI_PATH, KUVEL_SIM_PATH}) {
        QProcess process;
        process.start(QString::fromLocal8Bit(path), {"--version"});
        QVERIFY(process.waitForFinished(RunTimeoutMs));
        QCOMPARE(process.exitCode(), 0);
        const QString name = QFileInfo(QString::fromLocal8Bit(path)).fileName();
        QCOMPARE(QString::fromLocal8Bit(process.readAllStandardOutput()),
                 name + QStringLiteral(" " KUVEL_VERSION "\n"));
    }
}

void TestCli::usageErrors()
{
    QFETCH(QStringList, args);
    QFETCH(bool, withPort);
    QVERIFY(m_sim.start());

    const CliResult result = run(args, withPort);
    QCOMPARE(result.exitCode, 1);
    QVERIFY(result.out.isEmpty());
    QCOMPARE(result.err.size(), 1);
    // Refused before anything went out on the line.
    QVERIFY(received(SimLog::frames(m_sim.logLines())).isEmpty());
}

void TestCli::usageErrorNamesValue_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    QTest::newRow("negative channel") << QStringList {"set", "channel", "-1"}
                                      << "channel must be a whole number from 1 to 8, not \"-1\"";
    QTest::newRow("negative level before port")
        << QStringList {"set", "level", "1", "-2", "5"}
        << "level must be a whole number from 1 to 4, not \"-2\"";
    QTest::newRow("port twice") << QStringList {"--port", "/dev/null", "info"}
                                << "--port given more than once";
}

void TestCli::usageErrorNamesValue()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    QVERIFY(m_sim.start());
    const CliResult result = run(args);
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.err.size(), 1);
    QVERIFY2(result.err.first().contains(message), qPrintable(result.err.first()));
    QVERIFY(received(SimLog::frames(m_sim.logLines())).isEmpty());
}

void TestCli::info()
{
    QVERIFY(m_sim.start());
    const CliResult result = run({"info"});
    QCOMPARE(result.exitCode, 0);
    QVERIFY(result.err.isEmpty());
    QCOMPARE(result.out.size(), 6);
    const QStringList names {"type",     "modification", "hardware",
                             "firmware", "description",  "identifier"};
    for (int i = 0; i < names.size(); ++i)
        QVERIFY2(result.out[i].startsWith(names[i] + ": "), qPrintable(result.out[i]));
    QVERIFY(result.out[0].contains("KuvelCounter"));

    // The identifier as the counter sent it, 12 bytes in hex.
    const QList<LogEntry> log = SimLog::frames(m_sim.logLines());
    QByteArray identifier;
    for (const LogEntry &entry : log) {
        if (entry.kind == QLatin1String("tx") && entry.code == CommandCode::Identifier)
            identifier = entry.payload;
    }
    QCOMPARE(identifier.size(), 12);
    QCOMPARE(result.out[5], "identifier: " + QString::fromLatin1(identifier.toHex().toUpper()));

    // The link's debug log gives the kernel's reason why a pseudo-terminal has no low latency.
    QProcess traced;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("kuvel.link.debug=true"));
    traced.setProcessEnvironment(environment);
    traced.start(QStringLiteral(KUVEL_CLI_PATH), {"--port", m_sim.portPath(), "get", "channel"});
    QVERIFY(traced.waitForFinished(RunTimeoutMs));
    const QString trace = QString::fromUtf8(traced.readAllStandardError());
    QVERIFY2(trace.contains(
                 QStringLiteral("low latency not available: \"%1\"").arg(qt_error_string(ENOTTY))),
             qPrintable(trace.left(2000)));
}

void TestCli::getAndSet()
{
    QVERIFY(m_sim.start());

    // Channels are 1 to 8 on the command line and 0 to 7 on the wire, both ways.
    for (int channel : {1, 5, 8}) {
        const int before = m_sim.logLines().size();
        QCOMPARE(run({"set", "channel", QString::number(channel)}).exitCode, 0);
        const QList<LogEntry> sent = received(SimLog::frames(m_sim.logLines().mid(before)));
        const int write = indexOfCode(sent, CommandCode::WriteChannel);
        QVERIFY(write >= 0);
        QCOMPARE(sent[write].payload, QByteArray(1, char(channel - 1)));

        const CliResult get = run({"get", "channel"});
        QCOMPARE(get.exitCode, 0);
        QCOMPARE(get.out, QStringList {QString::number(channel)});
    }

    QCOMPARE(run({"set", "timeconst", "0.25"}).exitCode, 0);
    QCOMPARE(run({"get", "timeconst"}).out, QStringList {"0.25"});
    // A decimal comma is a decimal separator too, as in the window.
    QCOMPARE(run({"set", "timeconst", "0,5"}).exitCode, 0);
    QCOMPARE(run({"get", "timeconst"}).out, QStringList {"0.5"});
    QCOMPARE(run({"set", "timeconst", "0.01"}).exitCode, 0);
    QCOMPARE(run({"get", "timeconst"}).out, QStringList {"0.01"});

    // Level 4 of channel 3 at 1000: record channel 2, level 3, value little-endian.
    const int before = m_sim.logLines().size();
    const CliResult level = run({"set", "level", "3", "4", "1000"});
    QCOMPARE(level.exitCode, 0);
    QVERIFY(level.out.isEmpty());
    const QList<LogEntry> sent = received(SimLog::frames(m_sim.logLines().mid(before)));
    const int write = indexOfCode(sent, CommandCode::WriteReferenceLevel);
    QVERIFY(write >= 0);
    QCOMPARE(sent[write].payload, QByteArray::fromHex("0203e803"));
}

void TestCli::simpleCommands()
{
    QVERIFY(m_sim.start());
    const QList<QPair<QString, quint8>> commands {{"start", CommandCode::StartCounter},
                                                  {"stop", CommandCode::StopCounter},
                                                  {"eeprom", CommandCode::WriteEeprom}};
    for (const auto &command : commands) {
        const int before = m_sim.logLines().size();
        const CliResult result = run({command.first});
        QCOMPARE(result.exitCode, 0);
        QVERIFY(result.out.isEmpty());
        QVERIFY(indexOfCode(received(SimLog::frames(m_sim.logLines().mid(before))), command.second)
                >= 0);
    }
}

void TestCli::wrongDevice()
{
    QVERIFY(m_sim.start({"--type", "Other"}));
    const CliResult info = run({"info"});
    QCOMPARE(info.exitCode, 2);
    QVERIFY(info.out.isEmpty());
    QCOMPARE(info.err.size(), 1);
    QVERIFY(info.err.first().contains("Wrong device"));

    // Nothing but the type read reaches a device that is not a counter.
    const CliResult scan
        = run({"scan", "--channel", "1", "--start", "0", "--stop", "10", "--step", "5"});
    QCOMPARE(scan.exitCode, 2);
    QVERIFY(scan.out.isEmpty());
    for (const LogEntry &entry : received(SimLog::frames(m_sim.logLines())))
        QCOMPARE(entry.code, CommandCode::DeviceType);
}

void TestCli::silentDevice()
{
    QVERIFY(m_sim.start({"--silent"}));
    // An operation without an answer prints nothing on standard output.
    for (const QStringList &args : {QStringList {"info"}, QStringList {"get", "channel"},
                                    QStringList {"watch", "--count", "2"}}) {
        const CliResult result = run(args + QStringList {"--attempts", "1"});
        QCOMPARE(result.exitCode, 3);
        QVERIFY(result.out.isEmpty());
        QCOMPARE(result.err.size(), 1);
    }
}

void TestCli::portThatDoesNotOpen_data()
{
    QTest::addColumn<QString>("port"); // empty: the simulator's, through a symlink
    QTest::addColumn<QString>("error"); // how the message begins; PORT stands for the port
    QTest::newRow("missing, a newline in its name")
        << "/nonexistent/tty\nUSB0"
        << "kuvel-counter-cli: Cannot open /nonexistent/tty\\nUSB0: No such file or directory";
    QTest::newRow("not a serial port")
        << "/dev/null"
        << "kuvel-counter-cli: Cannot open /dev/null: not a serial port";
    QTest::newRow("in use under another name")
        << QString() << "kuvel-counter-cli: PORT is in use by another program (PID ";
    QTest::newRow("server without a port number")
        << "socket://127.0.0.1"
        << "kuvel-counter-cli: Cannot open socket://127.0.0.1: no port";
    QTest::newRow("unknown server") << "socket://kuvel-counter.invalid:4000"
                                    << "kuvel-counter-cli: Cannot open "
                                       "socket://kuvel-counter.invalid:4000: ";
    const QString refused = QStringLiteral("socket://127.0.0.1:%1").arg(Ser2netProcess::freePort());
    QTest::newRow("server refuses")
        << refused << "kuvel-counter-cli: Cannot open " + refused + ": Connection refused";
}

void TestCli::portThatDoesNotOpen()
{
    QFETCH(QString, port);
    QFETCH(QString, error);
    QTemporaryDir dir;
    int holder = -1;
    if (port.isEmpty()) {
        // Another program holds the device by its own name.
        port = dir.filePath("ttyKuvel");
        QVERIFY(m_sim.start({}, port));
        holder = ::open(QFile::encodeName(m_sim.portPath()).constData(), O_RDWR | O_NOCTTY);
        QVERIFY(holder >= 0 && ::flock(holder, LOCK_EX | LOCK_NB) == 0);
        error += QString::number(QCoreApplication::applicationPid());
    }
    const CliResult result = run({"--port", port, "info"}, false);
    if (holder >= 0)
        ::close(holder);
    QCOMPARE(result.exitCode, 3);
    QVERIFY(result.out.isEmpty());
    QCOMPARE(result.err.size(), 1);
    QVERIFY2(result.err.first().startsWith(QString(error).replace("PORT", port)),
             qPrintable(result.err.first()));
}

// The counter behind ser2net: the same operations, and a watch that goes on when the server
// is restarted, printing only counts the counter sent.
void TestCli::throughNetworkSerialServer()
{
    if (!Ser2netProcess::isInstalled())
        QSKIP("ser2net is not installed (scripts/deps.sh installs it)");
    QVERIFY(m_sim.start());
    Ser2netProcess server;
    const quint16 port = Ser2netProcess::freePort();
    QVERIFY(server.start(m_sim.portPath(), port));
    const QString name = QStringLiteral("socket://127.0.0.1:%1").arg(port);

    CliResult result = run({"--port", name, "info"}, false);
    QCOMPARE(result.exitCode, 0);
    QVERIFY(result.out.value(0).contains("KuvelCounter"));
    QCOMPARE(run({"--port", name, "set", "channel", "3"}, false).exitCode, 0);
    QCOMPARE(run({"--port", name, "get", "channel"}, false).out, QStringList("3"));
    QCOMPARE(run({"--port", name, "set", "timeconst", "0.01"}, false).exitCode, 0);
    result = run({"--port", name, "scan", "--channel", "3", "--start", "0", "--stop", "200",
                  "--step", "100"},
                 false);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out.filter(QRegularExpression("^[1-4],")).size(), 12);

    // The server goes down once the watch reads, not before it has connected.
    const int before = m_sim.logLines().size();
    QProcess watch;
    watch.start(QStringLiteral(KUVEL_CLI_PATH),
                {"--port", name, "watch", "--count", "40", "--period", "0.05", "--no-header"});
    QVERIFY(watch.waitForStarted());
    QVERIFY(waitForLogLine(" rx 17", before));
    server.kill();
    QVERIFY(server.restart());
    QVERIFY(watch.waitForFinished(RunTimeoutMs));
    QCOMPARE(watch.readAllStandardError(), QByteArray());
    QCOMPARE(watch.exitCode(), 0);
    const QStringList printed = lines(watch.readAllStandardOutput()).mid(1);
    QCOMPARE(printed.size(), 40);
    QSet<QString> sent;
    for (const LogEntry &entry : SimLog::frames(m_sim.logLines())) {
        if (entry.kind == QLatin1String("tx") && entry.code == CommandCode::ReadCounts)
            sent.insert(QStringLiteral("%1,%2,%3,%4")
                            .arg(countOf(entry.payload, 0))
                            .arg(countOf(entry.payload, 1))
                            .arg(countOf(entry.payload, 2))
                            .arg(countOf(entry.payload, 3)));
    }
    for (const QString &line : printed)
        QVERIFY2(sent.contains(line.section(',', 1)), qPrintable(line));
}

void TestCli::watchCount()
{
    QVERIFY(m_sim.start());
    QCOMPARE(run({"set", "timeconst", "0.01"}).exitCode, 0);
    const int before = m_sim.logLines().size();

    const CliResult result = run({"watch", "--count", "5"});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out.size(), 6);
    QCOMPARE(result.out.first(), "time_s,count1,count2,count3,count4");
    double lastTime = 0;
    for (const QString &line : result.out.mid(1)) {
        const QStringList fields = line.split(',');
        QCOMPARE(fields.size(), 5);
        bool ok = false;
        const double time = fields[0].toDouble(&ok);
        QVERIFY(ok && time > lastTime);
        lastTime = time;
        for (const QString &count : fields.mid(1)) {
            count.toUInt(&ok);
            QVERIFY2(ok, qPrintable(line));
        }
    }

    // Started, read five times, stopped last.
    const QList<LogEntry> sent = received(SimLog::frames(m_sim.logLines().mid(before)));
    const int start = indexOfCode(sent, CommandCode::StartCounter);
    QVERIFY(start >= 0);
    int reads = 0;
    for (const LogEntry &entry : sent.mid(start))
        reads += entry.code == CommandCode::ReadCounts;
    QCOMPARE(reads, 5);
    QCOMPARE(sent.last().code, CommandCode::StopCounter);
}

void TestCli::scanMatchesLevelsWritten_data()
{
    QTest::addColumn<int>("channel");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("stop");
    QTest::addColumn<int>("step");
    QTest::addColumn<QList<int>>("levels"); // the points of every phase

    QTest::newRow("stop between points") << 3 << 100 << 350 << 100 << QList<int> {100, 200, 300};
    QTest::newRow("stop on a point") << 1 << 0 << 20 << 10 << QList<int> {0, 10, 20};
    QTest::newRow("start above stop") << 8 << 500 << 400 << 50 << QList<int> {500};
    QTest::newRow("last point near the top")
        << 2 << 65530 << 65535 << 3 << QList<int> {65530, 65533};
}

void TestCli::scanMatchesLevelsWritten()
{
    QFETCH(int, channel);
    QFETCH(int, start);
    QFETCH(int, stop);
    QFETCH(int, step);
    QFETCH(QList<int>, levels);

    QVERIFY(m_sim.start());
    QCOMPARE(run({"set", "timeconst", "0.01"}).exitCode, 0);
    const int before = m_sim.logLines().size();

    const CliResult result
        = run({"scan", "--channel", QString::number(channel), "--start", QString::number(start),
               "--stop", QString::number(stop), "--step", QString::number(step)});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out.first(), "phase,level,count");
    const QStringList rows = result.out.mid(1);
    QCOMPARE(rows.size(), 4 * levels.size());
    for (int i = 0; i < rows.size(); ++i) {
        const QString expected
            = QStringLiteral("%1,%2,").arg(i / levels.size() + 1).arg(levels[i % levels.size()]);
        QVERIFY2(rows[i].startsWith(expected), qPrintable(rows[i]));
    }

    // Replay the log: the levels the counter held at each counts read, and its answer.
    const QList<LogEntry> log = SimLog::frames(m_sim.logLines().mid(before));
    const QList<LogEntry> sent = received(log);
    QCOMPARE(sent[indexOfCode(sent, CommandCode::WriteChannel)].payload,
             QByteArray(1, char(channel - 1)));
    QCOMPARE(sent.last().code, CommandCode::StopCounter);

    quint16 held[4] = {0, 0, 0, 0};
    QStringList replayed;
    bool counting = false;
    // Settling: a read comes at least two time constants after the four levels of a phase
    // were written, and at least one after the single level of the next point.
    int writesSinceRead = 0;
    double lastWrite = 0;
    for (int i = 0; i < log.size(); ++i) {
        const LogEntry &entry = log[i];
        if (entry.kind != QLatin1String("rx"))
            continue;
        if (entry.code == CommandCode::WriteReferenceLevel) {
            QCOMPARE(quint8(entry.payload[0]), quint8(channel - 1));
            held[quint8(entry.payload[1])]
                = qFromLittleEndian<quint16>(entry.payload.constData() + 2);
            ++writesSinceRead;
            lastWrite = entry.time;
        } else if (entry.code == CommandCode::StartCounter) {
            counting = true;
        } else if (entry.code == CommandCode::ReadCounts && counting) {
            // Exactly one level is being scanned, the three others are held at 65535.
            int scanned = -1;
            for (int level = 0; level < 4; ++level) {
                if (held[level] != 65535) {
                    QVERIFY2(scanned < 0, "two levels not held during a counts read");
                    scanned = level;
                }
            }
            QVERIFY(scanned >= 0);
            QVERIFY2(writesSinceRead == 4 || writesSinceRead == 1, qPrintable(replayed.join(' ')));
            const double settle = writesSinceRead == 4 ? 0.020 : 0.010;
            QVERIFY2(entry.time - lastWrite >= settle - 0.0005,
                     qPrintable(QString::number(entry.time - lastWrite)));
            writesSinceRead = 0;
            QVERIFY(i + 1 < log.size());
            QCOMPARE(log[i + 1].kind, "tx");
            QCOMPARE(log[i + 1].code, CommandCode::ReadCounts);
            replayed << QStringLiteral("%1,%2,%3")
                            .arg(scanned + 1)
                            .arg(held[scanned])
                            .arg(countOf(log[i + 1].payload, scanned));
        }
    }
    QCOMPARE(rows, replayed);
}

void TestCli::scanHeaderAndProposals()
{
    QVERIFY(m_sim.start());
    QCOMPARE(run({"set", "timeconst", "0.01"}).exitCode, 0);
    const CliResult result
        = run({"scan", "--channel", "2", "--start", "0", "--stop", "20000", "--step", "1000"}, true,
              true);
    QCOMPARE(result.exitCode, 0);
    QStringList keys;
    for (const QString &line : result.out.filter(QRegularExpression("^# ")))
        keys.append(line.section(QLatin1Char(':'), 0, 0));
    QCOMPARE(
        keys,
        QStringList({"# program", "# date", "# port", "# device type", "# identifier", "# firmware",
                     "# channel", "# time constant", "# levels", "# start", "# stop", "# step",
                     "# proposed levels", "# pulse height", "# peak widths",
                     "# photon-number weights", "# mean photon number", "# fit"}));
    QVERIFY(result.out.contains("# channel: 2"));
    QCOMPARE(result.out.at(12), "phase,level,count");
    // The levels the scan wrote before it began; nothing else is known of the channel.
    QVERIFY(result.out.contains("# levels: 0, 65535, 65535, 65535"));
    // Known only at the end: after the rows, and the same on standard error.
    const QStringList results = result.out.mid(result.out.size() - 6);
    const QString proposals = results.first().mid(int(qstrlen("# proposed levels: ")));
    QVERIFY2(proposals.startsWith("1: ") && proposals.contains(", 4: "), qPrintable(proposals));
    for (const QString &line : results)
        QVERIFY2(result.err.contains(line.mid(2)), qPrintable(line));
    // The simulator's pulses are 8000 high, and the model fits its curves.
    QVERIFY2(results.at(1).contains(QRegularExpression("^# pulse height: [78]\\d{3}\\.\\d$")),
             qPrintable(results.join('\n')));
    QVERIFY2(
        results.at(3).contains(QRegularExpression("^# photon-number weights: (0\\.\\d{4}, ){5}")),
        qPrintable(results.join('\n')));
    QVERIFY2(results.last().contains(QRegularExpression("^# fit: reduced chi-square \\d")),
             qPrintable(results.join('\n')));
}

void TestCli::scanMeasuresAgainAfterFailedRead()
{
    QVERIFY(m_sim.start());
    QCOMPARE(run({"set", "timeconst", "0.2"}).exitCode, 0);
    const int before = m_sim.logLines().size();

    QProcess cli;
    startCli(cli,
             {"--attempts", "1", "scan", "--channel", "1", "--start", "7", "--stop", "7", "--step",
              "1"});
    // Silence the counter while the first point settles, until it has ignored one read.
    QVERIFY(waitForLogLine(" rx 15", before));
    QVERIFY(m_sim.toggleSilence());
    QVERIFY(waitForLogLine(" rx 17 silent", before));
    QVERIFY(m_sim.toggleSilence());
    QVERIFY(cli.waitForFinished(RunTimeoutMs));

    QCOMPARE(cli.exitCode(), 0);
    const QStringList out = lines(cli.readAllStandardOutput());
    QCOMPARE(out.size(), 5);
    QCOMPARE(out.first(), "phase,level,count");
    for (int phase = 1; phase <= 4; ++phase)
        QVERIFY(out[phase].startsWith(QStringLiteral("%1,7,").arg(phase)));
    QCOMPARE(lines(cli.readAllStandardError()).filter("no answer").size(), 1);

    // The failed read was followed by a second read of the same level, with no write between.
    const QList<LogEntry> sent = received(SimLog::frames(m_sim.logLines().mid(before)));
    const int start = indexOfCode(sent, CommandCode::StartCounter);
    QCOMPARE(sent[start + 1].code, CommandCode::ReadCounts);
    int reads = 0;
    for (const LogEntry &entry : sent)
        reads += entry.code == CommandCode::ReadCounts;
    QCOMPARE(reads, 4);
}

void TestCli::scanGivesUpOnSilentDevice()
{
    QVERIFY(m_sim.start());
    QCOMPARE(run({"set", "timeconst", "0.2"}).exitCode, 0);
    const int before = m_sim.logLines().size();

    QProcess cli;
    startCli(cli,
             {"--attempts", "1", "scan", "--channel", "1", "--start", "0", "--stop", "100",
              "--step", "10"});
    QVERIFY(waitForLogLine(" rx 15", before));
    QVERIFY(m_sim.toggleSilence());
    QVERIFY(cli.waitForFinished(RunTimeoutMs));

    // Five reads of the first point, then the stop, all unanswered: no data, exit 3.
    QCOMPARE(cli.exitCode(), 3);
    QCOMPARE(lines(cli.readAllStandardOutput()), QStringList {"phase,level,count"});
    QCOMPARE(lines(cli.readAllStandardError()).filter("may still be counting").size(), 1);
    const QList<LogEntry> log = SimLog::frames(m_sim.logLines().mid(before));
    int reads = 0;
    for (const LogEntry &entry : log)
        reads += entry.kind == QLatin1String("rx") && entry.code == CommandCode::ReadCounts;
    QCOMPARE(reads, 5);
    QCOMPARE(log.last().code, CommandCode::StopCounter);
}

// Every counts answer 700 ms late, beyond the time-out: each read sends a second attempt and
// takes its first attempt's answer. The simulator numbers its counts answers (the 1-photon
// count is the number of the counts request answered), so an even number would be the answer
// owed to the previous read's second attempt, printed for this one.
void TestCli::lateCountsNeverPrintedForTheNextRead()
{
    QVERIFY(m_sim.start(
        {"--numbered-counts", "--late", "1", "--late-ms", "700", "--late-codes", "17"}));
    QCOMPARE(run({"set", "timeconst", "0.01"}).exitCode, 0);
    const CliResult watch = run({"watch", "--count", "3"});
    QCOMPARE(watch.exitCode, 0);
    const CliResult scan
        = run({"scan", "--channel", "1", "--start", "0", "--stop", "100", "--step", "100"});
    QCOMPARE(scan.exitCode, 0);
    QStringList numbers;
    for (const QString &line : watch.out.mid(1))
        numbers << line.section(',', 1, 1);
    for (const QString &line : scan.out.filter(QRegularExpression("^1,")))
        numbers << line.section(',', 2, 2);
    QCOMPARE(numbers.size(), 5);
    for (const QString &number : numbers)
        QVERIFY2(number.toInt() % 2 == 1, qPrintable(numbers.join(' ')));
}

// Another counter appears behind the port's name during a watch: it is asked for its type and
// identifier only, not even for the stop, and the watch ends with exit code 2.
void TestCli::anotherCounterBehindThePortEndsWatch()
{
    QTemporaryDir dir;
    const QString port = dir.filePath("kuvel-port");
    QVERIFY(m_sim.start({}, port));
    QProcess cli;
    cli.start(QStringLiteral(KUVEL_CLI_PATH), {"--port", port, "watch", "--period", "0.01"});
    QVERIFY(cli.waitForStarted());
    QVERIFY(waitForLogLine(" rx 17", 0));
    m_sim.stop();
    SimProcess other;
    // Its type text would break the message apart and clear the terminal, were it not escaped.
    QVERIFY(other.start({"--udid", "4B4300000000000000000002", "--type", "KuvelCounter\n\x1b[2J"},
                        port));
    QVERIFY(cli.waitForFinished(RunTimeoutMs));
    QCOMPARE(cli.exitCode(), 2);
    const QString err = QString::fromUtf8(cli.readAllStandardError());
    QVERIFY2(err.contains("another device answers on") && err.contains("4B4300000000000000000002"),
             qPrintable(err));
    QVERIFY2(err.contains("type \"KuvelCounter\\n\\x1b[2J\"") && err.count('\n') == 1,
             qPrintable(err));
    QList<quint8> codes;
    for (const LogEntry &entry : received(SimLog::frames(other.logLines())))
        codes << entry.code;
    QCOMPARE(codes, QList<quint8>({CommandCode::DeviceType, CommandCode::Identifier}));
}

// The counter comes back mid-scan with another type text and the same identifier, in its
// power-on state: the scan's channel, time constant and levels are written again and counting
// restarted before a further point is recorded, and the answer read under the power-on state
// is none of them.
void TestCli::restartedCounterRestoredMidScan()
{
    QTemporaryDir dir;
    const QString port = dir.filePath("kuvel-port");
    QVERIFY(m_sim.start({"--numbered-counts"}, port));
    QCOMPARE(run({"--port", port, "set", "timeconst", "0.01"}, false).exitCode, 0);
    QProcess cli;
    cli.start(QStringLiteral(KUVEL_CLI_PATH),
              {"--port", port, "scan", "--channel", "3", "--start", "0", "--stop", "39000",
               "--step", "1000"});
    QVERIFY(cli.waitForStarted());
    QVERIFY(QTest::qWaitFor([&] { return m_sim.logLines().filter(" rx 17").size() >= 5; }));
    m_sim.stop();
    QVERIFY(m_sim.start({"--numbered-counts", "--type", "KuvelCounter 2.0"}, port));
    QVERIFY(cli.waitForFinished(RunTimeoutMs));
    QCOMPARE(cli.exitCode(), 0);

    // In phase 1 the count is the number of the counts request. The restarted counter's first
    // one is no point when it was read before the state was restored (the line's loss met by a
    // counts read); met by a level write, the restore comes first and its first read counts.
    const QStringList requests = simRequests(m_sim.logLines());
    const int channelWritten = requests.indexOf("13 02");
    QVERIFY(channelWritten >= 0);
    const int readBeforeRestore = requests.mid(0, channelWritten).count("17");
    QVERIFY(readBeforeRestore <= 1);
    QList<int> levels;
    int firstAnswers = 0;
    for (const QString &line : lines(cli.readAllStandardOutput())) {
        const QStringList fields = line.split(',');
        if (fields.size() == 3 && fields.at(0) == "1") {
            levels << fields.at(1).toInt();
            firstAnswers += fields.at(2) == "1";
        }
    }
    QCOMPARE(firstAnswers, 2 - readBeforeRestore);
    QCOMPARE(levels.size(), 40);
    for (int i = 0; i < levels.size(); ++i)
        QCOMPARE(levels.at(i), 1000 * i);
    QVERIFY(requests.contains("15"));
    const QString err = QString::fromUtf8(cli.readAllStandardError());
    QVERIFY2(err.contains("opened again with type \"KuvelCounter 2.0\""), qPrintable(err));
}

void TestCli::signalStopsCounter_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("watch, Ctrl-C") << QStringList {"watch"} << int(SIGINT);
    QTest::newRow("watch with period, SIGTERM")
        << QStringList {"watch", "--period", "0.02"} << int(SIGTERM);
    QTest::newRow("scan, Ctrl-C") << QStringList {"scan",   "--channel", "2",      "--start", "0",
                                                  "--stop", "65535",     "--step", "1"}
                                  << int(SIGINT);
}

void TestCli::signalStopsCounter()
{
    QFETCH(QStringList, args);
    QFETCH(int, signalNumber);

    QVERIFY(m_sim.start());
    QCOMPARE(run({"set", "timeconst", "0.01"}).exitCode, 0);
    const int before = m_sim.logLines().size();

    QProcess cli;
    startCli(cli, args);
    // Wait for a few data lines, so the counter is surely counting.
    QStringList out;
    QElapsedTimer clock;
    clock.start();
    while (out.size() < 4 && clock.elapsed() < RunTimeoutMs) {
        cli.waitForReadyRead(100);
        out += lines(cli.readAllStandardOutput());
    }
    QVERIFY(out.size() >= 4);
    QVERIFY(::kill(pid_t(cli.processId()), signalNumber) == 0);
    QVERIFY(cli.waitForFinished(RunTimeoutMs));
    QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
    QCOMPARE(cli.exitCode(), 128 + signalNumber);

    // Every line printed is whole.
    out += lines(cli.readAllStandardOutput());
    const int fields = out.first().count(',');
    for (const QString &line : out)
        QCOMPARE(line.count(','), fields);

    const QList<LogEntry> sent = received(SimLog::frames(m_sim.logLines().mid(before)));
    const int start = indexOfCode(sent, CommandCode::StartCounter);
    QVERIFY(start >= 0);
    QVERIFY(indexOfCode(sent, CommandCode::StopCounter, start) > start);
    QCOMPARE(sent.last().code, CommandCode::StopCounter);
}

void TestCli::closedOutputStopsCounter()
{
    QVERIFY(m_sim.start());
    QCOMPARE(run({"set", "timeconst", "0.01"}).exitCode, 0);
    const int before = m_sim.logLines().size();

    // A reader that goes away must not leave the counter counting. The pipe status is the
    // program's own, as head itself ends well.
    QProcess shell;
    shell.start("bash",
                {"-c", "set -o pipefail; \"$0\" \"$@\" | head -n 3", KUVEL_CLI_PATH, "--port",
                 m_sim.portPath(), "watch"});
    QVERIFY(shell.waitForFinished(RunTimeoutMs));
    QCOMPARE(lines(shell.readAllStandardOutput()).size(), 3);
    QCOMPARE(shell.exitCode(), 128 + SIGPIPE);
    QCOMPARE(received(SimLog::frames(m_sim.logLines().mid(before))).last().code,
             CommandCode::StopCounter);
}

void TestCli::fullOutputFails_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("toFile");
    QTest::newRow("get, full device") << QStringList {"get", "channel"} << false;
    QTest::newRow("watch, full device")
        << QStringList {"watch", "--count", "3", "--period", "0.02"} << false;
    // bash's limit of 1 KiB: the file takes part of a line, then nothing.
    QTest::newRow("watch, file at its size limit")
        << QStringList {"watch", "--period", "0.01"} << true;
}

void TestCli::fullOutputFails()
{
    QFETCH(QStringList, args);
    QFETCH(bool, toFile);
    QVERIFY(m_sim.start());
    const int before = m_sim.logLines().size();
    QTemporaryDir dir;
    const QString path = toFile ? dir.filePath("out.csv") : QStringLiteral("/dev/full");
    QProcess shell;
    shell.start("bash",
                QStringList {"-c", "ulimit -f 1; \"$0\" \"${@:2}\" > \"$1\"", KUVEL_CLI_PATH, path,
                             "--port", m_sim.portPath()}
                    + plain(args));
    QVERIFY(shell.waitForFinished(RunTimeoutMs));
    QCOMPARE(shell.exitCode(), 4);
    const QStringList err = lines(shell.readAllStandardError());
    QCOMPARE(err.size(), 1);
    const char *reason = toFile ? std::strerror(EFBIG) : "No space left on device";
    QVERIFY2(err.first().contains(reason), qPrintable(err.first()));
    QCOMPARE(received(SimLog::frames(m_sim.logLines().mid(before))).last().code,
             quint8(args.first() == "watch" ? CommandCode::StopCounter : CommandCode::ReadChannel));
    QFile file(path);
    QVERIFY(!toFile || (file.open(QIODevice::ReadOnly) && file.readAll().endsWith('\n')));
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
