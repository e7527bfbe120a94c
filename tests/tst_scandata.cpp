#include "commandcodes.h"
#include "counterclient.h"
#include "detectorfit.h"
#include "fakelink.h"
#include "kuvelcountermodel.h"
#include "levelproposal.h"
#include "precisewake.h"
#include "scandata.h"
#include "scansequence.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <sys/resource.h>

#include <cmath>

namespace {

// The simulator's pulse heights: n photons around n * 8000.
constexpr int PhotonHeight = 8000;

// One phase of a scan measured on the simulator's own model.
QVector<QPointF> simulatedCurve(int phase, int start, int stop, int step, float timeConst,
                                quint64 seed)
{
    KuvelCounterModel model(seed);
    QByteArray answer, payload(4, '\0');
    qToLittleEndian<float>(timeConst, payload.data());
    model.handle(CommandCode::WriteTimeConst, payload, &answer);
    model.handle(CommandCode::StartCounter, {}, &answer);
    QVector<QPointF> curve;
    for (int level = start; level <= stop; level += step) {
        QByteArray record(4, '\0');
        record[0] = 0;
        record[1] = char(phase - 1);
        qToLittleEndian<quint16>(quint16(level), record.data() + 2);
        model.handle(CommandCode::WriteReferenceLevel, record, &answer);
        model.handle(CommandCode::ReadCounts, {}, &answer);
        const quint32 count = qFromLittleEndian<quint32>(answer.constData() + 4 * (phase - 1));
        curve.append(QPointF(level, count));
    }
    return curve;
}

// A scan of all four phases on the model with this detector and light, with Poisson counts.
// The baseline crossings are just the pulses without photons, so that the photon-number
// weights are those of the light.
QVector<QVector<QPointF>> poissonScan(KuvelCounterModel::Detector detector, float timeConst,
                                      quint64 seed)
{
    KuvelCounterModel model;
    model.setDetector(detector);
    detector.noiseRate = 100000.0 * model.photonShare(0);
    model.setDetector(detector);
    QByteArray answer, payload(4, '\0');
    qToLittleEndian<float>(timeConst, payload.data());
    model.handle(CommandCode::WriteTimeConst, payload, &answer);
    SimRandom random(seed);
    QVector<QVector<QPointF>> curves(4);
    for (int phase = 1; phase <= 4; ++phase) {
        for (int level = 0; level <= 49500; level += 500) {
            QByteArray record(4, '\0');
            record[1] = char(phase - 1);
            qToLittleEndian<quint16>(quint16(level), record.data() + 2);
            model.handle(CommandCode::WriteReferenceLevel, record, &answer);
            curves[phase - 1].append(
                QPointF(level, double(random.poisson(model.expectedCount(phase - 1)))));
        }
    }
    return curves;
}

} // namespace

// What a scan means apart from the window: its sequence, the proposed levels and the saved file.
class TestScanData : public QObject
{
    Q_OBJECT
private slots:
    void sequence_data();
    void sequence();
    void settleDelayWakesOnceNeverEarly();
    void proposalInSimulatorValley_data();
    void proposalInSimulatorValley();
    void noProposal_data();
    void noProposal();
    void fitFindsDetector_data();
    void fitFindsDetector();
    void csvReadsBack();
    void csvReadWithinLimits_data();
    void csvReadWithinLimits();
    void csvReadByPandas();
};

