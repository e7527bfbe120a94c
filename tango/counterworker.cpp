#include "counterworker.h"

#include "curs485iointerface.h"
#include "scansequence.h"

#include <QTimer>

#include <algorithm>

namespace {

// While the counter does not answer, the counting poll asks again this often rather than at
// the time constant: each silent read holds the worker for all its attempts.
constexpr int FaultPollMs = 1000;

} // namespace

CounterWorker::CounterWorker(const QString &portName, int attempts, ReadingSink sink)
    : m_portName(portName), m_attempts(attempts), m_sink(std::move(sink))
{
    m_status = QStringLiteral("connecting to the counter on %1")
                   .arg(cuRs485IOInterface::printablePortName(portName));
    m_thread.setObjectName(QStringLiteral("counter ") + portName);
    moveToThread(&m_thread);
}

CounterWorker::~CounterWorker()
{
    stop();
}

void CounterWorker::start()
{
    m_thread.start();
    post([this] { setUp(); }, nullptr);
    post([this] { connectCounter(); }, nullptr);
}

void CounterWorker::stop()
{
    if (!m_thread.isRunning())
        return;
    // At the top of the worker's loop, so that no request is left waiting in a nested one.
    call([this] { tearDown(); });
    m_thread.quit();
    m_thread.wait();
}

void CounterWorker::call(const std::function<void()> &job)
{
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    post(job, &done);
    finished.wait();
}

void CounterWorker::post(const std::function<void()> &job, std::promise<void> *done)
{
    {
        std::lock_guard<std::mutex> lock(m_jobsMutex);
        m_jobs.push_back({job, done});
    }
    QMetaObject::invokeMethod(
        this, [this] { runJobs(); }, Qt::QueuedConnection);
}

void CounterWorker::runJobs()
{
    // Reached from the nested loop of a waiting request: the operation that waits runs the
    // queued jobs when it ends.
    if (m_busy)
        return;
    for (;;) {
        Job job;
        {
            std::lock_guard<std::mutex> lock(m_jobsMutex);
            if (m_jobs.empty())
                break;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        m_busy = true;
        job.run();
        m_busy = false;
        if (job.done)
            job.done->set_value();
    }
    // Ticks that fell due while a job waited run now, each on its own turn of the loop.
    if (m_pollDue) {
        m_pollDue = false;
        QMetaObject::invokeMethod(
            this, [this] { pollTick(); }, Qt::QueuedConnection);
    }
    if (m_scanDue) {
        m_scanDue = false;
        QMetaObject::invokeMethod(
            this, [this] { scanTick(); }, Qt::QueuedConnection);
    }
}

bool CounterWorker::beginOperation(bool *due)
{
    if (m_busy) {
        *due = true;
        return false;
    }
    m_busy = true;
    return true;
}

void CounterWorker::endOperation()
{
    m_busy = false;
    runJobs();
}

CounterWorker::State CounterWorker::state() const
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_state;
}

QString CounterWorker::status() const
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_status;
}

void CounterWorker::setState(State state, const QString &status)
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_state = state;
    m_status = status;
}

void CounterWorker::setUp()
{
    m_client = std::make_unique<CounterClient>(m_portName, m_attempts);
    m_pollTimer = new QTimer(this);
    m_pollTimer->setSingleShot(true);
    connect(m_pollTimer, &QTimer::timeout, this, &CounterWorker::pollTick);
    m_scanTimer = new QTimer(this);
    m_scanTimer->setSingleShot(true);
    connect(m_scanTimer, &QTimer::timeout, this, &CounterWorker::scanTick);
}

void CounterWorker::tearDown()
{
    delete m_pollTimer;
    m_pollTimer = nullptr;
    delete m_scanTimer;
    m_scanTimer = nullptr;
    m_scan.reset();
    // Waits for answers still owed, so the next program on the port does not take them.
    m_client.reset();
}

bool CounterWorker::connectCounter()
{
    if (!m_client->isOpen() && !m_client->open())
        return fail(m_client->openErrorText());
    QString type;
    switch (m_client->identify(&type)) {
    case CounterClient::NoFailure:
        break;
    case CounterClient::OtherDevice:
        return fail(QStringLiteral("Wrong device: %1 reports the type \"%2\"")
                        .arg(m_client->printablePortName(), type.simplified()));
    case CounterClient::NoAnswer:
        return fail(m_client->noAnswerText(type.isNull() ? QStringLiteral("the device type read")
                                                         : QStringLiteral("the identifier read")));
    }
    m_identified = true;
    m_identity = QStringLiteral("%1, identifier %2")
                     .arg(type.simplified(), m_client->driver()->acceptedIdentifier().toHex());
    setState(On,
             QStringLiteral("connected to the counter on %1 (%2)")
                 .arg(m_client->printablePortName(), m_identity));
    return true;
}

