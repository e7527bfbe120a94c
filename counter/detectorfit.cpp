#include "detectorfit.h"
#include "symmetricinverse.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

enum Parameter { Offset, Height, Noise, PerPhoton, ZeroWidth, Amplitudes };

constexpr double InvSqrt2 = 0.70710678118654752;
constexpr double InvSqrt2Pi = 0.39894228040143268;
constexpr int MaxIterations = 200;

double upper(double z)
{
    return 0.5 * std::erfc(z * InvSqrt2);
}

double gauss(double z)
{
    return InvSqrt2Pi * std::exp(-0.5 * z * z);
}

int photonsOf(const QVector<double> &p)
{
    return p.size() - Amplitudes - 1;
}

double centre(const QVector<double> &p, int photons)
{
    return p[Offset] + photons * p[Height];
}

double sigmaOf(const QVector<double> &p, int photons)
{
    if (photons == 0)
        return p[ZeroWidth];
    return std::sqrt(p[Noise] * p[Noise] + photons * p[PerPhoton] * p[PerPhoton]);
}

// The counts at `level`, and their derivatives by every parameter when `gradient` is given.
double model(const QVector<double> &p, double level, double *gradient)
{
    double sum = 0.0;
    if (gradient)
        std::fill(gradient, gradient + p.size(), 0.0);
    for (int n = 0; n <= photonsOf(p); ++n) {
        const double amplitude = p[Amplitudes + n];
        const double sigma = sigmaOf(p, n);
        const double z = (level - centre(p, n)) / sigma;
        const double share = upper(z);
        sum += amplitude * share;
        if (!gradient)
            continue;
        gradient[Amplitudes + n] = share;
        // d/dcentre and d/dsigma of amplitude * P(height > level)
        const double byCentre = amplitude * gauss(z) / sigma;
        const double bySigma = byCentre * z;
        gradient[Offset] += byCentre;
        gradient[Height] += n * byCentre;
        if (n == 0) {
            gradient[ZeroWidth] += bySigma;
        } else {
            gradient[Noise] += bySigma * p[Noise] / sigma;
            gradient[PerPhoton] += bySigma * n * p[PerPhoton] / sigma;
        }
    }
    return sum;
}

double densityOf(const QVector<double> &p, double level)
{
    double sum = 0.0;
    for (int n = 0; n <= photonsOf(p); ++n) {
        const double sigma = sigmaOf(p, n);
        sum += p[Amplitudes + n] * gauss((level - centre(p, n)) / sigma) / sigma;
    }
    return sum;
}

// The density's slope at `level`, and its curvature when asked.
double densitySlope(const QVector<double> &p, double level, double *curvature)
{
    double slope = 0.0, bend = 0.0;
    for (int n = 0; n <= photonsOf(p); ++n) {
        const double sigma = sigmaOf(p, n);
        const double z = (level - centre(p, n)) / sigma;
        const double g = p[Amplitudes + n] * gauss(z) / (sigma * sigma);
        slope -= g * z;
        bend += g * (z * z - 1.0) / sigma;
    }
    if (curvature)
        *curvature = bend;
    return slope;
}

struct Points
{
    QVector<double> level;
    QVector<double> count;
};

struct Fit
{
    QVector<double> params;
    QVector<double> covariance;
    double reducedChiSquare = std::numeric_limits<double>::infinity();
    bool ok = false;
};

// Keeps the parameters where the model means something: widths and height positive, weights
// not negative. The noise enters squared, so its sign is free.
void project(QVector<double> *p)
{
    QVector<double> &q = *p;
    q[Height] = std::max(q[Height], 1.0);
    // A width far below any scan's step would leave its peak on one point: a dead end.
    q[PerPhoton] = std::max(std::abs(q[PerPhoton]), 0.01 * q[Height]);
    q[ZeroWidth] = std::max(std::abs(q[ZeroWidth]), 0.01 * q[Height]);
    for (int i = Amplitudes; i < q.size(); ++i)
        q[i] = std::max(q[i], 0.0);
}

