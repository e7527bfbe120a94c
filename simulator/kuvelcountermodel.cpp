#include "kuvelcountermodel.h"

#include <QtEndian>

#include <cmath>
#include <cstring>

namespace {

// Counts model. Every reference level is a comparator threshold on the same stream of pulses;
// a pulse of n photons has a height around n * pulseHeight, and the number of photons per
// pulse follows the light's statistics. Count i is the number of pulses above threshold i in
// one time constant, so a sweep of one level over 0..65535 falls as a staircase: a steep edge
// of electronic noise near 0, then one step per photon number, down to about 0 at 65535.
constexpr double PulseRate = 100000.0; // pulses per second on channel 0
constexpr double ChannelRateStep = 0.1; // each channel index counts 10 % more than the last
// Photon numbers summed at least; more only while the rest holds over 1e-9 of the pulses.
constexpr int MaxPhotons = 12;

// Share of a Gaussian of this centre and width above the threshold.
double above(double threshold, double centre, double width)
{
    return 0.5 * std::erfc((threshold - centre) / (width * std::sqrt(2.0)));
}

const quint8 IdentifierBytes[12] = {
    // Contains the three reserved frame values on purpose, so every identification read
    // exercises the escaping of both sides.
    0x4B, 0x43, 0xF9, 0xFA, 0xFB, 0x00, 0x01, 0x02, 0x10, 0x20, 0x30, 0x40,
};

QByteArray text(const char *value)
{
    return QByteArray(value, int(std::strlen(value)) + 1); // zero-terminated
}

QByteArray u32(quint32 value)
{
    QByteArray bytes(4, '\0');
    qToLittleEndian<quint32>(value, bytes.data());
    return bytes;
}

} // namespace

KuvelCounterModel::KuvelCounterModel(quint64 seed)
    : m_deviceType("KuvelCounter"), m_identifier(defaultIdentifier()), m_noise(seed)
{
    for (auto &channel : m_levels)
        // Half-way between the photon peaks, so each count is that of "at least n photons".
        channel = {4000, 12000, 20000, 28000};
}

QByteArray KuvelCounterModel::defaultIdentifier()
{
    return QByteArray(reinterpret_cast<const char *>(IdentifierBytes),
                      int(sizeof(IdentifierBytes)));
}

bool KuvelCounterModel::isKnown(quint8 command)
{
    switch (command) {
    case CommandCode::Init:
    case CommandCode::ShutDown:
    case CommandCode::Silence:
    case CommandCode::Identifier:
    case CommandCode::DeviceType:
    case CommandCode::ModificationVersion:
    case CommandCode::HardwareVersion:
    case CommandCode::FirmwareVersion:
    case CommandCode::DeviceDescription:
    case CommandCode::Reboot:
    case CommandCode::WriteEeprom:
    case CommandCode::WriteReferenceLevel:
    case CommandCode::WriteTimeConst:
    case CommandCode::ReadTimeConst:
    case CommandCode::WriteChannel:
    case CommandCode::ReadChannel:
    case CommandCode::StartCounter:
    case CommandCode::StopCounter:
    case CommandCode::ReadCounts:
        return true;
    default:
        return false;
    }
}

QList<quint8> KuvelCounterModel::readCodes()
{
    using namespace CommandCode;
    return {Identifier,        DeviceType,    ModificationVersion, HardwareVersion, FirmwareVersion,
            DeviceDescription, ReadTimeConst, ReadChannel,         ReadCounts};
}

bool KuvelCounterModel::peek(quint8 command, QByteArray *answer) const
{
    switch (command) {
    case CommandCode::Identifier:
        *answer = m_identifier;
        return true;
    case CommandCode::DeviceType:
        *answer = m_deviceType;
        answer->append('\0');
        return true;
    case CommandCode::ModificationVersion:
        *answer = text("KC-4");
        return true;
    case CommandCode::HardwareVersion:
        *answer = text("1.0");
        return true;
    case CommandCode::FirmwareVersion:
        *answer = text("sim-1.0");
        return true;
    case CommandCode::DeviceDescription:
        *answer = text("Simulated photon-number-resolving counter");
        return true;
    case CommandCode::ReadTimeConst: {
        quint32 bits;
        std::memcpy(&bits, &m_timeConst, 4);
        *answer = u32(bits);
        return true;
    }
    case CommandCode::ReadChannel:
        *answer = QByteArray(1, char(m_channel));
        return true;
    case CommandCode::ReadCounts:
        answer->clear();
        for (quint32 count : m_counts)
            answer->append(u32(count));
        return true;
    default:
        return false;
    }
}

