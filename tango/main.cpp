// kuvel-counter-tango: the counters as devices of a Tango control system. One server instance
// serves any number of counters, each a KuvelCounter device on a thread of its own; Tango
// reads the devices and their Port from its database, or from a file with -file=FILE.

#include "kuvelcounterclass.h"
#include "kuvelversion.h"

#include <tango.h>

#include <QCoreApplication>

#include <cstdio>
#include <cstring>

namespace {

// The same numbers as the other programs' where they mean the same.
enum TangoExitCode {
    ExitOk = 0,
    ExitUsage = 1,
    ExitStart = 5, // Tango could not start the server: database, file or endpoint
};

const char Usage[]
    = "Usage: kuvel-counter-tango INSTANCE [Tango options]\n"
      "Serves Kuvel photon counters as devices of the Tango class KuvelCounter.\n"
      "\n"
      "With a Tango database (TANGO_HOST), register the server and its devices first:\n"
      "  tango_admin --add-server kuvel-counter-tango/INSTANCE KuvelCounter kuvel/counter/1\n"
      "  tango_admin --add-property kuvel/counter/1 Port /dev/ttyUSB0\n"
      "Without one, name them in Tango's file database:\n"
      "  kuvel-counter-tango INSTANCE -file=FILE -ORBendPoint giop:tcp:HOST:PORT\n"
      "and reach them as tango://HOST:PORT/kuvel/counter/1#dbase=no.\n"
      "\n"
      "Device properties: Port (required; a serial port or socket://HOST:PORT), Attempts\n"
      "(1 to 100, default 5; each request waits 500 ms for its answer).\n"
      "Exit codes: 0 ended by SIGINT or SIGTERM; 1 usage error; 5 the server could not start.\n"
      "Options: --help, --version; the others are Tango's (-v[1-5] for its trace level).\n";

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("kuvel-counter-tango %s\n", KUVEL_VERSION);
        return ExitOk;
    }
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(Usage, stdout);
        return ExitOk;
    }
    if (argc < 2 || argv[1][0] == '-') {
        std::fputs(Usage, stderr);
        return ExitUsage;
    }
    // The counters' threads need the application object; Tango's arguments are left to Tango.
    int qtArgc = 1;
    QCoreApplication app(qtArgc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kuvel-counter-tango"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KUVEL_VERSION));

    Tango::Util *tango = nullptr;
    try {
        tango = Tango::Util::init(argc, argv);
        tango->server_init(false);
        std::printf("Ready to accept request\n");
        std::fflush(stdout);
        tango->server_run();
    } catch (const CORBA::Exception &e) {
        std::fprintf(stderr, "kuvel-counter-tango: the server could not start:\n");
        Tango::Except::print_exception(e);
        if (tango)
            tango->server_cleanup();
        return ExitStart;
    }
    tango->server_cleanup();
    return ExitOk;
}
