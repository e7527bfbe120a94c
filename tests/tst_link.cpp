#include "cstarprotocolpc.h"
#include "curs485iointerface.h"
#include "hex.h"
#include "pseudoterminal.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The far end of a pseudo-terminal: what a device on the line sees.
class Pty : public PseudoTerminal
{
public:
    QString slavePath() const { return path(); }
    void write(const QByteArray &bytes) const { QVERIFY(PseudoTerminal::write(bytes)); }
};

QByteArray frameOf(quint8 address, quint8 command, const QByteArray &payload)
{
    cStarProtocolPC codec;
    codec.codeData(address, command, quint8(payload.size()),
                   reinterpret_cast<const quint8 *>(payload.constData()));
    return QByteArray(reinterpret_cast<const char *>(codec.frame()), codec.frameLength());
}

double processCpuSeconds()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Received
{
    quint8 address;
    quint8 command;
    QByteArray payload;
};

// Copies each message while it is delivered: its payload pointer is valid only then.
QList<Received> *collect(cuRs485IOInterface &link)
{
    auto *list = new QList<Received>;
    QObject::connect(&link, &cuIOInterface::msgReceived, &link,
                     [list](quint8 a, quint8 c, quint8 n, quint8 *d) {
                         list->append({a, c, QByteArray(reinterpret_cast<const char *>(d), n)});
                     });
    QObject::connect(&link, &QObject::destroyed, [list] { delete list; });
    return list;
}

} // namespace

class TestLink : public QObject
{
    Q_OBJECT
private slots:
    void sendWithoutPortName();
    void firstSendOpensWithLineSettingsAndWritesTheFrame();
    void receivedBytesBecomeMessages();
    void oversizedMessageIsRefused();
    void echoOfTheFrameSentIsDropped_data();
    void echoOfTheFrameSentIsDropped();
    void portMissingAtFirstSendIsOpenedLater();
    void lostDeviceClosesThePortAndANewOneIsUsed();
    void secondLinkOnAnotherNameIsRefused();
};

void TestLink::sendWithoutPortName()
{
    cuRs485IOInterface link;
    QVERIFY(!link.initialize());
    QVERIFY(!link.sendMsg(0, 1, 0, nullptr));
    QVERIFY(!link.isOpen());
}

void TestLink::firstSendOpensWithLineSettingsAndWritesTheFrame()
{
    Pty pty;
    QVERIFY(pty.isValid());
    cuRs485IOInterface link;
    link.setPortName(pty.slavePath());
    QVERIFY(!link.isOpen()); // nothing opens before the first message

    // A pseudo-terminal has no low-latency mode: the port opens all the same, the log says so.
    QLoggingCategory::setFilterRules(QStringLiteral("kuvel.link.debug=true"));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^low latency not available: "));
    QVERIFY(link.sendMsg(0x00, 0x01, 0, nullptr));
    QLoggingCategory::setFilterRules(QString());
    QVERIFY(link.isOpen());
    QCOMPARE(pty.read(9).toHex(' '), hex("F9 00 01 00 58 E3 E2 EA FA").toHex(' '));

    // The line settings as the slave side holds them: 500000 baud, 8N1, no flow control.
    termios tio;
    QCOMPARE(tcgetattr(pty.fd(), &tio), 0);
    QCOMPARE(cfgetospeed(&tio), speed_t(B500000));
    QCOMPARE(cfgetispeed(&tio), speed_t(B500000));
    QCOMPARE(tio.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));

    // The second send reuses the open port; one answer is then delivered once, not twice.
    QList<Received> *got = collect(link);
    QVERIFY(link.sendMsg(0x00, 0x12, 0, nullptr));
    QCOMPARE(pty.read(9), frameOf(0, 0x12, {}));
    pty.write(frameOf(0, 0x12, hex("00 00 80 3F")));
    QTRY_COMPARE(got->size(), 1);
    QTest::qWait(20);
    QCOMPARE(got->size(), 1);
    QCOMPARE(got->first().payload, hex("00 00 80 3F"));
}

