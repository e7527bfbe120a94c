// Typed properties and the two drivers against an in-process link: the payload bytes of every
// value type in both directions, the whole command set, identification and the EEPROM signal.

#include "commandcodes.h"
#include "fakelink.h"
#include "hex.h"
#include "kuvelcounterdriver.h"

#include <QSignalSpy>
#include <QtTest>

#include <cfloat>
#include <functional>

namespace {

using Reply = FakeLink::Reply;

QByteArray udidBytes(const cUDID &udid)
{
    return QByteArray(reinterpret_cast<const char *>(udid.bytes), sizeof(udid.bytes));
}

using Counter = DriverOnFakeLink<KuvelCounterDriver>;

} // namespace

class TestProperties : public QObject
{
    Q_OBJECT
private slots:
    void floatAndByteBothWays();
    void referenceLevelBytes();
    void countsDecode_data();
    void countsDecode();
    void textsDecode_data();
    void textsDecode();
    void identifierDecodes();
    void shortPayloadsZeroFilled();
    void storedAndLastSentValues();
    void readsAndWritesWithoutWaiting();
    void confirmationsKeepStoredValues();
    void wholeCommandSet();
    void deviceInfo();
    void anotherDeviceBehindReopenedLineGetsNoRequest();
    void eepromWritten();
};

void TestProperties::floatAndByteBothWays()
{
    Counter counter;
    DriverProperty<float> *timeConst = counter.driver.timeConst();
    DriverProperty<unsigned char> *channel = counter.driver.currentChannel();
    counter.link.answer(CommandCode::ReadTimeConst, Reply().withData(hex("00 00 80 3F")));
    counter.link.answer(CommandCode::WriteTimeConst, Reply().withData(hex("AB")));
    counter.link.answer(CommandCode::ReadChannel, Reply().withData(hex("05")));
    counter.link.answer(CommandCode::WriteChannel);
    bool ok = false;

    QCOMPARE(timeConst->getValueSync(&ok, 1), 1.0f);
    QVERIFY(ok);
    QCOMPARE(counter.link.sent().last().command, CommandCode::ReadTimeConst);
    QCOMPARE(counter.link.sent().last().payload, QByteArray());

    ok = false;
    timeConst->setValueSync(0.25f, &ok, 1);
    QVERIFY(ok);
    QCOMPARE(counter.link.sent().last().command, CommandCode::WriteTimeConst);
    QCOMPARE(counter.link.sent().last().payload, hex("00 00 80 3E"));
    timeConst->setValueSync(-2.5f, &ok, 1);
    QCOMPARE(counter.link.sent().last().payload, hex("00 00 20 C0"));
    QCOMPARE(timeConst->currentValue(), 1.0f);

    ok = false;
    QCOMPARE(channel->getValueSync(&ok, 1), quint8(5));
    QVERIFY(ok);
    QCOMPARE(counter.link.sent().last().payload, QByteArray());
    channel->setValueSync(2, &ok, 1);
    QVERIFY(ok);
    QCOMPARE(counter.link.sent().last().command, CommandCode::WriteChannel);
    QCOMPARE(counter.link.sent().last().payload, hex("02"));
    channel->setValueSync(255, &ok, 1);
    QCOMPARE(counter.link.sent().last().payload, hex("FF"));

    // Longer answers decode from their first bytes.
    counter.link.silence();
    counter.link.answer(CommandCode::ReadTimeConst, Reply().withData(hex("00 00 20 41 99 99")));
    counter.link.answer(CommandCode::ReadChannel, Reply().withData(hex("07 AA")));
    QCOMPARE(timeConst->getValueSync(&ok, 1), 10.0f);
    QCOMPARE(channel->getValueSync(&ok, 1), quint8(7));
}

void TestProperties::referenceLevelBytes()
{
    Counter counter;
    DriverPropertyWriteOnly<Kuvel_RefLevel_t> *level = counter.driver.referenceLevel();
    counter.link.answer(CommandCode::WriteReferenceLevel);
    bool ok = false;

    level->setValueSync({0, 2, 0x1234}, &ok, 1);
    QVERIFY(ok);
    QCOMPARE(counter.link.sent().last().command, CommandCode::WriteReferenceLevel);
    QCOMPARE(counter.link.sent().last().payload, hex("00 02 34 12"));

    // Level 4 of the operator's channel 1 at 1000.
    level->setValueSync({0, 3, 1000}, &ok, 1);
    QCOMPARE(counter.link.sent().last().payload, hex("00 03 E8 03"));

    level->setValue({7, 1, 0xFFFF});
    QCOMPARE(counter.link.sent().last().payload, hex("07 01 FF FF"));
    const Kuvel_RefLevel_t last = level->lastSettedValue();
    QCOMPARE(last.channel, quint8(7));
    QCOMPARE(last.level, quint8(1));
    QCOMPARE(last.value, quint16(0xFFFF));
}

