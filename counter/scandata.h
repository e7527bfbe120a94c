#ifndef SCANDATA_H
#define SCANDATA_H

#include "datacontext.h"
#include "detectorfit.h"

#include <QByteArray>
#include <QDateTime>
#include <QPointF>
#include <QString>
#include <QVector>

// A calibration scan as a file: its context (the comment lines `# key: value` of DataContext),
// then the CSV rows `phase,level,count`.
class ScanData
{
public:
    using Header = DataContext::Entries;

    struct Point
    {
        int phase; // 1 to 4
        quint32 level;
        quint32 count;
    };

    // DataContext::common, DataContext::lines and DataContext::oneLine.
    static Header context(const QString &program, const QDateTime &when, const QString &port,
                          const QString &deviceType, const QString &identifierHex,
                          const QString &firmware, int channel, double timeConstSeconds);
    static QByteArray headerLines(const Header &header) { return DataContext::lines(header); }
    static QString oneLine(const QString &text) { return DataContext::oneLine(text); }
    static QByteArray columnsLine() { return "phase,level,count\n"; }
    static QByteArray row(const Point &point);

    // What a file may hold to be read: a scan has at most 4 phases of 65536 levels, and its
    // header a few dozen lines. Larger files are refused, so that no file can take the memory
    // or the time of the program that opens it.
    static constexpr int MaxPoints = 4 * 65536;
    static constexpr int MaxCommentLines = 1000;
    // A line's bytes, a header line's key and value among them.
    static constexpr int MaxLineBytes = 4096;
    // Every line: the points, the comment lines, the column line and blank ones.
    static constexpr int MaxLines = MaxPoints + 2 * MaxCommentLines;
    static constexpr qint64 MaxFileBytes = 16 * 1024 * 1024;

    QByteArray toCsv() const;
    // The header and the rows of a saved scan, the points by phase and level (in the order
    // read where two are alike); false with the reason and the line for a file that is not
    // one, is beyond the limits above, or ends in a line without its end, as a write that a
    // full disk cut off leaves it.
    static bool fromCsv(const QByteArray &bytes, ScanData *data, QString *reason);

    // The value of `key`, empty when the header has none.
    QString value(const QString &key) const;
    // One phase's points as (level, count).
    QVector<QPointF> curve(int phase) const;
    // The detector's model fitted to phases 1 to `phasesMeasured`, those measured to their
    // end: part of a curve may show a valley that is not there. Every front end takes a
    // scan's proposed levels (DetectorFit::proposals()) and the figures it reports from here.
    DetectorFit fit(int phasesMeasured) const;
    // What a scan found, known only at its end: the proposed levels, then the fit's report
    // (pulse height, peak widths, photon-number weights, mean photon number, fit).
    static Header results(const QVector<LevelProposal> &proposals, const DetectorFit &fit);

    Header header;
    QVector<Point> points;
};

#endif // SCANDATA_H
