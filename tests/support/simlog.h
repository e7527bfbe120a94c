#ifndef SIMLOG_H
#define SIMLOG_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QStringList>
#include <QVector>

// The simulated counter's log read back: which request got which answer.
//
// The simulator writes one line per request it decoded and one per answer, before the bytes
// go out. An answer sent at once (or dropped) is logged on the line right after its request;
// an answer that waited is logged when it goes out and pairs with its request by the "id"
// both carry (late answers may overtake each other). A late answer without an id (older
// logs) pairs with the oldest request still waiting. A request for another address is logged as
// "ignored": the fault runs send one such frame after every operation, so the log shows where each
// operation of the PC ended.
class SimLog
{
public:
    // One line of the log as written: "<seconds> <kind> <code> <payload bytes...> <tags...>".
    // Bytes are two hex digits, every longer token is a tag, "name=value" for tags with a value.
    struct Line
    {
        double time = 0; // seconds since the simulator started
        QString kind; // rx, tx, bad, ctl
        quint8 code = 0;
        QByteArray payload;
        QSet<QByteArray> tags; // tags without their value: "late", "addr", "noise", ...
        QHash<QByteArray, QByteArray> values; // the value of each "name=value" tag
        bool valid = false;

        QByteArray value(const char *tag) const { return values.value(tag); }
    };
    static Line parse(const QString &text);
    // The requests and answers of a log (rx and tx lines), in order.
    static QList<Line> frames(const QStringList &lines);

    struct Answer
    {
        bool exists = false; // false: the request got no answer at all (silent, rejected)
        bool dropped = false;
        bool corrupted = false;
        bool late = false;
        bool wrongCode = false;
        bool shortened = false; // cut below its value's size
        bool lengthened = false; // bytes appended behind the value
        int noiseBytes = 0;
        quint8 code = 0;
        QByteArray payload;
        int line = -1; // line of the log on which it was sent
    };

    struct Request
    {
        quint8 code = 0;
        QByteArray payload;
        int line = -1;
        bool echoed = false; // its bytes went back to the PC before any answer
        quint32 number = 0; // a counts request's running number; 0: not numbered
        Answer answer;
    };

    // The requests of one operation of the PC, up to the marker that ended it.
    struct Operation
    {
        QVector<Request> requests;
        int markerLine = -1; // -1: no marker followed (the log ended first)
    };

    struct Unsolicited
    {
        quint8 code = 0;
        QByteArray payload;
        int line = -1;
    };

    explicit SimLog(const QStringList &lines, quint8 markerAddress);

    const QVector<Operation> &operations() const { return m_operations; }
    const QVector<Unsolicited> &unsolicited() const { return m_unsolicited; }
    // Lines the reading could not place (a late answer with no late request before it, a
    // frame the simulator could not decode): a healthy run has none.
    const QStringList &oddities() const { return m_oddities; }

private:
    static Answer answerFrom(const Line &line, int index);

    QVector<Operation> m_operations;
    QVector<Unsolicited> m_unsolicited;
    QStringList m_oddities;
};

// The requests of a simulator log, each as "<code> <payload bytes>" in upper-case hex,
// without the time and the tags.
QStringList simRequests(const QStringList &logLines);
// The lines of a simulator log after the first one containing `marker`.
QStringList linesAfter(const QStringList &lines, const QString &marker);
// How many of `requests` carry the command code `code`, whatever their payload.
int countCode(const QStringList &requests, const QString &code);
// The counts records the simulator sent, in order.
QList<QList<quint32>> simCountsSent(const QStringList &logLines);

#endif // SIMLOG_H