// J^T W J and J^T W r over the points, with Poisson weights from the model `weightsFrom`.
double normalEquations(const Points &data, const QVector<double> &p,
                       const QVector<double> &variance, QVector<double> *jtj, QVector<double> *jtr)
{
    const int size = p.size();
    jtj->fill(0.0, size * size);
    jtr->fill(0.0, size);
    QVector<double> gradient(size);
    double chiSquare = 0.0;
    for (int i = 0; i < data.level.size(); ++i) {
        const double residual = data.count[i] - model(p, data.level[i], gradient.data());
        const double w = 1.0 / variance[i];
        chiSquare += residual * residual * w;
        for (int a = 0; a < size; ++a) {
            if (gradient[a] == 0.0)
                continue;
            const double wa = w * gradient[a];
            (*jtr)[a] += wa * residual;
            for (int b = a; b < size; ++b)
                (*jtj)[a * size + b] += wa * gradient[b];
        }
    }
    for (int a = 0; a < size; ++a) {
        for (int b = 0; b < a; ++b)
            (*jtj)[a * size + b] = (*jtj)[b * size + a];
    }
    return chiSquare;
}

double chiSquareOf(const Points &data, const QVector<double> &p, const QVector<double> &variance)
{
    double sum = 0.0;
    for (int i = 0; i < data.level.size(); ++i) {
        const double residual = data.count[i] - model(p, data.level[i], nullptr);
        sum += residual * residual / variance[i];
    }
    return sum;
}

// A count's Poisson variance, taken from the model so that the weighted least squares end
// where the likelihood is highest; a count near 0 is still uncertain by about one.
QVector<double> variances(const Points &data, const QVector<double> &p)
{
    QVector<double> v(data.level.size());
    for (int i = 0; i < v.size(); ++i)
        v[i] = std::max(model(p, data.level[i], nullptr), 1.0);
    return v;
}

// The amplitudes that fit best for the start's shape, by linear least squares.
void startAmplitudes(const Points &data, QVector<double> *p)
{
    const int count = photonsOf(*p) + 1;
    QVector<double> ata(count * count, 0.0), aty(count, 0.0), share(count);
    for (int i = 0; i < data.level.size(); ++i) {
        const double w = 1.0 / std::max(data.count[i], 1.0);
        for (int n = 0; n < count; ++n)
            share[n] = upper((data.level[i] - centre(*p, n)) / sigmaOf(*p, n));
        for (int a = 0; a < count; ++a) {
            aty[a] += w * share[a] * data.count[i];
            for (int b = 0; b < count; ++b)
                ata[a * count + b] += w * share[a] * share[b];
        }
    }
    QVector<double> inverse;
    if (!invertSymmetric(ata, count, &inverse))
        return;
    for (int a = 0; a < count; ++a) {
        double value = 0.0;
        for (int b = 0; b < count; ++b)
            value += inverse[a * count + b] * aty[b];
        (*p)[Amplitudes + a] = std::max(value, 0.0);
    }
}

