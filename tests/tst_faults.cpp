// Fault injection through the real serial link and the counter driver against the simulated
// counter: every value read is held against what the simulator logged it sent for that
// operation (see faultrun.h). kuvel-fault-report runs the same scenarios longer.
#include "commandcodes.h"
#include "cstarprotocolpc.h"
#include "curs485iointerface.h"
#include "faultrun.h"
#include "faultscenarios.h"
#include "kuvelcounterdriver.h"
#include "pseudoterminal.h"
#include "simlog.h"
#include "simprocess.h"

#include <QScopeGuard>
#include <QSocketNotifier>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Short answer time-out where the scenario allows it: a dropped answer costs one time-out,
// and what is tested does not depend on its length. The late scenario keeps the program's
// 500 ms, below the simulator's 700 ms lateness.
constexpr int ShortTimeoutMs = 150;
constexpr quint64 Seed = 7;

QString describe(const FaultScenarios::Result &result)
{
    const FaultFigures &f = result.figures;
    return QStringLiteral("sim %1: %2 ops, %3 failed, %4 requests, dropped %5, corrupted %6, "
                          "late %7, wrong code %8, unsolicited %9; problems: %10; odd: %11")
        .arg(result.simArguments)
        .arg(f.operations)
        .arg(f.failed)
        .arg(f.requests)
        .arg(f.answersDropped)
        .arg(f.answersCorrupted)
        .arg(f.answersLate)
        .arg(f.answersWrongCode)
        .arg(f.unsolicitedFrames)
        .arg(f.problems.join(QStringLiteral("; ")),
             f.oddities.mid(0, 3).join(QStringLiteral("; ")));
}

QByteArray countsFrame(quint32 first)
{
    const Kuvel_Counts_t counts {{first, first + 1, first + 2, first + 3}};
    const QByteArray payload = PayloadCodec<Kuvel_Counts_t>::encode(counts);
    cStarProtocolPC codec;
    codec.codeData(0x00, CommandCode::ReadCounts, quint8(payload.size()),
                   reinterpret_cast<const quint8 *>(payload.constData()));
    return QByteArray(reinterpret_cast<const char *>(codec.frame()), codec.frameLength());
}

// A device on a pseudo-terminal whose answers are given in advance, one per request in the
// order the requests come, each as raw bytes written after a delay. For timings the simulator
// does not make on purpose: a late answer that lands inside the next request's wait, a frame
// written in the same burst as the answer.
class ScriptedLine : public QObject
{
public:
    struct Reply
    {
        QByteArray bytes;
        int delayMs;
    };

    // The far end held open, so the pair lives while the link opens the port.
    explicit ScriptedLine(const QVector<Reply> &replies)
        : m_replies(replies), m_terminal(PseudoTerminal::FarEndHeldOpen)
    {
        if (!m_terminal.isValid())
            return;
        m_notifier = new QSocketNotifier(m_terminal.fd(), QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &ScriptedLine::readRequests);
    }

    QString portPath() const { return m_terminal.path(); }
    int requests() const { return m_requests; }
    // Bytes of the device's own, unasked.
    void send(const QByteArray &bytes) { QVERIFY(m_terminal.write(bytes)); }

private:
    void readRequests()
    {
        char buffer[256];
        ssize_t n;
        while ((n = ::read(m_terminal.fd(), buffer, sizeof(buffer))) > 0) {
            // The PC escapes every 0xFA inside a frame, so each one ends a request.
            for (ssize_t i = 0; i < n; ++i) {
                if (quint8(buffer[i]) != cAbstractStarProtocol::EndByte)
                    continue;
                if (m_requests < m_replies.size()) {
                    const Reply reply = m_replies.at(m_requests);
                    QTimer::singleShot(reply.delayMs, this,
                                       [this, reply] { QVERIFY(m_terminal.write(reply.bytes)); });
                }
                ++m_requests;
            }
        }
    }

    QVector<Reply> m_replies;
    PseudoTerminal m_terminal;
    QSocketNotifier *m_notifier = nullptr;
    int m_requests = 0;
};

using Scenario = FaultScenarios::Result (*)(int operations, quint64 seed, int answerTimeoutMs);

} // namespace

Q_DECLARE_METATYPE(Scenario)

