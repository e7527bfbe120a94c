// The driver core against an in-process link: request bookkeeping, waiting, attempts,
// dispatch to properties, registration, and the addressed device underneath.

#include "abstractdriver.h"
#include "commandcodes.h"
#include "cuiodeviceimpl.h"
#include "driverproperty.h"
#include "fakelink.h"
#include "hex.h"

#include <QElapsedTimer>
#include <QKeyEvent>
#include <QTimer>
#include <QWindow>
#include <QtTest>

#include <ctime>
#include <memory>

// Qt's entry point for platform input. Its header is not installed with the public ones, so
// the one exported overload used here is declared by hand. Input queued through it arrives
// from the event queue exactly as the platform delivers a click or a key press, which is what
// a wait must leave queued; QTest's own input functions bypass that queue.
class QWindowSystemInterface
{
public:
    struct AsynchronousDelivery
    {
    };
    template<typename Delivery>
    static bool handleKeyEvent(QWindow *window, QEvent::Type type, int key,
                               Qt::KeyboardModifiers modifiers, const QString &text = QString(),
                               bool autorep = false, ushort count = 1);
};

namespace {

using Reply = FakeLink::Reply;

// A driver whose device can be refused, as a driver refuses another device found behind a
// reopened line: requests are then kept off the line.
class RefusingDriver : public AbstractDriver
{
public:
    bool refused = false;
    bool isDeviceRefused() const override { return refused; }

protected:
    bool confirmDevice(quint8, int) override { return !refused; }
};

using Rig = DriverOnFakeLink<RefusingDriver>;

class RecordingDevice : public cuIODeviceImpl
{
public:
    struct Received
    {
        quint8 address;
        quint8 command;
        QByteArray data;
    };
    QVector<Received> received;

protected:
    bool pMsgReceived(quint8 address, quint8 command, quint8 dataLength, quint8 *data) override
    {
        received.append(
            {address, command, QByteArray(reinterpret_cast<const char *>(data), dataLength)});
        return true;
    }
};

class KeyWindow : public QWindow
{
public:
    explicit KeyWindow(const AbstractDriver *driver) : m_driver(driver) { }
    int keys = 0;
    bool keyDuringWait = false;

protected:
    void keyPressEvent(QKeyEvent *) override
    {
        ++keys;
        keyDuringWait = keyDuringWait || m_driver->isWaiting();
    }

private:
    const AbstractDriver *m_driver;
};

} // namespace

class TestDriver : public QObject
{
    Q_OBJECT
private slots:
    void addressedDevice();
    void waitEndsAtOnceWhenAlreadyDecided();
    void dispatchToProperties();
    void dispatchOrderAndCodeNone();
    void registrationTakesCodesOver();
    void otherAddressDoesNotEndWait();
    void lateAnswerDoesNotAnswerNextRequest();
    void lateAnswersAnswerTheirOwnRead();
    void otherCodeDoesNotEndWait();
    void silentDeviceFiveAttempts();
    void attemptCounts();
    void requestAndAnswerPayloads();
    void commands();
    void eventsRunDuringWaitAndIsWaiting();
    void userInputWaitsForTheAnswer();
    void requestInsideWaitEndsBothWaits_data();
    void requestInsideWaitEndsBothWaits();
};

