#include "countwatcher.h"

#include "cliexitcode.h"
#include "clioutput.h"

CountWatcher::CountWatcher(CounterClient *client, int count, double periodSeconds, QObject *parent)
    : CountingRun(client, parent), m_count(count), m_periodSeconds(periodSeconds)
{
}

CountWatcher::~CountWatcher() = default;

void CountWatcher::begin()
{
    float timeConst = 0;
    if (m_periodSeconds <= 0 || hasContext()) {
        if (!readTimeConst(&timeConst))
            return;
        if (m_periodSeconds <= 0)
            m_periodSeconds = double(timeConst);
    }
    if (hasContext()) {
        int channel = 0;
        if (!m_client->readChannel(&channel)) {
            failNoAnswer("the channel read");
            return;
        }
        if (endIfInterrupted() || !writeContext(channel, timeConst))
            return;
    }
    m_periodMs = qMax<qint64>(1, delayMs(m_periodSeconds, 1));

    if (!startCounter())
        return;
    m_clock.start();
    if (!writeData(QStringLiteral("time_s,count1,count2,count3,count4")))
        return;
    m_nextDueMs = m_periodMs;
    arm(m_nextDueMs - m_clock.elapsed());
}

void CountWatcher::tick()
{
    Kuvel_Counts_t counts;
    const bool answered = m_client->readCounts(&counts);
    const double seconds = double(m_clock.nsecsElapsed()) / 1e9;
    ++m_reads;
    if (answered) {
        const QString line = QStringLiteral("%1,%2,%3,%4,%5")
                                 .arg(seconds, 0, 'f', 3)
                                 .arg(counts.count[0])
                                 .arg(counts.count[1])
                                 .arg(counts.count[2])
                                 .arg(counts.count[3]);
        if (!writeData(line))
            return;
    } else if (!m_client->wasRestored()) {
        // A dropped read (the counter came back with another state) is told where the state
        // was restored; it misses no answer.
        ++m_missed;
        CliOutput::error(
            m_client->noAnswerText("the counts read")
            + QStringLiteral(" at %1 s, nothing printed for it").arg(seconds, 0, 'f', 3));
    }
    if (endIfInterrupted())
        return;
    if (m_count > 0 && m_reads >= m_count) {
        // A script asking for N lines learns from the exit code that some are missing.
        finish(m_missed > 0 ? cliExitCode(m_client->failure()) : ExitOk);
        return;
    }

    // Periods already over while the read waited are skipped, not caught up in a burst.
    const qint64 now = m_clock.elapsed();
    m_nextDueMs += m_periodMs;
    if (m_nextDueMs <= now)
        m_nextDueMs += ((now - m_nextDueMs) / m_periodMs + 1) * m_periodMs;
    arm(m_nextDueMs - now);
}
