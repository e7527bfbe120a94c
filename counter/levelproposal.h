#ifndef LEVELPROPOSAL_H
#define LEVELPROPOSAL_H

#include <QPointF>
#include <QString>
#include <QVector>

// The reference level a scan proposes for "at least n photons", or why it proposes none.
// A phase's count-versus-level curve falls in steps; its negative slope is the pulse-height
// distribution, whose peaks are the 0-, 1-, 2-, ... photon pulse heights. The level for n
// photons lies in the valley of the slope between the peaks of n - 1 and n photons.
class LevelProposal
{
public:
    // Fewer distinct levels than this cannot show two peaks and the valley between them.
    static constexpr int MinPoints = 7;

    LevelProposal() = default;

    // The proposal for `photons` (1 to 4) from one phase's points (level, count). Counts are
    // taken as Poisson counts: a peak or a valley counts only when it stands out of the
    // counting noise by several standard deviations.
    static LevelProposal fromCurve(const QVector<QPointF> &points, int photons);
    // A level found otherwise, such as from a fit of the detector's model, with its standard
    // uncertainty in level units.
    static LevelProposal fromLevel(double level, double uncertainty);
    static LevelProposal none(const QString &reason) { return {-1, reason}; }
    // The levels of the slope's peaks that stand out of the counting noise, lowest first: where
    // the pulse heights of 0, 1, 2, ... photons lie. Empty with `reason` for a curve too short
    // or flat.
    static QVector<double> peakLevels(const QVector<QPointF> &points, QString *reason);

    bool isValid() const { return m_level >= 0; }
    int level() const { return m_level; }
    QString reason() const { return m_reason; }
    // Standard uncertainty of the level; negative where none is known.
    double uncertainty() const { return m_uncertainty; }
    // "1250", or "none (no valley: curve flat)".
    QString text() const;
    // "1: 1250, 2: 3710, 3: none (no valley: curve flat), 4: none (curve too short)".
    static QString listText(const QVector<LevelProposal> &proposals);

private:
    LevelProposal(int level, const QString &reason) : m_level(level), m_reason(reason) { }

    int m_level = -1;
    double m_uncertainty = -1.0;
    QString m_reason = QStringLiteral("no scan");
};

#endif // LEVELPROPOSAL_H
