#include "commondriver.h"

#include "cuiointerface.h"

#include <cstring>

CommonDriver::CommonDriver(QObject *parent)
    : AbstractDriver(parent)
    , m_deviceType(new DriverPropertyReadOnly<QString>(this, CommandCode::DeviceType, NoCommand))
    , m_modificationVersion(
          new DriverPropertyReadOnly<QString>(this, CommandCode::ModificationVersion, NoCommand))
    , m_hardwareVersion(
          new DriverPropertyReadOnly<QString>(this, CommandCode::HardwareVersion, NoCommand))
    , m_firmwareVersion(
          new DriverPropertyReadOnly<QString>(this, CommandCode::FirmwareVersion, NoCommand))
    , m_deviceDescription(
          new DriverPropertyReadOnly<QString>(this, CommandCode::DeviceDescription, NoCommand))
    , m_UDID(new DriverPropertyReadOnly<cUDID>(this, CommandCode::Identifier, NoCommand))
    , m_init(new DriverCommand(this, NoCommand, CommandCode::Init))
    , m_shutDown(new DriverCommand(this, NoCommand, CommandCode::ShutDown))
    , m_silence(new DriverCommand(this, NoCommand, CommandCode::Silence))
    , m_reboot(new DriverCommand(this, NoCommand, CommandCode::Reboot))
    , m_writeEeprom(new DriverCommand(this, NoCommand, CommandCode::WriteEeprom))
{
    m_writeEeprom->settedSignal()->addCallback([this] { emit eepromWrited(); });
}

CommonDriver::~CommonDriver()
{
    delete m_deviceType;
    delete m_modificationVersion;
    delete m_hardwareVersion;
    delete m_firmwareVersion;
    delete m_deviceDescription;
    delete m_UDID;
    delete m_init;
    delete m_shutDown;
    delete m_silence;
    delete m_reboot;
    delete m_writeEeprom;
}

bool CommonDriver::getDeviceInfo()
{
    bool ok = false;
    m_deviceType->getValueSync(&ok, 1);
    if (!ok)
        return false;
    m_modificationVersion->getValueSync(&ok, 1);
    if (!ok)
        return false;
    m_hardwareVersion->getValueSync(&ok, 1);
    if (!ok)
        return false;
    m_firmwareVersion->getValueSync(&ok, 1);
    if (!ok)
        return false;
    m_deviceDescription->getValueSync(&ok, 1);
    if (!ok)
        return false;
    m_UDID->getValueSync(&ok, 1);
    return ok;
}

bool cUDID::operator==(const cUDID &other) const
{
    return std::memcmp(bytes, other.bytes, sizeof(bytes)) == 0;
}

QString cUDID::toHex() const
{
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(bytes), sizeof(bytes)).toHex().toUpper());
}

bool CommonDriver::isSupportedType(const QString &) const
{
    return true;
}

bool CommonDriver::acceptDevice(const QString &type, int attempts)
{
    bool ok = false;
    const cUDID identifier = m_UDID->getValueSync(&ok, attempts);
    if (!ok)
        return false;
    m_accepted = true;
    m_acceptedType = type;
    m_acceptedIdentifier = identifier;
    m_refused = false;
    m_confirmedOpenCount = iOInterface() ? iOInterface()->openCount() : 0;
    return true;
}

bool CommonDriver::confirmDevice(quint8 command, int answerSize)
{
    cuIOInterface *link = iOInterface();
    if (!link || !link->isOpen())
        return true;
    if (!link->isEchoKnown() && answerSize == 0 && command != m_deviceType->cmdGetter()
        && m_echoProbeOpenCount != link->openCount()) {
        // On a line that may echo, a command's echo and its confirmation can be the same bytes
        // (a read of a fixed-size value cannot be confused: its answer carries the value). A
        // type read first, once per opening, shows which kind of line this is: its answer
        // differs from its request. Programs read the type first anyway.
        m_echoProbeOpenCount = link->openCount();
        const RequestTracker::ConfirmScope confirming(requests());
        m_deviceType->getValueSync(nullptr, 1);
    }
    if (!m_accepted)
        return true;
    const int openCount = link->openCount();
    if (openCount == m_confirmedOpenCount)
        return !m_refused;

    // The line was opened again: whatever answers now may be another device. It gets no
    // request of the caller's before it has shown its type and identifier.
    bool ok = false;
    QString type;
    cUDID identifier = {};
    {
        const RequestTracker::ConfirmScope confirming(requests());
        type = m_deviceType->getValueSync(&ok, 1);
        if (ok)
            identifier = m_UDID->getValueSync(&ok, 1);
    }
    if (!ok)
        return false; // nothing sent; the next request asks again
    m_confirmedOpenCount = openCount;
    const bool same = isSupportedType(type) && identifier == m_acceptedIdentifier;
    if (same) {
        m_refused = false;
        return true;
    }
    const bool newlyRefused = !m_refused || type != m_foundType || identifier != m_foundIdentifier;
    m_refused = true;
    m_foundType = type;
    m_foundIdentifier = identifier;
    if (newlyRefused)
        emit deviceChanged();
    return false;
}
