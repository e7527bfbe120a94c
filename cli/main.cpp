// kuvel-counter-cli: the counter from a script. Data on standard output, one value or one
// CSV line a line; messages on standard error; the exit code tells what went wrong.

#include "cliexitcode.h"
#include "clioutput.h"
#include "commandrequest.h"
#include "countwatcher.h"
#include "datacontext.h"
#include "kuvelversion.h"
#include "scanrunner.h"
#include "signalwatcher.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>

namespace {

// Device texts are printed escaped as the port name is: a newline would break a line apart, an
// escape sequence would act on the terminal.
QString printable(const QString &text)
{
    return CounterClient::printableText(text);
}

// Data lines, all or up to the first that cannot be written; the exit code.
int printData(const QStringList &lines)
{
    for (const QString &line : lines) {
        if (!CliOutput::data(line))
            return CliOutput::dataFailure();
    }
    return ExitOk;
}

int failNoAnswer(const CounterClient &client, const QString &what)
{
    CliOutput::error(client.noAnswerText(what));
    return cliExitCode(client.failure());
}

int runInfo(CounterClient &client, const QString &type)
{
    KuvelCounterDriver *driver = client.driver();
    QString modification, hardware, firmware, description;
    cUDID identifier;
    if (!client.readText(driver->modificationVersion(), &modification))
        return failNoAnswer(client, "the modification read");
    if (!client.readText(driver->hardwareVersion(), &hardware))
        return failNoAnswer(client, "the hardware version read");
    if (!client.readText(driver->firmwareVersion(), &firmware))
        return failNoAnswer(client, "the firmware version read");
    if (!client.readText(driver->deviceDescription(), &description))
        return failNoAnswer(client, "the description read");
    if (!client.readIdentifier(&identifier))
        return failNoAnswer(client, "the identifier read");

    // Printed only once everything has come, so a script never sees half a record.
    const QByteArray id(reinterpret_cast<const char *>(identifier.bytes), sizeof(identifier.bytes));
    return printData({"type: " + printable(type), "modification: " + printable(modification),
                      "hardware: " + printable(hardware), "firmware: " + printable(firmware),
                      "description: " + printable(description),
                      "identifier: " + DataContext::identifierText(id)});
}

int runSimple(CounterClient &client, const CommandRequest &request, const QString &type)
{
    const QString &command = request.command;
    if (command == QLatin1String("info"))
        return runInfo(client, type);

    if (command == QLatin1String("get")) {
        if (request.what == QLatin1String("channel")) {
            int channel = 0;
            if (!client.readChannel(&channel))
                return failNoAnswer(client, "the channel read");
            if (channel < CounterClient::MinChannel || channel > CounterClient::MaxChannel) {
                // An erased EEPROM gives 255; "set channel" puts it right.
                CliOutput::error(QStringLiteral("the counter's active channel is out of range: it "
                                                "reports channel index %1, not one of its "
                                                "channels 1 to 8; choose one with set channel N")
                                     .arg(channel - 1));
                return ExitDevice;
            }
            return printData({QString::number(channel)});
        }
        float seconds = 0;
        if (!client.readTimeConst(&seconds))
            return failNoAnswer(client, "the time constant read");
        return printData({QString::number(double(seconds), 'g', 6)});
    }

    if (command == QLatin1String("set")) {
        if (request.what == QLatin1String("channel")) {
            if (!client.writeChannel(int(request.numbers[0])))
                return failNoAnswer(client, "the channel write");
        } else if (request.what == QLatin1String("timeconst")) {
            if (!client.writeTimeConst(float(request.seconds)))
                return failNoAnswer(client, "the time constant write");
        } else {
            if (!client.writeLevel(int(request.numbers[0]), int(request.numbers[1]),
                                   quint16(request.numbers[2])))
                return failNoAnswer(client, "the level write");
        }
        return ExitOk;
    }

    if (command == QLatin1String("start") && !client.startCounter())
        return failNoAnswer(client, "the start of counting");
    if (command == QLatin1String("stop") && !client.stopCounter())
        return failNoAnswer(client, "the stop of counting");
    if (command == QLatin1String("eeprom") && !client.writeEeprom())
        return failNoAnswer(client, "the EEPROM write");
    return ExitOk;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kuvel-counter-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KUVEL_VERSION));
    // A closed pipe on standard output must not kill the program while the counter counts:
    // the failed write is noticed instead and the counter stopped.
    std::signal(SIGPIPE, SIG_IGN);

    QCommandLineParser parser;
    CommandRequest::setUp(&parser);

    if (!parser.parse(CommandRequest::arrange(QCoreApplication::arguments()))) {
        CliOutput::error(parser.errorText() + QStringLiteral(" (see --help)"));
        return ExitUsage;
    }
    if (parser.isSet("help"))
        parser.showHelp(ExitOk);
    if (parser.isSet("version"))
        parser.showVersion();

    QString error;
    CommandRequest request;
    if (!request.parse(parser, &error)) {
        CliOutput::error(error + QStringLiteral(" (see --help)"));
        return ExitUsage;
    }

    const bool counting = request.isCounting();
    SignalWatcher signalWatcher;
    if (counting)
        signalWatcher.install();

    CounterClient client(request.portName, request.attempts);
    if (!client.open()) {
        CliOutput::error(client.openErrorText());
        return ExitNoAnswer;
    }

    QString type;
    switch (client.identify(&type)) {
    case CounterClient::NoFailure:
        break;
    case CounterClient::OtherDevice:
        CliOutput::error(QStringLiteral("Wrong device: %1 reports the type \"%2\"")
                             .arg(client.printablePortName(), printable(type)));
        return ExitDevice;
    case CounterClient::NoAnswer:
        return failNoAnswer(client,
                            type.isNull() ? QStringLiteral("the device type read")
                                          : QStringLiteral("the identifier read"));
    }

    if (!counting)
        return runSimple(client, request, type);
    if (signalWatcher.received() != 0)
        return 128 + signalWatcher.received();

    CountingRun *run = nullptr;
    if (request.command == QLatin1String("watch"))
        run = new CountWatcher(&client, request.count, request.seconds, &app);
    else
        run = new ScanRunner(&client, request.channel, request.start, request.stop, request.step,
                             &app);
    if (request.header)
        run->setContext(type);
    QObject::connect(&signalWatcher, &SignalWatcher::signalReceived, run, &CountingRun::interrupt);
    QObject::connect(run, &CountingRun::finished, &app, &QCoreApplication::exit);
    run->start();
    const int exitCode = app.exec();
    delete run;
    return exitCode;
}