class tst_Faults : public QObject
{
    Q_OBJECT

private slots:
    void logReadsRequestsAnswersAndMarkers();
    void checkSeesValuesTheDeviceDidNotSend();
    void droppedAnswersAreSentAgain();
    void corruptedAnswersAreNeverAccepted();
    void lateAndWrongCodeAnswersDoNotPassForTheAnswer();
    void unsolicitedCountsChangeNothingElse();
    void noValueButTheReadsOwnAnswer_data();
    void noValueButTheReadsOwnAnswer();
    void simulatorEchoesEachRequestBeforeItsNumberedAnswer();
    void lateAnswerIsNotTakenByTheNextReadOfTheSameCode();
    void frameRightBehindTheAnswerDoesNotReplaceTheValue();
    void quitDuringAWaitLetsTheWaitEnd();
    void frameReadBeforeTheRequestIsNotItsAnswer();
};

// The reading of the log the other cases rely on: answers at once, dropped, late (in the
// order of their requests), unsolicited, and the markers that end each operation.
void tst_Faults::logReadsRequestsAnswersAndMarkers()
{
    const QStringList lines {
        QStringLiteral("0.001 rx 12"),
        QStringLiteral("0.501 rx 12"),
        QStringLiteral("0.501 tx 12 00 00 80 3F"),
        QStringLiteral("0.502 rx 00 ignored addr=7E"),
        QStringLiteral("0.600 rx 17"),
        QStringLiteral("0.600 tx 17 01 00 00 00 02 00 00 00 03 00 00 00 04 00 00 00 dropped"),
        QStringLiteral("0.701 tx 12 00 00 20 41 late"),
        QStringLiteral("0.702 rx 14"),
        QStringLiteral("0.702 tx 14 03 corrupted at=4 noise=3"),
        QStringLiteral("0.703 tx 17 09 00 00 00 09 00 00 00 09 00 00 00 09 00 00 00 unsolicited"),
        QStringLiteral("0.704 rx 17"),
        QStringLiteral("0.705 rx 00 ignored addr=7E"),
        // Late answers overtaking each other pair by id; a cut, a longer answer, echoes.
        QStringLiteral("0.800 rx 17 seq=5 id=1 echoed"),
        QStringLiteral("0.801 rx 17 seq=6 id=2 echoed"),
        QStringLiteral("1.300 tx 17 06 00 00 00 late=600 short=4 id=2"),
        QStringLiteral("1.400 tx 17 05 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 late=900 id=1"),
        QStringLiteral("1.401 rx 12 echoed"),
        QStringLiteral("1.401 tx 12 00 00 80 3F 07 long=1"),
        QStringLiteral("1.402 rx 00 ignored addr=7E echoed"),
    };
    const SimLog log(lines, FaultRun::MarkerAddress);
    QVERIFY2(log.oddities().isEmpty(), qPrintable(log.oddities().join('\n')));
    QCOMPARE(log.operations().size(), 3);

    // The first request's answer went out late, after the operation had ended.
    const SimLog::Operation &first = log.operations().at(0);
    QCOMPARE(first.markerLine, 3);
    QCOMPARE(first.requests.size(), 2);
    QVERIFY(first.requests.at(0).answer.late);
    QCOMPARE(first.requests.at(0).answer.line, 6);
    QCOMPARE(first.requests.at(0).answer.payload, QByteArray::fromHex("00002041"));
    QVERIFY(!first.requests.at(1).answer.late);
    QCOMPARE(first.requests.at(1).answer.line, 2);

    const SimLog::Operation &second = log.operations().at(1);
    QCOMPARE(second.markerLine, 11);
    QCOMPARE(second.requests.size(), 3);
    QVERIFY(second.requests.at(0).answer.dropped);
    QVERIFY(second.requests.at(1).answer.corrupted);
    QCOMPARE(second.requests.at(1).answer.noiseBytes, 3);
    QVERIFY(!second.requests.at(2).answer.exists); // still to come when the log ended
    QCOMPARE(log.unsolicited().size(), 1);
    QCOMPARE(log.unsolicited().at(0).line, 9);

    const SimLog::Operation &third = log.operations().at(2);
    QCOMPARE(third.requests.size(), 3);
    QCOMPARE(third.requests.at(0).number, 5u);
    QCOMPARE(third.requests.at(0).answer.line, 15);
    QCOMPARE(third.requests.at(1).answer.line, 14);
    QVERIFY(third.requests.at(1).answer.shortened && third.requests.at(1).echoed);
    QVERIFY(third.requests.at(2).answer.lengthened && !third.requests.at(2).answer.shortened);
}

