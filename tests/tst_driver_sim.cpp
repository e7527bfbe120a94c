// The counter driver through the real RS-485 link and the simulated counter on a
// pseudo-terminal: every value makes the whole trip through frames, CRCs and the line.

#include "commandcodes.h"
#include "curs485iointerface.h"
#include "cutcpiointerface.h"
#include "hex.h"
#include "kuvelcounterdriver.h"
#include "simlog.h"
#include "simprocess.h"

#include <QtTest>

#include <ctime>
#include <memory>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int Attempts = 3;

QByteArray udidBytes(const cUDID &udid)
{
    return QByteArray(reinterpret_cast<const char *>(udid.bytes), sizeof(udid.bytes));
}

// One logged frame of the simulator: direction, code and payload; tags are dropped.
struct LoggedFrame
{
    QString direction;
    QByteArray bytes; // code, then payload
};

QVector<LoggedFrame> loggedFrames(const SimProcess &sim, const QString &direction)
{
    QVector<LoggedFrame> frames;
    for (const SimLog::Line &line : SimLog::frames(sim.logLines())) {
        if (line.kind == direction)
            frames.append({direction, char(line.code) + line.payload});
    }
    return frames;
}

// The driver on a link to a freshly started simulator.
struct SimCounter
{
    bool start()
    {
        if (!sim.start())
            return false;
        link.setPortName(sim.portPath());
        driver.setIOInterface(&link);
        return true;
    }
    SimProcess sim;
    cuRs485IOInterface link;
    KuvelCounterDriver driver;
};

// A loopback port whose server never answers a connection, as a host behind a firewall that
// drops it: its listener takes no connection off its queue (backlog 0), and one connection
// holds that queue full, so the system drops every later connection request unanswered.
class UnansweredPort
{
public:
    UnansweredPort()
    {
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof(address);
        m_listener = socket(AF_INET, SOCK_STREAM, 0);
        if (bind(m_listener, reinterpret_cast<sockaddr *>(&address), size) != 0
            || listen(m_listener, 0) != 0
            || getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &size) != 0)
            return;
        m_filler = socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(m_filler, reinterpret_cast<sockaddr *>(&address), size) == 0)
            m_port = ntohs(address.sin_port);
    }
    ~UnansweredPort()
    {
        ::close(m_filler);
        ::close(m_listener);
    }
    quint16 port() const { return m_port; }

private:
    int m_listener = -1;
    int m_filler = -1;
    quint16 m_port = 0;
};

} // namespace

class TestDriverSim : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void deviceInfoReadsAllSix();
    void channelRoundTrip();
    void timeConstRoundTrip();
    void countsRoundTrip();
    void referenceLevelArrivesExact();
    void silentCounter();
    void adapterThatStartsEchoingLate();
    void unansweredServerHoldsAnOperationOnce();

private:
    std::unique_ptr<SimCounter> m_counter;
};

void TestDriverSim::init()
{
    m_counter = std::make_unique<SimCounter>();
    QVERIFY2(m_counter->start(), "the simulated counter did not start");
}

void TestDriverSim::cleanup()
{
    m_counter.reset();
}

void TestDriverSim::deviceInfoReadsAllSix()
{
    KuvelCounterDriver &driver = m_counter->driver;
    QVERIFY(driver.getDeviceInfo());
    QCOMPARE(driver.deviceType()->currentValue(), QStringLiteral("KuvelCounter"));
    QVERIFY(!driver.modificationVersion()->currentValue().isEmpty());
    QVERIFY(!driver.hardwareVersion()->currentValue().isEmpty());
    QVERIFY(!driver.firmwareVersion()->currentValue().isEmpty());
    QVERIFY(!driver.deviceDescription()->currentValue().isEmpty());

    // Each value is what the device sent, up to its zero byte; the identifier holds the
    // frame's reserved byte values, so it also shows both sides escape them.
    const QVector<LoggedFrame> answers = loggedFrames(m_counter->sim, QStringLiteral("tx"));
    QCOMPARE(answers.size(), 6);
    const QList<quint8> order = {CommandCode::DeviceType,        CommandCode::ModificationVersion,
                                 CommandCode::HardwareVersion,   CommandCode::FirmwareVersion,
                                 CommandCode::DeviceDescription, CommandCode::Identifier};
    for (int i = 0; i < answers.size(); ++i)
        QCOMPARE(quint8(answers[i].bytes.at(0)), order[i]);
    const auto textOf = [](const LoggedFrame &frame) {
        const QByteArray payload = frame.bytes.mid(1);
        return QString::fromUtf8(payload.left(payload.indexOf('\0')));
    };
    QCOMPARE(driver.modificationVersion()->currentValue(), textOf(answers[1]));
    QCOMPARE(driver.hardwareVersion()->currentValue(), textOf(answers[2]));
    QCOMPARE(driver.firmwareVersion()->currentValue(), textOf(answers[3]));
    QCOMPARE(driver.deviceDescription()->currentValue(), textOf(answers[4]));
    QCOMPARE(udidBytes(driver.UDID()->currentValue()), answers[5].bytes.mid(1));
}