void TestDriver::addressedDevice()
{
    RecordingDevice device;
    QCOMPARE(device.iOInterface(), nullptr);
    device.sendMsg(0x01, 0, nullptr); // no link: dropped

    FakeLink link;
    device.setIOInterface(&link);
    device.setIOInterface(nullptr); // keeps the link attached and connected
    QCOMPARE(device.iOInterface(), &link);

    device.sendMsg(0x01, 0, nullptr);
    device.setDevAddress(5);
    quint8 payload[] = {0xAA, 0x55};
    device.sendMsg(0x13, 2, payload);
    QCOMPARE(link.sent().size(), 2);
    QCOMPARE(link.sent()[0].address, quint8(0x00));
    QCOMPARE(link.sent()[0].command, quint8(0x01));
    QCOMPARE(link.sent()[0].payload, QByteArray());
    QCOMPARE(link.sent()[1].address, quint8(0x05));
    QCOMPARE(link.sent()[1].command, quint8(0x13));
    QCOMPARE(link.sent()[1].payload, hex("AA 55"));

    // No filtering by address here: the handler gets the message as it came.
    link.deliver(0x07, 0x12, hex("01 02 03"));
    QCOMPARE(device.received.size(), 1);
    QCOMPARE(device.received[0].address, quint8(0x07));
    QCOMPARE(device.received[0].command, quint8(0x12));
    QCOMPARE(device.received[0].data, hex("01 02 03"));

    // A link destroyed while attached leaves no dangling pointer; the earlier link stays
    // connected.
    {
        FakeLink shortLived;
        device.setIOInterface(&shortLived);
        QCOMPARE(device.iOInterface(), &shortLived);
    }
    QCOMPARE(device.iOInterface(), nullptr);
    device.sendMsg(0x01, 0, nullptr);
    QCOMPARE(link.sent().size(), 2);
    link.deliver(0x00, 0x14);
    QCOMPARE(device.received.size(), 2);
}

void TestDriver::waitEndsAtOnceWhenAlreadyDecided()
{
    Rig rig;
    DriverProperty_p value(&rig.driver, 0x20, 0x21);
    QObject context;
    bool otherEventRan = false;

    // Answered inside the send: the wait answers true without running the event loop.
    rig.link.answer(0x20, Reply().withData(hex("07")).atOnce());
    QTimer::singleShot(0, &context, [&] { otherEventRan = true; });
    rig.driver.sendMsg(0x20, QByteArray());
    QVERIFY(rig.driver.waitingAnswer());
    QVERIFY(!otherEventRan);
    QCOMPARE(value.data(), hex("07"));
    QTRY_VERIFY(otherEventRan);

    // Timed out, then answered late: still false, at once; the late answer is dispatched.
    rig.link.silence();
    rig.driver.sendMsg(0x20, QByteArray());
    QTest::qWait(120);
    rig.link.deliver(0x00, 0x20, hex("08"));
    otherEventRan = false;
    QTimer::singleShot(0, &context, [&] { otherEventRan = true; });
    QVERIFY(!rig.driver.waitingAnswer());
    QVERIFY(!otherEventRan);
    QCOMPARE(value.data(), hex("08"));
}

void TestDriver::dispatchToProperties()
{
    Rig rig;
    DriverProperty_p value(&rig.driver, 0x20, 0x21);
    QStringList calls;
    QCOMPARE(value.gettedSignal()->addCallback([&] { calls << "getted 1"; }), 1);
    QCOMPARE(value.gettedSignal()->addCallback([&] { calls << "getted 2"; }), 2);
    QCOMPARE(value.settedSignal()->addCallback([&] { calls << "setted 1"; }), 1);

    // A getter answer of length zero still replaces the payload and runs the callbacks.
    value.setBufferData(hex("AA BB"));
    QVERIFY(rig.driver.pMsgReceived(0x00, 0x20, 0, nullptr));
    QCOMPARE(value.data(), QByteArray());
    QCOMPARE(calls, QStringList({"getted 1", "getted 2"}));

    rig.link.deliver(0x00, 0x20, hex("01 02"));
    QCOMPARE(value.data(), hex("01 02"));

    // A setter answer confirms only: its payload is not stored.
    calls.clear();
    rig.link.deliver(0x00, 0x21, hex("FF EE"));
    QCOMPARE(value.data(), hex("01 02"));
    QCOMPARE(calls, QStringList({"setted 1"}));

    // Another address reaches no property.
    calls.clear();
    quint8 byte = 0x42;
    QVERIFY(!rig.driver.pMsgReceived(0x01, 0x20, 1, &byte));
    rig.link.deliver(0x01, 0x20, hex("99"));
    rig.link.deliver(0x01, 0x21, hex("99"));
    QCOMPARE(value.data(), hex("01 02"));
    QVERIFY(calls.isEmpty());

    // A code no property holds is dropped.
    QVERIFY(!rig.driver.pMsgReceived(0x00, 0x55, 1, &byte));
    QCOMPARE(value.data(), hex("01 02"));
    QVERIFY(calls.isEmpty());
}