void TestScanData::sequence_data()
{
    QTest::addColumn<quint32>("start");
    QTest::addColumn<quint32>("stop");
    QTest::addColumn<quint32>("step");
    QTest::addColumn<float>("timeConst");
    QTest::addColumn<int>("silentCode"); // a request the counter leaves unanswered, or -1
    QTest::addColumn<QVector<int>>("delays"); // before each point, the first delay included
    QTest::addColumn<int>("outcome"); // of the last step
    QTest::addColumn<QVector<int>>("held"); // the levels the channel holds at the end
    using S = ScanSequence;
    const QVector<int> third = {1000, 1000, 2000};
    const QVector<int> fourLevels = {65535, 65535, 65535, 300};
    QTest::newRow("three points a phase")
        << 100u << 300u << 100u << 1.0f << -1
        << QVector<int> {2000} + third + third + third + QVector<int> {1000, 1000}
        << int(S::Complete) << fourLevels;
    QTest::newRow("stop between two points")
        << 100u << 350u << 100u << 1.0f << -1
        << QVector<int> {2000} + third + third + third + QVector<int> {1000, 1000}
        << int(S::Complete) << fourLevels;
    QTest::newRow("start above stop")
        << 500u << 300u << 100u << 1.0f << -1 << QVector<int> {2000, 2000, 2000, 2000}
        << int(S::Complete) << QVector<int> {65535, 65535, 65535, 500};
    // A float time constant of 0.01 s lies just below 0.01.
    QTest::newRow("0.01 s as a float")
        << 0u << 10u << 10u << 0.01f << -1 << QVector<int> {20, 10, 20, 10, 20, 10, 20, 10}
        << int(S::Complete) << QVector<int> {65535, 65535, 65535, 10};
    QTest::newRow("step 0 stays at start")
        << 100u << 300u << 0u << 1.0f << -1 << QVector<int> {2000, 1000, 1000, 1000, 1000, 1000}
        << int(S::Measure) << QVector<int> {100, 65535, 65535, 65535};
    QTest::newRow("no counts") << 100u << 300u << 100u << 1.0f << int(CommandCode::ReadCounts)
                               << QVector<int> {2000, 1000, 1000, 1000, 1000} << int(S::Failed)
                               << QVector<int> {100, 65535, 65535, 65535};
}

void TestScanData::sequence()
{
    QFETCH(quint32, start);
    QFETCH(quint32, stop);
    QFETCH(quint32, step);
    QFETCH(float, timeConst);
    QFETCH(int, silentCode);
    QFETCH(QVector<int>, delays);
    QFETCH(int, outcome);
    QFETCH(QVector<int>, held);
    auto *link = new FakeLink;
    for (quint8 code : {CommandCode::WriteChannel, CommandCode::WriteReferenceLevel,
                        CommandCode::ReadCounts}) {
        if (code != silentCode)
            link->answer(code,
                         FakeLink::Reply().withData(
                             code == CommandCode::ReadCounts ? QByteArray(16, 1) : ""));
    }
    CounterClient client(link, QStringLiteral("fake"), 1);
    client.driver()->setTimeOut(20);
    ScanSequence sequence(&client, 3, start, stop, step);
    QVERIFY(sequence.begin());

    // One step after each delay: the last one ends the scan, or still measures.
    QVector<int> seen {sequence.start(double(timeConst))};
    ScanSequence::Step last {ScanSequence::Measure};
    while (seen.size() <= delays.size() && last.outcome <= ScanSequence::Retry) {
        last = sequence.step();
        seen.append(last.delayMs);
    }
    seen.removeLast();
    QCOMPARE(seen, delays);
    QCOMPARE(int(last.outcome), outcome);
    QCOMPARE(QVector<int>(sequence.heldLevels(), sequence.heldLevels() + 4), held);
    // Every level record is for the scanned channel, counted from 0 by the device.
    for (const FakeLink::Sent &sent : link->sent()) {
        if (sent.command == CommandCode::WriteReferenceLevel)
            QCOMPARE(int(sent.payload.at(0)), 2);
    }
    if (outcome == ScanSequence::Failed)
        QCOMPARE(sequence.failedReads(), ScanSequence::MaxFailedReads);
}

// The wake-up beside a settle timer: the timer still never fires before its delay, and once it
// has fired the loop sleeps again instead of spinning on a wake-up left unread.
void TestScanData::settleDelayWakesOnceNeverEarly()
{
    const auto cpuMs = [] {
        rusage usage {};
        getrusage(RUSAGE_SELF, &usage);
        return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0
            + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
    };
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    PreciseWake wake;
    QElapsedTimer clock;
    int fired = 0;
    connect(&timer, &QTimer::timeout, [&] {
        QVERIFY2(clock.nsecsElapsed() >= 3000000,
                 qPrintable(QString::number(clock.nsecsElapsed())));
        ++fired;
    });
    for (int step = 1; step <= 3; ++step) {
        clock.start();
        timer.start(3);
        wake.arm(3);
        // Work after the start, as drawing a point is.
        while (clock.nsecsElapsed() < 500000) { }
        QTRY_COMPARE_WITH_TIMEOUT(fired, step, 1000);
    }
    const double cpuBefore = cpuMs();
    QTest::qWait(200);
    QVERIFY2(cpuMs() - cpuBefore < 100, qPrintable(QString::number(cpuMs() - cpuBefore)));
}

