#ifndef KUVELCOUNTERDRIVER_H
#define KUVELCOUNTERDRIVER_H

#include "commondriver.h"

#include <QtEndian>

// One threshold of one channel: 4 bytes, channel, level, value (little-endian).
struct Kuvel_RefLevel_t
{
    quint8 channel; // index from 0: the operator's channel number minus one
    quint8 level; // 0 to 3: the 1-photon to the 4-photon threshold
    quint16 value;
};

// The four counts, element i for reference level i: 16 bytes, each count little-endian.
struct Kuvel_Counts_t
{
    quint32 count[4];
};

template<> struct PayloadCodec<Kuvel_RefLevel_t>
{
    static constexpr int Size = 4;
    static QByteArray encode(const Kuvel_RefLevel_t &value)
    {
        QByteArray out(4, Qt::Uninitialized);
        out[0] = char(value.channel);
        out[1] = char(value.level);
        qToLittleEndian(value.value, out.data() + 2);
        return out;
    }
    static Kuvel_RefLevel_t decode(const QByteArray &payload)
    {
        uchar raw[4];
        PayloadDetail::copyPadded(payload, raw, 4);
        return {raw[0], raw[1], qFromLittleEndian<quint16>(raw + 2)};
    }
};

template<> struct PayloadCodec<Kuvel_Counts_t>
{
    static constexpr int Size = 16;
    static QByteArray encode(const Kuvel_Counts_t &value)
    {
        QByteArray out(16, Qt::Uninitialized);
        for (int i = 0; i < 4; ++i)
            qToLittleEndian(value.count[i], out.data() + 4 * i);
        return out;
    }
    static Kuvel_Counts_t decode(const QByteArray &payload)
    {
        uchar raw[16];
        PayloadDetail::copyPadded(payload, raw, 16);
        Kuvel_Counts_t value;
        for (int i = 0; i < 4; ++i)
            value.count[i] = qFromLittleEndian<quint32>(raw + 4 * i);
        return value;
    }
};

// The photon counter: reference levels, time constant, active channel, counting, counts.
// The counter's own codes of the command set (see commandcodes.h).
class KuvelCounterDriver : public CommonDriver
{
public:
    explicit KuvelCounterDriver(QObject *parent = nullptr);
    ~KuvelCounterDriver() override;

    DriverPropertyWriteOnly<Kuvel_RefLevel_t> *referenceLevel() const { return m_referenceLevel; }
    DriverProperty<float> *timeConst() const { return m_timeConst; }
    DriverProperty<unsigned char> *currentChannel() const { return m_currentChannel; }
    DriverCommand *startCounter() const { return m_startCounter; }
    DriverCommand *stopCounter() const { return m_stopCounter; }
    DriverPropertyReadOnly<Kuvel_Counts_t> *counts() const { return m_counts; }

    // A counter's type text holds "KuvelCounter" (case-sensitive, anywhere in it).
    bool isSupportedType(const QString &type) const override;

private:
    DriverPropertyWriteOnly<Kuvel_RefLevel_t> *m_referenceLevel;
    DriverProperty<float> *m_timeConst;
    DriverProperty<unsigned char> *m_currentChannel;
    DriverCommand *m_startCounter;
    DriverCommand *m_stopCounter;
    DriverPropertyReadOnly<Kuvel_Counts_t> *m_counts;
};

#endif // KUVELCOUNTERDRIVER_H
