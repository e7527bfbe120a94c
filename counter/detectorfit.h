#ifndef DETECTORFIT_H
#define DETECTORFIT_H

#include "levelproposal.h"

#include <QPair>
#include <QPointF>
#include <QString>
#include <QStringList>
#include <QVector>

// The detector's model fitted to a calibration scan, all phases together: each phase sweeps
// its own threshold over the same pulses, so every curve is the same function of the level.
//
//   counts(L) = sum over n = 0..N of A_n * P(pulse height > L | n photons)
//
// An n-photon height is Gaussian around offset + n * H with width sqrt(noise^2 + n * perPhoton^2).
// The zero peak gets a width of its own: near the baseline the comparator also counts the
// noise's own crossings, whose spread need not be that of a pulse. A_n = rate * time constant
// * p_n with every p_n free, since the light need not be Poissonian; A_N also holds the photon
// numbers whose peaks lie above the scanned range. Levenberg-Marquardt with Poisson weights
// taken from the model at every accepted step, which ends at the maximum-likelihood fit; the
// start comes from the slope's peaks as LevelProposal finds them.
//
// The level for n photons is the fitted density's minimum between the n - 1 and n photon
// peaks, with its uncertainty from the fit's covariance. No level is proposed where the model
// cannot be trusted: too few points, a reduced chi-square above MaxReducedChiSquare (a fit
// that matches the counts has about 1, and 4 leaves room for peaks not quite Gaussian), or
// peaks closer than twice the wider one's width.
//
// The weights and the mean photon number are those of the counted events: where the baseline's
// noise crossings outnumber the pulses without photons, p0 holds them too, and a scan that
// starts above the zero peak cannot see p0 at all (it is then 0).
class DetectorFit
{
public:
    static constexpr double MaxReducedChiSquare = 4.0;
    // Peaks fitted at most, the zero peak not counted.
    static constexpr int MaxPhotons = 10;
    static constexpr int LevelCount = 4;

    // No scan: nothing fitted.
    DetectorFit() = default;
    // One curve (level, count) per phase, empty for a phase not measured.
    explicit DetectorFit(const QVector<QVector<QPointF>> &curves);

    // The proposals for levels 1 to 4: the one call that replaces LevelProposal::fromCurve per
    // phase.
    static QVector<LevelProposal> proposals(const QVector<QVector<QPointF>> &curves);

    // Whether the model was fitted; a poor fit is still a fit, and its figures are reported.
    bool isFitted() const { return m_fitted; }
    // Why nothing was fitted, or why the fit proposes nothing; empty for a good fit.
    QString reason() const { return m_reason; }

    double pulseHeight() const;
    double pulseHeightUncertainty() const;
    double offset() const;
    double noiseWidth() const;
    double photonWidth() const;
    double zeroWidth() const;
    // Width of the n-photon peak.
    double peakWidth(int photons) const;
    // p_0 .. p_N, summing to 1.
    QVector<double> weights() const;
    double meanPhotons() const;
    double reducedChiSquare() const { return m_reducedChiSquare; }

    // The fitted count at a level, and the pulse-height density (counts per level unit).
    double counts(double level) const;
    double density(double level) const;
    // The fitted curve over the levels a phase's points span, for drawing over them.
    QVector<QPointF> fittedCurve(const QVector<QPointF> &phasePoints, int samples = 200) const;

    // The level for "at least `photons` photons" (1 to 4).
    LevelProposal proposal(int photons) const;
    QVector<LevelProposal> proposals() const;

    // (key, value) for a saved scan's header: pulse height, peak widths, photon-number
    // weights, mean photon number, fit.
    QVector<QPair<QString, QString>> report() const;
    // The same as "# key: value" lines, without line ends.
    QStringList reportLines() const;

private:
    // The n-photon level's valley and its uncertainty; false where the density has no
    // minimum between the two peaks.
    bool valley(int photons, double *level, double *uncertainty) const;

    // offset, height, noise, per photon, zero width, then A_0 .. A_N
    QVector<double> m_params;
    QVector<double> m_covariance; // row-major, parameters x parameters
    int m_photons = 0; // N
    double m_reducedChiSquare = 0.0;
    double m_minLevel = 0.0;
    double m_maxLevel = 0.0;
    bool m_fitted = false;
    QString m_reason = QStringLiteral("no scan");
};

#endif // DETECTORFIT_H
