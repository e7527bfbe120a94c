#ifndef CUIOINTERFACE_H
#define CUIOINTERFACE_H

#include <QObject>
#include <QString>

// A link: carries addressed messages between the PC and the devices on one line.
class cuIOInterface : public QObject
{
    Q_OBJECT
public:
    explicit cuIOInterface(QObject *parent = nullptr) : QObject(parent) { }

    // Whether the line is open now. A link that opens its line on the first message (and again
    // after losing it) answers false until then; initialize() opens it.
    virtual bool isOpen() const { return true; }
    // How many times the line has been opened. When it changes, whatever answers on the line
    // may be another device than the one before (an adapter plugged in again, a reused port).
    virtual int openCount() const { return 1; }
    // False while the link cannot yet tell the line's echo of a request from the device's
    // answer; the first answer that differs from its request (a read) settles it.
    virtual bool isEchoKnown() const { return true; }
    // Closes the line, so another program may have the device; the next message opens it again.
    virtual void close() { }
    // The operator's sentence for why the line did not open; empty once it opened.
    virtual QString openErrorText() const { return QString(); }
    // A new operation begins (the attempts of one request that follow share it). A line that
    // opens by waiting for the far end (a network connection) waits once per operation, not
    // once per attempt, so a far end that never answers holds an operation for one bound.
    virtual void startOperation() { }
    // The next frame sent is a read: its answer carries a value, so a frame identical to the
    // request can only be the line's echo of it. Holds for that one frame.
    virtual void setNextIsRead(bool read) { Q_UNUSED(read) }

public slots:
    virtual bool initialize() = 0;
    // True when the frame was handed to the line; it does not mean the device received it.
    virtual bool sendMsg(quint8 address, quint8 command, quint8 dataLength, quint8 *data) = 0;

signals:
    // One decoded frame. The payload pointer is valid only during the emission.
    void msgReceived(quint8 address, quint8 command, quint8 dataLength, quint8 *data);
};

#endif // CUIOINTERFACE_H