// A check that cannot fail shows nothing: a clean run passes, and the same run with one
// answer changed in the log, or one confirmation turned into a dropped answer, does not.
void tst_Faults::checkSeesValuesTheDeviceDidNotSend()
{
    SimProcess sim;
    QVERIFY(sim.start({QStringLiteral("--seed"), QString::number(Seed)}));
    FaultRun run(sim.portPath(), ShortTimeoutMs);
    QVERIFY(run.identify());
    QVERIFY(run.startCounting());
    for (int i = 0; i < 5; ++i)
        QVERIFY(run.readCounts());
    QVERIFY(run.writeChannel(3));
    QVERIFY(run.readChannel());
    sim.stop();

    const QStringList lines = sim.logLines();
    const FaultFigures clean = run.check(lines);
    QVERIFY2(clean.clean() && clean.oddities.isEmpty(),
             qPrintable(clean.problems.join('\n') + clean.oddities.join('\n')));
    QCOMPARE(clean.valuesChecked, 7); // the type and six values
    QCOMPARE(clean.distinctCounts, 5);

    QStringList changedValue = lines;
    const int counts
        = changedValue.indexOf(QRegularExpression(QStringLiteral(".* tx 17 .*counts=.*")));
    QVERIFY(counts >= 0);
    // The first byte of the first count, one higher.
    QStringList tokens = changedValue[counts].split(' ');
    tokens[3] = QStringLiteral("%1")
                    .arg((tokens[3].toUInt(nullptr, 16) + 1) & 0xFF, 2, 16, QLatin1Char('0'))
                    .toUpper();
    changedValue[counts] = tokens.join(' ');
    QCOMPARE(run.check(changedValue).wrongValues, 1);

    QStringList unconfirmed = lines;
    const int confirmation = unconfirmed.indexOf(QRegularExpression(QStringLiteral(".* tx 13")));
    QVERIFY(confirmation >= 0);
    unconfirmed[confirmation] += QStringLiteral(" dropped");
    QCOMPARE(run.check(unconfirmed).unconfirmedSuccesses, 1);
}

// 20 % of answers dropped: with 5 attempts every operation still succeeds (a failure needs
// five drops in a row, 0.2^5 = 0.03 % of operations), and every value is the device's.
void tst_Faults::droppedAnswersAreSentAgain()
{
    const FaultScenarios::Result result = FaultScenarios::drops(160, Seed, ShortTimeoutMs);
    QVERIFY(result.started);
    const FaultFigures &f = result.figures;
    QVERIFY2(f.oddities.isEmpty() && f.clean(), qPrintable(describe(result)));
    QCOMPARE(f.operations, 160);
    QCOMPARE(f.failed, 0);
    // The faults really happened: about a fifth of the answers were never sent.
    QVERIFY2(f.answersDropped > f.requests / 10 && f.answersDropped < f.requests * 3 / 10,
             qPrintable(describe(result)));
    QVERIFY(f.valuesChecked > 80);
}

// Answers with a changed byte and noise bytes between frames: a corrupted answer is never
// taken, the request is sent again, and every value read is what the device sent.
void tst_Faults::corruptedAnswersAreNeverAccepted()
{
    const FaultScenarios::Result result = FaultScenarios::corruption(200, Seed, ShortTimeoutMs);
    QVERIFY(result.started);
    const FaultFigures &f = result.figures;
    QVERIFY2(f.oddities.isEmpty() && f.clean(), qPrintable(describe(result)));
    QCOMPARE(f.failed, 0);
    QCOMPARE(f.missedAnswers, 0);
    QVERIFY2(f.answersCorrupted > 0 && f.noiseBursts > 10, qPrintable(describe(result)));
    QVERIFY(f.valuesChecked > 100);
}

// Answers after the time-out and answers with another read's code: neither makes another
// request succeed, and no value read comes from another request.
void tst_Faults::lateAndWrongCodeAnswersDoNotPassForTheAnswer()
{
    const FaultScenarios::Result result = FaultScenarios::lateAndWrongCode(160, Seed);
    QVERIFY(result.started);
    const FaultFigures &f = result.figures;
    QVERIFY2(f.oddities.isEmpty() && f.clean(), qPrintable(describe(result)));
    QCOMPARE(f.failed, 0);
    QVERIFY2(f.answersLate > 0 && f.answersWrongCode > 0, qPrintable(describe(result)));
}

