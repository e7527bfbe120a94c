#include "scandata.h"

#include <QList>

#include <algorithm>

ScanData::Header ScanData::context(const QString &program, const QDateTime &when,
                                   const QString &port, const QString &deviceType,
                                   const QString &identifierHex, const QString &firmware,
                                   int channel, double timeConstSeconds)
{
    return DataContext::common(program, when, port, deviceType, identifierHex, firmware, channel,
                               timeConstSeconds);
}

QByteArray ScanData::row(const Point &point)
{
    return QByteArray::number(point.phase) + ',' + QByteArray::number(point.level) + ','
        + QByteArray::number(point.count) + '\n';
}

QByteArray ScanData::toCsv() const
{
    QByteArray csv = headerLines(header) + columnsLine();
    for (const Point &point : points)
        csv += row(point);
    return csv;
}

bool ScanData::fromCsv(const QByteArray &bytes, ScanData *data, QString *reason)
{
    if (bytes.size() > MaxFileBytes) {
        *reason = QStringLiteral("the file is larger than %1 MiB, more than any scan")
                      .arg(MaxFileBytes / (1024 * 1024));
        return false;
    }
    ScanData read;
    bool columnsSeen = false;
    int commentLines = 0;
    // Line by line in place: a file of many short lines takes no more memory than its bytes.
    int lineNumber = 0;
    for (int start = 0; start < bytes.size(); ++lineNumber) {
        const int lineEnd = bytes.indexOf('\n', start);
        const int end = lineEnd < 0 ? bytes.size() : lineEnd;
        const int length = end - start;
        const QByteArray line
            = QByteArray::fromRawData(bytes.constData() + start, length).trimmed();
        start = end + 1;
        if (lineNumber >= MaxLines) {
            *reason = QStringLiteral("the file has more than %1 lines, more than any scan")
                          .arg(MaxLines);
            return false;
        }
        if (length > MaxLineBytes) {
            *reason = QStringLiteral("line %1 is longer than %2 bytes")
                          .arg(lineNumber + 1)
                          .arg(MaxLineBytes);
            return false;
        }
        if (line.isEmpty())
            continue;
        if (lineEnd < 0) {
            *reason = QStringLiteral("line %1 has no line end: the file was cut off while it "
                                     "was written")
                          .arg(lineNumber + 1);
            return false;
        }
        if (line.startsWith('#')) {
            if (++commentLines > MaxCommentLines) {
                *reason = QStringLiteral("the file has more than %1 comment lines")
                              .arg(MaxCommentLines);
                return false;
            }
            const QString text = QString::fromUtf8(line.mid(1)).trimmed();
            const int colon = text.indexOf(QLatin1Char(':'));
            if (colon > 0)
                read.header.append({text.left(colon).trimmed(), text.mid(colon + 1).trimmed()});
            continue;
        }
        if (!columnsSeen) {
            if (line != columnsLine().trimmed()) {
                *reason = QStringLiteral("line %1 is not the column line \"phase,level,count\"")
                              .arg(lineNumber + 1);
                return false;
            }
            columnsSeen = true;
            continue;
        }
        const QList<QByteArray> fields = line.split(',');
        bool ok[3] = {false, false, false};
        Point point {};
        if (fields.size() == 3) {
            point.phase = fields[0].toInt(&ok[0]);
            point.level = fields[1].toUInt(&ok[1]);
            point.count = fields[2].toUInt(&ok[2]);
        }
        if (!ok[0] || !ok[1] || !ok[2] || point.phase < 1 || point.phase > 4
            || point.level > 65535) {
            *reason = QStringLiteral("line %1 is not a point \"phase,level,count\"")
                          .arg(lineNumber + 1);
            return false;
        }
        if (read.points.size() == MaxPoints) {
            *reason = QStringLiteral("the file has more than %1 points, 4 phases of 65536 levels")
                          .arg(MaxPoints);
            return false;
        }
        read.points.append(point);
    }
    if (!columnsSeen) {
        *reason = QStringLiteral("no column line \"phase,level,count\"");
        return false;
    }
    // A plot adds a point in order at once, but one out of order by moving all after it: the
    // points of an unsorted file, in order, take n log n, not n squared.
    std::stable_sort(read.points.begin(), read.points.end(), [](const Point &a, const Point &b) {
        return a.phase < b.phase || (a.phase == b.phase && a.level < b.level);
    });
    *data = read;
    return true;
}

QString ScanData::value(const QString &key) const
{
    for (const auto &entry : header) {
        if (entry.first == key)
            return entry.second;
    }
    return {};
}

QVector<QPointF> ScanData::curve(int phase) const
{
    QVector<QPointF> result;
    for (const Point &point : points) {
        if (point.phase == phase)
            result.append(QPointF(point.level, point.count));
    }
    return result;
}

DetectorFit ScanData::fit(int phasesMeasured) const
{
    QVector<QVector<QPointF>> curves;
    for (int phase = 1; phase <= DetectorFit::LevelCount; ++phase)
        curves.append(phase <= phasesMeasured ? curve(phase) : QVector<QPointF>());
    return DetectorFit(curves);
}

ScanData::Header ScanData::results(const QVector<LevelProposal> &proposals, const DetectorFit &fit)
{
    return DataContext::proposals(proposals) + fit.report();
}