void TestProperties::countsDecode_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QList<quint32>>("counts");
    QTest::newRow("16 bytes, each count little-endian")
        << hex("05 00 00 00 01 02 03 04 FF FF FF FF 00 00 00 80")
        << QList<quint32>({5, 0x04030201, 0xFFFFFFFF, 0x80000000});
    QTest::newRow("longer: the first 16 bytes")
        << hex("01 00 00 00 02 00 00 00 03 00 00 00 04 00 00 00 09 09 09 09")
        << QList<quint32>({1, 2, 3, 4});
    // Shorter than the value: no answer at all (empty list), and no zero-filled counts shown.
    QTest::newRow("7 bytes") << hex("01 00 00 00 02 01 00") << QList<quint32>();
    QTest::newRow("empty") << QByteArray() << QList<quint32>();
}

void TestProperties::countsDecode()
{
    QFETCH(QByteArray, payload);
    QFETCH(QList<quint32>, counts);
    Counter counter;
    counter.link.answer(CommandCode::ReadCounts, Reply().withData(payload));
    bool ok = counts.isEmpty();
    const Kuvel_Counts_t value = counter.driver.counts()->getValueSync(&ok, 2);
    QCOMPARE(counter.link.sent().last().payload, QByteArray());
    if (counts.isEmpty()) {
        // Each short answer fails its attempt at once, which is sent again.
        QVERIFY(!ok);
        QCOMPARE(counter.link.sent().size(), 2);
        const Kuvel_Counts_t stored = counter.driver.counts()->currentValue();
        QCOMPARE(stored.count[0] + stored.count[1], 0u); // nothing was taken in
        return;
    }
    QVERIFY(ok);
    QCOMPARE(QList<quint32>({value.count[0], value.count[1], value.count[2], value.count[3]}),
             counts);
}

void TestProperties::textsDecode_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("text");
    QTest::newRow("ends at the zero byte") << hex("41 42 00 43") << QStringLiteral("AB");
    QTest::newRow("no zero byte: whole") << hex("41 42 43") << QStringLiteral("ABC");
    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("zero first") << hex("00 41") << QString();
    QTest::newRow("UTF-8") << hex("4B C2 B5 00 FF") << QStringLiteral("K\u00B5");
}

void TestProperties::textsDecode()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, text);
    Counter counter;
    counter.link.answer(CommandCode::DeviceType, Reply().withData(payload));
    bool ok = false;
    QCOMPARE(counter.driver.deviceType()->getValueSync(&ok, 1), text);
    QVERIFY(ok);
    QCOMPARE(counter.driver.deviceType()->currentValue(), text);
}

void TestProperties::identifierDecodes()
{
    Counter counter;
    DriverPropertyReadOnly<cUDID> *udid = counter.driver.UDID();
    bool ok = false;
    counter.link.answer(CommandCode::Identifier,
                        Reply().withData(hex("00 11 22 33 44 55 66 77 88 99 AA BB CC DD")));
    QCOMPARE(udidBytes(udid->getValueSync(&ok, 1)), hex("00 11 22 33 44 55 66 77 88 99 AA BB"));
    QVERIFY(ok);

    // Three bytes are no identifier: the read fails and the earlier one stays.
    counter.link.silence();
    counter.link.answer(CommandCode::Identifier, Reply().withData(hex("F9 FA FB")));
    QCOMPARE(udidBytes(udid->getValueSync(&ok, 1)), hex("00 11 22 33 44 55 66 77 88 99 AA BB"));
    QVERIFY(!ok);
}