// Counts sent unasked every 3 ms while counting: counts reads still bring new counts, and
// channel and time-constant reads answer exactly what the device sent for them.
void tst_Faults::unsolicitedCountsChangeNothingElse()
{
    const FaultScenarios::Result result = FaultScenarios::unsolicited(200, Seed, ShortTimeoutMs);
    QVERIFY(result.started);
    const FaultFigures &f = result.figures;
    QVERIFY2(f.oddities.isEmpty() && f.clean(), qPrintable(describe(result)));
    QCOMPARE(f.failed, 0);
    QVERIFY2(f.unsolicitedFrames > 20, qPrintable(describe(result)));
    // Every counts read brought a new record but those that took a frame sent unasked (the
    // last counts again); how many did depends on the machine's speed, not on the program.
    QVERIFY2(f.countsChecked > 80 && f.distinctCounts >= f.countsChecked - f.unsolicitedTaken,
             qPrintable(describe(result)
                        + QStringLiteral(", counts reads %1, distinct %2, "
                                         "unsolicited taken %3")
                              .arg(f.countsChecked)
                              .arg(f.distinctCounts)
                              .arg(f.unsolicitedTaken)));
}

// The faults of an answer that is not the read's own: counts answers 600-1500 ms late (and
// overtaking each other), answers cut short, the echo of the request, another device behind
// the port. No value may be shown that is not an answer to the read that shows it.
void tst_Faults::noValueButTheReadsOwnAnswer_data()
{
    QTest::addColumn<Scenario>("scenario");
    // Late answers keep the program's 500 ms time-out, below their lateness.
    QTest::newRow("late 20 %") << Scenario(
        [](int n, quint64 s, int) { return FaultScenarios::lateCounts(n, s, 0.2); });
    QTest::newRow("late 50 %") << Scenario(
        [](int n, quint64 s, int) { return FaultScenarios::lateCounts(n, s, 0.5); });
    QTest::newRow("late 100 %") << Scenario(
        [](int n, quint64 s, int) { return FaultScenarios::lateCounts(n, s, 1.0); });
    QTest::newRow("late, three codes")
        << Scenario([](int n, quint64 s, int) { return FaultScenarios::lateMixedCodes(n, s); });
    QTest::newRow("short and long") << Scenario(&FaultScenarios::shortAndLong);
    QTest::newRow("echo") << Scenario(&FaultScenarios::echo);
    QTest::newRow("swapped device") << Scenario(&FaultScenarios::swappedDevice);
}

void tst_Faults::noValueButTheReadsOwnAnswer()
{
    QFETCH(Scenario, scenario);
    constexpr int Operations = 60;
    const FaultScenarios::Result result = scenario(Operations, Seed, ShortTimeoutMs);
    QVERIFY(result.started);
    const FaultFigures &f = result.figures;
    QVERIFY2(f.oddities.isEmpty() && f.clean(), qPrintable(describe(result)));
    QCOMPARE(f.operations, Operations);
}

// An echoing adapter sends each request back before the answer, and numbered counts carry
// the running number of the counts request they answer.
void tst_Faults::simulatorEchoesEachRequestBeforeItsNumberedAnswer()
{
    SimProcess sim;
    QVERIFY(sim.start({QStringLiteral("--echo"), QStringLiteral("--numbered-counts")}));
    const int fd = ::open(QFile::encodeName(sim.portPath()).constData(), O_RDWR | O_NOCTTY);
    QVERIFY(fd >= 0);
    const auto closeFd = qScopeGuard([fd] { ::close(fd); });
    termios tio;
    QCOMPARE(::tcgetattr(fd, &tio), 0);
    ::cfmakeraw(&tio);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 20; // tenths of a second per read
    QCOMPARE(::tcsetattr(fd, TCSANOW, &tio), 0);

    cStarProtocolPC codec;
    codec.codeData(0x00, CommandCode::ReadCounts, 0, nullptr);
    const QByteArray request(reinterpret_cast<const char *>(codec.frame()), codec.frameLength());
    for (quint32 number = 1; number <= 2; ++number) {
        QCOMPARE(::write(fd, request.constData(), size_t(request.size())), ssize_t(request.size()));
        QByteArray got;
        char buffer[256];
        ssize_t n;
        // Each frame ends with the only unescaped end byte in it: the echo's, then the answer's.
        while (got.count(char(cAbstractStarProtocol::EndByte)) < 2
               && (n = ::read(fd, buffer, sizeof(buffer))) > 0)
            got.append(buffer, int(n));
        QVERIFY2(got.startsWith(request), got.toHex(' ').constData());
        codec.clearBuffer();
        codec.addData(reinterpret_cast<const quint8 *>(got.constData()) + request.size(),
                      uint(got.size() - request.size()));
        QCOMPARE(codec.encodeBuffer(), int(cAbstractStarProtocol::DecodeOk));
        QCOMPARE(codec.headPacket().command, CommandCode::ReadCounts);
        QCOMPARE(qFromLittleEndian<quint32>(codec.buffer()), number);
    }
}

