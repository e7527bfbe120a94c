#ifndef KUVELCOUNTERAPP_H
#define KUVELCOUNTERAPP_H

#include <QStringList>

class QApplication;

// The program from the port choice to the end of the main window; answers the exit code.
// `arguments` are the application's own, program name first; an optional port after it (a
// system name or a path) is preselected in the dialog. `portNames` are what the dialog lists.
// A port that does not work is explained in a box and the dialog comes back; giving up then
// ends the program with 1.
int runKuvelCounter(QApplication &app, const QStringList &arguments, const QStringList &portNames);
// The same with the application's arguments and the ports the system reports.
int runKuvelCounter(QApplication &app);

// True when the command line asks for help or the version, which main answers before the
// window system is reached, so that they work without a display.
bool asksForHelpOrVersion(const QStringList &arguments);
// Answers what the command line asks that needs no window: help and the version on standard
// output (0), a command line the program cannot take on standard error (1). -1 when the
// program is to start; *port is then the port to preselect, empty when none was given.
// Needs an application object.
int answerCommandLine(const QStringList &arguments, QString *port);

#endif // KUVELCOUNTERAPP_H
