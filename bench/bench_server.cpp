// FETCh:COUNts? queries per second through kuvel-counter-server over loopback, with one client
// and with four at once, beside one kuvel-counter-cli process per reading (the CLI has no counts "get": "watch --count 1" is the
// process that reads the counts once), each against a simulated counter of its own.

#include "benchstats.h"
#include "childprocess.h"
#include "simprocess.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int Runs = 5;
constexpr int Queries = 2000;
constexpr int Processes = 20;
constexpr int Clients = 4;

// Queries per second over one connection; 0 when an answer is missing.
double serverRate(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return 0;
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    const double start = bench::monotonicSeconds();
    for (int i = 0; i < Queries; ++i) {
        socket.write("FETC:COUN?\n");
        while (!socket.canReadLine()) {
            if (!socket.waitForReadyRead(5000))
                return 0;
        }
        if (socket.readLine().count(',') != 3)
            return 0;
    }
    return Queries / (bench::monotonicSeconds() - start);
}

// Queries per second, all clients together, each client sending its next query as soon as its
// answer is in, independently of the others (as clients in processes of their own do): the
// server takes the queries as they come, one request on the line at a time. 0 when an answer
// is missing or wrong.
double sharedRate(quint16 port)
{
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    for (int i = 0; i < Clients; ++i) {
        sockets.push_back(std::make_unique<QTcpSocket>());
        sockets.back()->connectToHost(QHostAddress::LocalHost, port);
        if (!sockets.back()->waitForConnected(5000))
            return 0;
        sockets.back()->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    }
    QEventLoop loop;
    int sent = 0;
    int answered = 0;
    bool wrong = false;
    for (auto &socket : sockets) {
        QTcpSocket *client = socket.get();
        QObject::connect(client, &QTcpSocket::readyRead, &loop, [&, client] {
            while (client->canReadLine()) {
                wrong = wrong || client->readLine().count(',') != 3;
                if (++answered == Queries || wrong)
                    loop.quit();
                else if (sent < Queries) {
                    ++sent;
                    client->write("FETC:COUN?\n");
                }
            }
        });
    }
    QTimer expiry;
    QObject::connect(&expiry, &QTimer::timeout, &loop, [&] {
        wrong = true;
        loop.quit();
    });
    expiry.start(60000);
    const double start = bench::monotonicSeconds();
    for (auto &socket : sockets) {
        ++sent;
        socket->write("FETC:COUN?\n");
    }
    loop.exec();
    if (wrong)
        return 0;
    return Queries / (bench::monotonicSeconds() - start);
}

// Processes per second, each ending with exit code 0; 0 when one fails.
double processRate(const QString &program, const QStringList &arguments)
{
    const double start = bench::monotonicSeconds();
    for (int i = 0; i < Processes; ++i) {
        QProcess process;
        process.start(program, arguments);
        if (!process.waitForFinished(10000) || process.exitCode() != 0)
            return 0;
    }
    return Processes / (bench::monotonicSeconds() - start);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    SimProcess serverSim(SimProcess::Unlogged);
    SimProcess cliSim(SimProcess::Unlogged);
    if (!serverSim.start() || !cliSim.start())
        return 1;

    quint16 port = 0;
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        port = probe.serverPort();
    }
    ChildProcess server;
    server.setReadChannel(QProcess::StandardError);
    server.start(
        QStringLiteral(KUVEL_SERVER_PATH),
        {"--port", serverSim.portPath(), "--listen", QStringLiteral("127.0.0.1:%1").arg(port)});
    QByteArray said;
    while (!said.contains("serving") && server.waitForReadyRead(5000))
        said += server.readAllStandardError();
    if (!said.contains("serving")) {
        std::fprintf(stderr, "bench_server: the server did not start: %s\n", said.constData());
        return 1;
    }
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        socket.waitForConnected(5000);
        socket.write("CONF:TCON 0.01;:INIT;*OPC?\n");
        socket.waitForReadyRead(5000);
    }

    const QString cli = QStringLiteral(KUVEL_CLI_PATH);
    std::vector<double> served, shared, watched, got;
    for (int run = 0; run < Runs; ++run) {
        served.push_back(serverRate(port));
        shared.push_back(sharedRate(port));
        watched.push_back(processRate(cli,
                                      {"--port", cliSim.portPath(), "watch", "--count", "1",
                                       "--period", "0.01", "--no-header"}));
        got.push_back(processRate(cli, {"--port", cliSim.portPath(), "get", "timeconst"}));
        std::fprintf(stderr,
                     "run %d: server %.0f queries/s (%d clients: %.0f), CLI watch --count 1 %.1f/s, CLI get "
                     "timeconst %.1f/s\n",
                     run + 1, served.back(), Clients, shared.back(), watched.back(), got.back());
    }
    server.end();

    const double mServed = bench::median(served);
    const double mWatched = bench::median(watched);
    const double mGot = bench::median(got);
    const double mShared = bench::median(shared);
    bench::Row row;
    row.bench = "server";
    row.figure = "FETCh:COUNts? over loopback, queries/s";
    row.value = bench::format(mServed, 0);
    row.spread = bench::spread(served, 0);
    row.baseline = bench::format(mWatched, 1) + " (CLI watch --count 1, a process a reading)";
    row.ratio = bench::format(mServed / mWatched, 0);
    row.goal = "> CLI";
    row.met = bench::yesNo(mServed > mWatched);
    bench::printRow(row);
    row.figure = "FETCh:COUNts?, four clients at once, queries/s";
    row.value = bench::format(mShared, 0);
    row.spread = bench::spread(shared, 0);
    row.baseline = bench::format(mServed, 0) + " (one client)";
    row.ratio = bench::format(mShared / mServed, 2);
    row.goal = ">= 0.8x one client";
    row.met = bench::yesNo(mShared >= 0.8 * mServed);
    bench::printRow(row);
    row.figure = "one-read CLI process, get timeconst, per s";
    row.value = bench::format(mGot, 1);
    row.spread = bench::spread(got, 1);
    row.baseline = "-";
    row.ratio = "-";
    row.goal = "-";
    row.met = "-";
    bench::printRow(row);
    const bool ok = mServed > 0 && mShared > 0 && mWatched > 0 && mGot > 0;
    return ok ? 0 : 1;
}
