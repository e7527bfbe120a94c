#include "commandrequest.h"

#include <QCommandLineParser>
#include <QStringList>

#include <climits>
#include <cmath>

namespace {

const char *const Description
    = "Runs one operation on a Kuvel photon counter on an RS-485 serial port.\n"
      "\n"
      "Commands:\n"
      "  info                        type, versions, description and identifier\n"
      "  get channel | timeconst     the active channel (1 to 8) or the time constant (s)\n"
      "  set channel N               make channel N (1 to 8) the active one\n"
      "  set timeconst S             set the time constant, 0.01 to 10 s (seconds take\n"
      "                              \".\" or \",\" as the decimal separator, no grouping)\n"
      "  set level CHANNEL LEVEL V   set reference level LEVEL (1 to 4) of CHANNEL (1 to 8)\n"
      "                              to V (0 to 65535)\n"
      "  start | stop                start or stop counting\n"
      "  eeprom                      make the counter store its settings in its EEPROM\n"
      "  watch [--count N] [--period S]\n"
      "                              count and print time_s,count1,...,count4 once a period\n"
      "                              (the time constant unless --period) until Ctrl-C or N\n"
      "                              reads; the counter is stopped before the program ends\n"
      "  scan --channel C --start A --stop B --step S\n"
      "                              calibration scan of the four levels of channel C, from\n"
      "                              A to B by S (S at least 1): phase,level,count lines,\n"
      "                              progress on standard error; the counter is stopped\n"
      "                              at the end or on Ctrl-C\n"
      "\n"
      "Exit codes: 0 done, 1 usage error, 2 wrong device, 3 port not open or no answer,\n"
      "4 standard output not writable (a full disk), 128 + signal number for a watch or\n"
      "scan ended by a signal (130 for Ctrl-C) or 141 for one whose output was closed.";

// "<what> must be <kind> from <min> to <max>, not "<text>"", false: a value out of its range.
template<typename Number>
bool refuse(const QString &what, const char *kind, Number min, Number max, const QString &text,
            QString *error)
{
    *error = QStringLiteral("%1 must be %2 from %3 to %4, not \"%5\"")
                 .arg(what, QLatin1String(kind))
                 .arg(min)
                 .arg(max)
                 .arg(text);
    return false;
}

bool parseInteger(const QString &text, qint64 min, qint64 max, const QString &what, qint64 *value,
                  QString *error)
{
    bool ok = false;
    const qlonglong parsed = text.toLongLong(&ok);
    if (!ok || parsed < min || parsed > max)
        return refuse(what, "a whole number", min, max, text, error);
    *value = parsed;
    return true;
}

bool parseSeconds(const QString &text, double min, double max, const QString &what, double *value,
                  QString *error)
{
    // The window's rule too: "." or "," is the decimal separator, and digits are never grouped,
    // so "1,000.5" is refused rather than read as another number.
    bool ok = false;
    const double parsed = QString(text).replace(QLatin1Char(','), QLatin1Char('.')).toDouble(&ok);
    if (!ok || !std::isfinite(parsed) || parsed < min || parsed > max)
        return refuse(what, "a number of seconds", min, max, text, error);
    *value = parsed;
    return true;
}

const QList<QCommandLineOption> &options()
{
    static const QList<QCommandLineOption> list {
        {"port", "Serial port of the counter (required), for example /dev/ttyUSB0.", "name"},
        {"attempts",
         "Requests sent before an operation counts as unanswered (1 to 100, "
         "default 5); each waits 500 ms for its answer.",
         "n", "5"},
        {"count", "watch: stop after this many reads.", "n"},
        {"period", "watch: seconds between reads (0.01 to 3600); default the time constant.",
         "seconds"},
        {"channel", "scan: channel, 1 to 8.", "c"},
        {"start", "scan: first level, 0 to 65535.", "level"},
        {"stop", "scan: last level, 0 to 65535.", "level"},
        {"step", "scan: level step, 1 to 65535.", "level"},
        {"no-header",
         "watch, scan: leave out the comment lines \"# key: value\" (program, date, port, "
         "device, channel, time constant, range, proposed levels) before the data."},
    };
    return list;
}

// A negative number such as -1 is an argument of its own, not an option: no option's name
// begins with a digit or a decimal separator.
bool isNegativeNumber(const QString &argument)
{
    return argument.size() > 1 && argument.at(0) == QLatin1Char('-')
        && (argument.at(1).isDigit() || argument.at(1) == QLatin1Char('.')
            || argument.at(1) == QLatin1Char(','));
}

} // namespace

QStringList CommandRequest::arrange(const QStringList &arguments)
{
    QStringList names;
    for (const QCommandLineOption &option : options()) {
        if (!option.valueName().isEmpty())
            names += option.names();
    }
    QStringList front = arguments.mid(0, 1);
    QStringList positional;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--")) {
            positional += arguments.mid(i + 1);
            break;
        }
        if (!argument.startsWith(QLatin1Char('-')) || isNegativeNumber(argument)) {
            positional.append(argument);
            continue;
        }
        front.append(argument);
        // The value of "--port NAME" follows it, whatever it looks like; a missing one is
        // left to the parser to report.
        if (names.contains(argument.mid(argument.startsWith(QLatin1String("--")) ? 2 : 1))) {
            if (i + 1 == arguments.size())
                return arguments;
            front.append(arguments.at(++i));
        }
    }
    return front + QStringList {QStringLiteral("--")} + positional;
}

