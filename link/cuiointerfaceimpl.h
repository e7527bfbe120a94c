#ifndef CUIOINTERFACEIMPL_H
#define CUIOINTERFACEIMPL_H

#include "cstarframereader.h"
#include "cuiointerface.h"

#include <QByteArray>
#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcLink)

// Forwards the public link operations to the hooks a concrete link supplies, and holds what
// every kind of line shares: the frames written and the receive step with its echo handling.
class cuIOInterfaceImpl : public cuIOInterface
{
    Q_OBJECT
public:
    explicit cuIOInterfaceImpl(QObject *parent = nullptr);

    QString portName() const { return m_portName; }
    void setPortName(const QString &name) { m_portName = name; }

    int openCount() const override { return m_openCount; }
    bool isEchoKnown() const override { return m_reader.isEchoSettled(); }
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
    virtual bool pInitialize() = 0;
    virtual bool pSendMsg(quint8 address, quint8 command, quint8 dataLength, quint8 *data) = 0;

    // The bytes to write for a message, taken as the frame last sent; empty when the message
    // cannot be one frame.
    QByteArray frameToSend(quint8 address, quint8 command, quint8 dataLength, const quint8 *data);
    // Bytes from the line: every valid frame they complete is emitted as it completes.
    void takeBytes(const QByteArray &bytes);

    // The operator's sentences for a line that did not open, naming the port.
    static QString noPortNameText();
    QString cannotOpenText(const QString &reason) const;

    cStarFrameReader m_reader;
    QString m_portName;
    int m_openCount = 0; // incremented by the concrete link each time its line opens
    QString m_openErrorText; // empty once the line opened
};

#endif // CUIOINTERFACEIMPL_H