bool CounterWorker::operate(const QString &what, const std::function<bool()> &op)
{
    m_error.clear();
    if (!m_identified && !connectCounter())
        return false;
    if (!op())
        return fail(m_client->noAnswerText(what));
    leaveFault();
    return true;
}

bool CounterWorker::refuseWhileScanning(const QString &what)
{
    if (!m_scanning)
        return false;
    // Not a fault of the counter: the device's state stays as it is.
    m_error = QStringLiteral("a scan of channel %1 is running: %2 would disturb it (Stop ends "
                             "the scan)")
                  .arg(m_scan->channel())
                  .arg(what);
    return true;
}

bool CounterWorker::fail(const QString &text)
{
    m_error = text;
    setState(Fault, text);
    return false;
}

void CounterWorker::leaveFault()
{
    if (state() != Fault)
        return;
    if (m_counting || m_scanning)
        setState(Running, runningStatus());
    else
        setState(On,
                 QStringLiteral("connected to the counter on %1 (%2)")
                     .arg(m_client->printablePortName(), m_identity));
}

QString CounterWorker::runningStatus() const
{
    if (m_scanning) {
        const ScanSequence &s = *m_scan;
        if (s.totalPoints() == 0)
            return QStringLiteral("scanning channel %1 without end at level %2")
                .arg(s.channel())
                .arg(s.level());
        return QStringLiteral("scanning channel %1: phase %2/4, point %3/%4, %5/%6 in all, "
                              "about %7 s left")
            .arg(s.channel())
            .arg(std::min(s.phase() + 1, int(ScanSequence::PhaseCount)))
            .arg(s.pointsOfPhase())
            .arg(s.pointsPerPhase())
            .arg(s.pointsDone())
            .arg(s.totalPoints())
            .arg(s.secondsLeft(), 0, 'f', 1);
    }
    return QStringLiteral("counting on %1 every %2 s")
        .arg(m_client->printablePortName())
        .arg(m_timeConst, 0, 'g', 6);
}

bool CounterWorker::readCounts(quint32 counts[CounterClient::LevelCount])
{
    Kuvel_Counts_t read;
    if (!operate(QStringLiteral("the counts read"), [&] { return m_client->readCounts(&read); }))
        return false;
    std::copy(read.count, read.count + CounterClient::LevelCount, counts);
    return true;
}

bool CounterWorker::readChannel(int *channel)
{
    if (!operate(QStringLiteral("the channel read"),
                 [&] { return m_client->readChannel(channel); }))
        return false;
    if (*channel >= CounterClient::MinChannel && *channel <= CounterClient::MaxChannel)
        return true;
    // An erased EEPROM gives index 255: no channel to answer.
    m_error = QStringLiteral("the counter reports channel index %1").arg(*channel - 1);
    return false;
}

bool CounterWorker::writeChannel(int channel)
{
    if (refuseWhileScanning(QStringLiteral("a channel write")))
        return false;
    return operate(QStringLiteral("the channel write"),
                   [&] { return m_client->writeChannel(channel); });
}

bool CounterWorker::readTimeConst(double *seconds)
{
    float value = 0;
    if (!operate(QStringLiteral("the time constant read"),
                 [&] { return m_client->readTimeConst(&value); }))
        return false;
    *seconds = double(value);
    return true;
}

bool CounterWorker::writeTimeConst(double seconds)
{
    if (refuseWhileScanning(QStringLiteral("a time constant write")))
        return false;
    if (!operate(QStringLiteral("the time constant write"),
                 [&] { return m_client->writeTimeConst(float(seconds)); }))
        return false;
    m_timeConst = seconds;
    if (m_counting)
        setState(Running, runningStatus());
    return true;
}

bool CounterWorker::writeLevel(int channel, int level, quint16 value)
{
    if (refuseWhileScanning(QStringLiteral("a level write")))
        return false;
    return operate(QStringLiteral("the write of level %1 = %2").arg(level).arg(value),
                   [&] { return m_client->writeLevel(channel, level, value); });
}

bool CounterWorker::startCounter()
{
    // The poll and the scan read at the time constant: the counter has a new reading no sooner.
    float timeConst = 0;
    if (!operate(QStringLiteral("the time constant read"),
                 [&] { return m_client->readTimeConst(&timeConst); })
        || !operate(QStringLiteral("the start"), [&] { return m_client->startCounter(); }))
        return false;
    m_timeConst = double(timeConst);
    m_counting = true;
    return true;
}

bool CounterWorker::startCounting()
{
    if (refuseWhileScanning(QStringLiteral("a start")))
        return false;
    if (!startCounter())
        return false;
    setState(Running, runningStatus());
    armPoll();
    return true;
}

