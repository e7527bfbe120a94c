#ifndef KUVELCOUNTERMODEL_H
#define KUVELCOUNTERMODEL_H

#include "commandcodes.h"
#include "simrandom.h"

#include <QByteArray>
#include <QList>

#include <array>

// The simulated counter's inner state and its command set: bytes of a request payload in,
// bytes of an answer payload out. It knows nothing of frames, lines or timing.
//
// It answers the command set of commandcodes.h and takes written values in these ranges:
// channel 0..7, level 0..3, time constant 0.01..10 s.
// With numbered counts, the first count of every counts answer is replaced by the running
// number of the counts request it answers (1 for the first one received, then 2, 3, ...),
// so a value that answers another request than its own can be told by its number. The
// other three counts stay as measured.
// Payloads of reads are ignored. A write whose payload has the wrong size or an out-of-range
// value is rejected: nothing changes and no answer goes out, so the PC sees a failure
// instead of a confirmation of something that did not happen.
class KuvelCounterModel
{
public:
    enum Outcome {
        Answered, // answer holds the payload to send
        Unknown, // not a code of the command set: the device keeps quiet
        Rejected, // bad payload for a write: nothing changed, the device keeps quiet
    };

    static constexpr int ChannelCount = 8;
    static constexpr int LevelCount = 4;
    static constexpr float MinTimeConst = 0.01f;
    static constexpr float MaxTimeConst = 10.0f;

    enum Statistics {
        Poisson, // coherent light: a laser
        Thermal, // Bose-Einstein: p(n) = m^n / (1 + m)^(n + 1)
    };

    // The detector and the light behind the counts. The defaults are the demo device that every
    // test without options relies on: the electronic noise shows only on the baseline, where
    // the comparator's own crossings (the pulses without photons among them) far outnumber
    // the pulses.
    struct Detector
    {
        double pulseHeight = 8000.0; // of one photon
        double noiseWidth = 600.0; // of the baseline's noise
        double pulseNoise = 0.0; // the same noise on every pulse, added in quadrature
        double photonWidth = 1000.0; // spread of a 1-photon pulse; n photons: times sqrt(n)
        double meanPhotons = 1.0;
        Statistics statistics = Poisson;
        double noiseRate = 1000000.0; // baseline crossings per second at a zero threshold
    };

    explicit KuvelCounterModel(quint64 seed = 1);

    void setDetector(const Detector &detector) { m_detector = detector; }
    const Detector &detector() const { return m_detector; }
    // The share of light pulses with `photons` photons.
    double photonShare(int photons) const;

    void setDeviceType(const QByteArray &text) { m_deviceType = text; }
    // The 12 bytes the identifier read answers; the default holds every reserved frame value.
    static QByteArray defaultIdentifier();
    void setIdentifier(const QByteArray &bytes) { m_identifier = bytes; }
    void setNumberedCounts(bool on) { m_numberedCounts = on; }
    // Counts requests handled so far: the number the last counts answer carried.
    quint32 countsRequests() const { return m_countsRequests; }

    // Applies one request. While counting, every counts read is a new measurement.
    Outcome handle(quint8 command, const QByteArray &payload, QByteArray *answer);

    // The answer a read would get now, without any side effect: counts are not measured
    // anew. False for codes that are not reads.
    bool peek(quint8 command, QByteArray *answer) const;

    static bool isKnown(quint8 command);
    static QList<quint8> readCodes();

    float timeConst() const { return m_timeConst; }
    quint8 channel() const { return m_channel; }
    quint16 referenceLevel(int channel, int level) const { return m_levels[channel][level]; }
    bool isCounting() const { return m_counting; }
    std::array<quint32, 4> counts() const { return m_counts; }

    // The mean of count i for the active channel and settings, before noise.
    double expectedCount(int level) const;

private:
    void measure();

    Detector m_detector;
    QByteArray m_deviceType;
    QByteArray m_identifier;
    bool m_numberedCounts = false;
    quint32 m_countsRequests = 0;
    float m_timeConst = 1.0f;
    quint8 m_channel = 0;
    std::array<std::array<quint16, LevelCount>, ChannelCount> m_levels;
    bool m_counting = false;
    std::array<quint32, 4> m_counts {};
    SimRandom m_noise;
};

#endif // KUVELCOUNTERMODEL_H