void TestLink::receivedBytesBecomeMessages()
{
    Pty pty;
    cuRs485IOInterface link;
    link.setPortName(pty.slavePath());
    QVERIFY(link.sendMsg(0, 0x01, 0, nullptr));
    pty.read(9);
    QList<Received> *got = collect(link);

    // A frame split over two reads is delivered once, when its end byte comes.
    pty.write(hex("F9 00 01 01 05"));
    QTest::qWait(30);
    QCOMPARE(got->size(), 0);
    pty.write(hex("6D 99 A2 4B FA"));
    QTRY_COMPARE(got->size(), 1);
    QCOMPARE(got->at(0).address, quint8(0));
    QCOMPARE(got->at(0).command, quint8(1));
    QCOMPARE(got->at(0).payload, hex("05"));

    // Two frames in one read, in order.
    got->clear();
    pty.write(frameOf(0, 0x14, hex("03")) + frameOf(7, 0x17, QByteArray(16, 'x')));
    QTRY_COMPARE(got->size(), 2);
    QCOMPARE(got->at(0).command, quint8(0x14));
    QCOMPARE(got->at(1).address, quint8(7));
    QCOMPARE(got->at(1).payload, QByteArray(16, 'x'));

    // Garbage before a start byte is dropped; a bad CRC is dropped; the next frame is good.
    got->clear();
    QByteArray bad = frameOf(0, 0x06, "KuvelCounter");
    bad[bad.size() - 3] = char(bad.at(bad.size() - 3) ^ 0x01);
    pty.write(hex("00 13 37 FB FA 42") + frameOf(0, 0x07, "v1") + bad + frameOf(0, 0x08, "hw"));
    QTRY_COMPARE(got->size(), 2);
    QTest::qWait(20);
    QCOMPARE(got->size(), 2);
    QCOMPARE(got->at(0).payload, QByteArray("v1"));
    QCOMPARE(got->at(1).payload, QByteArray("hw"));

    // A payload that holds a whole frame, then a stray end byte: decoding leaves the payload
    // at the start of the buffer, and it must not come out as a message of its own.
    got->clear();
    const QByteArray inner = frameOf(0, 0x17, QByteArray(16, char(0x01)));
    pty.write(frameOf(0, 0x0A, inner) + hex("FA"));
    QTRY_COMPARE(got->size(), 1);
    QTest::qWait(20);
    QCOMPARE(got->size(), 1);
    QCOMPARE(got->first().command, quint8(0x0A));
    QCOMPARE(got->first().payload, inner);

    // A handler that waits for another answer inside a delivery (a synchronous request) has the
    // line read again before the bytes already read are all taken: both reads come out whole.
    got->clear();
    const QMetaObject::Connection nested = QObject::connect(
        &link, &cuIOInterface::msgReceived, &link, [&](quint8, quint8 command, quint8, quint8 *) {
            if (command != 0x14)
                return;
            pty.write(frameOf(0, 0x15, QByteArray(40, 'n')));
            QTRY_COMPARE(got->size(), 2);
        });
    pty.write(frameOf(0, 0x14, "first") + frameOf(0, 0x16, "last"));
    QTRY_COMPARE(got->size(), 3);
    QObject::disconnect(nested);
    QCOMPARE(got->at(1).payload, QByteArray(40, 'n'));
    QCOMPARE(got->at(2).command, quint8(0x16));
    QCOMPARE(got->at(2).payload, QByteArray("last"));
}

void TestLink::oversizedMessageIsRefused()
{
    Pty pty;
    cuRs485IOInterface link;
    link.setPortName(pty.slavePath());
    QVERIFY(link.sendMsg(0, 0x01, 0, nullptr));
    pty.read(9);

    // Every byte escaped: 259 bytes on the wire, more than the device's 256-byte buffer.
    QByteArray payload(125, char(0xFB));
    QVERIFY(
        !link.sendMsg(0, 0x10, quint8(payload.size()), reinterpret_cast<quint8 *>(payload.data())));
    QCOMPARE(pty.read(1, 100), QByteArray());

    // 120 escaped bytes make a frame that fits, and it goes out whole.
    const QByteArray fits = frameOf(0, 0x10, payload.left(120));
    QVERIFY(fits.size() <= 256);
    QVERIFY(link.sendMsg(0, 0x10, 120, reinterpret_cast<quint8 *>(payload.data())));
    QCOMPARE(pty.read(fits.size()), fits);
}

void TestLink::echoOfTheFrameSentIsDropped_data()
{
    QTest::addColumn<bool>("echoing");
    QTest::newRow("plain adapter") << false;
    QTest::newRow("echoing adapter") << true;
}

