#ifndef FAULTRUN_H
#define FAULTRUN_H

#include "simlog.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

class cuRs485IOInterface;
class KuvelCounterDriver;

// What a fault run found, from the PC's results held against the simulator's log.
struct FaultFigures
{
    int operations = 0;
    int succeeded = 0;
    int failed = 0;
    int requests = 0; // requests the device received, every attempt counted
    int answersDropped = 0;
    int answersCorrupted = 0;
    int answersLate = 0;
    int answersWrongCode = 0;
    int answersShort = 0;
    int answersLong = 0;
    int requestsEchoed = 0;
    int noiseBursts = 0;
    int unsolicitedFrames = 0;

    int valuesChecked = 0; // successful reads whose value was held against the log
    int wrongValues = 0; // a value read that the device did not send for that operation
    int unconfirmedSuccesses = 0; // success with no answer of its own in time
    int missedAnswers = 0; // failure although a good answer of its own went out in time
    int countsChecked = 0; // successful counts reads among valuesChecked
    int distinctCounts = 0; // different counts records read
    int unsolicitedTaken = 0; // counts reads that returned counts the device sent unasked
    // Kinds of wrong values and successes, each also counted above:
    int staleValues = 0; // numbered counts of a request that was not the operation's own
    int shortTaken = 0; // the value of an answer cut below its value's size
    int echoTaken = 0; // a read that took the echo of its own request for the answer
    int successesAfterSwap = 0; // operations another device let succeed
    QStringList problems; // the first few wrong values and successes, described
    QStringList oddities; // log lines the check could not place

    double failureRate() const { return operations ? double(failed) / operations : 0.0; }
    // True when every success was confirmed and every value read was the device's answer.
    bool clean() const { return wrongValues == 0 && unconfirmedSuccesses == 0; }
};

// Synchronous operations of the real link and counter driver against the simulated counter,
// each recorded with its outcome and marked in the simulator's log by a frame for another
// address after it, so the log tells which requests and answers belong to which operation.
//
// The check: a successful operation needs an answer to one of its own requests that the
// device sent before the operation ended, with the request's code and not corrupted; a read
// must have returned the payload of such an answer. With `unsolicitedCountsAllowed`, a counts
// read may also return counts the device sent unasked around the operation: the code cannot
// tell them from the answer, and they are counts the device measured, only not asked for.
// An answer cut below its value's size is no answer to the read; one with bytes appended
// still holds its value. After markDeviceSwap() (another device now behind the port) no
// operation may succeed: a read's value is counted wrong, a write's success unconfirmed.
class FaultRun
{
public:
    static constexpr quint8 MarkerAddress = 0x7E;
    static constexpr int Attempts = 5;

    explicit FaultRun(const QString &portName, int answerTimeoutMs = 500);
    ~FaultRun();

    bool readCounts();
    bool readTimeConst();
    bool readChannel();
    bool readDeviceType();
    bool readIdentifier();
    // As every program begins: reads the type, then takes the device as the accepted one,
    // which reads its identifier (an operation of its own, CommandCode::Identifier). From then on
    // the driver confirms the device after every reopen of the port.
    bool identify();
    bool writeTimeConst(float seconds);
    bool writeChannel(quint8 index);
    bool writeRefLevel(quint8 channel, quint8 level, quint16 value);
    bool startCounting();
    bool stopCounting();

    // The operations from here on talk to another device than the one whose log is checked.
    void markDeviceSwap() { m_swapAt = m_ops.size(); }

    int operationCount() const { return m_ops.size(); }
    int failures() const { return m_failures; }

    FaultFigures check(const QStringList &logLines, bool unsolicitedCountsAllowed = false) const;

private:
    struct Op
    {
        quint8 code = 0;
        bool read = false;
        bool ok = false;
        QByteArray value; // a read's value, encoded again
        QByteArray (*normalize)(const QByteArray &) = nullptr; // answer payload -> value bytes
    };

    template<typename T, typename Property> bool read(Property *property);
    bool finish(Op op);

    cuRs485IOInterface *m_link;
    KuvelCounterDriver *m_driver;
    QVector<Op> m_ops;
    int m_failures = 0;
    int m_swapAt = -1;
};

#endif // FAULTRUN_H
