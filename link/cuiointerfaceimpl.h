#ifndef CUIOINTERFACEIMPL_H
#define CUIOINTERFACEIMPL_H

#include "cuiointerface.h"

// Forwards the public link operations to the hooks a concrete link supplies.
class cuIOInterfaceImpl : public cuIOInterface
{
    Q_OBJECT
public:
    explicit cuIOInterfaceImpl(QObject *parent = nullptr) : cuIOInterface(parent) { }

public slots:
    bool initialize() override { return pInitialize(); }
    bool sendMsg(quint8 address, quint8 command, quint8 dataLength, quint8 *data) override
    {
        return pSendMsg(address, command, dataLength, data);
    }

protected:
    virtual bool pInitialize() = 0;
    virtual bool pSendMsg(quint8 address, quint8 command, quint8 dataLength, quint8 *data) = 0;
};

#endif // CUIOINTERFACEIMPL_H