// An echoing adapter sends each frame back before the device's answer. A read's echo looks
// like an empty answer and a command's is its confirmation byte for byte; only the device's
// own answers may come out, through both kinds of adapter alike.
void TestLink::echoOfTheFrameSentIsDropped()
{
    QFETCH(bool, echoing);
    Pty pty;
    cuRs485IOInterface link;
    link.setPortName(pty.slavePath());
    QList<Received> *got = collect(link);
    const auto exchange = [&](quint8 command, const QByteArray &answer, bool answered) {
        const QByteArray request = frameOf(0, command, {});
        got->clear();
        QVERIFY(link.sendMsg(0, command, 0, nullptr));
        QCOMPARE(pty.read(request.size()), request);
        pty.write((echoing ? request : QByteArray())
                  + (answered ? frameOf(0, command, answer) : QByteArray()));
        QTest::qWait(40);
    };

    exchange(0x06, "KuvelCounter", true); // a read shows which kind of line this is
    QCOMPARE(got->size(), 1);
    QCOMPARE(got->at(0).payload, QByteArray("KuvelCounter"));

    exchange(0x15, {}, true); // the confirmation is the request's bytes again
    QCOMPARE(link.echo(), echoing ? cStarFrameReader::EchoYes : cStarFrameReader::EchoNo);
    QCOMPARE(got->size(), 1);
    QCOMPARE(got->at(0).command, quint8(0x15));

    exchange(0x15, {}, false); // a silent device: its echo confirms nothing
    QCOMPARE(got->size(), 0);

    exchange(0x17, {}, false);
    QCOMPARE(got->size(), 0);
}

void TestLink::portMissingAtFirstSendIsOpenedLater()
{
    QTemporaryDir dir;
    const QString name = dir.filePath("ttyKuvel");
    cuRs485IOInterface link;
    link.setPortName(name);
    QVERIFY(!link.sendMsg(0, 0x01, 0, nullptr));
    QVERIFY(!link.isOpen());

    // The adapter is plugged in: the next send opens it; the link did not give up on itself.
    Pty pty;
    QVERIFY(QFile::link(pty.slavePath(), name));
    QVERIFY(link.sendMsg(0, 0x01, 0, nullptr));
    QCOMPARE(pty.read(9), frameOf(0, 0x01, {}));
}

void TestLink::lostDeviceClosesThePortAndANewOneIsUsed()
{
    QTemporaryDir dir;
    const QString name = dir.filePath("ttyKuvel");
    auto first = std::make_unique<Pty>();
    QVERIFY(QFile::link(first->slavePath(), name));

    cuRs485IOInterface link;
    link.setPortName(name);
    QList<Received> *got = collect(link);
    QVERIFY(link.sendMsg(0, 0x01, 0, nullptr));
    first->read(9);

    // The device goes away: the link closes its port once, quietly, and does not spin.
    first.reset();
    QFile::remove(name);
    QTRY_VERIFY_WITH_TIMEOUT(!link.isOpen(), 2000);
    const double cpuBefore = processCpuSeconds();
    QTest::qWait(300);
    QVERIFY2(processCpuSeconds() - cpuBefore < 0.15, "a closed line must not burn the CPU");

    // While it is gone, sends fail and nothing hangs.
    QVERIFY(!link.sendMsg(0, 0x01, 0, nullptr));

    // A new device behind the same name is used without restarting anything.
    Pty second;
    QVERIFY(QFile::link(second.slavePath(), name));
    QVERIFY(link.sendMsg(0, 0x14, 0, nullptr));
    QCOMPARE(second.read(9), frameOf(0, 0x14, {}));
    second.write(frameOf(0, 0x14, hex("02")));
    QTRY_COMPARE(got->size(), 1);
    QCOMPARE(got->first().payload, hex("02"));
}

void TestLink::secondLinkOnAnotherNameIsRefused()
{
    // Two programs on one line take each other's answers, even as root and under two names.
    Pty pty;
    QTemporaryDir dir;
    const QString name = dir.filePath("ttyKuvel");
    QVERIFY(QFile::link(pty.slavePath(), name));
    cuRs485IOInterface first;
    first.setPortName(pty.slavePath());
    QVERIFY(first.initialize());

    cuRs485IOInterface second;
    second.setPortName(name);
    QVERIFY(!second.sendMsg(0, 0x01, 0, nullptr));
    QCOMPARE(second.openError(), cuRs485IOInterface::InUse);
    QCOMPARE(second.lockHolder(), QCoreApplication::applicationPid());
    QVERIFY2(
        second.openErrorText().startsWith(name + " is in use by another program (PID "
                                          + QString::number(QCoreApplication::applicationPid())),
        qPrintable(second.openErrorText()));

    // Once the first lets go, the second gets the device.
    first.close();
    QVERIFY(second.sendMsg(0, 0x01, 0, nullptr));
    QCOMPARE(second.openError(), cuRs485IOInterface::NoError);
    QCOMPARE(pty.read(9), frameOf(0, 0x01, {}));
}

QTEST_GUILESS_MAIN(TestLink)
#include "tst_link.moc"
