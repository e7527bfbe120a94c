#ifndef LINKFACTORY_H
#define LINKFACTORY_H

#include <QString>

class QObject;
class cuIOInterface;

// The link for a port name: "socket://HOST:PORT" is a network serial server, anything else a
// serial port of this computer. The port is not opened yet.
cuIOInterface *createLink(const QString &portName, QObject *parent = nullptr);

#endif // LINKFACTORY_H
