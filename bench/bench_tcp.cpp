// Round trip of one synchronous counts read through ser2net (raw TCP on 127.0.0.1 in front of
// a simulated counter's pseudo-terminal), beside the same read on a simulated counter's
// pseudo-terminal directly, each beside its bare exchange: the frames written and the answers
// read with write/poll/read on the same connection. The four alternate block by block, so
// drift of a shared machine touches all alike.
//
// Also how long a socket:// name takes to fail when the DNS server never answers, beside the
// connection bound: measured in a network and mount namespace of its own (unshare, as root or
// with user namespaces), whose resolv.conf names a server on its own loopback that reads
// nothing. Without namespaces that row says so and counts as no failure.
#include "benchstats.h"
#include "childprocess.h"
#include "commandcodes.h"
#include "cstarprotocolpc.h"
#include "cuiointerface.h"
#include "curs485iointerface.h"
#include "cutcpiointerface.h"
#include "linkfactory.h"
#include "roundtripblocks.h"
#include "ser2netprocess.h"
#include "simprocess.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <chrono>
#include <memory>
#include <thread>

namespace {

constexpr int Reads = 1000;
constexpr int Blocks = 10;
constexpr int BlockReads = Reads / Blocks;
constexpr int Runs = 5;
using CommandCode::ReadCounts;

// ser2net in the foreground with a configuration of its own, ended with the benchmark.
class Ser2net
{
public:
    explicit Ser2net(const QString &ptyPath)
    {
        m_port = Ser2netProcess::freePort();
        if (!m_dir.isValid() || m_port == 0)
            return;
        // chardelay off: by default ser2net holds bytes from the line up to a few character
        // times to gather them, which adds the same milliseconds to every answer and would
        // hide what the program itself adds.
        QFile config(m_dir.filePath(QStringLiteral("ser2net.yaml")));
        if (!config.open(QIODevice::WriteOnly))
            return;
        config.write(QStringLiteral("connection: &bench\n"
                                    "  accepter: tcp(nodelay=true),127.0.0.1,%1\n"
                                    "  connector: serialdev,%2,500000n81,local\n"
                                    "  options:\n"
                                    "    kickolduser: true\n"
                                    "    chardelay: false\n")
                         .arg(m_port)
                         .arg(ptyPath)
                         .toUtf8());
        config.close();
        m_process.setProgram(QStringLiteral("ser2net"));
        // -n: stay in the foreground; -u: no UUCP lock files outside the temporary folder.
        m_process.setArguments({QStringLiteral("-n"), QStringLiteral("-u"), QStringLiteral("-c"),
                                config.fileName(), QStringLiteral("-P"),
                                m_dir.filePath(QStringLiteral("ser2net.pid"))});
        m_process.setProcessChannelMode(QProcess::ForwardedChannels);
        m_process.start();
        if (!m_process.waitForStarted(5000))
            return;
        // Ready once it accepts a connection.
        for (int i = 0; i < 100 && !m_ready; ++i) {
            m_ready = bench::BareLine(m_port).isOpen();
            if (!m_ready)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ~Ser2net() { m_process.end(); }
    bool isReady() const { return m_ready; }
    quint16 port() const { return m_port; }

private:
    QTemporaryDir m_dir;
    ChildProcess m_process;
    quint16 m_port = 0;
    bool m_ready = false;
};

const char lookupProbe[] = "--lookup-probe";

// Inside the namespaces: a DNS server that never answers, and one line opened against a name
// only it could resolve. Prints the seconds the open took.
int probeLookup()
{
    QUdpSocket silentDns; // bound, never read
    if (!silentDns.bind(QHostAddress::LocalHost, 53))
        return 1;
    std::unique_ptr<cuIOInterface> link(createLink(QStringLiteral("socket://kuvel-bench.lan:4000")));
    const double start = bench::monotonicSeconds();
    const bool opened = link->initialize();
    std::printf("%.3f\n", bench::monotonicSeconds() - start);
    return opened ? 1 : 0;
}

// Seconds the lookup took to fail; -1 when the namespaces cannot be had here.
double lookupSeconds(const QString &self)
{
    QTemporaryDir dir;
    QFile resolv(dir.filePath(QStringLiteral("resolv.conf")));
    if (!dir.isValid() || !resolv.open(QIODevice::WriteOnly))
        return -1;
    resolv.write("nameserver 127.0.0.1\noptions timeout:5 attempts:2\n");
    resolv.close();
    QProcess probe;
    probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    probe.start(QStringLiteral("unshare"),
                {QStringLiteral("-rnm"), QStringLiteral("sh"), QStringLiteral("-c"),
                 QStringLiteral("mount --bind \"$1\" /etc/resolv.conf && ip link set lo up "
                                "&& exec \"$0\" %1")
                     .arg(QLatin1String(lookupProbe)),
                 self, resolv.fileName()});
    if (!probe.waitForFinished(30000) || probe.exitStatus() != QProcess::NormalExit
        || probe.exitCode() != 0)
        return -1;
    bool ok = false;
    const double seconds = probe.readAllStandardOutput().trimmed().toDouble(&ok);
    return ok ? seconds : -1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc > 1 && qstrcmp(argv[1], lookupProbe) == 0)
        return probeLookup();

    // One simulated counter for each path, so neither sees the other's bytes: ser2net keeps
    // its terminal open while a client is connected.
    SimProcess directSim(SimProcess::Unlogged);
    SimProcess servedSim(SimProcess::Unlogged);
    if (!directSim.start() || !servedSim.start()) {
        std::fprintf(stderr, "bench_tcp: the simulator did not start\n");
        return 1;
    }
    Ser2net server(servedSim.portPath());
    if (!server.isReady()) {
        std::fprintf(stderr, "bench_tcp: ser2net did not start (scripts/deps.sh bench)\n");
        return 1;
    }
    const QString socketName = QStringLiteral("socket://127.0.0.1:%1").arg(server.port());

    cStarProtocolPC request;
    request.codeData(0x00, ReadCounts, 0, nullptr);

    std::vector<double> progPty, barePty, progTcp, bareTcp;
    int failures = 0;
    for (int run = 0; run < Runs; ++run) {
        bench::RoundTripSamples pp, bp, pt, bt;
        for (int block = 0; block < Blocks; ++block) {
            {
                cuRs485IOInterface link;
                link.setPortName(directSim.portPath());
                bench::programBlock(&link, BlockReads, &pp);
            }
            {
                bench::BareLine line(directSim.portPath());
                bench::bareBlock(line, request, BlockReads, &bp);
            }
            {
                std::unique_ptr<cuIOInterface> link(createLink(socketName));
                bench::programBlock(link.get(), BlockReads, &pt);
            }
            {
                bench::BareLine line(server.port());
                bench::bareBlock(line, request, BlockReads, &bt);
            }
        }
        progPty.push_back(bench::median(pp.us));
        barePty.push_back(bench::median(bp.us));
        bareTcp.push_back(bench::median(bt.us));
        progTcp.push_back(bench::median(pt.us));
        std::fprintf(stderr,
                     "run %d: median us: program pty %.1f (%d failed), bare pty %.1f (%d failed), "
                     "program tcp %.1f (%d failed), bare tcp %.1f (%d failed)\n",
                     run + 1, progPty.back(), pp.failures, barePty.back(), bp.failures,
                     progTcp.back(), pt.failures, bareTcp.back(), bt.failures);
        failures += pp.failures + bp.failures + pt.failures + bt.failures;
    }

    const double mProgPty = bench::median(progPty);
    const double mBarePty = bench::median(barePty);
    const double mBareTcp = bench::median(bareTcp);

    bench::Row row;
    row.bench = "round trip, ser2net";
    const double mProgTcp = bench::median(progTcp);
    row.figure = "counts read over TCP, median us";
    row.value = bench::format(mProgTcp, 1);
    row.spread = bench::spread(progTcp, 1);
    row.baseline = bench::format(mBareTcp, 1) + " (bare TCP)";
    row.ratio = bench::format(mProgTcp / mBareTcp, 2);
    row.goal = "<= 1.5x bare TCP";
    row.met = bench::yesNo(mProgTcp / mBareTcp <= 1.5);
    bench::printRow(row);

    row.figure = "counts read, TCP against the pty, median us";
    row.baseline = bench::format(mProgPty, 1) + " (program, pty)";
    row.ratio = bench::format(mProgTcp / mProgPty, 2);
    row.goal = "-";
    row.met = "-";
    bench::printRow(row);

    row.figure = "counts read over the pty, median us";
    row.value = bench::format(mProgPty, 1);
    row.spread = bench::spread(progPty, 1);
    row.baseline = bench::format(mBarePty, 1) + " (bare pty)";
    row.ratio = bench::format(mProgPty / mBarePty, 2);
    row.goal = "<= 1.5x bare pty";
    row.met = bench::yesNo(mProgPty / mBarePty <= 1.5);
    bench::printRow(row);

    row.figure = "bare exchange, TCP against the pty, median us";
    row.value = bench::format(mBareTcp, 1);
    row.spread = bench::spread(bareTcp, 1);
    row.baseline = bench::format(mBarePty, 1) + " (bare pty)";
    row.ratio = bench::format(mBareTcp / mBarePty, 2);
    row.goal = "-";
    row.met = "-";
    bench::printRow(row);

    const double lookup = lookupSeconds(QCoreApplication::applicationFilePath());
    row.bench = "name lookup";
    row.figure = "socket:// name, DNS server silent, s to fail";
    row.value = lookup < 0 ? "-" : bench::format(lookup, 2);
    row.spread = "-";
    row.baseline = bench::format(cuTcpIOInterface::ConnectTimeoutMs / 1000.0, 1)
        + " (the connection's bound)";
    row.ratio = lookup < 0 ? "-" : bench::format(lookup / (cuTcpIOInterface::ConnectTimeoutMs / 1000.0), 2);
    row.goal = "<= 1.1x the bound";
    row.met = lookup < 0 ? "no namespaces here"
                         : bench::yesNo(lookup <= 1.1 * cuTcpIOInterface::ConnectTimeoutMs / 1000.0);
    bench::printRow(row);

    if (failures)
        std::fprintf(stderr, "bench_tcp: %d reads got no answer\n", failures);
    return failures ? 1 : 0;
}
