#ifndef COMMANDREQUEST_H
#define COMMANDREQUEST_H

#include <QString>
#include <QStringList>

class QCommandLineParser;

// The operation a command line asks for, checked in full before anything is sent, so that a
// usage error never reaches the device.
struct CommandRequest
{
    // The command line with its options first, then "--" and the arguments in their order, so
    // that a negative number among the arguments is refused as a value out of range instead
    // of read as an unknown option.
    static QStringList arrange(const QStringList &arguments);
    // Declares the options, the arguments and the help text on the parser.
    static void setUp(QCommandLineParser *parser);
    // Fills the request from a parsed command line; false with one line in *error when the
    // line asks for something the program or the counter cannot do.
    bool parse(const QCommandLineParser &parser, QString *error);

    bool isCounting() const
    {
        return command == QLatin1String("watch") || command == QLatin1String("scan");
    }

    QString portName;
    int attempts = 5;
    QString command;
    QString what; // get and set: channel, timeconst or level
    qint64 numbers[3] = {0, 0, 0}; // set: channel, level and value, as far as used
    double seconds = 0; // set timeconst; watch --period, 0 for the time constant
    int count = 0; // watch --count, 0 for no limit
    int channel = 0; // scan
    quint32 start = 0, stop = 0, step = 0; // scan
    bool header = true; // watch and scan: the context lines before the data
};

#endif // COMMANDREQUEST_H