void TestScanData::proposalInSimulatorValley_data()
{
    QTest::addColumn<int>("phase");
    QTest::addColumn<int>("start");
    QTest::addColumn<float>("timeConst");
    QTest::addColumn<quint64>("seed");
    for (quint64 seed = 1; seed <= 3; ++seed) {
        for (int phase = 1; phase <= 3; ++phase)
            QTest::addRow("phase %d, seed %d", phase, int(seed)) << phase << 0 << 1.0f << seed;
        // The 4-photon step is 1.5 % of the pulses: it stands out of the noise only with
        // many counts.
        QTest::addRow("phase 4, seed %d", int(seed)) << 4 << 0 << 10.0f << seed;
    }
    // Without the noise edge at 0 the peaks still tell their photon numbers by their levels.
    QTest::newRow("phase 2 from 5000") << 2 << 5000 << 1.0f << quint64(1);
    QTest::newRow("phase 1, 0.1 s") << 1 << 0 << 0.1f << quint64(1);
}

void TestScanData::proposalInSimulatorValley()
{
    QFETCH(int, phase);
    QFETCH(int, start);
    QFETCH(float, timeConst);
    QFETCH(quint64, seed);
    const LevelProposal proposal = LevelProposal::fromCurve(
        simulatedCurve(phase, start, 45000, 500, timeConst, seed), phase);
    QVERIFY2(proposal.isValid(), qPrintable(proposal.reason()));
    // On the flat part between the peaks of n - 1 and n photons, clear of both.
    QVERIFY2(proposal.level() > (phase - 1) * PhotonHeight + 1500
                 && proposal.level() < phase * PhotonHeight - 1500,
             qPrintable(proposal.text()));
}

void TestScanData::noProposal_data()
{
    QTest::addColumn<QVector<QPointF>>("curve");
    QTest::addColumn<int>("phase");
    QTest::addColumn<QString>("reason");
    QTest::newRow("two points") << QVector<QPointF> {{0, 5000}, {8000, 100}} << 1
                                << "curve too short";
    QVector<QPointF> flat;
    for (int level = 0; level <= 40000; level += 500)
        flat.append({double(level), 1000 + 30 * std::sin(level * 0.37)});
    QTest::newRow("flat") << flat << 1 << "no valley: curve flat";
    // Above the 4-photon peak only the weak tail of five and more photons is left.
    QTest::newRow("simulator above 4 photons")
        << simulatedCurve(1, 50000, 65000, 500, 1.0f, 1) << 1 << "no valley: curve flat";
    QTest::newRow("simulator, one step only")
        << simulatedCurve(2, 3000, 12000, 500, 1.0f, 1) << 2 << "no valley in the scanned range";
}

void TestScanData::noProposal()
{
    QFETCH(QVector<QPointF>, curve);
    QFETCH(int, phase);
    QFETCH(QString, reason);
    const LevelProposal proposal = LevelProposal::fromCurve(curve, phase);
    QVERIFY2(!proposal.isValid(), qPrintable(proposal.text()));
    QCOMPARE(proposal.reason(), reason);
    // The fit of the detector's model, from that phase alone, proposes nothing there either.
    QVector<QVector<QPointF>> curves(4);
    curves[phase - 1] = curve;
    const LevelProposal fitted = DetectorFit::proposals(curves).at(phase - 1);
    QVERIFY2(!fitted.isValid(), qPrintable(fitted.text()));
    QCOMPARE(fitted.reason(), reason);
}

void TestScanData::fitFindsDetector_data()
{
    QTest::addColumn<double>("height");
    QTest::addColumn<double>("noise");
    QTest::addColumn<double>("perPhoton");
    QTest::addColumn<double>("mean");
    QTest::addColumn<bool>("thermal");
    QTest::addColumn<float>("timeConst");
    QTest::newRow("8000, mean 1") << 8000.0 << 600.0 << 1000.0 << 1.0 << false << 1.0f;
    QTest::newRow("6000, narrow, mean 2") << 6000.0 << 400.0 << 700.0 << 2.0 << false << 1.0f;
    // Few photons and few counts: the 4-photon step holds about 30 counts.
    QTest::newRow("10000, wide, mean 0.5, 0.2 s")
        << 10000.0 << 900.0 << 1500.0 << 0.5 << false << 0.2f;
    QTest::newRow("thermal light, mean 1.5") << 8000.0 << 500.0 << 1000.0 << 1.5 << true << 1.0f;
}

