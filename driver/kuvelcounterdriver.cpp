#include "kuvelcounterdriver.h"

KuvelCounterDriver::KuvelCounterDriver(QObject *parent)
    : CommonDriver(parent)
    , m_referenceLevel(new DriverPropertyWriteOnly<Kuvel_RefLevel_t>(this, NoCommand, 0x10))
    , m_timeConst(new DriverProperty<float>(this, 0x12, 0x11))
    , m_currentChannel(new DriverProperty<unsigned char>(this, 0x14, 0x13))
    , m_startCounter(new DriverCommand(this, NoCommand, 0x15))
    , m_stopCounter(new DriverCommand(this, NoCommand, 0x16))
    , m_counts(new DriverPropertyReadOnly<Kuvel_Counts_t>(this, 0x17, NoCommand))
{
}

KuvelCounterDriver::~KuvelCounterDriver()
{
    delete m_referenceLevel;
    delete m_timeConst;
    delete m_currentChannel;
    delete m_startCounter;
    delete m_stopCounter;
    delete m_counts;
}

bool KuvelCounterDriver::isSupportedType(const QString &type) const
{
    return type.contains(QLatin1String("KuvelCounter"));
}
