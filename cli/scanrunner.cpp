#include "scanrunner.h"

#include "cliexitcode.h"
#include "clioutput.h"

ScanRunner::ScanRunner(CounterClient *client, int channel, quint32 start, quint32 stop,
                       quint32 step, QObject *parent)
    : CountingRun(client, parent), m_sequence(client, channel, start, stop, step)
{
    // A signal that came while a request waited, or a closed output, ends the scan before
    // its next request.
    m_sequence.setInterruption([this] { return endIfInterrupted(); });
    connect(&m_sequence, &ScanSequence::pointRecorded, this, &ScanRunner::recordPoint);
}

ScanRunner::~ScanRunner() = default;

void ScanRunner::begin()
{
    float timeConst = 0;
    if (!m_sequence.begin()) {
        endFailed();
        return;
    }
    if (!readTimeConst(&timeConst))
        return;
    // The proposals are known only at the end, so they follow the rows as a last comment.
    if (!writeContext(m_sequence.channel(), timeConst,
                      DataContext::scanRange(m_sequence.startLevel(), m_sequence.stopLevel(),
                                             m_sequence.stepSize()))
        || !startCounter())
        return;
    if (!writeData(QStringLiteral("phase,level,count")))
        return;

    const int delay = m_sequence.start(double(timeConst));
    CliOutput::progress(QStringLiteral("scan of channel %1: 4 phases of %2 points, %3 in all, "
                                       "time constant %4 s, about %5 s")
                            .arg(m_sequence.channel())
                            .arg(m_sequence.pointsPerPhase())
                            .arg(m_sequence.totalPoints())
                            .arg(double(timeConst), 0, 'g', 6)
                            .arg(m_sequence.secondsLeft(), 0, 'f', 1));
    arm(delay);
}

void ScanRunner::tick()
{
    const ScanSequence::Step step = m_sequence.step();
    switch (step.outcome) {
    case ScanSequence::Measure:
        arm(step.delayMs);
        return;
    case ScanSequence::Retry:
        // A read dropped after a restore was told as the state was restored.
        if (!m_client->wasRestored())
            reportMissedRead();
        if (!endIfInterrupted())
            arm(step.delayMs);
        return;
    case ScanSequence::Complete:
        CliOutput::progress(
            QStringLiteral("scan complete, %1 points").arg(m_sequence.pointsDone()));
        if (reportProposals())
            finish(ExitOk);
        return;
    case ScanSequence::Failed:
    case ScanSequence::Interrupted:
        endFailed();
        return;
    }
}

void ScanRunner::recordPoint(const ScanData::Point &point)
{
    if (!writeData(QStringLiteral("%1,%2,%3").arg(point.phase).arg(point.level).arg(point.count)))
        return;
    CliOutput::progress(QStringLiteral("phase %1/4, point %2/%3, %4/%5 in all, level %6, count %7, "
                                       "about %8 s left")
                            .arg(point.phase)
                            .arg(m_sequence.pointsOfPhase())
                            .arg(m_sequence.pointsPerPhase())
                            .arg(m_sequence.pointsDone())
                            .arg(m_sequence.totalPoints())
                            .arg(point.level)
                            .arg(point.count)
                            .arg(m_sequence.secondsLeft(), 0, 'f', 1));
}

void ScanRunner::reportMissedRead()
{
    CliOutput::error(m_client->noAnswerText("the counts read")
                     + QStringLiteral(" (phase %1, level %2)")
                           .arg(m_sequence.phase() + 1)
                           .arg(m_sequence.level()));
}

void ScanRunner::endFailed()
{
    switch (m_sequence.failure()) {
    case ScanSequence::NoFailure:
        return;
    case ScanSequence::ChannelNotConfirmed:
        failNoAnswer(QStringLiteral("the channel write"));
        return;
    case ScanSequence::LevelNotConfirmed:
        // A level the device did not confirm would put the following counts against a level
        // it may not have: the scan ends rather than record them.
        failNoAnswer(QStringLiteral("the write of level %1 = %2")
                         .arg(m_sequence.failedLevel())
                         .arg(m_sequence.failedValue()));
        return;
    case ScanSequence::NoCounts:
        reportMissedRead();
        CliOutput::error(QStringLiteral("giving up after %1 failed reads of one point")
                             .arg(m_sequence.failedReads()));
        break;
    }
    finish(cliExitCode(m_client->failure()));
}

bool ScanRunner::reportProposals()
{
    const DetectorFit fit = m_sequence.fit();
    const ScanData::Header results = ScanData::results(fit.proposals(), fit);
    // The same keys and values as the data's last comment lines.
    for (const auto &entry : results)
        CliOutput::progress(entry.first + QStringLiteral(": ") + entry.second);
    return writeContextLines(results);
}
