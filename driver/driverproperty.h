#ifndef DRIVERPROPERTY_H
#define DRIVERPROPERTY_H

#include "abstractdriver.h"
#include "commandcodes.h"
#include "propertysignal.h"

#include <cstring>
#include <QByteArray>
#include <QString>
#include <QtEndian>

// The untyped core of a device value: its getter and setter codes, the payload of the last
// getter answer, the payload last sent, and the callbacks run on getter and setter answers.
class DriverProperty_p
{
public:
    DriverProperty_p(AbstractDriver *driver, quint8 cmdGetter, quint8 cmdSetter);
    virtual ~DriverProperty_p();

    virtual PropertySignal *gettedSignal() { return m_gettedSignal; }
    virtual PropertySignal *settedSignal() { return m_settedSignal; }

    QByteArray data() const { return m_data; }
    void setBufferData(const QByteArray &data) { m_data = data; }
    QByteArray lastSettedData() const { return m_lastSettedData; }

    // Sends one request and returns at once.
    void readWrite(quint8 command, const QByteArray &data);
    // Sends the request and waits, sending it again after each time-out, up to `attempts`
    // times. Answers the stored getter payload, which is fresh only when *ok says so.
    QByteArray readWriteSync(quint8 command, const QByteArray &data, bool *ok, int attempts);

    quint8 cmdGetter() const { return m_cmdGetter; }
    quint8 cmdSetter() const { return m_cmdSetter; }
    // Bytes a getter answer must carry to be an answer at all: the size of a fixed-size value,
    // 0 for texts and untyped properties.
    int answerSize() const { return m_answerSize; }
    void setAnswerSize(int bytes) { m_answerSize = bytes; }
    void setCmdGetter(const quint8 &command) { m_cmdGetter = command; }
    void setCmdSetter(const quint8 &command) { m_cmdSetter = command; }

private:
    Q_DISABLE_COPY(DriverProperty_p)
    void request(quint8 command, const QByteArray &data, quint64 operation);

    AbstractDriver *m_abstractDriver;
    quint8 m_cmdGetter;
    quint8 m_cmdSetter;
    int m_answerSize = 0;
    QByteArray m_data;
    QByteArray m_lastSettedData;
    PropertySignal *m_gettedSignal;
    PropertySignal *m_settedSignal;
};

// A device operation that is only triggered: its setter code with an empty payload.
class DriverCommand : protected DriverProperty_p
{
public:
    DriverCommand(AbstractDriver *driver, quint8 cmdGetter, quint8 cmdSetter);
    ~DriverCommand() override;

    void execute();
    void executeSync(bool *ok, int attempts);

    using DriverProperty_p::cmdSetter;
    using DriverProperty_p::settedSignal;
};

// Conversion of a value to and from payload bytes: packed, little-endian. Decoding never
// reads beyond the payload: missing bytes count as zero, extra bytes are ignored.
template<typename T> struct PayloadCodec;

namespace PayloadDetail {
// The first `size` payload bytes, zero-filled when the payload is shorter.
inline void copyPadded(const QByteArray &payload, void *out, size_t size)
{
    std::memset(out, 0, size);
    std::memcpy(out, payload.constData(), qMin(size, size_t(payload.size())));
}
} // namespace PayloadDetail

template<> struct PayloadCodec<unsigned char>
{
    static constexpr int Size = 1;
    static QByteArray encode(unsigned char value) { return QByteArray(1, char(value)); }
    static unsigned char decode(const QByteArray &payload)
    {
        return payload.isEmpty() ? 0 : quint8(payload.at(0));
    }
};

template<> struct PayloadCodec<float>
{
    static constexpr int Size = 4;
    static QByteArray encode(float value)
    {
        quint32 bits;
        std::memcpy(&bits, &value, 4);
        QByteArray out(4, Qt::Uninitialized);
        qToLittleEndian(bits, out.data());
        return out;
    }
    static float decode(const QByteArray &payload)
    {
        uchar raw[4];
        PayloadDetail::copyPadded(payload, raw, 4);
        const quint32 bits = qFromLittleEndian<quint32>(raw);
        float value;
        std::memcpy(&value, &bits, 4);
        return value;
    }
};

