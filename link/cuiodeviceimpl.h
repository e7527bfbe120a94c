#ifndef CUIODEVICEIMPL_H
#define CUIODEVICEIMPL_H

#include "cuiodevice.h"

#include <QPointer>

// Sends to its device by adding the address, and passes every message the link receives,
// for any address, to pMsgReceived: the derived class filters by address itself.
class cuIODeviceImpl : public cuIODevice
{
    Q_OBJECT
public:
    explicit cuIODeviceImpl(QObject *parent = nullptr);

    cuIOInterface *iOInterface() const override;
    void setIOInterface(cuIOInterface *link) override;
    quint8 devAddress() const override { return m_devAddress; }
    void setDevAddress(const quint8 &address) override { m_devAddress = address; }

public slots:
    void sendMsg(quint8 command, quint8 dataLength, quint8 *data) override;
    void msgReceived(quint8 address, quint8 command, quint8 dataLength, quint8 *data) override;

protected:
    virtual bool pMsgReceived(quint8 address, quint8 command, quint8 dataLength, quint8 *data) = 0;

private:
    // Guarded: a link destroyed while attached leaves no dangling pointer behind.
    QPointer<cuIOInterface> m_iOInterface;
    quint8 m_devAddress = 0;
};

#endif // CUIODEVICEIMPL_H
