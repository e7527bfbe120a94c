#ifndef CUIODEVICE_H
#define CUIODEVICE_H

#include <QObject>
#include <QString>

class cuIOInterface;

// One device on a link: its bus address and the link it is reached through.
class cuIODevice : public QObject
{
    Q_OBJECT
public:
    explicit cuIODevice(QObject *parent = nullptr) : QObject(parent) { }

    virtual cuIOInterface *iOInterface() const = 0;
    virtual void setIOInterface(cuIOInterface *link) = 0;
    virtual quint8 devAddress() const = 0;
    virtual void setDevAddress(const quint8 &address) = 0;

public slots:
    virtual void sendMsg(quint8 command, quint8 dataLength, quint8 *data) = 0;
    virtual void msgReceived(quint8 address, quint8 command, quint8 dataLength, quint8 *data) = 0;

signals:
    void errorInformation(QString);
};

#endif // CUIODEVICE_H