void TestProperties::shortPayloadsZeroFilled()
{
    Counter counter;
    KuvelCounterDriver &driver = counter.driver;

    // Before the first answer every value reads as zero.
    QCOMPARE(driver.timeConst()->currentValue(), 0.0f);
    QCOMPARE(driver.currentChannel()->currentValue(), quint8(0));
    const Kuvel_Counts_t counts = driver.counts()->currentValue();
    for (quint32 count : counts.count)
        QCOMPARE(count, 0u);
    QCOMPARE(udidBytes(driver.UDID()->currentValue()), QByteArray(12, '\0'));
    QCOMPARE(driver.deviceType()->currentValue(), QString());
    const Kuvel_RefLevel_t neverWritten = driver.referenceLevel()->lastSettedValue();
    QCOMPARE(neverWritten.channel, quint8(0));
    QCOMPARE(neverWritten.level, quint8(0));
    QCOMPARE(neverWritten.value, quint16(0));

    // A stored payload shorter than the value decodes with zeros for the missing high bytes;
    // a getter answer that short is no answer and is never stored.
    driver.timeConst()->setCurrentValue(1.0f);
    counter.link.answer(CommandCode::ReadTimeConst, Reply().withData(hex("00 00 80")));
    counter.link.answer(CommandCode::ReadChannel);
    bool ok = true;
    QCOMPARE(driver.timeConst()->getValueSync(&ok, 1), 1.0f);
    QVERIFY(!ok);
    driver.currentChannel()->setCurrentValue(9);
    QCOMPARE(driver.currentChannel()->getValueSync(&ok, 1), quint8(9));
    QVERIFY(!ok);

    // The last sent payload of a read is empty, so it decodes as zero too.
    driver.timeConst()->setValue(2.5f);
    QCOMPARE(driver.timeConst()->lastSettedValue(), 2.5f);
    driver.timeConst()->getValueSync(&ok, 1);
    QCOMPARE(driver.timeConst()->lastSettedValue(), 0.0f);
}

void TestProperties::storedAndLastSentValues()
{
    Counter counter;
    DriverProperty<float> *timeConst = counter.driver.timeConst();
    int callbacks = 0;
    timeConst->gettedSignal()->addCallback([&] { ++callbacks; });
    timeConst->settedSignal()->addCallback([&] { ++callbacks; });

    // Stored locally: no traffic, no callbacks.
    timeConst->setCurrentValue(3.5f);
    QCOMPARE(timeConst->currentValue(), 3.5f);
    QVERIFY(counter.link.sent().isEmpty());
    QCOMPARE(callbacks, 0);

    // A failed read answers what the property held, and says so.
    bool ok = true;
    QCOMPARE(timeConst->getValueSync(&ok, 2), 3.5f);
    QVERIFY(!ok);
    QCOMPARE(counter.link.sent().size(), 2);

    counter.link.answer(CommandCode::ReadTimeConst, Reply().withData(hex("00 00 C0 3F")));
    QCOMPARE(timeConst->getValueSync(&ok, 1), 1.5f);
    QVERIFY(ok);
    counter.link.silence();
    QCOMPARE(timeConst->getValueSync(&ok, 1), 1.5f);
    QVERIFY(!ok);

    // The last value written is known whether or not the device confirmed it.
    timeConst->setValueSync(0.75f, &ok, 1);
    QVERIFY(!ok);
    QCOMPARE(timeConst->lastSettedValue(), 0.75f);
    counter.link.answer(CommandCode::WriteTimeConst);
    timeConst->setValueSync(4.0f, &ok, 1);
    QVERIFY(ok);
    QCOMPARE(timeConst->lastSettedValue(), 4.0f);
    QCOMPARE(timeConst->currentValue(), 1.5f);

    // No flag to fill: the same requests, nothing reported.
    counter.link.silence();
    counter.link.clearSent();
    QCOMPARE(timeConst->getValueSync(nullptr, 2), 1.5f);
    QCOMPARE(counter.link.sent().size(), 2);
}

void TestProperties::readsAndWritesWithoutWaiting()
{
    Counter counter;
    DriverPropertyReadOnly<Kuvel_Counts_t> *counts = counter.driver.counts();
    DriverProperty<unsigned char> *channel = counter.driver.currentChannel();
    int countAnswers = 0;
    int channelConfirmations = 0;
    counts->gettedSignal()->addCallback([&] { ++countAnswers; });
    channel->settedSignal()->addCallback([&] { ++channelConfirmations; });
    counter.link.answer(
        CommandCode::ReadCounts,
        Reply().withData(hex("0A 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00")).after(10));
    counter.link.answer(CommandCode::WriteChannel, Reply().after(10));

    counts->getValue();
    channel->setValue(4);
    QCOMPARE(counter.link.sentCommands(),
             QList<quint8>({CommandCode::ReadCounts, CommandCode::WriteChannel}));
    QCOMPARE(counter.link.sent().last().payload, hex("04"));
    QCOMPARE(countAnswers, 0);
    QTRY_COMPARE(countAnswers, 1);
    QTRY_COMPARE(channelConfirmations, 1);
    QCOMPARE(counts->currentValue().count[0], 10u);
    QCOMPARE(channel->lastSettedValue(), quint8(4));
}