void TestDriverSim::channelRoundTrip()
{
    DriverProperty<unsigned char> *channel = m_counter->driver.currentChannel();
    bool ok = false;
    QCOMPARE(channel->getValueSync(&ok, Attempts), quint8(0));
    QVERIFY(ok);
    for (quint8 value : {quint8(5), quint8(7), quint8(0)}) {
        channel->setValueSync(value, &ok, Attempts);
        QVERIFY(ok);
        QCOMPARE(channel->getValueSync(&ok, Attempts), value);
        QVERIFY(ok);
    }

    // A channel the device does not have goes unconfirmed and changes nothing.
    channel->setValueSync(8, &ok, 1);
    QVERIFY(!ok);
    QCOMPARE(channel->getValueSync(&ok, Attempts), quint8(0));
    QVERIFY(ok);
}

void TestDriverSim::timeConstRoundTrip()
{
    DriverProperty<float> *timeConst = m_counter->driver.timeConst();
    bool ok = false;
    for (float value : {0.25f, 0.01f, 2.5f}) {
        timeConst->setValueSync(value, &ok, Attempts);
        QVERIFY(ok);
        QCOMPARE(timeConst->getValueSync(&ok, Attempts), value);
        QVERIFY(ok);
    }
    // On a newly opened line a type read goes first: its answer shows whether the line echoes.
    const QVector<LoggedFrame> requests = loggedFrames(m_counter->sim, QStringLiteral("rx"));
    QVERIFY(requests.size() > 1);
    QCOMPARE(requests.at(0).bytes, hex("06"));
    QCOMPARE(requests.at(1).bytes, hex("11 00 00 80 3E"));
}

void TestDriverSim::countsRoundTrip()
{
    KuvelCounterDriver &driver = m_counter->driver;
    bool ok = false;
    driver.timeConst()->setValueSync(0.01f, &ok, Attempts);
    QVERIFY(ok);
    driver.startCounter()->executeSync(&ok, Attempts);
    QVERIFY(ok);

    for (int read = 0; read < 3; ++read) {
        const Kuvel_Counts_t counts = driver.counts()->getValueSync(&ok, Attempts);
        QVERIFY(ok);
        const QVector<LoggedFrame> answers = loggedFrames(m_counter->sim, QStringLiteral("tx"));
        QVERIFY(!answers.isEmpty());
        const LoggedFrame &last = answers.last();
        QCOMPARE(quint8(last.bytes.at(0)), CommandCode::ReadCounts);
        QCOMPARE(last.bytes.size(), 17);
        const QByteArray payload = last.bytes.mid(1);
        for (int i = 0; i < 4; ++i)
            QCOMPARE(counts.count[i],
                     qFromLittleEndian<quint32>(reinterpret_cast<const uchar *>(payload.constData())
                                                + 4 * i));
        // Higher thresholds count fewer pulses, so the device really measured something.
        QVERIFY(counts.count[0] > 0);
        QVERIFY(counts.count[0] >= counts.count[3]);
    }

    driver.stopCounter()->executeSync(&ok, Attempts);
    QVERIFY(ok);
}

void TestDriverSim::referenceLevelArrivesExact()
{
    DriverPropertyWriteOnly<Kuvel_RefLevel_t> *level = m_counter->driver.referenceLevel();
    bool ok = false;
    // Level index 2 of channel index 0 at 0x1234, and level 4 of the operator's channel 1 at
    // 1000; a value whose bytes are the frame's reserved ones must arrive unchanged too.
    level->setValueSync({0, 2, 0x1234}, &ok, Attempts);
    QVERIFY(ok);
    level->setValueSync({0, 3, 1000}, &ok, Attempts);
    QVERIFY(ok);
    level->setValueSync({7, 2, 0xFAF9}, &ok, Attempts);
    QVERIFY(ok);

    QVector<QByteArray> writes;
    for (const LoggedFrame &frame : loggedFrames(m_counter->sim, QStringLiteral("rx")))
        writes.append(frame.bytes);
    QCOMPARE(writes,
             QVector<QByteArray>(
                 {hex("06"), hex("10 00 02 34 12"), hex("10 00 03 E8 03"), hex("10 07 02 F9 FA")}));
}

