#include "kuvelcountermodel.h"
#include "levelproposal.h"
#include "scandata.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

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

} // namespace

// What a scan means apart from the window: the proposed levels and the saved file.
class TestScanData : public QObject
{
    Q_OBJECT
private slots:
    void proposalInSimulatorValley_data();
    void proposalInSimulatorValley();
    void noProposal_data();
    void noProposal();
    void csvReadsBack();
    void csvReadByPandas();
};

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