// Texts end at the first zero byte or with the payload, and are UTF-8.
template<> struct PayloadCodec<QString>
{
    static constexpr int Size = 0; // any length
    static QByteArray encode(const QString &value) { return value.toUtf8(); }
    static QString decode(const QByteArray &payload)
    {
        const int end = payload.indexOf('\0');
        return QString::fromUtf8(end < 0 ? payload : payload.left(end));
    }
};

// A device value of type T: reads and writes, without waiting or synchronously.
template<typename T> class DriverProperty : protected DriverProperty_p
{
public:
    DriverProperty(AbstractDriver *driver, quint8 cmdGetter, quint8 cmdSetter)
        : DriverProperty_p(driver, cmdGetter, cmdSetter)
    {
        setAnswerSize(PayloadCodec<T>::Size);
    }

    PropertySignal *gettedSignal() override { return DriverProperty_p::gettedSignal(); }
    PropertySignal *settedSignal() override { return DriverProperty_p::settedSignal(); }

    virtual void getValue() { readWrite(cmdGetter(), QByteArray()); }
    virtual T getValueSync(bool *ok, const int &attempts)
    {
        return PayloadCodec<T>::decode(readWriteSync(cmdGetter(), QByteArray(), ok, attempts));
    }
    virtual void setCurrentValue(const T &value) { setBufferData(PayloadCodec<T>::encode(value)); }
    virtual T currentValue() { return PayloadCodec<T>::decode(data()); }
    virtual void setValue(const T &value)
    {
        readWrite(cmdSetter(), PayloadCodec<T>::encode(value));
    }
    virtual void setValueSync(const T &value, bool *ok, const int &attempts)
    {
        readWriteSync(cmdSetter(), PayloadCodec<T>::encode(value), ok, attempts);
    }
    virtual T lastSettedValue() const { return PayloadCodec<T>::decode(lastSettedData()); }

    using DriverProperty_p::cmdGetter;
    using DriverProperty_p::cmdSetter;
};

// Only the reading side of a value; its setter code is 0xFF.
template<typename T> class DriverPropertyReadOnly : protected DriverProperty<T>
{
public:
    DriverPropertyReadOnly(AbstractDriver *driver, quint8 cmdGetter, quint8 cmdSetter)
        : DriverProperty<T>(driver, cmdGetter, cmdSetter)
    {
    }

    PropertySignal *gettedSignal() override { return DriverProperty<T>::gettedSignal(); }
    void getValue() override { DriverProperty<T>::getValue(); }
    T getValueSync(bool *ok, const int &attempts) override
    {
        return DriverProperty<T>::getValueSync(ok, attempts);
    }
    void setCurrentValue(const T &value) override { DriverProperty<T>::setCurrentValue(value); }
    T currentValue() override { return DriverProperty<T>::currentValue(); }

    using DriverProperty<T>::cmdGetter;
};

// Only the writing side of a value; its getter code is 0xFF.
template<typename T> class DriverPropertyWriteOnly : protected DriverProperty<T>
{
public:
    DriverPropertyWriteOnly(AbstractDriver *driver, quint8 cmdGetter, quint8 cmdSetter)
        : DriverProperty<T>(driver, cmdGetter, cmdSetter)
    {
    }

    PropertySignal *settedSignal() override { return DriverProperty<T>::settedSignal(); }
    void setValue(const T &value) override { DriverProperty<T>::setValue(value); }
    void setValueSync(const T &value, bool *ok, const int &attempts) override
    {
        DriverProperty<T>::setValueSync(value, ok, attempts);
    }
    T lastSettedValue() const override { return DriverProperty<T>::lastSettedValue(); }

    using DriverProperty<T>::cmdSetter;
};

#endif // DRIVERPROPERTY_H
