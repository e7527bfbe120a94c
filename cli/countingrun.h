#ifndef COUNTINGRUN_H
#define COUNTINGRUN_H

#include "datacontext.h"

#include <QObject>
#include <QString>
#include <QTimer>

class CounterClient;

// A run that keeps the counter counting over time (watching the counts, a scan): steps come
// from a single-shot timer, and every way out, the last step, a failure, a signal or a closed
// output, stops the counter before finished() is emitted, once it has been asked to start.
class CountingRun : public QObject
{
    Q_OBJECT
public:
    explicit CountingRun(CounterClient *client, QObject *parent = nullptr);
    ~CountingRun() override;

    // Begins from the event loop, so that finished() always reaches a running loop.
    void start();
    // SIGINT or SIGTERM: the run ends as soon as no request is waiting for its answer.
    void interrupt(int signalNumber);
    // The data then starts with `# key: value` lines saying where, when and how it was
    // measured; the device type is the one identification read.
    void setContext(const QString &deviceType);

    // Delay of `count` time constants in milliseconds, rounded to the nearest millisecond
    // so that a time constant of 0.01 s stored as a float still gives 10 ms.
    static qint64 delayMs(double seconds, int count);

signals:
    void finished(int exitCode);

protected:
    virtual void begin() = 0;
    virtual void tick() = 0;

    // Reads the time constant the run is timed by; ends the run when there is none.
    bool readTimeConst(float *seconds);
    // Starts counting; ends the run when the device does not confirm.
    bool startCounter();
    // Writes a data line; an output that cannot be written ends the run, a closed one as a
    // broken pipe would.
    bool writeData(const QString &line);
    // The context lines, when asked for, with the identifier and the firmware read now and
    // `more` after the common keys. False when the run ended.
    bool writeContext(int channel, float timeConst, const DataContext::Entries &more = {});
    // More context lines after the data began, when asked for. False when the run ended.
    bool writeContextLines(const DataContext::Entries &entries);
    bool hasContext() const { return m_withContext; }
    // Says that the device did not answer `what` (or which device answers instead) and ends
    // the run with the code of that failure.
    void failNoAnswer(const QString &what);
    // Ends the run when a signal came meanwhile; true then.
    bool endIfInterrupted();
    void finish(int exitCode);
    void arm(qint64 milliseconds);
    bool isFinished() const { return m_finished; }

    CounterClient *m_client;

private:
    void runBegin();

    QTimer m_timer;
    int m_signal = 0;
    bool m_counterStartSent = false;
    bool m_finished = false;
    bool m_withContext = false;
    bool m_dataStarted = false;
    QString m_deviceType;
};

#endif // COUNTINGRUN_H
