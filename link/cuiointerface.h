#ifndef CUIOINTERFACE_H
#define CUIOINTERFACE_H

#include <QObject>

// A link: carries addressed messages between the PC and the devices on one line.
class cuIOInterface : public QObject
{
    Q_OBJECT
public:
    explicit cuIOInterface(QObject *parent = nullptr) : QObject(parent) { }

public slots:
    virtual bool initialize() = 0;
    // True when the frame was handed to the line; it does not mean the device received it.
    virtual bool sendMsg(quint8 address, quint8 command, quint8 dataLength, quint8 *data) = 0;

signals:
    // One decoded frame. The payload pointer is valid only during the emission.
    void msgReceived(quint8 address, quint8 command, quint8 dataLength, quint8 *data);
};

#endif // CUIOINTERFACE_H