void TestProperties::confirmationsKeepStoredValues()
{
    Counter counter;
    KuvelCounterDriver &driver = counter.driver;
    counter.link.deliver(0x00, CommandCode::ReadTimeConst, hex("00 00 80 3F"));
    counter.link.deliver(0x00, CommandCode::ReadChannel, hex("03"));
    counter.link.deliver(0x00, CommandCode::ReadCounts,
                         hex("01 00 00 00 02 00 00 00 03 00 00 00 04 00 00 00"));
    QCOMPARE(driver.timeConst()->currentValue(), 1.0f);
    QCOMPARE(driver.currentChannel()->currentValue(), quint8(3));
    QCOMPARE(driver.counts()->currentValue().count[3], 4u);

    // Write confirmations carry payloads that must not land in the stored values.
    for (quint8 code :
         {CommandCode::WriteReferenceLevel, CommandCode::WriteTimeConst, CommandCode::WriteChannel,
          CommandCode::StartCounter, CommandCode::StopCounter})
        counter.link.deliver(0x00, code, hex("00 00 00 41 07 07 07 07 07 07 07 07 07 07 07 07"));
    QCOMPARE(driver.timeConst()->currentValue(), 1.0f);
    QCOMPARE(driver.currentChannel()->currentValue(), quint8(3));
    QCOMPARE(driver.counts()->currentValue().count[0], 1u);
    QCOMPARE(driver.counts()->currentValue().count[3], 4u);
}

void TestProperties::wholeCommandSet()
{
    struct Operation
    {
        const char *name;
        quint8 code;
        QByteArray payload;
        std::function<void(KuvelCounterDriver &, bool *)> run;
    };
    // The codes on the wire as numbers, so that a wrong value among the named codes shows here.
    const QVector<Operation> operations = {
        {"init", 0x00, {}, [](KuvelCounterDriver &d, bool *ok) { d.init()->executeSync(ok, 1); }},
        {"shutDown",
         0x01,
         {},
         [](KuvelCounterDriver &d, bool *ok) { d.shutDown()->executeSync(ok, 1); }},
        {"silence",
         0x02,
         {},
         [](KuvelCounterDriver &d, bool *ok) { d.silence()->executeSync(ok, 1); }},
        {"UDID", 0x05, {}, [](KuvelCounterDriver &d, bool *ok) { d.UDID()->getValueSync(ok, 1); }},
        {"deviceType",
         0x06,
         {},
         [](KuvelCounterDriver &d, bool *ok) { d.deviceType()->getValueSync(ok, 1); }},
        {"modificationVersion",
         0x07,
         {},
         [](KuvelCounterDriver &d, bool *ok) { d.modificationVersion()->getValueSync(ok, 1); }},
        {"hardwareVersion",
         0x08,
         {},
         [](KuvelCounterDriver &d, bool *ok) { d.hardwareVersion()->getValueSync(ok, 1); }},
        {"firmwareVersion",
         0x09,
         {},
         [](KuvelCounterDriver &d, bool *ok) { d.firmwareVersion()->getValueSync(ok, 1); }},
        {"deviceDescription",
         0x0A,
         {},
         [](KuvelCounterDriver &d, bool *ok) { d.deviceDescription()->getValueSync(ok, 1); }},
        {"reboot",
         0x0B,
         {},
         [](KuvelCounterDriver &d, bool *ok) { d.reboot()->executeSync(ok, 1); }},
        {"writeEeprom",
         0x0C,
         {},
         [](KuvelCounterDriver &d, bool *ok) { d.writeEeprom()->executeSync(ok, 1); }},
        {"referenceLevel", 0x10, hex("02 01 10 27"),
         [](KuvelCounterDriver &d, bool *ok) {
             d.referenceLevel()->setValueSync({2, 1, 10000}, ok, 1);
         }},
        {"timeConst write", 0x11, hex("00 00 00 40"),
         [](KuvelCounterDriver &d, bool *ok) { d.timeConst()->setValueSync(2.0f, ok, 1); }},
        {"timeConst read",
         0x12,
         {},
         [](KuvelCounterDriver &d, bool *ok) { d.timeConst()->getValueSync(ok, 1); }},
        {"currentChannel write", 0x13, hex("06"),
         [](KuvelCounterDriver &d, bool *ok) { d.currentChannel()->setValueSync(6, ok, 1); }},
        {"currentChannel read",
         0x14,
         {},
         [](KuvelCounterDriver &d, bool *ok) { d.currentChannel()->getValueSync(ok, 1); }},
        {"startCounter",
         0x15,
         {},
         [](KuvelCounterDriver &d, bool *ok) { d.startCounter()->executeSync(ok, 1); }},
        {"stopCounter",
         0x16,
         {},
         [](KuvelCounterDriver &d, bool *ok) { d.stopCounter()->executeSync(ok, 1); }},
        {"counts",
         0x17,
         {},
         [](KuvelCounterDriver &d, bool *ok) { d.counts()->getValueSync(ok, 1); }},
    };

    // A device that answers every code (with a payload long enough for any value), and one
    // that always answers with the code after it.
    Counter echoing;
    echoing.link.answerAll(Reply().withData(QByteArray(16, '\x01')));
    Counter confused;
    for (const Operation &operation : operations)
        confused.link.answer(operation.code, Reply().withCode(operation.code + 1));

    for (const Operation &operation : operations) {
        echoing.link.clearSent();
        bool ok = false;
        operation.run(echoing.driver, &ok);
        QVERIFY2(ok, operation.name);
        QCOMPARE(echoing.link.sent().size(), 1);
        QCOMPARE(echoing.link.sent()[0].address, quint8(0x00));
        QCOMPARE(echoing.link.sent()[0].command, operation.code);
        QCOMPARE(echoing.link.sent()[0].payload, operation.payload);

        ok = true;
        operation.run(confused.driver, &ok);
        QVERIFY2(!ok, operation.name);
    }
}

