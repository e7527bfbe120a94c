#include "kuvelcounterapp.h"

#include "curs485iointerface.h"
#include "cutcpiointerface.h"
#include "mainwindow.h"
#include "serialport.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QMessageBox>
#include <QSettings>

#include <cstdio>

namespace {

void setUpParser(QCommandLineParser *parser)
{
    QCoreApplication::setApplicationName(QStringLiteral("kuvel-counter"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KUVEL_VERSION));
    parser->setApplicationDescription(
        QObject::tr("The operator program of the photon-number-resolving counter."));
    // Not addHelpOption(): its --help-all would promise the window system's options, which
    // are unknown before the window system is reached.
    parser->addOption({{QStringLiteral("h"), QStringLiteral("help")},
                       QObject::tr("Displays help on commandline options.")});
    parser->addVersionOption();
    parser->addPositionalArgument(
        QStringLiteral("PORT"),
        QObject::tr("The serial port to preselect in the port dialog: a system name such as "
                    "ttyUSB0, or a path."),
        QStringLiteral("[PORT]"));
}

void print(FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

// The operator's reason for a port that opened but did not identify the counter.
QString identificationFailure(const MainWindow &window, const QString &portName)
{
    if (window.deviceAnswered())
        return QObject::tr("Wrong device");
    return QObject::tr("No counter answers on %1")
        .arg(cuRs485IOInterface::printablePortName(portName));
}

// The port a counter last answered on, when it is still there: a port that is gone would
// only meet the operator with an error.
QString rememberedPort(const QStringList &portNames)
{
    const QSettings settings(QStringLiteral("Kuvel"), QStringLiteral("kuvel-counter"));
    const QString port = settings.value(QStringLiteral("port")).toString();
    if (port.isEmpty())
        return {};
    // A network server is not listed and has no file; the first request tells whether it is
    // there.
    if (cuTcpIOInterface::isTcpPortName(port))
        return port;
    const QString path = port.startsWith(QLatin1Char('/')) ? port : QStringLiteral("/dev/") + port;
    return portNames.contains(port) || QFileInfo::exists(path) ? port : QString();
}

void rememberPort(const QString &port)
{
    QSettings settings(QStringLiteral("Kuvel"), QStringLiteral("kuvel-counter"));
    settings.setValue(QStringLiteral("port"), port);
}

} // namespace

int runKuvelCounter(QApplication &app, const QStringList &arguments, const QStringList &portNames)
{
    QString requestedPort;
    const int answered = answerCommandLine(arguments, &requestedPort);
    if (answered >= 0)
        return answered;

    QApplication::setStyle(QStringLiteral("Fusion"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/kuvel-counter.png")));

    if (requestedPort.isEmpty())
        requestedPort = rememberedPort(portNames);
    // Destroyed in reverse order: the window first, then the dialog.
    SerialPort dialog(portNames, requestedPort);
    MainWindow window;

    // Leaving the dialog is no failure at first; after a port that did not work, it is.
    int exitCodeWhenLeft = 0;
    for (;;) {
        if (dialog.exec() != QDialog::Accepted)
            return exitCodeWhenLeft;
        const QString portName = dialog.portName();
        if (portName.isEmpty())
            return exitCodeWhenLeft;

        window.setPortName(portName);
        QString reason;
        if (window.openPort(&reason)) {
            if (window.isCorrectDevice()) {
                rememberPort(portName);
                window.show();
                return app.exec();
            }
            reason = identificationFailure(window, portName);
            window.closePort();
        }
        QMessageBox::critical(&dialog, QObject::tr("Fatal error"), reason);
        exitCodeWhenLeft = 1;
    }
}

int runKuvelCounter(QApplication &app)
{
    return runKuvelCounter(app, app.arguments(), SerialPort::availablePortNames());
}

bool asksForHelpOrVersion(const QStringList &arguments)
{
    QCommandLineParser parser;
    setUpParser(&parser);
    // Options of the window system (-platform, -display) are unknown here: only whether help
    // or the version is asked matters.
    parser.parse(arguments);
    return parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("version"));
}

int answerCommandLine(const QStringList &arguments, QString *port)
{
    QCommandLineParser parser;
    setUpParser(&parser);
    const bool parsed = parser.parse(arguments);
    if (parser.isSet(QStringLiteral("version"))) {
        print(stdout,
              QCoreApplication::applicationName() + QLatin1Char(' ')
                  + QCoreApplication::applicationVersion() + QLatin1Char('\n'));
        return 0;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        print(stdout, parser.helpText());
        return 0;
    }
    QString error = parser.errorText();
    if (parsed && parser.positionalArguments().size() > 1)
        error = QObject::tr("Only one port may be given.");
    if (!parsed || !error.isEmpty()) {
        print(stderr,
              QCoreApplication::applicationName() + QStringLiteral(": ") + error
                  + QObject::tr(" (see --help)") + QLatin1Char('\n'));
        return 1;
    }
    if (port)
        *port = parser.positionalArguments().value(0);
    return -1;
}