Fit fitFrom(const Points &data, double height, double offset, double maxLevel)
{
    const int photons
        = std::clamp(int(std::floor((maxLevel - offset) / height)) + 1, 1, DetectorFit::MaxPhotons);
    QVector<double> p(Amplitudes + photons + 1, 0.0);
    p[Offset] = offset;
    p[Height] = height;
    // Widths of a detector that resolves its peaks well; the fit finds the real ones.
    p[Noise] = 0.05 * height;
    p[PerPhoton] = 0.12 * height;
    p[ZeroWidth] = 0.08 * height;
    startAmplitudes(data, &p);

    const int size = p.size();
    QVector<double> jtj, jtr, step(size), damped(size * size), inverse;
    QVector<double> variance = variances(data, p);
    double lambda = 1e-3;
    for (int iteration = 0; iteration < MaxIterations; ++iteration) {
        const double chiSquare = normalEquations(data, p, variance, &jtj, &jtr);
        bool accepted = false;
        double trialChiSquare = chiSquare;
        while (!accepted && lambda < 1e12) {
            damped = jtj;
            for (int i = 0; i < size; ++i)
                damped[i * size + i] *= 1.0 + lambda;
            if (invertSymmetric(damped, size, &inverse)) {
                QVector<double> trial = p;
                for (int a = 0; a < size; ++a) {
                    double value = 0.0;
                    for (int b = 0; b < size; ++b)
                        value += inverse[a * size + b] * jtr[b];
                    trial[a] += value;
                }
                project(&trial);
                trialChiSquare = chiSquareOf(data, trial, variance);
                if (trialChiSquare < chiSquare) {
                    p = trial;
                    accepted = true;
                }
            }
            lambda = accepted ? std::max(lambda / 10.0, 1e-9) : lambda * 10.0;
        }
        if (!accepted || chiSquare - trialChiSquare < 1e-7 * chiSquare)
            break;
        variance = variances(data, p);
    }

    Fit fit;
    variance = variances(data, p);
    const double chiSquare = normalEquations(data, p, variance, &jtj, &jtr);
    int free = 0;
    for (int i = 0; i < size; ++i)
        free += jtj[i * size + i] > 0.0 ? 1 : 0;
    const int degrees = data.level.size() - free;
    if (degrees <= 0)
        return fit;
    if (!invertSymmetric(jtj, size, &fit.covariance)) {
        // Nearly collinear parameters, such as the noise next to a large per-photon width:
        // a touch of ridge keeps the others' errors.
        for (int i = 0; i < size; ++i)
            jtj[i * size + i] *= 1.0 + 1e-9;
        if (!invertSymmetric(jtj, size, &fit.covariance))
            return fit;
    }
    fit.reducedChiSquare = chiSquare / degrees;
    // With a poor fit the weights understate the scatter: widen the errors by it.
    const double widen = std::max(1.0, fit.reducedChiSquare);
    for (double &c : fit.covariance)
        c *= widen;
    fit.params = p;
    fit.ok = true;
    return fit;
}

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

DetectorFit::DetectorFit(const QVector<QVector<QPointF>> &curves)
{
    Points data;
    QVector<QPointF> all;
    for (const QVector<QPointF> &curve : curves) {
        for (const QPointF &point : curve) {
            data.level.append(point.x());
            data.count.append(point.y());
            all.append(point);
        }
    }
    if (all.isEmpty())
        return;
    m_minLevel = *std::min_element(data.level.cbegin(), data.level.cend());
    m_maxLevel = *std::max_element(data.level.cbegin(), data.level.cend());

    // The merged curve averages the phases at equal levels: the peaks stand out more clearly
    // than in any one phase.
    QString reason;
    const QVector<double> peaks = LevelProposal::peakLevels(all, &reason);
    if (!reason.isEmpty()) {
        m_reason = reason;
        return;
    }
    double height = 0.0;
    if (peaks.size() >= 2) {
        QVector<double> spacings;
        for (int i = 1; i < peaks.size(); ++i)
            spacings.append(peaks[i] - peaks[i - 1]);
        height = median(spacings);
    } else if (peaks.size() == 1 && peaks.first() > m_minLevel + 0.1 * (m_maxLevel - m_minLevel)) {
        height = peaks.first();
    }
    if (height <= 0.0) {
        m_reason = QStringLiteral("no valley in the scanned range");
        return;
    }
    // Height and offset by a straight line through the photon peaks; the zero peak's edge at
    // the start of a scan is not where its centre is.
    double offset = 0.0;
    {
        double sn = 0, sp = 0, snn = 0, snp = 0, count = 0;
        for (double peak : peaks) {
            const double n = std::round(peak / height);
            if (n < 1)
                continue;
            sn += n;
            sp += peak;
            snn += n * n;
            snp += n * peak;
            ++count;
        }
        const double spread = count * snn - sn * sn;
        if (spread > 0) {
            height = (count * snp - sn * sp) / spread;
            offset = (sp - height * sn) / count;
        }
    }
    // A spurious or a missed peak halves or doubles the spacing: those starts are tried when
    // the first does not fit.
    Fit best;
    for (double start : {height, 2.0 * height, 0.5 * height}) {
        if (data.level.size()
            < Amplitudes + 3 + std::clamp(int((m_maxLevel - offset) / start) + 1, 1, MaxPhotons)) {
            continue;
        }
        const Fit fit = fitFrom(data, start, offset, m_maxLevel);
        if (fit.ok && fit.reducedChiSquare < best.reducedChiSquare)
            best = fit;
        if (best.ok && best.reducedChiSquare <= MaxReducedChiSquare)
            break;
    }
    if (!best.ok) {
        m_reason = QStringLiteral("curve too short");
        return;
    }
    m_params = best.params;
    m_covariance = best.covariance;
    m_photons = photonsOf(m_params);
    m_reducedChiSquare = best.reducedChiSquare;
    m_fitted = true;
    m_reason = m_reducedChiSquare > MaxReducedChiSquare
        ? QStringLiteral("poor fit: reduced chi-square %1 above %2")
              .arg(m_reducedChiSquare, 0, 'f', 1)
              .arg(MaxReducedChiSquare)
        : QString();
}

