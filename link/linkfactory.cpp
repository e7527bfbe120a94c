#include "linkfactory.h"

#include "curs485iointerface.h"
#include "cutcpiointerface.h"

cuIOInterface *createLink(const QString &portName, QObject *parent)
{
    if (cuTcpIOInterface::isTcpPortName(portName)) {
        auto *link = new cuTcpIOInterface(parent);
        link->setPortName(portName);
        return link;
    }
    auto *link = new cuRs485IOInterface(parent);
    link->setPortName(portName);
    return link;
}
