#ifndef SCANDATA_H
#define SCANDATA_H

#include <QByteArray>
#include <QDateTime>
#include <QPair>
#include <QPointF>
#include <QString>
#include <QVector>

// A calibration scan as a file: comment lines `# key: value` that say where, when and how it
// was measured, then the CSV rows `phase,level,count`. Readers that skip comments, such as
// pandas' read_csv(comment="#"), see the plain table.
class ScanData
{
public:
    using Header = QVector<QPair<QString, QString>>;

    struct Point
    {
        int phase; // 1 to 4
        quint32 level;
        quint32 count;
    };

    // The context every saved file of the program starts with, in this order: program, date
    // (UTC), port, device type, identifier, firmware, channel, time constant.
    static Header context(const QString &program, const QDateTime &when, const QString &port,
                          const QString &deviceType, const QString &identifierHex,
                          const QString &firmware, int channel, double timeConstSeconds);
    // `# key: value` lines. Control characters in a value (a device's text, a port name)
    // become blanks, so a value never starts a line of its own.
    static QByteArray headerLines(const Header &header);
    // `text` with its control characters as blanks: device texts and port names stay one line.
    static QString oneLine(QString text);
    static QByteArray columnsLine() { return "phase,level,count\n"; }
    static QByteArray row(const Point &point);

    QByteArray toCsv() const;
    // The header and the rows of a saved scan; false with the reason and the line for a file
    // that is not one.
    static bool fromCsv(const QByteArray &bytes, ScanData *data, QString *reason);

    // The value of `key`, empty when the header has none.
    QString value(const QString &key) const;
    // One phase's points as (level, count).
    QVector<QPointF> curve(int phase) const;

    Header header;
    QVector<Point> points;
};

#endif // SCANDATA_H