void TestScanData::fitFindsDetector()
{
    QFETCH(double, height);
    QFETCH(double, noise);
    QFETCH(double, perPhoton);
    QFETCH(double, mean);
    QFETCH(bool, thermal);
    QFETCH(float, timeConst);
    KuvelCounterModel::Detector detector;
    detector.pulseHeight = height;
    detector.noiseWidth = noise;
    detector.pulseNoise = noise;
    detector.photonWidth = perPhoton;
    detector.meanPhotons = mean;
    detector.statistics = thermal ? KuvelCounterModel::Thermal : KuvelCounterModel::Poisson;
    const DetectorFit fit(poissonScan(detector, timeConst, 7));
    QVERIFY2(fit.isFitted() && fit.reason().isEmpty(), qPrintable(fit.reason()));
    QVERIFY2(std::abs(fit.pulseHeight() - height) < 0.01 * height,
             qPrintable(fit.reportLines().join('\n')));
    QVERIFY2(std::abs(fit.meanPhotons() - mean) < 0.05 * mean,
             qPrintable(fit.reportLines().join('\n')));
    const QVector<LevelProposal> proposals = fit.proposals();
    for (int n = 1; n <= 4; ++n) {
        // Clear of both peaks by half their widths: next to a weak peak the valley's lowest
        // point lies near it.
        const double below
            = (n - 1) * height + 0.5 * std::hypot(noise, perPhoton * std::sqrt(n - 1));
        const double above = n * height - 0.5 * std::hypot(noise, perPhoton * std::sqrt(n));
        const LevelProposal &proposal = proposals[n - 1];
        QVERIFY2(proposal.isValid() && proposal.level() > below && proposal.level() < above
                     && proposal.uncertainty() >= 0,
                 qPrintable(QStringLiteral("%1: %2").arg(n).arg(proposal.text())));
    }
}

void TestScanData::csvReadsBack()
{
    ScanData data;
    data.header = ScanData::context(
        "kuvel-counter 1.0", QDateTime(QDate(2026, 12, 8), QTime(14, 15, 2), Qt::UTC),
        "/dev/ttyUSB0\n# injected", "KuvelCounter", "4B43", "1.2", 3, 0.5);
    data.points = {{1, 0, 9000}, {1, 500, 700}, {4, 65535, 0}};
    const QByteArray csv = data.toCsv();
    QVERIFY(csv.startsWith("# program: kuvel-counter 1.0\n# date: 2026-12-08T14:15:02Z\n"));
    // A port name with a line break stays on its own comment line.
    QVERIFY(csv.contains("# port: /dev/ttyUSB0 # injected\n"));

    ScanData read;
    QString reason;
    QVERIFY2(ScanData::fromCsv(csv, &read, &reason), qPrintable(reason));
    QCOMPARE(read.header.size(), data.header.size());
    QCOMPARE(read.value("identifier"), QStringLiteral("4B43"));
    QCOMPARE(read.toCsv(), csv);
    QVERIFY(!ScanData::fromCsv("phase,level,count\n1,2\n", &read, &reason));
    QCOMPARE(reason, QStringLiteral("line 2 is not a point \"phase,level,count\""));

    // A streamed scan ends with what it found: the proposals and the fit, after the rows.
    const QVector<QVector<QPointF>> curves = poissonScan(KuvelCounterModel::Detector(), 1.0f, 3);
    data.points.clear();
    for (int phase = 1; phase <= 4; ++phase) {
        for (const QPointF &point : curves[phase - 1])
            data.points.append({phase, quint32(point.x()), quint32(point.y())});
    }
    const DetectorFit fit = data.fit(4);
    QVERIFY2(fit.isFitted() && fit.reason().isEmpty(), qPrintable(fit.reason()));
    const ScanData::Header results = ScanData::results(fit.proposals(), fit);
    QCOMPARE(results.size(), 6);
    QVERIFY2(ScanData::fromCsv(data.toCsv() + ScanData::headerLines(results), &read, &reason),
             qPrintable(reason));
    QCOMPARE(read.header.mid(data.header.size()), results);
    QCOMPARE(read.points.size(), data.points.size());
    QCOMPARE(read.fit(4).pulseHeight(), fit.pulseHeight());
}

