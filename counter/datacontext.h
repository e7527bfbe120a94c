#ifndef DATACONTEXT_H
#define DATACONTEXT_H

#include <QByteArray>
#include <QDateTime>
#include <QPair>
#include <QString>
#include <QVector>

class LevelProposal;

// The comment lines `# key: value` that every data file of the program starts with (a scan,
// the command line's watch, the window's trend recording): where, when and how it was
// measured. Readers that skip comments, such as pandas' read_csv(comment="#"), see the plain
// table after them. Every writer takes its keys, their order and their spelling from here.
class DataContext
{
public:
    using Entries = QVector<QPair<QString, QString>>;

    // "kuvel-counter-cli 1.0": the program with the version of this build.
    static QString program(const QString &name);
    // The counter's 12-byte identifier as it stands in a file: upper-case hex.
    static QString identifierText(const QByteArray &bytes);

    // The entries every file has, in this order: program, date (UTC), port, device type,
    // identifier, firmware, channel, time constant.
    static Entries common(const QString &program, const QDateTime &when, const QString &port,
                          const QString &deviceType, const QString &identifierHex,
                          const QString &firmware, int channel, double timeConstSeconds);
    // A scan's range, after the common entries.
    static Entries scanRange(quint32 start, quint32 stop, quint32 step);
    // The levels a scan proposes, known only at its end, so a streamed file has them last.
    static Entries proposals(const QVector<LevelProposal> &proposals);

    // The four levels of the file's channel as far as the program knows them (a level the
    // counter confirmed, -1 for one it does not know): "4000, 12000, unknown, unknown".
    static Entries levels(const QVector<int> &levels,
                          const QString &key = QStringLiteral("levels"));
    // A gap in a streamed file: when the counter's state was lost and what happened then.
    static Entries gap(const QDateTime &when, const QString &what);

    // `# key: value` lines. Control characters and line separators in a key or a value (a
    // device's text, a port name) become blanks, so a value never starts a line of its own.
    static QByteArray lines(const Entries &entries);
    // `text` with its control characters and line separators as blanks: device texts and port
    // names stay one line.
    static QString oneLine(QString text);
};

#endif // DATACONTEXT_H
