// Change events of Counts through kuvel-counter-tango while counting at 0.01 s: the events a
// C++ client receives per second against the readings the device took (the simulator numbers
// its counts answers, so the readings between two events are their numbers' difference), and
// the time from the counter's answer (the event's timestamp) to the client's callback.

#include "benchstats.h"
#include "childprocess.h"
#include "simprocess.h"

#include <tango.h>

#include <QCoreApplication>
#include <QTcpServer>
#include <QTemporaryDir>

#include <cstdio>
#include <mutex>
#include <thread>

namespace {

constexpr int Runs = 5;
constexpr int RunSeconds = 3;

class Recorder : public Tango::CallBack
{
public:
    void push_event(Tango::EventData *event) override
    {
        timeval now {};
        gettimeofday(&now, nullptr);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (event->err) {
            ++m_errors;
            return;
        }
        std::vector<Tango::DevULong> counts;
        *event->attr_value >> counts;
        const Tango::TimeVal when = event->attr_value->get_date();
        m_latencies.push_back(double(now.tv_sec - when.tv_sec) * 1e6
                              + double(now.tv_usec - when.tv_usec));
        m_numbers.push_back(counts.empty() ? 0 : counts[0]);
    }

    std::mutex m_mutex;
    std::vector<double> m_latencies; // µs
    std::vector<Tango::DevULong> m_numbers;
    int m_errors = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    SimProcess sim(SimProcess::Unlogged);
    QTemporaryDir dir;
    if (!sim.start({"--numbered-counts"}) || !dir.isValid())
        return 1;
    quint16 port = 0;
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        port = probe.serverPort();
    }
    const QString database = dir.filePath("bench.db");
    QFile file(database);
    if (!file.open(QIODevice::WriteOnly))
        return 1;
    file.write("kuvel-counter-tango/bench/DEVICE/KuvelCounter: \"kuvel/counter/1\"\n"
               "kuvel/counter/1->Port: "
               + sim.portPath().toUtf8() + "\n");
    file.close();
    ChildProcess server;
    server.start(QStringLiteral(KUVEL_TANGO_PATH),
                 {"bench", "-file=" + database, "-ORBendPoint",
                  QStringLiteral("giop:tcp:127.0.0.1:%1").arg(port)});
    QByteArray said;
    while (!said.contains("Ready to accept request") && server.waitForReadyRead(10000))
        said += server.readAll();
    if (!said.contains("Ready to accept request")) {
        std::fprintf(stderr, "bench_tango: the server did not start: %s\n", said.constData());
        return 1;
    }

    std::vector<double> delivered, taken, medians, p99s;
    int errors = 0;
    try {
        std::string name = QStringLiteral("tango://127.0.0.1:%1/kuvel/counter/1#dbase=no")
                               .arg(port)
                               .toStdString();
        Tango::DeviceProxy device(name);
        device.set_timeout_millis(10000);
        Tango::DeviceAttribute timeConst("TimeConstant", Tango::DevDouble(0.01));
        device.write_attribute(timeConst);
        device.command_inout("Start");
        for (int run = 0; run < Runs; ++run) {
            Recorder recorder;
            const int id = device.subscribe_event("Counts", Tango::CHANGE_EVENT, &recorder);
            const double start = bench::monotonicSeconds();
            std::this_thread::sleep_for(std::chrono::seconds(RunSeconds));
            device.unsubscribe_event(id);
            const double seconds = bench::monotonicSeconds() - start;
            std::lock_guard<std::mutex> lock(recorder.m_mutex);
            if (recorder.m_numbers.size() < 2) {
                std::fprintf(stderr, "bench_tango: no events in run %d\n", run + 1);
                return 1;
            }
            // The first event is the read that subscribing makes, not a pushed one.
            const std::vector<double> latencies(recorder.m_latencies.begin() + 1,
                                                recorder.m_latencies.end());
            const double readings
                = double(recorder.m_numbers.back()) - double(recorder.m_numbers.front());
            delivered.push_back(double(latencies.size()) / seconds);
            taken.push_back(readings / seconds);
            medians.push_back(bench::median(latencies));
            p99s.push_back(bench::quantile(latencies, 0.99));
            errors += recorder.m_errors;
            std::fprintf(stderr,
                         "run %d: %zu events in %.2f s, %.0f readings taken, latency median "
                         "%.0f µs, 99th %.0f µs, %d error events\n",
                         run + 1, latencies.size(), seconds, readings, medians.back(), p99s.back(),
                         recorder.m_errors);
        }
        device.command_inout("Stop");
    } catch (const Tango::DevFailed &e) {
        Tango::Except::print_exception(e);
        return 1;
    }
    server.end();

    const double mDelivered = bench::median(delivered);
    const double mTaken = bench::median(taken);
    const double mMedian = bench::median(medians);
    bench::Row row;
    row.bench = "tango";
    row.figure = "Counts change events delivered at 0.01 s, per s";
    row.value = bench::format(mDelivered, 1);
    row.spread = bench::spread(delivered, 1);
    row.baseline = bench::format(mTaken, 1) + " readings taken per s";
    row.ratio = bench::format(mDelivered / mTaken, 3);
    row.goal = "1 (every reading)";
    row.met = bench::yesNo(errors == 0 && mDelivered / mTaken > 0.999);
    bench::printRow(row);
    row.figure = "counter's answer to the client's callback, median (99th percentile) µs";
    row.value = bench::format(mMedian, 0) + " (" + bench::format(bench::median(p99s), 0) + ")";
    row.spread = bench::spread(medians, 0);
    row.baseline = "the time constant: 10000";
    row.ratio = bench::format(mMedian / 10000, 3);
    row.goal = "< 1000 (a tenth of it)";
    row.met = bench::yesNo(mMedian < 1000);
    bench::printRow(row);
    return delivered.size() == size_t(Runs) ? 0 : 1;
}