void TestScanData::csvReadWithinLimits_data()
{
    QTest::addColumn<QByteArray>("csv");
    QTest::addColumn<QString>("reason");
    const QByteArray columns = ScanData::columnsLine();
    QTest::newRow("points out of order, read in order") << columns + "2,5,1\n1,7,2\n1,3,3\n1,7,4\n"
                                                        << QString();
    QTest::newRow("a row cut by a full disk")
        << columns + "1,23100,47600511\n1,23200,476"
        << "line 3 has no line end: the file was cut off while it was written";
    QTest::newRow("a header value of a line's length")
        << "# date: " + QByteArray(ScanData::MaxLineBytes, '9') + "\n" + columns
        << "line 1 is longer than 4096 bytes";
    QTest::newRow("more comment lines than a scan has")
        << QByteArray("# a: b\n").repeated(ScanData::MaxCommentLines + 1) + columns
        << "the file has more than 1000 comment lines";
    QTest::newRow("more points than a scan has")
        << columns + QByteArray("1,1,1\n").repeated(ScanData::MaxPoints + 1)
        << "the file has more than 262144 points, 4 phases of 65536 levels";
    QTest::newRow("more lines than a scan has")
        << columns + QByteArray(ScanData::MaxLines, '\n')
        << "the file has more than 264144 lines, more than any scan";
    QTest::newRow("more bytes than a scan has")
        << columns + QByteArray(ScanData::MaxFileBytes, ' ')
        << "the file is larger than 16 MiB, more than any scan";
}

void TestScanData::csvReadWithinLimits()
{
    QFETCH(QByteArray, csv);
    QFETCH(QString, reason);
    ScanData read;
    QString refused;
    QCOMPARE(ScanData::fromCsv(csv, &read, &refused), reason.isEmpty());
    QCOMPARE(refused, reason);
    if (reason.isEmpty()) {
        // By phase and level, alike ones in the order read: a plot takes them in n log n.
        QByteArray rows;
        for (const ScanData::Point &point : read.points)
            rows += ScanData::row(point);
        QCOMPARE(rows, QByteArray("1,3,3\n1,7,2\n1,7,4\n2,5,1\n"));
    }
}

void TestScanData::csvReadByPandas()
{
    // The python3 first on the path may be another than the system's, which has pandas.
    QString python;
    for (const QString &candidate :
         {QStandardPaths::findExecutable("python3"), QStringLiteral("/usr/bin/python3")}) {
        if (python.isEmpty() && !candidate.isEmpty()
            && QProcess::execute(candidate, {"-c", "import pandas"}) == 0)
            python = candidate;
    }
    if (python.isEmpty())
        QSKIP("python3 with pandas is not installed");
    QTemporaryDir dir;
    ScanData data;
    data.header = ScanData::context("kuvel-counter 1.0", QDateTime::currentDateTimeUtc(),
                                    "/dev/pts/3", "KuvelCounter", "4B43", "1.2: beta, final", 1, 1);
    data.header.append(qMakePair(QStringLiteral("proposed levels"),
                                 QStringLiteral("1: 4000, 2: none (no valley: curve flat)")));
    data.points = {{1, 0, 9000}, {2, 500, 700}};
    QFile file(dir.filePath("scan.csv"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(data.toCsv() + "# proposed levels: 1: 4000\n");
    file.close();
    QProcess pandas;
    pandas.start(python,
                 {"-c",
                  "import pandas, sys; t = pandas.read_csv(sys.argv[1], "
                  "comment='#'); print(list(t.columns), t.values.tolist())",
                  file.fileName()});
    QVERIFY(pandas.waitForFinished(60000));
    QCOMPARE(pandas.readAllStandardOutput().trimmed(),
             QByteArray("['phase', 'level', 'count'] [[1, 0, 9000], [2, 500, 700]]"));
}

QTEST_GUILESS_MAIN(TestScanData)
#include "tst_scandata.moc"