QVector<LevelProposal> DetectorFit::proposals(const QVector<QVector<QPointF>> &curves)
{
    return DetectorFit(curves).proposals();
}

double DetectorFit::pulseHeight() const
{
    return m_fitted ? m_params[Height] : 0.0;
}

double DetectorFit::pulseHeightUncertainty() const
{
    const int size = m_params.size();
    return m_fitted ? std::sqrt(std::max(m_covariance[Height * size + Height], 0.0)) : 0.0;
}

double DetectorFit::offset() const
{
    return m_fitted ? m_params[Offset] : 0.0;
}

double DetectorFit::noiseWidth() const
{
    return m_fitted ? std::abs(m_params[Noise]) : 0.0;
}

double DetectorFit::photonWidth() const
{
    return m_fitted ? m_params[PerPhoton] : 0.0;
}

double DetectorFit::zeroWidth() const
{
    return m_fitted ? m_params[ZeroWidth] : 0.0;
}

double DetectorFit::peakWidth(int photons) const
{
    return m_fitted ? sigmaOf(m_params, photons) : 0.0;
}

QVector<double> DetectorFit::weights() const
{
    QVector<double> result;
    if (!m_fitted)
        return result;
    double total = 0.0;
    for (int n = 0; n <= m_photons; ++n)
        total += m_params[Amplitudes + n];
    for (int n = 0; n <= m_photons; ++n)
        result.append(total > 0.0 ? m_params[Amplitudes + n] / total : 0.0);
    return result;
}

double DetectorFit::meanPhotons() const
{
    const QVector<double> p = weights();
    double mean = 0.0;
    for (int n = 0; n < p.size(); ++n)
        mean += n * p[n];
    return mean;
}

double DetectorFit::counts(double level) const
{
    return m_fitted ? model(m_params, level, nullptr) : 0.0;
}

double DetectorFit::density(double level) const
{
    return m_fitted ? densityOf(m_params, level) : 0.0;
}

QVector<QPointF> DetectorFit::fittedCurve(const QVector<QPointF> &phasePoints, int samples) const
{
    QVector<QPointF> curve;
    if (!m_fitted || phasePoints.isEmpty() || samples < 2)
        return curve;
    double from = phasePoints.first().x(), to = from;
    for (const QPointF &point : phasePoints) {
        from = std::min(from, point.x());
        to = std::max(to, point.x());
    }
    for (int i = 0; i < samples; ++i) {
        const double level = from + (to - from) * i / (samples - 1);
        curve.append(QPointF(level, counts(level)));
    }
    return curve;
}

