#include "scandata.h"

#include <QList>

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
    ScanData read;
    bool columnsSeen = false;
    const QList<QByteArray> lines = bytes.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        if (line.isEmpty())
            continue;
        if (line.startsWith('#')) {
            const QString text = QString::fromUtf8(line.mid(1)).trimmed();
            const int colon = text.indexOf(QLatin1Char(':'));
            if (colon > 0)
                read.header.append({text.left(colon).trimmed(), text.mid(colon + 1).trimmed()});
            continue;
        }
        if (!columnsSeen) {
            if (line != columnsLine().trimmed()) {
                *reason = QStringLiteral("line %1 is not the column line \"phase,level,count\"")
                              .arg(i + 1);
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
            *reason = QStringLiteral("line %1 is not a point \"phase,level,count\"").arg(i + 1);
            return false;
        }
        read.points.append(point);
    }
    if (!columnsSeen) {
        *reason = QStringLiteral("no column line \"phase,level,count\"");
        return false;
    }
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