void CommandRequest::setUp(QCommandLineParser *parser)
{
    parser->setApplicationDescription(QString::fromLatin1(Description));
    parser->addHelpOption();
    parser->addVersionOption();
    parser->addOptions(options());
    parser->addPositionalArgument("command", "info, get, set, start, stop, eeprom, watch or scan.");
    parser->addPositionalArgument("arguments", "Arguments of the command.", "[arguments...]");
}

bool CommandRequest::parse(const QCommandLineParser &parser, QString *error)
{
    error->clear();
    const QStringList args = parser.positionalArguments();
    if (args.isEmpty()) {
        *error = QStringLiteral("no command given");
        return false;
    }
    command = args.first();
    const QStringList rest = args.mid(1);

    // A second value would silently win over the first: "--port A --port B" is refused.
    for (const QCommandLineOption &option : options()) {
        const QStringList values = parser.values(option);
        if (values.size() > 1) {
            *error = QStringLiteral("--%1 given more than once (\"%2\")")
                         .arg(option.names().first(), values.join(QStringLiteral("\", \"")));
            return false;
        }
    }

    const bool watchOptions = parser.isSet("count") || parser.isSet("period");
    const bool scanOptions = parser.isSet("channel") || parser.isSet("start")
        || parser.isSet("stop") || parser.isSet("step");
    if (watchOptions && command != QLatin1String("watch")) {
        *error = QStringLiteral("--count and --period belong to watch");
        return false;
    }
    if (scanOptions && command != QLatin1String("scan")) {
        *error = QStringLiteral("--channel, --start, --stop and --step belong to scan");
        return false;
    }

    auto expectArgs = [&](int count, const QString &usage) {
        if (rest.size() == count)
            return true;
        *error = usage;
        return false;
    };

    if (command == QLatin1String("info") || command == QLatin1String("start")
        || command == QLatin1String("stop") || command == QLatin1String("eeprom")) {
        expectArgs(0, command + QStringLiteral(" takes no arguments"));
    } else if (command == QLatin1String("get")) {
        if (!expectArgs(1, QStringLiteral("usage: get channel | get timeconst")))
            return false;
        what = rest.first();
        if (what != QLatin1String("channel") && what != QLatin1String("timeconst"))
            *error = QStringLiteral("get knows channel and timeconst, not \"%1\"").arg(what);
    } else if (command == QLatin1String("set")) {
        what = rest.value(0);
        if (what == QLatin1String("channel")) {
            if (expectArgs(2, QStringLiteral("usage: set channel N")))
                parseInteger(rest[1], 1, 8, "channel", &numbers[0], error);
        } else if (what == QLatin1String("timeconst")) {
            if (expectArgs(2, QStringLiteral("usage: set timeconst SECONDS")))
                parseSeconds(rest[1], 0.01, 10, "time constant", &seconds, error);
        } else if (what == QLatin1String("level")) {
            if (expectArgs(4, QStringLiteral("usage: set level CHANNEL LEVEL VALUE"))
                && parseInteger(rest[1], 1, 8, "channel", &numbers[0], error)
                && parseInteger(rest[2], 1, 4, "level", &numbers[1], error))
                parseInteger(rest[3], 0, 65535, "level value", &numbers[2], error);
        } else {
            *error = QStringLiteral("set knows channel, timeconst and level, not \"%1\"").arg(what);
        }
    } else if (command == QLatin1String("watch")) {
        if (!expectArgs(0, QStringLiteral("watch takes no arguments, only --count and --period")))
            return false;
        qint64 readCount = 0;
        if (parser.isSet("count")
            && !parseInteger(parser.value("count"), 1, INT_MAX, "--count", &readCount, error))
            return false;
        count = int(readCount);
        if (parser.isSet("period"))
            parseSeconds(parser.value("period"), 0.01, 3600, "--period", &seconds, error);
    } else if (command == QLatin1String("scan")) {
        if (!expectArgs(0,
                        QStringLiteral(
                            "scan takes no arguments, only --channel, --start, --stop and --step")))
            return false;
        for (const char *name : {"channel", "start", "stop", "step"}) {
            if (!parser.isSet(name)) {
                *error = QStringLiteral("scan needs --channel, --start, --stop and --step");
                return false;
            }
        }
        qint64 values[4] = {0, 0, 0, 0};
        if (parser.value("step").trimmed() == QLatin1String("0")) {
            *error = QStringLiteral("--step 0 would measure the first level for ever; "
                                    "give 1 to 65535");
            return false;
        }
        if (parseInteger(parser.value("channel"), 1, 8, "--channel", &values[0], error)
            && parseInteger(parser.value("start"), 0, 65535, "--start", &values[1], error)
            && parseInteger(parser.value("stop"), 0, 65535, "--stop", &values[2], error)
            && parseInteger(parser.value("step"), 1, 65535, "--step", &values[3], error)) {
            channel = int(values[0]);
            start = quint32(values[1]);
            stop = quint32(values[2]);
            step = quint32(values[3]);
        }
    } else {
        *error = QStringLiteral("unknown command \"%1\"").arg(command);
    }
    header = !parser.isSet("no-header");
    if (error->isEmpty() && !header && !isCounting())
        *error = QStringLiteral("--no-header belongs to watch and scan");
    portName = parser.value("port");
    qint64 attemptCount = 5;
    if (error->isEmpty()
        && parseInteger(parser.value("attempts"), 1, 100, "--attempts", &attemptCount, error))
        attempts = int(attemptCount);
    if (error->isEmpty() && portName.isEmpty())
        *error = QStringLiteral("--port is required");
    return error->isEmpty();
}