void TestProperties::deviceInfo()
{
    {
        Counter silent;
        const qint64 start = silent.link.elapsed();
        QVERIFY(!silent.driver.getDeviceInfo());
        QCOMPARE(silent.link.sentCommands(), QList<quint8>({CommandCode::DeviceType}));
        QVERIFY(silent.link.elapsed() - start >= 45);
    }
    {
        Counter partial;
        partial.link.answer(CommandCode::DeviceType, Reply().withData("KuvelCounter"));
        partial.link.answer(CommandCode::ModificationVersion, Reply().withData("A"));
        QVERIFY(!partial.driver.getDeviceInfo());
        QCOMPARE(partial.link.sentCommands(),
                 QList<quint8>({CommandCode::DeviceType, CommandCode::ModificationVersion,
                                CommandCode::HardwareVersion}));
    }
    Counter full;
    full.link.answer(CommandCode::DeviceType, Reply().withData(QByteArray("KuvelCounter\0", 13)));
    full.link.answer(CommandCode::ModificationVersion, Reply().withData("mod B"));
    full.link.answer(CommandCode::HardwareVersion, Reply().withData("hw 2"));
    full.link.answer(CommandCode::FirmwareVersion, Reply().withData("fw 1.4"));
    full.link.answer(CommandCode::DeviceDescription, Reply().withData("photon counter"));
    full.link.answer(CommandCode::Identifier,
                     Reply().withData(hex("01 02 03 04 05 06 07 08 09 0A 0B 0C")));
    QVERIFY(full.driver.getDeviceInfo());
    QCOMPARE(full.link.sentCommands(),
             QList<quint8>({CommandCode::DeviceType, CommandCode::ModificationVersion,
                            CommandCode::HardwareVersion, CommandCode::FirmwareVersion,
                            CommandCode::DeviceDescription, CommandCode::Identifier}));
    QCOMPARE(full.driver.deviceType()->currentValue(), QStringLiteral("KuvelCounter"));
    QCOMPARE(full.driver.modificationVersion()->currentValue(), QStringLiteral("mod B"));
    QCOMPARE(full.driver.hardwareVersion()->currentValue(), QStringLiteral("hw 2"));
    QCOMPARE(full.driver.firmwareVersion()->currentValue(), QStringLiteral("fw 1.4"));
    QCOMPARE(full.driver.deviceDescription()->currentValue(), QStringLiteral("photon counter"));
    QCOMPARE(udidBytes(full.driver.UDID()->currentValue()),
             hex("01 02 03 04 05 06 07 08 09 0A 0B 0C"));
}

