#include "commondriver.h"

CommonDriver::CommonDriver(QObject *parent)
    : AbstractDriver(parent)
    , m_deviceType(new DriverPropertyReadOnly<QString>(this, 0x06, NoCommand))
    , m_modificationVersion(new DriverPropertyReadOnly<QString>(this, 0x07, NoCommand))
    , m_hardwareVersion(new DriverPropertyReadOnly<QString>(this, 0x08, NoCommand))
    , m_firmwareVersion(new DriverPropertyReadOnly<QString>(this, 0x09, NoCommand))
    , m_deviceDescription(new DriverPropertyReadOnly<QString>(this, 0x0A, NoCommand))
    , m_UDID(new DriverPropertyReadOnly<cUDID>(this, 0x05, NoCommand))
    , m_init(new DriverCommand(this, NoCommand, 0x00))
    , m_shutDown(new DriverCommand(this, NoCommand, 0x01))
    , m_silence(new DriverCommand(this, NoCommand, 0x02))
    , m_reboot(new DriverCommand(this, NoCommand, 0x0B))
    , m_writeEeprom(new DriverCommand(this, NoCommand, 0x0C))
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
