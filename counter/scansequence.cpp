#include "scansequence.h"

#include "counterclient.h"

#include <QtMath>

ScanSequence::ScanSequence(CounterClient *client, int channel, quint32 start, quint32 stop,
                           quint32 step, QObject *parent)
    : QObject(parent)
    , m_client(client)
    , m_channel(channel)
    , m_start(start)
    , m_stop(stop)
    , m_step(step)
    , m_pointsPerPhase(pointsPerPhase(start, stop, step))
    , m_value(start)
{
}

ScanSequence::~ScanSequence() = default;

int ScanSequence::pointsPerPhase(quint32 start, quint32 stop, quint32 step)
{
    if (start > stop)
        return 1;
    if (step == 0)
        return 0;
    return int((stop - start) / step) + 1;
}

int ScanSequence::delayMs(double timeConstSeconds, int timeConstants)
{
    const double ms = timeConstSeconds * 1000.0 * timeConstants;
    if (!(ms > 0.0))
        return 0;
    if (ms >= 1e9)
        return 1000000000;
    return int(qRound64(ms * 1000.0) / 1000);
}

void ScanSequence::setInterruption(const std::function<bool()> &interrupted)
{
    m_interrupted = interrupted;
}

bool ScanSequence::begin()
{
    m_phase = 0;
    m_value = m_start;
    m_pointsOfPhase = 0;
    m_failedReads = 0;
    m_ended = -1;
    m_failure = NoFailure;
    m_data.points.clear();
    std::fill(std::begin(m_heldLevels), std::end(m_heldLevels), -1);

    // Points are measured against these levels, so a write the device does not confirm ends
    // the scan before it begins.
    if (!m_client->writeChannel(m_channel)) {
        m_failure = ChannelNotConfirmed;
        end(Failed);
        return false;
    }
    if (interrupted()) {
        end(Interrupted);
        return false;
    }
    return writeAllLevels();
}

int ScanSequence::start(double timeConstSeconds)
{
    m_timeConst = timeConstSeconds;
    return delayMs(m_timeConst, 2);
}

ScanSequence::Step ScanSequence::step()
{
    if (m_ended >= 0)
        return {Outcome(m_ended)};

    Kuvel_Counts_t counts;
    if (!m_client->readCounts(&counts)) {
        // The counter came back with another state, now restored: the levels settle again.
        if (m_client->wasRestored())
            return {Retry, delayMs(m_timeConst, 2)};
        // The property would hand back an older answer, which would invent a point: nothing is
        // recorded, and the level written before, still in place, is measured again.
        if (++m_failedReads >= MaxFailedReads) {
            m_failure = NoCounts;
            return end(Failed);
        }
        return {Retry, delayMs(m_timeConst, 1)};
    }
    m_failedReads = 0;
    const ScanData::Point point {m_phase + 1, m_value, counts.count[m_phase]};
    m_data.points.append(point);
    ++m_pointsOfPhase;
    emit pointRecorded(point);
    emit progressed(pointsDone(), totalPoints());
    if (interrupted())
        return end(Interrupted);

    m_value += m_step;
    if (m_value <= m_stop) {
        if (!writeLevel(m_phase, quint16(m_value)))
            return {Outcome(m_ended)};
        return {Measure, delayMs(m_timeConst, 1)};
    }
    ++m_phase;
    m_pointsOfPhase = 0;
    if (isComplete())
        return end(Complete);
    m_value = m_start;
    if (!writeAllLevels())
        return {Outcome(m_ended)};
    // All four levels moved: they settle for two time constants.
    return {Measure, delayMs(m_timeConst, 2)};
}

ScanSequence::Step ScanSequence::end(Outcome outcome)
{
    m_ended = outcome;
    return {outcome};
}

bool ScanSequence::writeAllLevels()
{
    for (int level = 0; level < PhaseCount; ++level) {
        if (!writeLevel(level, level == m_phase ? quint16(m_value) : HeldLevel))
            return false;
    }
    return true;
}

bool ScanSequence::writeLevel(int levelIndex, quint16 value)
{
    m_heldLevels[levelIndex] = -1;
    if (!m_client->writeLevel(m_channel, levelIndex + 1, value)) {
        m_failure = LevelNotConfirmed;
        m_failedLevel = levelIndex + 1;
        m_failedValue = value;
        end(Failed);
        return false;
    }
    m_heldLevels[levelIndex] = value;
    if (interrupted()) {
        end(Interrupted);
        return false;
    }
    return true;
}

double ScanSequence::secondsLeft() const
{
    if (m_pointsPerPhase == 0)
        return 0;
    const int restOfPhase = m_pointsPerPhase - m_pointsOfPhase + (m_pointsOfPhase == 0 ? 1 : 0);
    const int laterPhases = PhaseCount - 1 - m_phase;
    return m_timeConst * (restOfPhase + laterPhases * (m_pointsPerPhase + 1));
}

DetectorFit ScanSequence::fit() const
{
    return m_data.fit(m_phase);
}

QVector<LevelProposal> ScanSequence::proposals() const
{
    return fit().proposals();
}
