#include "fuzztargets.h"

#include <QtTest>

// Replays the fuzzers' corpora, and every input kept in tests/fuzz/crashes, through every fuzz
// target. A broken invariant aborts, which fails the test; under the sanitizer build every
// memory error or undefined behaviour on these inputs fails it too.
class TestFuzzReplay : public QObject
{
    Q_OBJECT
private slots:
    void corpusIsThere();
    void replay_data();
    void replay();
};

namespace {

QFileInfoList inputsIn(const QString &dir)
{
    return QDir(dir).entryInfoList(QDir::Files, QDir::Name);
}

} // namespace

void TestFuzzReplay::corpusIsThere()
{
    // A wrong path would otherwise make the replay pass without replaying anything.
    QVERIFY2(inputsIn(KUVEL_FUZZ_CORPUS).size() >= 30, KUVEL_FUZZ_CORPUS);
    QVERIFY2(inputsIn(KUVEL_FUZZ_DRIVER_CORPUS).size() >= 5, KUVEL_FUZZ_DRIVER_CORPUS);
}

void TestFuzzReplay::replay_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("kind");
    for (const QFileInfo &file : inputsIn(KUVEL_FUZZ_CORPUS)) {
        const QString name = file.fileName();
        QString kind = "stream";
        if (name.startsWith("bad-"))
            kind = "bad";
        else if (name.startsWith("req-") || name.startsWith("ans-") || name.startsWith("esc-")
                 || name.startsWith("long-"))
            kind = "frame";
        QTest::newRow(qPrintable("corpus/" + name)) << file.filePath() << kind;
    }
    for (const QFileInfo &file : inputsIn(KUVEL_FUZZ_DRIVER_CORPUS))
        QTest::newRow(qPrintable("corpus-driver/" + file.fileName()))
            << file.filePath() << "script";
    for (const QFileInfo &file : inputsIn(KUVEL_FUZZ_CRASHES))
        QTest::newRow(qPrintable("crashes/" + file.fileName())) << file.filePath() << "any";
}

void TestFuzzReplay::replay()
{
    QFETCH(QString, path);
    QFETCH(QString, kind);
    QFile file(path);
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
    const QByteArray input = file.readAll();
    const auto *bytes = reinterpret_cast<const quint8 *>(input.constData());

    const int frames = fuzzReceive(bytes, size_t(input.size()));
    const int decoded = fuzzDecoder(bytes, size_t(input.size()));
    const int operations = fuzzDriver(bytes, size_t(input.size()));

    // The seeds must still be what their names say, or the fuzzers start from nothing.
    if (kind == "bad") {
        QCOMPARE(frames, 0);
    } else if (kind == "frame") {
        QCOMPARE(frames, 1);
        QCOMPARE(decoded, 0);
    } else if (kind == "stream") {
        QVERIFY(frames >= 1);
    } else if (kind == "script") {
        QVERIFY(operations >= 1);
    }
}

QTEST_GUILESS_MAIN(TestFuzzReplay)
#include "tst_fuzz_replay.moc"
