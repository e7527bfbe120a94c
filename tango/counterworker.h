#ifndef COUNTERWORKER_H
#define COUNTERWORKER_H

#include "counterclient.h"
#include "levelproposal.h"
#include "scandata.h"

#include <QObject>
#include <QString>
#include <QThread>
#include <QVector>

#include <sys/time.h>

#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>

class QTimer;
class ScanSequence;

// One counter on a Qt thread of its own: the CounterClient and its timers live there, and so
// every request waits in that thread's event loop while the other counters' threads go on.
// The device server's threads hand their work over with call(), which runs it between the
// worker's own operations: a request waits in a nested event loop, and work started from
// there would interleave its requests with the waiting one's, so it is queued until the
// running operation has ended.
//
// Methods below call() run on the worker's thread only, inside a job or a tick.
class CounterWorker : public QObject
{
public:
    enum State { Connecting, On, Running, Fault };

    // One counts reading while counting, or the failure of one: what a change event carries.
    struct Reading
    {
        bool ok = false;
        quint32 counts[CounterClient::LevelCount] = {0, 0, 0, 0};
        timeval time = {0, 0}; // when the answer came
        QString error;
    };
    using ReadingSink = std::function<void(const Reading &)>;

    struct ScanResults
    {
        double percentDone = 0; // 0 for a scan without end
        QVector<ScanData::Point> points;
        QVector<LevelProposal> proposals; // empty until a scan was run
    };

    // The sink is called on the worker's thread with every reading the counting poll takes.
    CounterWorker(const QString &portName, int attempts, ReadingSink sink);
    ~CounterWorker() override;

    // Starts the thread and, without waiting for it, opens the port and identifies the counter.
    void start();
    // Stops counting polls and scans, lets the port go and ends the thread.
    void stop();
    // Runs job on the worker's thread as soon as no operation of its own runs there; returns
    // once it has run.
    void call(const std::function<void()> &job);

    // Safe from any thread.
    State state() const;
    QString status() const;

    // The operations, each false with errorText() saying why when the counter did not
    // confirm it or the device refuses it now.
    QString errorText() const { return m_error; }
    bool readCounts(quint32 counts[CounterClient::LevelCount]);
    bool readChannel(int *channel);
    bool writeChannel(int channel);
    bool readTimeConst(double *seconds);
    bool writeTimeConst(double seconds);
    bool writeLevel(int channel, int level, quint16 value);
    bool startCounting();
    bool stopCounting();
    bool save();
    bool startScan(int channel, quint32 start, quint32 stop, quint32 step);
    ScanResults scanResults() const;

private:
    struct Job
    {
        std::function<void()> run;
        std::promise<void> *done; // null: nobody waits
    };

    void post(const std::function<void()> &job, std::promise<void> *done);
    void runJobs();
    // Every operation of the worker's own (a poll, a scan step) runs between these two.
    bool beginOperation(bool *due);
    void endOperation();

    void setUp();
    void tearDown();
    bool connectCounter();
    // Identifies the counter first when it never was, then runs op; a failure makes the
    // device FAULT with noAnswerText(what).
    bool operate(const QString &what, const std::function<bool()> &op);
    bool refuseWhileScanning(const QString &what);
    // Reads the time constant the poll and the scan go by, then starts the counter.
    bool startCounter();
    bool fail(const QString &text);
    void setState(State state, const QString &status);
    void leaveFault();
    QString runningStatus() const;
    void armPoll();
    void pollTick();
    void scanTick();
    QString scanFailureText() const;
    void endScan();

    const QString m_portName;
    const int m_attempts;
    const ReadingSink m_sink;
    QThread m_thread;

    std::mutex m_jobsMutex;
    std::deque<Job> m_jobs;

    mutable std::mutex m_stateMutex;
    State m_state = Connecting;
    QString m_status;

    // The worker's thread only.
    std::unique_ptr<CounterClient> m_client;
    QTimer *m_pollTimer = nullptr;
    QTimer *m_scanTimer = nullptr;
    std::unique_ptr<ScanSequence> m_scan;
    bool m_busy = false;
    bool m_pollDue = false;
    bool m_scanDue = false;
    bool m_identified = false;
    bool m_counting = false;
    bool m_scanning = false;
    double m_timeConst = 0.1;
    QString m_identity; // "KuvelCounter, identifier ..."
    QString m_error;
};

#endif // COUNTERWORKER_H