void TestDriverSim::silentCounter()
{
    // Restarted silent before the link opened its port, so the link meets only the new one.
    SimProcess &sim = m_counter->sim;
    QVERIFY(sim.start({QStringLiteral("--silent")}));
    m_counter->link.setPortName(sim.portPath());

    bool ok = true;
    m_counter->driver.timeConst()->setCurrentValue(0.5f);
    QElapsedTimer wall;
    const std::clock_t cpuStart = std::clock();
    wall.start();
    QCOMPARE(m_counter->driver.timeConst()->getValueSync(&ok, 5), 0.5f);
    const qint64 wallMs = wall.elapsed();
    const double cpuMs = 1000.0 * double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    QVERIFY(!ok);

    QTRY_COMPARE(loggedFrames(sim, QStringLiteral("rx")).size(), 5);
    for (const LoggedFrame &request : loggedFrames(sim, QStringLiteral("rx")))
        QCOMPARE(request.bytes, hex("12"));
    // With the port open the wait must still sleep between events.
    qInfo("a %lld ms wait on the silent counter used %.1f ms of process CPU time", wallMs, cpuMs);
    QVERIFY2(cpuMs < 0.25 * double(wallMs), qPrintable(QString("%1 ms CPU").arg(cpuMs)));
}

// The adapter misses the echo of the first request, so that exchange looks like a plain
// line's; the echoes of the reads that follow must still never pass for their (empty) texts.
void TestDriverSim::adapterThatStartsEchoingLate()
{
    SimProcess &sim = m_counter->sim;
    QVERIFY(sim.start({QStringLiteral("--echo-from"), QStringLiteral("2")}));
    m_counter->link.setPortName(sim.portPath());
    KuvelCounterDriver &driver = m_counter->driver;
    bool ok = false;
    QCOMPARE(driver.deviceType()->getValueSync(&ok, 1), QStringLiteral("KuvelCounter"));
    QCOMPARE(driver.modificationVersion()->getValueSync(&ok, 1), QStringLiteral("KC-4"));
    QCOMPARE(driver.hardwareVersion()->getValueSync(&ok, 1), QStringLiteral("1.0"));
    QCOMPARE(m_counter->link.echo(), cStarFrameReader::EchoYes);
}

// Connecting runs the event loop (a window repaints), and a server that never answers holds a
// whole operation for the connection's bound once, not for every attempt.
void TestDriverSim::unansweredServerHoldsAnOperationOnce()
{
    UnansweredPort server;
    QVERIFY(server.port() != 0);
    cuTcpIOInterface link;
    link.setPortName(QStringLiteral("socket://127.0.0.1:%1").arg(server.port()));
    KuvelCounterDriver driver;
    driver.setTimeOut(50);
    driver.setIOInterface(&link);

    QElapsedTimer clock;
    qint64 lastTick = 0;
    qint64 longestGap = 0;
    QTimer ticks;
    connect(&ticks, &QTimer::timeout, [&] {
        longestGap = qMax(longestGap, clock.elapsed() - lastTick);
        lastTick = clock.elapsed();
    });
    ticks.start(20);
    clock.start();
    bool ok = true;
    driver.deviceType()->getValueSync(&ok, 5);
    const qint64 tookMs = clock.elapsed();
    QVERIFY(!ok);
    QVERIFY(!link.isOpen());
    QVERIFY2(link.openErrorText().contains(QLatin1String("no answer from the server")),
             qPrintable(link.openErrorText()));
    QVERIFY2(longestGap < 250, qPrintable(QString("no event for %1 ms").arg(longestGap)));
    QVERIFY2(tookMs < 2 * cuTcpIOInterface::ConnectTimeoutMs,
             qPrintable(QString("the operation took %1 ms").arg(tookMs)));
}

QTEST_MAIN(TestDriverSim)
#include "tst_driver_sim.moc"
