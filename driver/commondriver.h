#ifndef COMMONDRIVER_H
#define COMMONDRIVER_H

#include "abstractdriver.h"
#include "driverproperty.h"

#include <QString>

// The device's 96-bit unique identifier, kept as the device sends it.
struct cUDID
{
    quint8 bytes[12];

    bool operator==(const cUDID &other) const;
    bool operator!=(const cUDID &other) const { return !(*this == other); }
    // 24 upper-case hex digits, in payload order.
    QString toHex() const;
};

template<> struct PayloadCodec<cUDID>
{
    static constexpr int Size = 12;
    static QByteArray encode(const cUDID &value)
    {
        return QByteArray(reinterpret_cast<const char *>(value.bytes), sizeof(value.bytes));
    }
    static cUDID decode(const QByteArray &payload)
    {
        cUDID value;
        PayloadDetail::copyPadded(payload, value.bytes, sizeof(value.bytes));
        return value;
    }
};

// What every device of the family offers: identification and service commands. The command
// set, with the codes of both drivers, is tabled in commandcodes.h.
class CommonDriver : public AbstractDriver
{
    Q_OBJECT
public:
    explicit CommonDriver(QObject *parent = nullptr);
    ~CommonDriver() override;

    DriverPropertyReadOnly<QString> *deviceType() const { return m_deviceType; }
    DriverPropertyReadOnly<QString> *modificationVersion() const { return m_modificationVersion; }
    DriverPropertyReadOnly<QString> *hardwareVersion() const { return m_hardwareVersion; }
    DriverPropertyReadOnly<QString> *firmwareVersion() const { return m_firmwareVersion; }
    DriverPropertyReadOnly<QString> *deviceDescription() const { return m_deviceDescription; }
    DriverPropertyReadOnly<cUDID> *UDID() const { return m_UDID; }
    DriverCommand *init() const { return m_init; }
    DriverCommand *shutDown() const { return m_shutDown; }
    DriverCommand *silence() const { return m_silence; }
    DriverCommand *reboot() const { return m_reboot; }
    DriverCommand *writeEeprom() const { return m_writeEeprom; }

    // Reads the six identification values, one attempt each, and stops at the first failure.
    bool getDeviceInfo();

    // Takes the device on the line as the one this driver talks to: the caller has read its
    // type and found it right; this reads its identifier (false when none comes). Afterwards,
    // whenever the link has opened its line again, the type and identifier are read before the
    // next request goes out, and another device gets no request at all (deviceChanged).
    bool acceptDevice(const QString &type, int attempts);
    bool isDeviceAccepted() const { return m_accepted; }
    QString acceptedType() const { return m_acceptedType; }
    cUDID acceptedIdentifier() const { return m_acceptedIdentifier; }
    // What answered instead, once deviceChanged has been emitted.
    QString foundType() const { return m_foundType; }
    cUDID foundIdentifier() const { return m_foundIdentifier; }
    bool isDeviceRefused() const override { return m_refused; }

    // A device type this driver can talk to; every type by default.
    virtual bool isSupportedType(const QString &type) const;

signals:
    // Any message with the EEPROM code for this device, normally the device's confirmation.
    void eepromWrited();
    // Another device answers behind the reopened line; requests are refused from now on.
    void deviceChanged();

protected:
    bool confirmDevice(quint8 command, int answerSize) override;

private:
    DriverPropertyReadOnly<QString> *m_deviceType;
    DriverPropertyReadOnly<QString> *m_modificationVersion;
    DriverPropertyReadOnly<QString> *m_hardwareVersion;
    DriverPropertyReadOnly<QString> *m_firmwareVersion;
    DriverPropertyReadOnly<QString> *m_deviceDescription;
    DriverPropertyReadOnly<cUDID> *m_UDID;
    DriverCommand *m_init;
    DriverCommand *m_shutDown;
    DriverCommand *m_silence;
    DriverCommand *m_reboot;
    DriverCommand *m_writeEeprom;

    bool m_accepted = false;
    QString m_acceptedType;
    cUDID m_acceptedIdentifier = {};
    int m_confirmedOpenCount = 0; // the opening of the line the device was last confirmed on
    int m_echoProbeOpenCount = 0; // the opening of the line whose echo a type read probed
    bool m_refused = false;
    QString m_foundType;
    cUDID m_foundIdentifier = {};
};

#endif // COMMONDRIVER_H