// After the line was opened again, the accepted counter is confirmed by its type and
// identifier before the caller's request goes out; another device gets nothing more.
void TestProperties::anotherDeviceBehindReopenedLineGetsNoRequest()
{
    Counter counter;
    KuvelCounterDriver &driver = counter.driver;
    QSignalSpy changed(&driver, &CommonDriver::deviceChanged);
    const QByteArray first = hex("01 02 03 04 05 06 07 08 09 0A 0B 0C");
    counter.link.answer(CommandCode::DeviceType, Reply().withData("KuvelCounter"));
    counter.link.answer(CommandCode::Identifier, Reply().withData(first));
    counter.link.answer(CommandCode::ReadChannel, Reply().withData(hex("02")));
    QVERIFY(driver.acceptDevice(QStringLiteral("KuvelCounter"), 1));
    QCOMPARE(driver.acceptedIdentifier().toHex(), QStringLiteral("0102030405060708090A0B0C"));

    bool ok = false;
    counter.link.clearSent();
    counter.link.reopen();
    driver.currentChannel()->getValueSync(&ok, 1);
    QVERIFY(ok);
    QCOMPARE(counter.link.sentCommands(),
             QList<quint8>(
                 {CommandCode::DeviceType, CommandCode::Identifier, CommandCode::ReadChannel}));

    counter.link.silence();
    counter.link.answer(CommandCode::DeviceType, Reply().withData("KuvelCounter"));
    counter.link.answer(CommandCode::Identifier,
                        Reply().withData(hex("FF 02 03 04 05 06 07 08 09 0A 0B 0C")));
    counter.link.answer(CommandCode::ReadChannel, Reply().withData(hex("02")));
    counter.link.clearSent();
    counter.link.reopen();
    driver.currentChannel()->getValueSync(&ok, 5);
    QVERIFY(!ok);
    QCOMPARE(counter.link.sentCommands(),
             QList<quint8>({CommandCode::DeviceType, CommandCode::Identifier}));
    QCOMPARE(changed.size(), 1);
    QVERIFY(driver.isDeviceRefused());
    QCOMPARE(driver.foundIdentifier().toHex(), QStringLiteral("FF02030405060708090A0B0C"));
    driver.writeEeprom()->executeSync(&ok, 5);
    QVERIFY(!ok);
    QCOMPARE(counter.link.sent().size(), 2);

    // Another type with the same identifier is another device too; the counter itself,
    // back behind a line opened once more, is talked to again.
    counter.link.silence();
    counter.link.answer(CommandCode::DeviceType, Reply().withData("PulseGen"));
    counter.link.answer(CommandCode::Identifier, Reply().withData(first));
    counter.link.reopen();
    driver.currentChannel()->getValueSync(&ok, 1);
    QVERIFY(!ok);
    QCOMPARE(driver.foundType(), QStringLiteral("PulseGen"));
    QCOMPARE(changed.size(), 2);
    counter.link.silence();
    counter.link.answer(CommandCode::DeviceType, Reply().withData("KuvelCounter"));
    counter.link.answer(CommandCode::Identifier, Reply().withData(first));
    counter.link.answer(CommandCode::ReadChannel, Reply().withData(hex("03")));
    counter.link.reopen();
    QCOMPARE(driver.currentChannel()->getValueSync(&ok, 1), quint8(3));
    QVERIFY(ok);
    QVERIFY(!driver.isDeviceRefused());
}

void TestProperties::eepromWritten()
{
    Counter counter;
    QSignalSpy written(&counter.driver, &CommonDriver::eepromWrited);

    // Unsolicited: emitted once; for another address: not at all.
    counter.link.deliver(0x00, CommandCode::WriteEeprom);
    QCOMPARE(written.count(), 1);
    counter.link.deliver(0x01, CommandCode::WriteEeprom);
    QCOMPARE(written.count(), 1);

    // Arriving during the wait of another request: emitted, and the wait goes on.
    counter.link.inject(0x00, CommandCode::WriteEeprom, QByteArray(), 10);
    bool ok = true;
    const qint64 start = counter.link.elapsed();
    counter.driver.deviceType()->getValueSync(&ok, 1);
    QVERIFY(!ok);
    QCOMPARE(written.count(), 2);
    QVERIFY(counter.link.elapsed() - start >= 45);

    // The device's confirmation of the request.
    counter.link.answer(CommandCode::WriteEeprom, Reply().after(5));
    counter.driver.writeEeprom()->executeSync(&ok, 5);
    QVERIFY(ok);
    QCOMPARE(written.count(), 3);

    counter.link.silence();
    counter.driver.writeEeprom()->executeSync(&ok, 1);
    QVERIFY(!ok);
    QCOMPARE(written.count(), 3);
}

QTEST_MAIN(TestProperties)
#include "tst_properties.moc"