void TestDriver::dispatchOrderAndCodeNone()
{
    Rig rig;
    QStringList calls;
    // Codes are taken over per kind, so a getter and a setter code may coincide; the first
    // property in registration order wins, and within one property the getter code.
    DriverProperty_p setterFirst(&rig.driver, NoCommand, 0x40);
    DriverProperty_p getterSecond(&rig.driver, 0x40, NoCommand);
    DriverProperty_p both(&rig.driver, 0x50, 0x50);
    setterFirst.settedSignal()->addCallback([&] { calls << "setterFirst"; });
    getterSecond.gettedSignal()->addCallback([&] { calls << "getterSecond"; });
    both.gettedSignal()->addCallback([&] { calls << "both getted"; });
    both.settedSignal()->addCallback([&] { calls << "both setted"; });

    rig.link.deliver(0x00, 0x40, hex("11"));
    rig.link.deliver(0x00, 0x50, hex("22"));
    QCOMPARE(calls, QStringList({"setterFirst", "both getted"}));
    QCOMPARE(getterSecond.data(), QByteArray());
    QCOMPARE(both.data(), hex("22"));

    // 0xFF means "no such operation" and never reaches the properties that hold it.
    calls.clear();
    quint8 byte = 0x33;
    QVERIFY(!rig.driver.pMsgReceived(0x00, NoCommand, 1, &byte));
    rig.link.deliver(0x00, NoCommand, hex("33"));
    QVERIFY(calls.isEmpty());
    QCOMPARE(getterSecond.data(), QByteArray());
}

void TestDriver::registrationTakesCodesOver()
{
    Rig rig;
    QStringList calls;
    auto watch = [&calls](DriverProperty_p &property, const QString &name) {
        property.gettedSignal()->addCallback([&calls, name] { calls << name + " getted"; });
        property.settedSignal()->addCallback([&calls, name] { calls << name + " setted"; });
    };

    // The earlier holder of a getter code leaves the table, with its other code too.
    DriverProperty_p older(&rig.driver, 0x20, 0x21);
    DriverProperty_p newer(&rig.driver, 0x20, 0x31);
    watch(older, "older");
    watch(newer, "newer");
    rig.link.deliver(0x00, 0x20, hex("01"));
    rig.link.deliver(0x00, 0x21);
    QCOMPARE(calls, QStringList({"newer getted"}));
    QCOMPARE(older.data(), QByteArray());
    QCOMPARE(newer.data(), hex("01"));

    // The same for a setter code.
    calls.clear();
    DriverProperty_p writer(&rig.driver, 0x40, 0x41);
    DriverProperty_p rewriter(&rig.driver, 0x42, 0x41);
    watch(writer, "writer");
    watch(rewriter, "rewriter");
    rig.link.deliver(0x00, 0x41);
    rig.link.deliver(0x00, 0x40);
    QCOMPARE(calls, QStringList({"rewriter setted"}));

    // One registration displaces two neighbours in the table.
    calls.clear();
    DriverProperty_p reader(&rig.driver, 0x50, NoCommand);
    DriverProperty_p setter(&rig.driver, NoCommand, 0x51);
    watch(reader, "reader");
    watch(setter, "setter");
    DriverProperty_p combined(&rig.driver, 0x50, 0x51);
    watch(combined, "combined");
    rig.link.deliver(0x00, 0x50);
    rig.link.deliver(0x00, 0x51);
    QCOMPARE(calls, QStringList({"combined getted", "combined setted"}));

    // Sharing only 0xFF displaces nothing.
    calls.clear();
    DriverProperty_p readOnlyA(&rig.driver, 0x60, NoCommand);
    DriverProperty_p readOnlyB(&rig.driver, 0x61, NoCommand);
    DriverProperty_p writeOnlyA(&rig.driver, NoCommand, 0x62);
    DriverProperty_p writeOnlyB(&rig.driver, NoCommand, 0x63);
    watch(readOnlyA, "readOnlyA");
    watch(readOnlyB, "readOnlyB");
    watch(writeOnlyA, "writeOnlyA");
    watch(writeOnlyB, "writeOnlyB");
    for (quint8 code : {0x60, 0x61, 0x62, 0x63})
        rig.link.deliver(0x00, code);
    QCOMPARE(calls,
             QStringList({"readOnlyA getted", "readOnlyB getted", "writeOnlyA setted",
                          "writeOnlyB setted"}));
}