bool CounterWorker::stopCounting()
{
    if (m_scanning)
        endScan();
    m_pollTimer->stop();
    m_pollDue = false;
    if (!operate(QStringLiteral("the stop"), [&] { return m_client->stopCounter(); }))
        return false;
    m_counting = false;
    setState(On,
             QStringLiteral("connected to the counter on %1 (%2)")
                 .arg(m_client->printablePortName(), m_identity));
    return true;
}

bool CounterWorker::save()
{
    if (refuseWhileScanning(QStringLiteral("an EEPROM write")))
        return false;
    return operate(QStringLiteral("the EEPROM write"), [&] { return m_client->writeEeprom(); });
}

bool CounterWorker::startScan(int channel, quint32 start, quint32 stop, quint32 step)
{
    if (refuseWhileScanning(QStringLiteral("another scan")))
        return false;
    m_error.clear();
    if (!m_identified && !connectCounter())
        return false;
    m_pollTimer->stop();
    m_pollDue = false;
    m_scan = std::make_unique<ScanSequence>(m_client.get(), channel, start, stop, step);
    if (!m_scan->begin())
        return fail(scanFailureText());
    if (!startCounter())
        return false;
    m_scanning = true;
    m_scanTimer->start(m_scan->start(m_timeConst));
    setState(Running, runningStatus());
    return true;
}

CounterWorker::ScanResults CounterWorker::scanResults() const
{
    ScanResults results;
    if (!m_scan)
        return results;
    if (m_scan->totalPoints() > 0)
        results.percentDone = 100.0 * m_scan->pointsDone() / m_scan->totalPoints();
    results.points = m_scan->points();
    results.proposals = m_scan->proposals();
    return results;
}

void CounterWorker::armPoll()
{
    if (!m_counting || m_scanning)
        return;
    const int periodMs = ScanSequence::delayMs(m_timeConst, 1);
    m_pollTimer->start(state() == Fault ? std::max(periodMs, FaultPollMs) : periodMs);
}

void CounterWorker::pollTick()
{
    if (!m_counting || m_scanning || !beginOperation(&m_pollDue))
        return;
    Reading reading;
    reading.ok = readCounts(reading.counts);
    gettimeofday(&reading.time, nullptr);
    reading.error = m_error;
    m_sink(reading);
    armPoll();
    endOperation();
}

void CounterWorker::scanTick()
{
    if (!m_scanning || !beginOperation(&m_scanDue))
        return;
    const ScanSequence::Step step = m_scan->step();
    switch (step.outcome) {
    case ScanSequence::Measure:
        leaveFault();
        setState(Running, runningStatus());
        m_scanTimer->start(step.delayMs);
        break;
    case ScanSequence::Retry:
        // The point is measured again; the device is FAULT until a read comes.
        fail(m_client->noAnswerText(QStringLiteral("the counts read"))
             + QStringLiteral(" (scan of channel %1, phase %2, level %3; measuring it again)")
                   .arg(m_scan->channel())
                   .arg(m_scan->phase() + 1)
                   .arg(m_scan->level()));
        m_scanTimer->start(step.delayMs);
        break;
    case ScanSequence::Complete:
        endScan();
        setState(Running,
                 QStringLiteral("scan of channel %1 complete, %2 points; proposed "
                                "levels: %3; counting goes on")
                     .arg(m_scan->channel())
                     .arg(m_scan->pointsDone())
                     .arg(LevelProposal::listText(m_scan->proposals())));
        armPoll();
        break;
    case ScanSequence::Failed:
    case ScanSequence::Interrupted:
        endScan();
        fail(scanFailureText());
        break;
    }
    endOperation();
}

QString CounterWorker::scanFailureText() const
{
    switch (m_scan->failure()) {
    case ScanSequence::ChannelNotConfirmed:
        return m_client->noAnswerText(QStringLiteral("the channel write"));
    case ScanSequence::LevelNotConfirmed:
        // Counts against a level the counter may not have would be no point of the curve.
        return m_client->noAnswerText(QStringLiteral("the write of level %1 = %2")
                                          .arg(m_scan->failedLevel())
                                          .arg(m_scan->failedValue()))
            + QStringLiteral("; the scan of channel %1 ended").arg(m_scan->channel());
    case ScanSequence::NoCounts:
        return m_client->noAnswerText(QStringLiteral("the counts read"))
            + QStringLiteral("; the scan of channel %1 ended after %2 failed reads of one point")
                  .arg(m_scan->channel())
                  .arg(m_scan->failedReads());
    case ScanSequence::NoFailure:
        break;
    }
    return QStringLiteral("the scan of channel %1 ended").arg(m_scan->channel());
}

void CounterWorker::endScan()
{
    m_scanning = false;
    m_scanTimer->stop();
    m_scanDue = false;
}
