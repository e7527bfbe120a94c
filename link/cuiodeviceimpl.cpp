#include "cuiodeviceimpl.h"

#include "cuiointerface.h"

cuIODeviceImpl::cuIODeviceImpl(QObject *parent) : cuIODevice(parent) { }

cuIOInterface *cuIODeviceImpl::iOInterface() const
{
    return m_iOInterface.data();
}

void cuIODeviceImpl::setIOInterface(cuIOInterface *link)
{
    if (!link)
        return;
    m_iOInterface = link;
    // Direct in one thread: a message is handled before the link takes its next byte.
    connect(link, &cuIOInterface::msgReceived, this, &cuIODevice::msgReceived);
}

void cuIODeviceImpl::sendMsg(quint8 command, quint8 dataLength, quint8 *data)
{
    if (!m_iOInterface)
        return;
    m_iOInterface->sendMsg(devAddress(), command, dataLength, data);
}

void cuIODeviceImpl::msgReceived(quint8 address, quint8 command, quint8 dataLength, quint8 *data)
{
    pMsgReceived(address, command, dataLength, data);
}
