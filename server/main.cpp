// kuvel-counter-server: the counter as a network instrument. Owns the counter's line and
// serves newline-terminated SCPI commands on a TCP port to any number of clients.

#include "counterclient.h"
#include "kuvelversion.h"
#include "scpiserver.h"
#include "signalwatcher.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>

#include <csignal>
#include <cstdio>

namespace {

// The server's exit codes, the same numbers as the command-line program's where they mean the
// same, so one script can read both.
enum ServerExitCode {
    ExitOk = 0, // ended by a signal
    ExitUsage = 1,
    ExitDevice = 2, // not a counter behind the port
    ExitNoAnswer = 3, // the port did not open, or no answer at start
    ExitListen = 5, // the TCP address cannot be listened on
};

void complain(const QString &text)
{
    std::fprintf(stderr, "kuvel-counter-server: %s\n", text.toUtf8().constData());
    std::fflush(stderr);
}

int usageError(const QString &text)
{
    complain(text + QStringLiteral(" (see --help)"));
    return ExitUsage;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kuvel-counter-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KUVEL_VERSION));
    // A client gone while its answer is written must not end the server.
    std::signal(SIGPIPE, SIG_IGN);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Serves a Kuvel photon counter as a SCPI instrument over TCP (newline-terminated "
        "commands, as VISA's TCPIP::HOST::PORT::SOCKET resources speak).\n"
        "\n"
        "Exit codes: 0 ended by SIGINT, SIGTERM or SIGHUP; 1 usage error; 2 wrong device;\n"
        "3 port not open or no answer at start; 5 the TCP address cannot be listened on."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {"port", "Serial port of the counter (required), or socket://HOST:PORT.", "name"},
        {"listen", "TCP address and port to serve on (default 127.0.0.1:5025).", "address:port",
         "127.0.0.1:5025"},
        {"read-only", "Refuse every command that changes the counter's settings."},
        {"attempts",
         "Requests sent before a command counts as unanswered (1 to 100, default 5); each "
         "waits 500 ms for its answer.",
         "n", "5"},
        {"line-timeout",
         "Seconds a client may hold part of a command line without sending more before it is "
         "disconnected (0.1 to 3600, default 10).",
         "seconds", "10"},
    });
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet("help"))
        parser.showHelp(ExitOk);
    if (parser.isSet("version"))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty())
        return usageError(
            QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));
    for (const char *name : {"port", "listen", "attempts", "line-timeout"}) {
        if (parser.values(name).size() > 1)
            return usageError(QStringLiteral("--%1 given more than once").arg(name));
    }
    const QString portName = parser.value("port");
    if (portName.isEmpty())
        return usageError(QStringLiteral("--port is required"));
    bool ok = false;
    const int attempts = parser.value("attempts").toInt(&ok);
    if (!ok || attempts < 1 || attempts > 100)
        return usageError(QStringLiteral("--attempts must be a whole number from 1 to 100, not "
                                         "\"%1\"")
                              .arg(parser.value("attempts")));
    const double lineTimeout = parser.value("line-timeout").toDouble(&ok);
    if (!ok || !(lineTimeout >= 0.1 && lineTimeout <= 3600))
        return usageError(QStringLiteral("--line-timeout must be a number of seconds from 0.1 to "
                                         "3600, not \"%1\"")
                              .arg(parser.value("line-timeout")));
    const QString listen = parser.value("listen");
    const int colon = listen.lastIndexOf(QLatin1Char(':'));
    QString host = listen.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    const int tcpPort = listen.mid(colon + 1).toInt(&ok);
    QHostAddress address;
    if (colon < 0 || !ok || tcpPort < 0 || tcpPort > 65535 || !address.setAddress(host))
        return usageError(QStringLiteral("--listen needs ADDRESS:PORT with a numeric address, "
                                         "for example 0.0.0.0:5025, not \"%1\"")
                              .arg(listen));

    SignalWatcher signalWatcher;
    signalWatcher.install();

    CounterClient counter(portName, attempts);
    if (!counter.open()) {
        complain(counter.openErrorText());
        return ExitNoAnswer;
    }
    QString type;
    switch (counter.identify(&type)) {
    case CounterClient::NoFailure:
        break;
    case CounterClient::OtherDevice:
        complain(QStringLiteral("Wrong device: %1 reports the type \"%2\"")
                     .arg(counter.printablePortName(), CounterClient::printableText(type)));
        return ExitDevice;
    case CounterClient::NoAnswer:
        complain(counter.noAnswerText(type.isNull() ? QStringLiteral("the device type read")
                                                    : QStringLiteral("the identifier read")));
        return counter.failure() == CounterClient::OtherDevice ? ExitDevice : ExitNoAnswer;
    }

    ScpiServer server(&counter, parser.isSet("read-only"), int(lineTimeout * 1000));
    if (!server.listen(address, quint16(tcpPort))) {
        complain(QStringLiteral("cannot listen on %1: %2").arg(listen, server.errorString()));
        return ExitListen;
    }
    QObject::connect(&signalWatcher, &SignalWatcher::signalReceived, &app, [&server] {
        server.close();
        QCoreApplication::exit(ExitOk);
    });
    complain(QStringLiteral("serving %1 (%2) on %3:%4%5")
                 .arg(counter.printablePortName(), CounterClient::printableText(type),
                      address.toString())
                 .arg(server.serverPort())
                 .arg(parser.isSet("read-only") ? QStringLiteral(", read-only") : QString()));
    return app.exec();
}