void TestDriver::otherAddressDoesNotEndWait()
{
    Rig rig;
    DriverProperty_p value(&rig.driver, 0x20, 0x21);
    rig.link.answer(0x20, Reply().toAddress(0x03).withData(hex("01")));
    bool ok = true;
    const qint64 start = rig.link.elapsed();
    value.readWriteSync(0x20, QByteArray(), &ok, 1);
    QVERIFY(!ok);
    QVERIFY2(rig.link.elapsed() - start >= 45, "the wait must end by its time-out");
    QCOMPARE(value.data(), QByteArray());
}

void TestDriver::lateAnswerDoesNotAnswerNextRequest()
{
    Rig rig(100);
    DriverProperty_p first(&rig.driver, 0x20, NoCommand);
    DriverProperty_p second(&rig.driver, 0x30, NoCommand);
    // Answered 160 ms after the request, well inside the wait of the next request.
    rig.link.answer(0x20, Reply().withData(hex("AA")).after(160));
    int requestsWhenLateAnswerCame = 0;
    first.gettedSignal()->addCallback([&] { requestsWhenLateAnswerCame = rig.link.sent().size(); });

    bool ok = true;
    first.readWriteSync(0x20, QByteArray(), &ok, 1);
    QVERIFY(!ok);
    const qint64 start = rig.link.elapsed();
    second.readWriteSync(0x30, QByteArray(), &ok, 1);
    QVERIFY(!ok);
    QVERIFY2(rig.link.elapsed() - start >= 95, "the late answer must not end the wait");
    QCOMPARE(requestsWhenLateAnswerCame, 2);
    QCOMPARE(first.data(), hex("AA")); // still taken in
    QCOMPARE(second.data(), QByteArray());
}

// Every answer comes 70 ms after its request, beyond the 50 ms time-out, so each read sends
// a second attempt. The device answers in order: a read takes its first attempt's answer, and
// the answer still owed to its second must not pass for the next read's.
void TestDriver::lateAnswersAnswerTheirOwnRead()
{
    Rig rig(50);
    DriverProperty_p value(&rig.driver, 0x20, NoCommand);
    int requests = 0;
    connect(&rig.link, &FakeLink::requestSent, this, [&](quint8) {
        ++requests;
        rig.link.inject(0x00, 0x20, QByteArray(1, char(requests)), 70);
    });
    for (int read = 0; read < 4; ++read) {
        const int firstRequest = requests + 1;
        bool ok = false;
        const QByteArray answer = value.readWriteSync(0x20, QByteArray(), &ok, 5);
        QVERIFY(ok);
        const int answered = quint8(answer.at(0));
        QVERIFY2(answered >= firstRequest && answered <= requests,
                 qPrintable(QString("read %1 sent requests %2 to %3 but took the answer to %4")
                                .arg(read)
                                .arg(firstRequest)
                                .arg(requests)
                                .arg(answered)));
    }
}

