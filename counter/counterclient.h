#ifndef COUNTERCLIENT_H
#define COUNTERCLIENT_H

#include "datacontext.h"
#include "kuvelcounterdriver.h"

#include <QObject>
#include <QString>

#include <array>

class cuIOInterface;

// The counter behind one port: the link and the driver, and the operations every front end
// runs on them. Every operation waits for the device's answer with the configured number of
// attempts and says whether one came; a value is valid only then. What went wrong is said in
// the counter's own terms; each front end turns it into its own (exit codes, error queue).
class CounterClient : public QObject
{
    Q_OBJECT
public:
    static constexpr int MinChannel = 1;
    static constexpr int MaxChannel = 8;
    static constexpr int LevelCount = 4;

    enum Failure {
        NoFailure,
        // The port did not open, or the device stayed silent through all its attempts.
        NoAnswer,
        // The device answered but is no counter, or another device answers since the port was
        // opened again.
        OtherDevice,
    };

    // The link for the port name is made now; the port opens with open() or the first request.
    CounterClient(const QString &portName, int attempts, QObject *parent = nullptr);
    // On a link made elsewhere (an in-process line), which the client then owns.
    CounterClient(cuIOInterface *link, const QString &portName, int attempts,
                  QObject *parent = nullptr);
    ~CounterClient() override;

    QString portName() const { return m_portName; }
    int attempts() const { return m_attempts; }

    // Opens the port now, so that a port that cannot be used is told apart from a silent
    // device; openErrorText() then says why.
    bool open();
    // Lets the port go, so another program may have the device; the next request opens it again.
    void close();
    bool isOpen() const;
    QString openErrorText() const;
    // True once any message came from the line, whether or not it answered a request: a
    // port where nothing ever answered is told apart from a device that is not a counter.
    bool hasHeardLine() const { return m_heardLine; }
    // The port name fit for a message: control characters escaped.
    QString printablePortName() const;
    // A text of the device (type, versions, description) fit for a message, an answer or a
    // terminal, with the same escapes as the port name: a newline or an escape sequence it
    // sent can neither break a line apart nor act on a terminal.
    static QString printableText(const QString &text);

    // Reads the device type and, for a counter, its identifier, so that another device taking
    // its place later is recognised. OtherDevice for a type that is not a counter's. *type gets
    // the text when one came.
    Failure identify(QString *type);

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
    // What an operation that failed ran into.
    Failure failure() const { return isRefused() ? OtherDevice : NoAnswer; }

    // The common entries of a data file about the counter accepted at identification, dated
    // now: its type and identifier as identify() found them, so nothing more is asked of it.
    DataContext::Entries context(const QString &program, const QString &firmware, int channel,
                                 double timeConstSeconds) const;

    // The client then goes without waiting for the answers still owed: for a front end that
    // waited for them itself when it let go of the line, long before the client goes.
    void leaveOwedAnswers() { m_waitForOwedAnswers = false; }

    // "no answer from the counter on <port> to <what> after <n> attempts", or once refused,
    // which device answers instead of the counter, or after a restore, that the reading was
    // dropped and why.
    QString noAnswerText(const QString &what) const;

    // The run's state: what this program wrote and the counter confirmed (or read from it)
    // since identify(). A level is -1 until then; the counter cannot read one back.
    int knownChannel() const { return m_state.channel; } // 0: not known
    bool isTimeConstKnown() const { return m_state.timeConstKnown; }
    float knownTimeConst() const { return m_state.timeConst; }
    int knownLevel(int channel, int level) const;
    // The four levels of `channel` for a data file (DataContext::levels).
    QVector<int> knownLevels(int channel) const;
    // True when the counter counts, as far as this program started and stopped it.
    bool isCounting() const { return m_state.counting == 1; }

    // Whenever an operation finds that the line was opened again and the same counter answers,
    // the counter's channel and time constant are read and compared with the run's state, and
    // the state is restored: the channel and time constant written where they differ, every
    // known level written, counting started again when the run counted; each write confirmed.
    // The answer of the operation that found it is never passed on as part of the run: a
    // setting read is read again, counts are read again when nothing differed and dropped
    // (the operation fails, wasRestored() true) when something did.
    bool wasRestored() const { return m_restored; }
    // What the last restore found and did, one line.
    QString restoreText() const { return m_restoreText; }

signals:
    // The state was restored after the line was opened again; `changed`: the counter held
    // another state (a restart), and `text` says what it held and what was written.
    void stateRestored(bool changed, const QString &text);
    // A level became known or unknown; channel 0: all of them.
    void levelKnown(int channel, int level);

private:
    struct RunState
    {
        int channel = 0;
        bool timeConstKnown = false;
        float timeConst = 0;
        std::array<std::array<int, LevelCount>, MaxChannel> levels;
        int counting = -1; // -1: not known
    };
    // Before an operation of the run: notes the opening of the line it starts on.
    void beginOperation();
    // After it: true when the line was opened again meanwhile, the state then restored (or
    // not: *restoreOk).
    bool reopenedDuring(bool *restoreOk);
    // `ok` of an operation, false too when the state could not be restored after a reopen.
    bool endOperation(bool ok);
    bool restoreState();
    bool rawReadChannel(int *channel);
    bool rawReadTimeConst(float *seconds);
    void forgetState();

    RunState m_state;
    int m_stateOpenCount = -1;
    bool m_restored = false;
    bool m_changedAtRestore = false;
    QString m_restoreText;
    bool m_restoring = false;

private:
    QString m_portName;
    int m_attempts;
    cuIOInterface *m_link;
    KuvelCounterDriver *m_driver;
    bool m_heardLine = false;
    bool m_waitForOwedAnswers = true;
};

#endif // COUNTERCLIENT_H
