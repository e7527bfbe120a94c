#include "scanrunner.h"

#include "clioutput.h"
#include "counterclient.h"
#include "levelproposal.h"

ScanRunner::ScanRunner(CounterClient *client, int channel, quint32 start, quint32 stop,
                       quint32 step, QObject *parent)
    : CountingRun(client, parent)
    , m_channel(channel)
    , m_start(start)
    , m_stop(stop)
    , m_step(step)
    , m_pointsPerPhase(pointsPerPhase(start, stop, step))
{
}

ScanRunner::~ScanRunner() = default;

int ScanRunner::pointsPerPhase(quint32 start, quint32 stop, quint32 step)
{
    if (start > stop || step == 0)
        return 1;
    return int((stop - start) / step) + 1;
}

void ScanRunner::begin()
{
    if (!m_client->writeChannel(m_channel)) {
        CliOutput::error(m_client->noAnswerText("the channel write"));
        finish(m_client->failureCode());
        return;
    }
    if (endIfInterrupted())
        return;

    m_phase = 0;
    m_value = m_start;
    if (!writeAllLevels() || !readTimeConst(&m_timeConst))
        return;
    // The proposals are known only at the end, so they follow the rows as a last comment.
    if (!writeContext(m_channel, m_timeConst,
                      {{QStringLiteral("start"), QString::number(m_start)},
                       {QStringLiteral("stop"), QString::number(m_stop)},
                       {QStringLiteral("step"), QString::number(m_step)}})
        || !startCounter())
        return;
    if (!writeData(QStringLiteral("phase,level,count")))
        return;

    CliOutput::progress(QStringLiteral("scan of channel %1: 4 phases of %2 points, %3 in all, "
                                       "time constant %4 s, about %5 s")
                            .arg(m_channel)
                            .arg(m_pointsPerPhase)
                            .arg(4 * m_pointsPerPhase)
                            .arg(double(m_timeConst), 0, 'g', 6)
                            .arg(secondsLeft(), 0, 'f', 1));
    arm(delayMs(m_timeConst, 2));
}

void ScanRunner::tick()
{
    Kuvel_Counts_t counts;
    const bool answered = m_client->readCounts(&counts);
    if (answered) {
        m_failedReads = 0;
        ++m_pointsOfPhase;
        ++m_pointsDone;
        const quint32 count = counts.count[m_phase];
        m_curves[m_phase].append(QPointF(m_value, count));
        if (!writeData(QStringLiteral("%1,%2,%3").arg(m_phase + 1).arg(m_value).arg(count)))
            return;
        CliOutput::progress(
            QStringLiteral("phase %1/4, point %2/%3, %4/%5 in all, level %6, count %7, "
                           "about %8 s left")
                .arg(m_phase + 1)
                .arg(m_pointsOfPhase)
                .arg(m_pointsPerPhase)
                .arg(m_pointsDone)
                .arg(4 * m_pointsPerPhase)
                .arg(m_value)
                .arg(count)
                .arg(secondsLeft(), 0, 'f', 1));
    } else {
        // The counts of this level are unknown, and the property would hand back an older
        // answer: record nothing and measure the same level again a time constant later, as
        // the window does. The level written before is still in place.
        ++m_failedReads;
        CliOutput::error(m_client->noAnswerText("the counts read")
                         + QStringLiteral(" (phase %1, level %2)").arg(m_phase + 1).arg(m_value));
        if (m_failedReads >= MaxFailedReads) {
            CliOutput::error(
                QStringLiteral("giving up after %1 failed reads of one point").arg(m_failedReads));
            finish(m_client->failureCode());
            return;
        }
    }
    if (endIfInterrupted())
        return;
    if (!answered) {
        arm(delayMs(m_timeConst, 1));
        return;
    }

    qint64 delay = 0;
    m_value += m_step;
    if (m_value <= m_stop) {
        if (!writeLevel(m_phase, quint16(m_value)))
            return;
        delay = delayMs(m_timeConst, 1);
    } else {
        ++m_phase;
        m_pointsOfPhase = 0;
        if (m_phase >= CounterClient::LevelCount) {
            CliOutput::progress(QStringLiteral("scan complete, %1 points").arg(m_pointsDone));
            if (reportProposals())
                finish(ExitOk);
            return;
        }
        m_value = m_start;
        if (!writeAllLevels())
            return;
        delay = delayMs(m_timeConst, 2);
    }
    arm(delay);
}

bool ScanRunner::reportProposals()
{
    QVector<LevelProposal> proposals;
    for (int phase = 0; phase < CounterClient::LevelCount; ++phase)
        proposals.append(LevelProposal::fromCurve(m_curves[phase], phase + 1));
    const QString text = LevelProposal::listText(proposals);
    CliOutput::progress(QStringLiteral("proposed levels: ") + text);
    return !hasContext() || writeData(QStringLiteral("# proposed levels: ") + text);
}

bool ScanRunner::writeAllLevels()
{
    for (int level = 0; level < CounterClient::LevelCount; ++level) {
        const quint16 value = level == m_phase ? quint16(m_value) : CounterClient::HeldLevel;
        if (!writeLevel(level, value))
            return false;
    }
    return true;
}

bool ScanRunner::writeLevel(int levelIndex, quint16 value)
{
    // A level the device did not confirm would put the following counts against a level it
    // may not have: the scan ends rather than record them.
    if (!m_client->writeLevel(m_channel, levelIndex + 1, value)) {
        CliOutput::error(m_client->noAnswerText(
            QStringLiteral("the write of level %1 = %2").arg(levelIndex + 1).arg(value)));
        finish(m_client->failureCode());
        return false;
    }
    return !endIfInterrupted();
}

double ScanRunner::secondsLeft() const
{
    // Settling time still to come: one time constant per remaining point of this phase (two
    // before its first point), and two plus one per further point for each later phase.
    const int restOfPhase = m_pointsPerPhase - m_pointsOfPhase + (m_pointsOfPhase == 0 ? 1 : 0);
    const int laterPhases = CounterClient::LevelCount - 1 - m_phase;
    return double(m_timeConst) * (restOfPhase + laterPhases * (m_pointsPerPhase + 1));
}