void TestDriver::otherCodeDoesNotEndWait()
{
    Rig rig;
    DriverProperty_p wanted(&rig.driver, 0x30, 0x31);
    DriverProperty_p other(&rig.driver, 0x20, NoCommand);
    int otherAnswers = 0;
    other.gettedSignal()->addCallback([&] { ++otherAnswers; });
    bool ok = true;

    // A read answered with another code fails, and the message is still dispatched.
    rig.link.answer(0x30, Reply().withCode(0x20).withData(hex("12 34")));
    qint64 start = rig.link.elapsed();
    QCOMPARE(wanted.readWriteSync(0x30, QByteArray(), &ok, 1), QByteArray());
    QVERIFY(!ok);
    QVERIFY2(rig.link.elapsed() - start >= 45, "another code must not end the wait");
    QCOMPARE(other.data(), hex("12 34"));
    QCOMPARE(otherAnswers, 1);

    // A write is not done until its own code confirms it.
    rig.link.silence();
    rig.link.answer(0x31, Reply().withCode(0x30).withData(hex("01")));
    ok = true;
    wanted.readWriteSync(0x31, hex("05"), &ok, 1);
    QVERIFY(!ok);

    // The right code, coming after another one, ends the wait as soon as it arrives.
    rig.link.silence();
    rig.link.answer(0x30, Reply().withCode(0x20).withData(hex("99")));
    rig.link.answer(0x30, Reply().withData(hex("56")).after(20));
    rig.driver.setTimeOut(2000);
    start = rig.link.elapsed();
    QCOMPARE(wanted.readWriteSync(0x30, QByteArray(), &ok, 1), hex("56"));
    QVERIFY(ok);
    QVERIFY2(rig.link.elapsed() - start < 1500, "the answer must end the wait");
    QCOMPARE(other.data(), hex("99"));
    QCOMPARE(otherAnswers, 2);

    // A message that came before the request does not answer it.
    rig.driver.setTimeOut(50);
    rig.link.silence();
    rig.link.deliver(0x00, 0x30, hex("77"));
    wanted.readWriteSync(0x30, QByteArray(), &ok, 1);
    QVERIFY(!ok);

    // A code that no property holds answers the request that carried it.
    rig.link.answer(0x66);
    wanted.readWriteSync(0x66, QByteArray(), &ok, 1);
    QVERIFY(ok);
}

void TestDriver::silentDeviceFiveAttempts()
{
    FakeLink link;
    AbstractDriver driver;
    driver.setIOInterface(&link);
    QCOMPARE(driver.timeOut(), 500);
    DriverProperty_p value(&driver, 0x20, 0x21);
    value.setBufferData(hex("0A"));

    bool ok = true;
    QElapsedTimer wall;
    const std::clock_t cpuStart = std::clock();
    wall.start();
    const QByteArray answer = value.readWriteSync(0x21, hex("01 02"), &ok, 5);
    const qint64 wallMs = wall.elapsed();
    const double cpuMs = 1000.0 * double(std::clock() - cpuStart) / CLOCKS_PER_SEC;

    QVERIFY(!ok);
    QCOMPARE(answer, hex("0A"));
    QCOMPARE(link.sent().size(), 5);
    for (int i = 0; i < link.sent().size(); ++i) {
        const FakeLink::Sent &request = link.sent()[i];
        QCOMPARE(request.address, quint8(0x00));
        QCOMPARE(request.command, quint8(0x21));
        QCOMPARE(request.payload, hex("01 02"));
        if (i > 0) {
            const qint64 gap = request.msecs - link.sent()[i - 1].msecs;
            QVERIFY2(gap >= 480 && gap < 1500, qPrintable(QString("gap %1 ms").arg(gap)));
        }
    }
    QVERIFY2(wallMs >= 2400, qPrintable(QString("whole wait %1 ms").arg(wallMs)));

    // The wait sleeps between events: a spinning loop would burn a whole core.
    qInfo("a %lld ms wait on a silent device used %.1f ms of process CPU time", wallMs, cpuMs);
    QVERIFY2(cpuMs < 0.25 * double(wallMs), qPrintable(QString("%1 ms CPU").arg(cpuMs)));
}