// The code alone cannot tell a late answer from the answer to a new request with the same
// code. The first read times out, is sent again and answered; the answer to its first request
// comes after that, inside the wait of the next read of counts, whose own answer takes 300 ms.
// The next read must wait for the late answer before it asks, and so read its own value.
void tst_Faults::lateAnswerIsNotTakenByTheNextReadOfTheSameCode()
{
    ScriptedLine line({{countsFrame(100), 700}, {countsFrame(200), 0}, {countsFrame(300), 300}});
    QVERIFY(!line.portPath().isEmpty());
    cuRs485IOInterface link;
    link.setPortName(line.portPath());
    KuvelCounterDriver driver;
    driver.setIOInterface(&link);

    bool ok = false;
    QCOMPARE(driver.counts()->getValueSync(&ok, 5).count[0], 200u);
    QVERIFY(ok);
    QCOMPARE(line.requests(), 2);
    QCOMPARE(driver.counts()->getValueSync(&ok, 5).count[0], 300u);
    QVERIFY(ok);
    QCOMPARE(line.requests(), 3);
}

// A device may send a frame of its own right behind an answer; read in one go with it, that
// frame must not replace the value of the answer.
void tst_Faults::frameRightBehindTheAnswerDoesNotReplaceTheValue()
{
    ScriptedLine line({{countsFrame(100) + countsFrame(900), 0}});
    QVERIFY(!line.portPath().isEmpty());
    cuRs485IOInterface link;
    link.setPortName(line.portPath());
    KuvelCounterDriver driver;
    driver.setIOInterface(&link);

    bool ok = false;
    const Kuvel_Counts_t counts = driver.counts()->getValueSync(&ok, 1);
    QVERIFY(ok);
    QCOMPARE(counts.count[0], 100u);
    QCOMPARE(counts.count[3], 103u);
    // The frame behind it is still taken in, as every message is.
    QCOMPARE(driver.counts()->currentValue().count[0], 900u);
}

// The application is told to quit while a read waits on a silent device (as when the window
// is closed during a poll): the wait still ends by its time-outs, and the application quits,
// instead of spinning forever in a wait whose event loop can no longer run.
void tst_Faults::quitDuringAWaitLetsTheWaitEnd()
{
    ScriptedLine line({});
    QVERIFY(!line.portPath().isEmpty());
    cuRs485IOInterface link;
    link.setPortName(line.portPath());
    KuvelCounterDriver driver;
    driver.setIOInterface(&link);
    driver.setTimeOut(100);

    // A hung wait lets no timer of this thread run, so the watchdog is a thread of its own.
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(mutex);
        if (!finished.wait_for(lock, std::chrono::seconds(20), [&] { return done; })) {
            std::fprintf(stderr, "FAIL: the wait did not end after the application quit\n");
            std::_Exit(1);
        }
    });

    bool ok = true;
    bool readEnded = false;
    QTimer::singleShot(0, [&] {
        driver.counts()->getValueSync(&ok, 3);
        readEnded = true;
    });
    QTimer::singleShot(50, &QCoreApplication::quit);
    QCoreApplication::exec();
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
    }
    finished.notify_one();
    watchdog.join();

    QVERIFY(readEnded);
    QVERIFY(!ok);
    QCOMPARE(line.requests(), 3);
}

// A frame the device sent unasked has been read from the line, but the link takes bytes in
// through a queued call, so it still waits in the event queue when the next request goes out.
// It came before the request and must not pass for its answer.
void tst_Faults::frameReadBeforeTheRequestIsNotItsAnswer()
{
    ScriptedLine line({{countsFrame(100), 0}, {countsFrame(200), 20}});
    QVERIFY(!line.portPath().isEmpty());
    cuRs485IOInterface link;
    link.setPortName(line.portPath());
    KuvelCounterDriver driver;
    driver.setIOInterface(&link);
    bool ok = false;
    QCOMPARE(driver.counts()->getValueSync(&ok, 1).count[0], 100u);

    line.send(countsFrame(700));
    QThread::msleep(20);
    // One pass: the port reads the bytes and announces them; the link's call is queued.
    QCoreApplication::processEvents();
    QCOMPARE(driver.counts()->getValueSync(&ok, 1).count[0], 200u);
    QVERIFY(ok);
    QCOMPARE(line.requests(), 2);
}

QTEST_GUILESS_MAIN(tst_Faults)
#include "tst_faults.moc"
