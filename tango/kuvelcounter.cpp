#include "kuvelcounter.h"

#include "eventpusher.h"

#include <algorithm>
#include <cmath>

namespace {

const char *const DeviceError = "KuvelCounter_DeviceError";
const char *const BadValue = "KuvelCounter_BadValue";
const char *const NotConfigured = "KuvelCounter_NotConfigured";

[[noreturn]] void throwError(const char *reason, const QString &text, const char *origin)
{
    Tango::Except::throw_exception(reason, text.toStdString(), origin);
}

// Runs op on the counter's thread; a DevFailed with the worker's reason when it failed.
void runOnCounter(CounterWorker &worker, const std::function<bool()> &op, const char *origin)
{
    bool ok = false;
    QString error;
    worker.call([&] {
        ok = op();
        if (!ok)
            error = worker.errorText();
    });
    if (!ok)
        throwError(DeviceError, error, origin);
}

// Refuses a value out of its range before anything is sent.
void checkRange(const char *what, double value, double min, double max, const char *origin)
{
    if (std::isfinite(value) && value >= min && value <= max)
        return;
    throwError(BadValue,
               QStringLiteral("%1 must lie from %2 to %3, not %4")
                   .arg(QLatin1String(what))
                   .arg(min)
                   .arg(max)
                   .arg(value),
               origin);
}

void checkCount(const std::vector<Tango::DevLong> &values, size_t count, const char *form,
                const char *origin)
{
    if (values.size() != count)
        throwError(BadValue,
                   QStringLiteral("%1 numbers are needed, %2, not %3")
                       .arg(count)
                       .arg(QLatin1String(form))
                       .arg(values.size()),
                   origin);
}

} // namespace

KuvelCounter::KuvelCounter(Tango::DeviceClass *deviceClass, const std::string &name)
    : Tango::Device_5Impl(deviceClass, name.c_str())
{
    init_device();
}

KuvelCounter::~KuvelCounter()
{
    delete_device();
}

void KuvelCounter::init_device()
{
    m_setupError.clear();
    QString port;
    int attempts = DefaultAttempts;
    Tango::DbData properties;
    properties.push_back(Tango::DbDatum("Port"));
    properties.push_back(Tango::DbDatum("Attempts"));
    try {
        get_db_device()->get_property(properties);
    } catch (const Tango::DevFailed &) {
        m_setupError = QStringLiteral("no device properties: the server runs without a database "
                                      "(give one, or a file with -file=FILE)");
    }
    std::string text;
    if (!properties[0].is_empty() && (properties[0] >> text))
        port = QString::fromStdString(text).trimmed();
    if (!properties[1].is_empty() && (properties[1] >> text)) {
        bool ok = false;
        attempts = QString::fromStdString(text).trimmed().toInt(&ok);
        if (!ok || attempts < 1 || attempts > MaxAttempts)
            m_setupError = QStringLiteral("the device property Attempts must be a whole number "
                                          "from 1 to %1, not \"%2\"")
                               .arg(MaxAttempts)
                               .arg(QString::fromStdString(text));
    }
    if (m_setupError.isEmpty() && port.isEmpty())
        m_setupError = QStringLiteral("the device property Port is not set: the counter's port, "
                                      "for example /dev/ttyUSB0 or socket://HOST:PORT");
    // Counts events are pushed by the device for every reading, without Tango's polling and
    // without its change criteria: the same counts twice are two readings.
    set_change_event("Counts", true, false);
    if (!m_setupError.isEmpty())
        return;
    m_pusher = std::make_unique<EventPusher>(this);
    m_worker = std::make_unique<CounterWorker>(
        port, attempts, [this](const CounterWorker::Reading &reading) { pushReading(reading); });
    m_worker->start();
}

void KuvelCounter::delete_device()
{
    // The worker first: it hands readings to the pusher until it has stopped.
    m_worker.reset();
    m_pusher.reset();
}

Tango::DevState KuvelCounter::dev_state()
{
    Tango::DevState state = Tango::FAULT;
    if (m_worker) {
        switch (m_worker->state()) {
        case CounterWorker::Connecting:
            state = Tango::INIT;
            break;
        case CounterWorker::On:
            state = Tango::ON;
            break;
        case CounterWorker::Running:
            state = Tango::RUNNING;
            break;
        case CounterWorker::Fault:
            state = Tango::FAULT;
            break;
        }
    }
    set_state(state);
    return state;
}

Tango::ConstDevString KuvelCounter::dev_status()
{
    m_statusText = (m_worker ? m_worker->status() : m_setupError).toStdString();
    return m_statusText.c_str();
}

CounterWorker &KuvelCounter::worker()
{
    if (!m_worker)
        throwError(NotConfigured, m_setupError, "KuvelCounter");
    return *m_worker;
}