void TestDriver::attemptCounts()
{
    Rig rig;
    DriverProperty_p value(&rig.driver, 0x20, 0x21);
    value.setBufferData(hex("0B"));
    rig.link.answerAll();
    bool ok = true;

    for (int attempts : {0, -1}) {
        ok = true;
        QCOMPARE(value.readWriteSync(0x20, QByteArray(), &ok, attempts), hex("0B"));
        QVERIFY(!ok);
        QVERIFY(rig.link.sent().isEmpty());
    }

    // First attempt unanswered, second answered: two identical requests.
    rig.link.silence();
    rig.link.answer(0x20, Reply().skipping(1).withData(hex("0C")));
    ok = false;
    QCOMPARE(value.readWriteSync(0x20, QByteArray(), &ok, 5), hex("0C"));
    QVERIFY(ok);
    QCOMPARE(rig.link.sentCommands(), QList<quint8>({0x20, 0x20}));

    // No flag to fill: the same requests, nothing reported.
    rig.link.clearSent();
    rig.link.silence();
    QCOMPARE(value.readWriteSync(0x20, QByteArray(), nullptr, 2), hex("0C"));
    QCOMPARE(rig.link.sent().size(), 2);
}

void TestDriver::requestAndAnswerPayloads()
{
    Rig rig;
    DriverProperty_p value(&rig.driver, 0x20, 0x21);
    // Bytes the frame escapes pass through the driver untouched.
    rig.link.answer(0x20, Reply().withData(hex("00 01 FA F9 FB")));
    rig.link.answer(0x21, Reply().withData(hex("EE")));
    bool ok = false;

    QCOMPARE(value.readWriteSync(0x20, QByteArray(), &ok, 1), hex("00 01 FA F9 FB"));
    QVERIFY(ok);
    QCOMPARE(rig.link.sent().last().payload, QByteArray());
    QCOMPARE(value.lastSettedData(), QByteArray());

    ok = false;
    QCOMPARE(value.readWriteSync(0x21, hex("03 04"), &ok, 1), hex("00 01 FA F9 FB"));
    QVERIFY(ok);
    QCOMPARE(rig.link.sent().last().command, quint8(0x21));
    QCOMPARE(rig.link.sent().last().payload, hex("03 04"));
    QCOMPARE(value.lastSettedData(), hex("03 04"));

    // An empty answer is an answer; the read empties the last sent payload again.
    rig.link.silence();
    rig.link.answer(0x20);
    ok = false;
    QCOMPARE(value.readWriteSync(0x20, QByteArray(), &ok, 1), QByteArray());
    QVERIFY(ok);
    QCOMPARE(value.lastSettedData(), QByteArray());

    // The payload length travels as one byte: 255 bytes go out whole.
    const QByteArray longest(255, '\x5A');
    value.readWrite(0x21, longest);
    QCOMPARE(rig.link.sent().last().payload, longest);
}

void TestDriver::commands()
{
    Rig rig;
    DriverCommand start(&rig.driver, NoCommand, CommandCode::StartCounter);
    int confirmations = 0;
    start.settedSignal()->addCallback([&] { ++confirmations; });
    rig.link.answer(CommandCode::StartCounter, Reply().withData(hex("01")).after(20));

    start.execute();
    QCOMPARE(rig.link.sent().size(), 1);
    QCOMPARE(rig.link.sent()[0].command, CommandCode::StartCounter);
    QCOMPARE(rig.link.sent()[0].payload, QByteArray());
    QCOMPARE(confirmations, 0); // returned before the answer
    QVERIFY(!rig.driver.isWaiting());
    QTRY_COMPARE(confirmations, 1);

    bool ok = false;
    start.executeSync(&ok, 5);
    QVERIFY(ok);
    QCOMPARE(confirmations, 2);
    QCOMPARE(rig.link.sent().size(), 2);

    rig.link.silence();
    start.executeSync(&ok, 2);
    QVERIFY(!ok);
    QCOMPARE(rig.link.sentCommands(),
             QList<quint8>({CommandCode::StartCounter, CommandCode::StartCounter,
                            CommandCode::StartCounter, CommandCode::StartCounter}));
}

