#ifndef KUVELCOUNTERSIM_H
#define KUVELCOUNTERSIM_H

#include "cstarprotocolpc.h"
#include "kuvelcountermodel.h"
#include "simrandom.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <cstdio>
#include <map>

class QSocketNotifier;

struct KuvelSimOptions
{
    quint64 seed = 1;
    double dropShare = 0.0;
    double corruptShare = 0.0;
    double lateShare = 0.0;
    double wrongCodeShare = 0.0;
    double noiseShare = 0.0;
    double shortShare = 0.0;
    double longShare = 0.0;
    int delayMs = 0;
    // A late answer is sent a lateness drawn uniformly from this range (both ends included)
    // after the request, each on its own, so late answers may overtake each other.
    int lateMinMs = 700;
    int lateMaxMs = 700;
    QList<quint8> lateCodes; // codes whose answers may be late; empty: every code
    QList<quint8> dropCodes; // codes whose answers may be dropped; empty: every code
    int unsolicitedMs = 0; // 0: none
    bool silent = false;
    bool echo = false;
    // The echo starts with this request (valid frames from the PC, counted from 1), as with
    // an adapter that misses its first echoes; bytes before it are not sent back.
    int echoFrom = 1;
    bool numberedCounts = false;
    KuvelCounterModel::Detector detector;
    QByteArray deviceType = "KuvelCounter";
    QByteArray identifier; // 12 bytes; empty: the model's default
    QString logPath; // empty: no log
    QString linkPath; // empty: no symlink
};

// The simulated counter on a pseudo-terminal: collects Star frames from the line, lets the
// model answer those for address 0x00, and injects the configured faults into the answers.
// Runs in the Qt event loop of its thread, so it can also live inside a test process.
//
// Faults besides drops, corruption, noise and wrong codes: late answers (for chosen codes
// only, with a lateness from a range), getter answers cut below their value's size or made
// longer, an echo of every byte from the PC as an echoing adapter sends it back (a frame's
// echo goes out before anything that answers it, also when the answer is late or dropped),
// numbered counts (see KuvelCounterModel) and another identifier.
//
// Log, one flushed line per event, written before the bytes go out:
//   <seconds since start> rx <code> <payload...> [tags]   a decoded request
//   <seconds since start> tx <code> <payload...> [tags]   an answer (or one that was dropped)
//   <seconds since start> bad <raw bytes...> reason=<why> bytes that are not a valid frame
//   <seconds since start> ctl silent=on|off
// Code and payload bytes are two upper-case hex digits each; any longer token is a tag.
// An answer sent at once (or dropped) is the line right after its request. A request whose
// answer waits (--delay, late) and that answer both carry "id=<n>", so late answers that
// overtake each other still pair with their requests. Tags of faults: dropped, corrupted at=,
// noise=, wrong-code req=, late=<ms>, short=<bytes kept>, long=<bytes added>, and "echoed"
// on a request or bad line whose bytes were sent back; "seq=<n>" on a counts request is the
// number its answer carries with numbered counts.
class KuvelCounterSim : public QObject
{
    Q_OBJECT

public:
    explicit KuvelCounterSim(const KuvelSimOptions &options, QObject *parent = nullptr);
    ~KuvelCounterSim() override;

    // Creates the pseudo-terminal, the symlink and the log. On failure fills error.
    bool open(QString *error);
    QString slavePath() const { return m_slavePath; }

    bool isSilent() const { return m_silent; }
    void setSilent(bool silent);

    const KuvelCounterModel &model() const { return m_model; }

    // Takes bytes as they come from the line; public so the frame handling can be driven
    // without a terminal.
    void receiveBytes(const quint8 *data, int length);

private:
    struct Outgoing
    {
        QByteArray wire;
        QByteArray logText;
    };

    void readMaster();
    void flushOutput();
    void handleFrame(const QByteArray &raw);
    // The answer with its faults: wire bytes, log line and when it goes out (-1: dropped).
    Outgoing prepareAnswer(quint8 requestCode, const QByteArray &payload, int *waitMs);
    bool isLateCode(quint8 code) const;
    void echo(const QByteArray &raw);
    bool isEchoing() const { return m_options.echo && m_framesSeen >= m_options.echoFrom; }
    void sendUnsolicited();
    void sendDue();
    void armSendTimer();
    void transmit(const Outgoing &out);
    QByteArray encode(quint8 command, const QByteArray &payload);
    void log(const QByteArray &text);
    void logBad(const QByteArray &raw, const char *reason);
    void removeLink();

    KuvelSimOptions m_options;
    KuvelCounterModel m_model;
    cStarProtocolPC m_codec;
    SimRandom m_faults;
    bool m_silent;
    int m_framesSeen = 0; // valid frames from the PC

    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
    bool m_linkMade = false;
    FILE *m_log = nullptr;

    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QByteArray m_pendingOutput;

    QByteArray m_frame; // bytes of the frame being collected, from its start byte
    bool m_inFrame = false;
    QByteArray m_junk; // bytes outside any frame, logged in one line per read

    QElapsedTimer m_clock;
    // Answers waiting for their time, by due time in nanoseconds since the start; answers
    // due at the same time keep their order.
    std::multimap<qint64, Outgoing> m_scheduled;
    QTimer m_sendTimer;
    QTimer m_unsolicitedTimer;
    int m_waitingAnswers = 0; // answers given an id so far
};

#endif // KUVELCOUNTERSIM_H
