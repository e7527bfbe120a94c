#include "kuvelcounterdriver.h"

KuvelCounterDriver::KuvelCounterDriver(QObject *parent)
    : CommonDriver(parent)
    , m_referenceLevel(new DriverPropertyWriteOnly<Kuvel_RefLevel_t>(
          this, NoCommand, CommandCode::WriteReferenceLevel))
    , m_timeConst(
          new DriverProperty<float>(this, CommandCode::ReadTimeConst, CommandCode::WriteTimeConst))
    , m_currentChannel(new DriverProperty<unsigned char>(this, CommandCode::ReadChannel,
                                                         CommandCode::WriteChannel))
    , m_startCounter(new DriverCommand(this, NoCommand, CommandCode::StartCounter))
    , m_stopCounter(new DriverCommand(this, NoCommand, CommandCode::StopCounter))
    , m_counts(new DriverPropertyReadOnly<Kuvel_Counts_t>(this, CommandCode::ReadCounts, NoCommand))
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