void TestDriver::eventsRunDuringWaitAndIsWaiting()
{
    Rig rig(1000);
    DriverProperty_p value(&rig.driver, 0x20, 0x21);
    rig.link.answer(0x20, Reply().after(100));
    QObject context;
    bool waitingInSend = false;
    connect(&rig.link, &FakeLink::requestSent, &context,
            [&] { waitingInSend = rig.driver.isWaiting(); });
    bool timerRan = false;
    bool waitingInTimer = false;
    QTimer::singleShot(20, &context, [&] {
        timerRan = true;
        waitingInTimer = rig.driver.isWaiting();
    });

    QVERIFY(!rig.driver.isWaiting());
    bool ok = false;
    value.readWriteSync(0x20, QByteArray(), &ok, 1);
    QVERIFY(ok);
    QVERIFY(timerRan);
    QVERIFY(waitingInTimer);
    QVERIFY(waitingInSend);
    QVERIFY(!rig.driver.isWaiting());

    // A request sent without waiting is not a wait.
    value.readWrite(0x20, QByteArray());
    QVERIFY(!waitingInSend);
    QVERIFY(!rig.driver.isWaiting());
}

void TestDriver::userInputWaitsForTheAnswer()
{
    Rig rig(1000);
    DriverProperty_p value(&rig.driver, 0x20, 0x21);
    rig.link.answer(0x20, Reply().after(150));
    KeyWindow window(&rig.driver);
    window.resize(40, 40);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    bool keyQueued = false;
    QTimer::singleShot(20, &window, [&] {
        keyQueued
            = QWindowSystemInterface::handleKeyEvent<QWindowSystemInterface::AsynchronousDelivery>(
                &window, QEvent::KeyPress, Qt::Key_A, Qt::NoModifier);
    });
    bool ok = false;
    value.readWriteSync(0x20, QByteArray(), &ok, 1);
    QVERIFY(ok);
    QVERIFY(keyQueued);
    QCOMPARE(window.keys, 0); // kept queued during the wait
    QTRY_COMPARE(window.keys, 1); // and not dropped
    QVERIFY(!window.keyDuringWait);
}

void TestDriver::requestInsideWaitEndsBothWaits_data()
{
    QTest::addColumn<bool>("refused");
    QTest::newRow("inner answered") << false;
    QTest::newRow("inner refused") << true;
}

void TestDriver::requestInsideWaitEndsBothWaits()
{
    // The driver tracks one request: one started from an event handler during a wait takes
    // the wait over, and its answer must end the outer wait too instead of leaving it hanging
    // with the timer stopped. So must its refusal, which keeps it off the line.
    QFETCH(bool, refused);
    Rig rig(1000);
    DriverProperty_p outer(&rig.driver, 0x20, NoCommand);
    DriverProperty_p inner(&rig.driver, 0x30, NoCommand);
    rig.link.answer(0x30, Reply().withData(hex("03")).after(20));
    QObject context;
    bool innerOk = false;
    QTimer::singleShot(20, &context, [&] {
        rig.driver.refused = refused;
        inner.readWriteSync(0x30, QByteArray(), &innerOk, 1);
    });
    // Should the outer wait hang, a fresh request's time-out frees it, so the test fails
    // instead of hanging.
    QTimer::singleShot(1500, &context, [&] {
        rig.driver.refused = false;
        rig.driver.sendMsg(0x40, QByteArray());
    });

    QElapsedTimer wall;
    wall.start();
    outer.readWriteSync(0x20, QByteArray(), nullptr, 1);
    QCOMPARE(innerOk, !refused);
    QCOMPARE(inner.data(), refused ? QByteArray() : hex("03"));
    QVERIFY2(wall.elapsed() < 900, "both waits must end with the inner request");
    QCOMPARE(rig.link.sentCommands(),
             refused ? QList<quint8>({0x20}) : QList<quint8>({0x20, 0x30}));
}

QTEST_MAIN(TestDriver)
#include "tst_driver.moc"
