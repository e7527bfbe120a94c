#include "kuvelcounterapp.h"

#include "mainwindow.h"
#include "serialport.h"

#include <QApplication>
#include <QMessageBox>

int runKuvelCounter(QApplication &app, const QStringList &arguments, const QStringList &portNames)
{
    QApplication::setStyle(QStringLiteral("Fusion"));

    const QString requestedPort = arguments.value(1);
    // Destroyed in reverse order: the window first, then the dialog.
    SerialPort dialog(portNames, requestedPort);
    MainWindow window;

    if (dialog.exec() != QDialog::Accepted)
        return 0;
    const QString portName = dialog.portName();
    if (portName.isEmpty())
        return 0;

    window.setPortName(portName);
    if (!window.isCorrectDevice()) {
        QMessageBox::critical(&dialog, QObject::tr("Fatal error"), QObject::tr("Wrong device"));
        return 0;
    }
    window.show();
    return app.exec();
}

int runKuvelCounter(QApplication &app)
{
    return runKuvelCounter(app, app.arguments(), SerialPort::availablePortNames());
}