KuvelCounterModel::Outcome KuvelCounterModel::handle(quint8 command, const QByteArray &payload,
                                                     QByteArray *answer)
{
    const auto *data = reinterpret_cast<const uchar *>(payload.constData());
    answer->clear();
    switch (command) {
    case CommandCode::Init:
    case CommandCode::ShutDown:
    case CommandCode::Silence:
    case CommandCode::Reboot:
    case CommandCode::WriteEeprom:
        return Answered;
    case CommandCode::WriteReferenceLevel: {
        if (payload.size() != 4 || data[0] >= ChannelCount || data[1] >= LevelCount)
            return Rejected;
        m_levels[data[0]][data[1]] = qFromLittleEndian<quint16>(data + 2);
        return Answered;
    }
    case CommandCode::WriteTimeConst: {
        if (payload.size() != 4)
            return Rejected;
        const quint32 bits = qFromLittleEndian<quint32>(data);
        float value;
        std::memcpy(&value, &bits, 4);
        // Written so that NaN fails too.
        if (!(value >= MinTimeConst && value <= MaxTimeConst))
            return Rejected;
        m_timeConst = value;
        return Answered;
    }
    case CommandCode::WriteChannel:
        if (payload.size() != 1 || data[0] >= ChannelCount)
            return Rejected;
        m_channel = data[0];
        return Answered;
    case CommandCode::StartCounter:
        m_counting = true;
        return Answered;
    case CommandCode::StopCounter:
        // The counts keep the values of the last read.
        m_counting = false;
        return Answered;
    case CommandCode::ReadCounts:
        ++m_countsRequests;
        if (m_counting)
            measure();
        // Also while stopped: the number is that of the request, not of a measurement.
        if (m_numberedCounts)
            m_counts[0] = m_countsRequests;
        peek(command, answer);
        return Answered;
    default:
        return peek(command, answer) ? Answered : Unknown;
    }
}

double KuvelCounterModel::photonShare(int photons) const
{
    const double mean = m_detector.meanPhotons;
    // Built up by the same products as in expectedCount, so both agree to the last bit.
    double share = m_detector.statistics == Thermal ? 1.0 / (1.0 + mean) : std::exp(-mean);
    for (int n = 1; n <= photons; ++n)
        share *= m_detector.statistics == Thermal ? mean / (1.0 + mean) : mean / n;
    return share;
}

double KuvelCounterModel::expectedCount(int level) const
{
    const Detector &d = m_detector;
    const double threshold = m_levels[m_channel][level];
    const double rate = PulseRate * (1.0 + ChannelRateStep * m_channel);
    double perSecond = d.noiseRate * above(threshold, 0.0, d.noiseWidth);
    double share = photonShare(0);
    double rest = 1.0 - share;
    for (int n = 1; n <= MaxPhotons || (rest > 1e-9 && n < 1000); ++n) {
        share
            *= d.statistics == Thermal ? d.meanPhotons / (1.0 + d.meanPhotons) : d.meanPhotons / n;
        rest -= share;
        const double width = d.pulseNoise > 0.0
            ? std::sqrt(n * d.photonWidth * d.photonWidth + d.pulseNoise * d.pulseNoise)
            : d.photonWidth * std::sqrt(n);
        perSecond += rate * share * above(threshold, n * d.pulseHeight, width);
    }
    return perSecond * double(m_timeConst);
}

void KuvelCounterModel::measure()
{
    for (int i = 0; i < LevelCount; ++i) {
        const double mean = expectedCount(i);
        // Always draw, so that the noise sequence depends only on the number of reads.
        const double noise = (2.0 * m_noise.uniform() - 1.0) * std::sqrt(mean);
        const double value = std::round(mean + noise);
        m_counts[i] = value <= 0.0 ? 0u : value >= 4294967295.0 ? 4294967295u : quint32(value);
    }
}
