#ifndef CUTCPIOINTERFACE_H
#define CUTCPIOINTERFACE_H

#include "cuiointerfaceimpl.h"

#include <QString>

class QTcpSocket;

// The RS-485 line behind a network serial server (a serial device server, ser2net), named
// "socket://HOST:PORT": the same frames, carried over a TCP connection in raw mode.
//
// The connection is made by the first message sent. When it drops (the server restarted, the
// network gone) it is closed quietly, and the next message sent connects again.
class cuTcpIOInterface : public cuIOInterfaceImpl
{
    Q_OBJECT
public:
    explicit cuTcpIOInterface(QObject *parent = nullptr);
    ~cuTcpIOInterface() override;

    static bool isTcpPortName(const QString &name);

    bool isOpen() const override;

protected:
    bool pOpenLine() override;
    void pCloseLine() override;
    void pWrite(const QByteArray &frame) override;
    qint64 pBytesAvailable() const override;
    qint64 pRead(char *data, qint64 maxSize) override;

private:
    QTcpSocket *m_socket = nullptr;
};

#endif // CUTCPIOINTERFACE_H
