#ifndef KUVELCOUNTERAPP_H
#define KUVELCOUNTERAPP_H

#include <QStringList>

class QApplication;

// The program from the port choice to the end of the main window; answers the exit code.
// `arguments` are the application's own, program name first; an optional port after it (a
// system name or a path) is preselected in the dialog. `portNames` are what the dialog lists.
int runKuvelCounter(QApplication &app, const QStringList &arguments, const QStringList &portNames);
// The same with the application's arguments and the ports the system reports.
int runKuvelCounter(QApplication &app);

#endif // KUVELCOUNTERAPP_H