bool DetectorFit::valley(int photons, double *level, double *uncertainty) const
{
    const QVector<double> &p = m_params;
    // The lowest of a few samples between the peaks, then golden-section search around it.
    constexpr int Samples = 48;
    const double low = centre(p, photons - 1), high = centre(p, photons);
    int lowest = 0;
    double lowestDensity = densityOf(p, low);
    for (int i = 1; i <= Samples; ++i) {
        const double d = densityOf(p, low + (high - low) * i / Samples);
        if (d < lowestDensity) {
            lowestDensity = d;
            lowest = i;
        }
    }
    if (lowest == 0 || lowest == Samples)
        return false;
    double a = low + (high - low) * (lowest - 1) / Samples;
    double b = low + (high - low) * (lowest + 1) / Samples;
    const double ratio = 0.5 * (std::sqrt(5.0) - 1.0);
    while (b - a > 0.01) {
        const double c = b - ratio * (b - a), d = a + ratio * (b - a);
        if (densityOf(p, c) < densityOf(p, d))
            b = d;
        else
            a = c;
    }
    *level = 0.5 * (a + b);

    // Where the slope of the density is zero: a parameter that tilts the slope by ds moves the
    // level by -ds / curvature.
    double curvature = 0.0;
    densitySlope(p, *level, &curvature);
    const int size = p.size();
    QVector<double> moves(size, 0.0);
    for (int k = 0; k < size; ++k) {
        if (m_covariance[k * size + k] <= 0.0)
            continue;
        const double h = 1e-4 * std::sqrt(m_covariance[k * size + k]) + 1e-9 * std::abs(p[k]);
        QVector<double> up = p, down = p;
        up[k] += h;
        down[k] -= h;
        const double tilt
            = (densitySlope(up, *level, nullptr) - densitySlope(down, *level, nullptr)) / (2 * h);
        moves[k] = -tilt / curvature;
    }
    double variance = 0.0;
    for (int a = 0; a < size; ++a) {
        for (int b = 0; b < size; ++b)
            variance += moves[a] * m_covariance[a * size + b] * moves[b];
    }
    *uncertainty = std::sqrt(std::max(variance, 0.0));
    return true;
}

LevelProposal DetectorFit::proposal(int photons) const
{
    if (!m_fitted || !m_reason.isEmpty())
        return LevelProposal::none(m_reason);
    // The last peak holds every photon number above the scan: it is no peak of its own.
    if (photons < 1 || photons >= m_photons)
        return LevelProposal::none(QStringLiteral("no valley in the scanned range"));
    const double wider = std::max(sigmaOf(m_params, photons - 1), sigmaOf(m_params, photons));
    if (m_params[Height] < 2.0 * wider)
        return LevelProposal::none(QStringLiteral("peaks not resolved"));
    double level = 0.0, uncertainty = 0.0;
    if (!valley(photons, &level, &uncertainty))
        return LevelProposal::none(QStringLiteral("peaks not resolved"));
    if (level < m_minLevel || level > m_maxLevel)
        return LevelProposal::none(QStringLiteral("no valley in the scanned range"));
    return LevelProposal::fromLevel(level, uncertainty);
}

QVector<LevelProposal> DetectorFit::proposals() const
{
    QVector<LevelProposal> result;
    for (int photons = 1; photons <= LevelCount; ++photons)
        result.append(proposal(photons));
    return result;
}

QVector<QPair<QString, QString>> DetectorFit::report() const
{
    if (!m_fitted)
        return {{QStringLiteral("fit"), QStringLiteral("none (%1)").arg(m_reason)}};
    QStringList shares;
    const QVector<double> p = weights();
    // p0 to p5 at least, so that files of different scans line up.
    for (int n = 0; n < std::max(6, p.size()); ++n)
        shares.append(QString::number(n < p.size() ? p[n] : 0.0, 'f', 4));
    return {
        {QStringLiteral("pulse height"), QString::number(pulseHeight(), 'f', 1)},
        {QStringLiteral("peak widths"),
         QStringLiteral("%1, %2").arg(noiseWidth(), 0, 'f', 1).arg(photonWidth(), 0, 'f', 1)},
        {QStringLiteral("photon-number weights"), shares.join(QStringLiteral(", "))},
        {QStringLiteral("mean photon number"), QString::number(meanPhotons(), 'f', 3)},
        {QStringLiteral("fit"),
         QStringLiteral("reduced chi-square %1").arg(m_reducedChiSquare, 0, 'f', 2)},
    };
}

QStringList DetectorFit::reportLines() const
{
    QStringList lines;
    for (const auto &entry : report())
        lines.append(QStringLiteral("# %1: %2").arg(entry.first, entry.second));
    return lines;
}
