#include "kuvelcounterapp.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    // Help and the version need no display: they are answered before the window system is
    // reached.
    if (asksForHelpOrVersion(arguments)) {
        QCoreApplication core(argc, argv);
        return answerCommandLine(core.arguments(), nullptr);
    }
    QApplication app(argc, argv);
    return runKuvelCounter(app);
}
