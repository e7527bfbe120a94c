#include "levelproposal.h"

#include <QMap>

#include <algorithm>
#include <cmath>

namespace {

// Standard deviations by which a peak must stand above a valley, and a step above a flat
// curve. Against Poisson counts on a flat curve no valley was found at this margin in 800
// tries, nor one outside the simulator's valleys in several hundred scans.
constexpr double Significance = 3.0;

struct Slope
{
    double level; // midway between two points
    double value; // counts per level unit, falling counts positive
    double sigma;
};

// The falling slope of the lightly smoothed curve with its counting noise. Repeated levels
// (a scan with Step 0) are averaged first.
QVector<Slope> slopes(const QVector<QPointF> &points)
{
    QMap<double, QPair<double, int>> merged;
    for (const QPointF &point : points) {
        auto &entry = merged[point.x()];
        entry.first += point.y();
        ++entry.second;
    }
    QVector<double> x, y, variance;
    for (auto it = merged.cbegin(); it != merged.cend(); ++it) {
        const double mean = it.value().first / it.value().second;
        x.append(it.key());
        y.append(mean);
        // A count of 0 is still uncertain by about one count.
        variance.append(std::max(mean, 1.0) / it.value().second);
    }
    const int n = x.size();
    // Weights 1, 2, 1: noise of neighbouring points partly cancels, a step of the width of a
    // few points keeps its place.
    QVector<double> smooth(n), smoothVariance(n);
    for (int i = 0; i < n; ++i) {
        double sum = 0, weights = 0, var = 0;
        for (int j = std::max(0, i - 1); j <= std::min(n - 1, i + 1); ++j) {
            const double w = j == i ? 2.0 : 1.0;
            sum += w * y[j];
            var += w * w * variance[j];
            weights += w;
        }
        smooth[i] = sum / weights;
        smoothVariance[i] = var / (weights * weights);
    }
    QVector<Slope> result;
    for (int i = 0; i + 1 < n; ++i) {
        const double dx = x[i + 1] - x[i];
        result.append({(x[i] + x[i + 1]) / 2, (smooth[i] - smooth[i + 1]) / dx,
                       std::sqrt(smoothVariance[i] + smoothVariance[i + 1]) / dx});
    }
    return result;
}

bool standsOut(const QVector<Slope> &s, int high, int low)
{
    const double sigma = std::hypot(s[high].sigma, s[low].sigma);
    return s[high].value - s[low].value > Significance * sigma;
}

// Peaks and valleys of the slope that stand out of the noise, alternating, found by following
// the curve with hysteresis: a turn counts only once the slope came back by the noise margin.
void extremes(const QVector<Slope> &s, QVector<int> *peaks, QVector<int> *valleys)
{
    enum { Unknown, Rising, Falling } mode = Unknown;
    int high = 0, low = 0;
    for (int i = 1; i < s.size(); ++i) {
        switch (mode) {
        case Unknown:
            if (s[i].value > s[high].value)
                high = i;
            if (s[i].value < s[low].value)
                low = i;
            if (standsOut(s, high, low)) {
                if (high < low) {
                    peaks->append(high); // the curve starts on a step, falling
                    mode = Falling;
                } else {
                    valleys->append(low);
                    mode = Rising;
                }
            }
            break;
        case Falling:
            if (s[i].value < s[low].value)
                low = i;
            else if (standsOut(s, i, low)) {
                valleys->append(low);
                high = i;
                mode = Rising;
            }
            break;
        case Rising:
            if (s[i].value > s[high].value)
                high = i;
            else if (standsOut(s, high, i)) {
                peaks->append(high);
                low = i;
                mode = Falling;
            }
            break;
        }
    }
}

bool isFlat(const QVector<Slope> &s)
{
    return std::none_of(s.cbegin(), s.cend(), [](const Slope &slope) {
        return slope.value > Significance * slope.sigma;
    });
}

} // namespace

QVector<double> LevelProposal::peakLevels(const QVector<QPointF> &points, QString *reason)
{
    const QVector<Slope> s = slopes(points);
    if (s.size() + 1 < MinPoints) {
        *reason = QStringLiteral("curve too short");
        return {};
    }
    if (isFlat(s)) {
        *reason = QStringLiteral("no valley: curve flat");
        return {};
    }
    QVector<int> peaks, valleys;
    extremes(s, &peaks, &valleys);
    QVector<double> levels;
    for (int peak : qAsConst(peaks))
        levels.append(s[peak].level);
    return levels;
}

LevelProposal LevelProposal::fromLevel(double level, double uncertainty)
{
    LevelProposal proposal(int(std::lround(std::clamp(level, 0.0, 65535.0))), QString());
    proposal.m_uncertainty = uncertainty;
    return proposal;
}

LevelProposal LevelProposal::fromCurve(const QVector<QPointF> &points, int photons)
{
    const QVector<Slope> s = slopes(points);
    if (s.size() + 1 < MinPoints)
        return {-1, QStringLiteral("curve too short")};
    if (isFlat(s))
        return {-1, QStringLiteral("no valley: curve flat")};

    QVector<int> peaks, valleys;
    extremes(s, &peaks, &valleys);
    // Peaks lie at whole multiples of the 1-photon pulse height, counted from level 0; their
    // spacing gives that height, and each peak's photon number follows from its level.
    QVector<double> spacings;
    for (int i = 1; i < peaks.size(); ++i)
        spacings.append(s[peaks[i]].level - s[peaks[i - 1]].level);
    if (spacings.isEmpty())
        return {-1, QStringLiteral("no valley in the scanned range")};
    std::sort(spacings.begin(), spacings.end());
    const double height = spacings[spacings.size() / 2];

    for (int i = 1; i < peaks.size(); ++i) {
        const int lower = int(std::lround(s[peaks[i - 1]].level / height));
        const int upper = int(std::lround(s[peaks[i]].level / height));
        if (lower != photons - 1 || upper != photons)
            continue;
        int valley = peaks[i - 1] + 1;
        for (int j = valley; j < peaks[i]; ++j) {
            if (s[j].value < s[valley].value)
                valley = j;
        }
        // The flat part is where the slope stays within its noise of the lowest slope; its
        // middle is the level, less at the mercy of one noisy point than the lowest one.
        const double ceiling = s[valley].value + s[valley].sigma;
        int first = valley, last = valley;
        while (first - 1 > peaks[i - 1] && s[first - 1].value <= ceiling)
            --first;
        while (last + 1 < peaks[i] && s[last + 1].value <= ceiling)
            ++last;
        const double level = (s[first].level + s[last].level) / 2;
        return {int(std::lround(std::clamp(level, 0.0, 65535.0))), QString()};
    }
    return {-1, QStringLiteral("no valley in the scanned range")};
}

QString LevelProposal::text() const
{
    return isValid() ? QString::number(m_level) : QStringLiteral("none (%1)").arg(m_reason);
}

QString LevelProposal::listText(const QVector<LevelProposal> &proposals)
{
    QStringList parts;
    for (int i = 0; i < proposals.size(); ++i)
        parts.append(QStringLiteral("%1: %2").arg(i + 1).arg(proposals[i].text()));
    return parts.join(QStringLiteral(", "));
}
