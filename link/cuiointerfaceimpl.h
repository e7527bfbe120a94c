#ifndef CUIOINTERFACEIMPL_H
#define CUIOINTERFACEIMPL_H

#include "cstarframereader.h"
#include "cuiointerface.h"

#include <QByteArray>
#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcLink)

// Forwards the public link operations to the hooks a concrete link supplies, and holds what
// every kind of line shares: the line opened by the first message and counted, a lost line
// closed once and opened again by the next message, the frames written and the receive step
// with its echo handling. A concrete link only opens, closes, writes and reads its device.
class cuIOInterfaceImpl : public cuIOInterface
{
    Q_OBJECT
public:
    explicit cuIOInterfaceImpl(QObject *parent = nullptr);

    QString portName() const { return m_portName; }
    void setPortName(const QString &name) { m_portName = name; }

    int openCount() const override { return m_openCount; }
    bool isEchoKnown() const override { return m_reader.isEchoSettled(); }
    // What the line's answers have shown of its echo so far (see cStarFrameReader).
    cStarFrameReader::Echo echo() const { return m_reader.echo(); }
    // Closes the line, so another program may have the device; the next message sent opens
    // it again.
    void close() override;
    void setNextIsRead(bool read) override { m_nextIsRead = read; }

    // Why the last attempt to open the line failed; NoError once it opened.
    enum OpenError {
        NoError,
        NoPortName,
        CannotOpen, // missing, or refused for a reason of its own (the system's text says it)
        PermissionDenied,
        NotSerialPort, // a file or a device that is not a terminal
        InUse, // another program (or link) holds the device, under whatever name
    };
    OpenError openError() const { return m_openError; }
    // The operator's sentence for openError(), naming the port.
    QString openErrorText() const override { return m_openErrorText; }

    // `name` fit to be shown: control characters as escapes, so that a newline in a name can
    // neither break a message apart nor hide.
    static QString printablePortName(const QString &name);

public slots:
    bool initialize() override { return pInitialize(); }
    bool sendMsg(quint8 address, quint8 command, quint8 dataLength, quint8 *data) override
    {
        return pSendMsg(address, command, dataLength, data);
    }

protected:
    // Opens the line unless it is open.
    virtual bool pInitialize();
    // Opens the line if needed, then writes the message as one frame.
    virtual bool pSendMsg(quint8 address, quint8 command, quint8 dataLength, quint8 *data);

    // The device's own steps. pOpenLine() opens it for m_portName, or sets the open error and
    // answers false; pCloseLine() closes it if open; pWrite() hands a frame to it, and
    // pWaitWritten() lets it take the bytes once pending events have run.
    virtual bool pOpenLine() = 0;
    virtual void pCloseLine() = 0;
    virtual void pWrite(const QByteArray &frame) = 0;
    virtual void pWaitWritten() { }
    // The bytes received and not yet read, and the read of up to `maxSize` of them.
    virtual qint64 pBytesAvailable() const = 0;
    virtual qint64 pRead(char *data, qint64 maxSize) = 0;

    // Reads what the line received; every valid frame it completes is emitted as it completes.
    void receive();
    // The line is gone (a device pulled out, a connection dropped): it is closed once, from
    // the event queue, never inside the device's own notification.
    void lineLost();

    // `detail` is the system's reason; for InUse, who holds the device (" (PID 12, name)"),
    // or nothing when that is unknown.
    void setOpenError(OpenError error, const QString &detail = QString());

    QString m_portName;

private:
    QByteArray frameToSend(quint8 address, quint8 command, quint8 dataLength, const quint8 *data,
                           bool isRead);
    void takeBytes(const QByteArray &bytes);
    void closeLostLine();

    cStarFrameReader m_reader;
    // Kept between reads, so its block is not allocated again for every read.
    QByteArray m_readBuffer;
    int m_openCount = 0;
    bool m_lineOpen = false; // opened, and not closed since (it may be lost already)
    bool m_closePending = false;
    bool m_nextIsRead = false;
    OpenError m_openError = NoError;
    QString m_openErrorText; // empty once the line opened
};

#endif // CUIOINTERFACEIMPL_H
