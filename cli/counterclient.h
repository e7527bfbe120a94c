#ifndef COUNTERCLIENT_H
#define COUNTERCLIENT_H

#include "kuvelcounterdriver.h"

#include <QObject>
#include <QString>

class cuIOInterface;

// Exit codes of the command-line program, so scripts can tell the failures apart.
enum CliExitCode {
    ExitOk = 0,
    ExitUsage = 1, // bad arguments: nothing was sent to the device
    ExitDevice = 2, // the device answered, but it is not a counter or reports nonsense
    ExitNoAnswer = 3, // the port did not open or the device did not answer after its attempts
    ExitOutput = 4, // standard output could not be written, other than by a closed pipe
};

// The counter behind one serial port: the link and the driver, and the operations the
// command-line program runs on them. Every operation waits for the device's answer with the
// configured number of attempts and says whether one came; a value is valid only then.
class CounterClient : public QObject
{
    Q_OBJECT
public:
    static constexpr int MinChannel = 1;
    static constexpr int MaxChannel = 8;
    static constexpr int LevelCount = 4;
    static constexpr quint16 HeldLevel = 65535; // a level held out of the way during a scan

    CounterClient(const QString &portName, int attempts, QObject *parent = nullptr);
    ~CounterClient() override;

    QString portName() const { return m_portName; }
    int attempts() const { return m_attempts; }

    // Opens the port now, so that a port that cannot be used is told apart from a silent
    // device; openErrorText() then says why.
    bool open();
    QString openErrorText() const;
    // The port name fit for a message: control characters escaped.
    QString printablePortName() const;

    // Reads the device type; ExitOk for a counter, ExitDevice for another device,
    // ExitNoAnswer when it stays silent. *type gets the text when one came.
    CliExitCode identify(QString *type);

    bool readText(DriverPropertyReadOnly<QString> *property, QString *text);
    bool readIdentifier(cUDID *identifier);
    // Channels are 1 to 8 here; the device counts them from 0.
    bool readChannel(int *channel);
    bool writeChannel(int channel);
    bool readTimeConst(float *seconds);
    bool writeTimeConst(float seconds);
    // Channel 1 to 8, level 1 to 4.
    bool writeLevel(int channel, int level, quint16 value);
    bool readCounts(Kuvel_Counts_t *counts);
    bool startCounter();
    bool stopCounter();
    bool writeEeprom();

    // True while a request waits for its answer: the wait runs a nested event loop, so
    // handlers reached from it must not send a request of their own.
    bool isBusy() const;

    KuvelCounterDriver *driver() const { return m_driver; }

    // True once another device was found behind the port after it was opened again: nothing
    // more is sent, and every operation fails.
    bool isRefused() const;
    // ExitDevice once refused, else ExitNoAnswer: the code of an operation that failed.
    CliExitCode failureCode() const { return isRefused() ? ExitDevice : ExitNoAnswer; }

    // "no answer from the counter on <port> to <what> after <n> attempts", or once refused,
    // which device answers instead of the counter.
    QString noAnswerText(const QString &what) const;

private:
    QString m_portName;
    int m_attempts;
    cuIOInterface *m_link;
    KuvelCounterDriver *m_driver;
};

#endif // COUNTERCLIENT_H