void KuvelCounter::readAttribute(Tango::Attribute &attribute)
{
    const std::string &name = attribute.get_name();
    CounterWorker &w = worker();
    if (name == "Counts") {
        quint32 counts[CounterClient::LevelCount];
        runOnCounter(
            w, [&] { return w.readCounts(counts); }, "KuvelCounter::read_Counts");
        std::copy(counts, counts + CounterClient::LevelCount, m_counts);
        attribute.set_value(m_counts, CounterClient::LevelCount);
    } else if (name == "Channel") {
        int channel = 0;
        runOnCounter(
            w, [&] { return w.readChannel(&channel); }, "KuvelCounter::read_Channel");
        m_channel = Tango::DevShort(channel);
        attribute.set_value(&m_channel);
    } else if (name == "TimeConstant") {
        double seconds = 0;
        runOnCounter(
            w, [&] { return w.readTimeConst(&seconds); }, "KuvelCounter::read_TimeConstant");
        // The counter keeps a float: 0.05 comes back as 0.0500000007 without the rounding.
        m_timeConst = QString::number(seconds, 'g', 6).toDouble();
        attribute.set_value(&m_timeConst);
    } else {
        readScanAttribute(attribute);
    }
}

void KuvelCounter::readScanAttribute(Tango::Attribute &attribute)
{
    CounterWorker &w = worker();
    CounterWorker::ScanResults results;
    w.call([&] { results = w.scanResults(); });
    const std::string &name = attribute.get_name();
    if (name == "ScanProgress") {
        m_percentDone = results.percentDone;
        attribute.set_value(&m_percentDone);
    } else if (name == "ScanPoints") {
        m_points.clear();
        for (const ScanData::Point &p : results.points)
            m_points.insert(m_points.end(), {Tango::DevULong(p.phase), p.level, p.count});
        attribute.set_value(m_points.data(), 3, long(results.points.size()));
    } else if (name == "ScanLevels") {
        for (int i = 0; i < CounterClient::LevelCount; ++i)
            m_levels[i] = i < results.proposals.size() ? results.proposals.at(i).level() : -1;
        attribute.set_value(m_levels, CounterClient::LevelCount);
    }
}

void KuvelCounter::writeAttribute(Tango::WAttribute &attribute)
{
    const std::string &name = attribute.get_name();
    CounterWorker &w = worker();
    if (name == "Channel") {
        Tango::DevShort channel = 0;
        attribute.get_write_value(channel);
        checkRange("Channel", channel, CounterClient::MinChannel, CounterClient::MaxChannel,
                   "KuvelCounter::write_Channel");
        runOnCounter(
            w, [&] { return w.writeChannel(channel); }, "KuvelCounter::write_Channel");
    } else if (name == "TimeConstant") {
        Tango::DevDouble seconds = 0;
        attribute.get_write_value(seconds);
        checkRange("TimeConstant", seconds, MinTimeConst, MaxTimeConst,
                   "KuvelCounter::write_TimeConstant");
        runOnCounter(
            w, [&] { return w.writeTimeConst(seconds); }, "KuvelCounter::write_TimeConstant");
    }
}

void KuvelCounter::runCommand(const std::string &name, const std::vector<Tango::DevLong> &values)
{
    CounterWorker &w = worker();
    if (name == "Start") {
        runOnCounter(
            w, [&] { return w.startCounting(); }, "KuvelCounter::Start");
    } else if (name == "Stop") {
        runOnCounter(
            w, [&] { return w.stopCounting(); }, "KuvelCounter::Stop");
    } else if (name == "Save") {
        runOnCounter(
            w, [&] { return w.save(); }, "KuvelCounter::Save");
    } else if (name == "SetLevel") {
        const char *origin = "KuvelCounter::SetLevel";
        checkCount(values, 3, "[channel, level, value]", origin);
        checkRange("the channel", values[0], CounterClient::MinChannel, CounterClient::MaxChannel,
                   origin);
        checkRange("the level", values[1], 1, CounterClient::LevelCount, origin);
        checkRange("the value", values[2], 0, MaxLevel, origin);
        runOnCounter(
            w, [&] { return w.writeLevel(values[0], values[1], quint16(values[2])); }, origin);
    } else if (name == "Scan") {
        const char *origin = "KuvelCounter::Scan";
        checkCount(values, 4, "[channel, start, stop, step]", origin);
        checkRange("the channel", values[0], CounterClient::MinChannel, CounterClient::MaxChannel,
                   origin);
        checkRange("the start", values[1], 0, MaxLevel, origin);
        checkRange("the stop", values[2], 0, MaxLevel, origin);
        checkRange("the step", values[3], 1, MaxLevel, origin);
        runOnCounter(
            w,
            [&] {
                return w.startScan(values[0], quint32(values[1]), quint32(values[2]),
                                   quint32(values[3]));
            },
            origin);
    }
}

void KuvelCounter::pushReading(const CounterWorker::Reading &reading)
{
    // Runs on the pusher's thread with the device's monitor taken.
    m_pusher->post([this, reading] {
        if (!reading.ok) {
            // Subscribers learn that the counts stopped coming, and why, instead of nothing.
            try {
                throwError(DeviceError, reading.error, "KuvelCounter::read_Counts");
            } catch (Tango::DevFailed &e) {
                push_change_event("Counts", &e);
            }
            return;
        }
        std::copy(reading.counts, reading.counts + CounterClient::LevelCount, m_eventCounts);
        timeval when = reading.time;
        push_change_event("Counts", m_eventCounts, when, Tango::ATTR_VALID,
                          CounterClient::LevelCount, 0, false);
    });
}
