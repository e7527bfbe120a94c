// kuvel-walkthrough: runs the operator program from its entry against the simulated counter
// and works it as an operator would, from timers: accepts the port dialog, waits for the
// identified window, sets the time constant to 0.01 s, counts until the labels have changed
// a few times, stops, runs a calibration scan of two points per phase to its end, and closes
// the window. Made to run the whole program under valgrind (scripts/valgrind.sh) on the
// offscreen platform. `kuvel-walkthrough [PORT]`: without a port it starts the simulated
// counter itself. Exits with the program's own code, or 1 when a step did not come about in
// time or a warning box came up.
#include "kuvelcounterapp.h"
#include "mainwindow.h"
#include "serialport.h"
#include "simprocess.h"

#include <QApplication>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>

#include <cstdio>

namespace {

// Under valgrind everything runs many times slower; the steps wait for states, not times.
constexpr qint64 StepTimeoutMs = 240000;
constexpr int CountChanges = 5;

QtMessageHandler g_previousHandler = nullptr;

void dropTicks(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg && message == QLatin1String("tick"))
        return;
    g_previousHandler(type, context, message);
}

MainWindow *shownWindow()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *window = qobject_cast<MainWindow *>(widget); window && window->isVisible())
            return window;
    }
    return nullptr;
}

template<typename T> T *child(QWidget *window, const char *name)
{
    return window->findChild<T *>(QLatin1String(name));
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    g_previousHandler = qInstallMessageHandler(&dropTicks);

    // Under valgrind the script starts the simulator, so that no child process is started
    // from the program under test.
    QString port = app.arguments().value(1);
    SimProcess sim;
    if (port.isEmpty()) {
        if (!sim.start()) {
            std::fprintf(stderr, "kuvel-walkthrough: the simulated counter did not start\n");
            return 2;
        }
        port = sim.portPath();
    }

    enum Step { Dialog, Window, Counting, Scanning, Closing, Done };
    Step step = Dialog;
    bool failed = false;
    QString lastCounts;
    int countChanges = 0;
    QElapsedTimer stepClock;
    stepClock.start();
    const auto next = [&](Step to) {
        std::printf("kuvel-walkthrough: step %d done after %lld ms\n", int(step),
                    stepClock.elapsed());
        std::fflush(stdout);
        step = to;
        stepClock.restart();
    };

    QTimer operatorHand;
    QObject::connect(&operatorHand, &QTimer::timeout, &app, [&] {
        QWidget *modal = QApplication::activeModalWidget();
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            std::fprintf(stderr, "kuvel-walkthrough: unexpected box: %s\n",
                         qPrintable(box->text()));
            failed = true;
            box->button(QMessageBox::Ok)->click();
            return;
        }
        if (stepClock.elapsed() > StepTimeoutMs) {
            std::fprintf(stderr, "kuvel-walkthrough: step %d did not come about\n", int(step));
            failed = true;
            step = Done;
            QApplication::closeAllWindows();
            if (auto *dialog = qobject_cast<QDialog *>(modal))
                dialog->reject();
            return;
        }
        MainWindow *window = shownWindow();
        switch (step) {
        case Dialog:
            if (auto *dialog = qobject_cast<SerialPort *>(modal)) {
                dialog->accept();
                next(Window);
            }
            return;
        case Window:
            if (!window)
                return;
            child<QDoubleSpinBox>(window, "dsbTimeConst")->setValue(0.01);
            child<QPushButton>(window, "pbSetTimeConst")->click();
            child<QPushButton>(window, "pbStart")->click();
            lastCounts = child<QLabel>(window, "lCounts1")->text();
            next(Counting);
            return;
        case Counting: {
            const QString counts = child<QLabel>(window, "lCounts1")->text();
            if (counts != lastCounts) {
                lastCounts = counts;
                ++countChanges;
            }
            if (countChanges < CountChanges)
                return;
            child<QPushButton>(window, "pbStop")->click();
            child<QTabWidget>(window, "tabWidget")->setCurrentIndex(1);
            child<QSpinBox>(window, "sbStartCalibr")->setValue(100);
            child<QSpinBox>(window, "sbStopCalibr")->setValue(200);
            child<QSpinBox>(window, "sbStep")->setValue(100);
            child<QPushButton>(window, "pbStartCalibration")->click();
            next(Scanning);
            return;
        }
        case Scanning:
            // The scan's last step stops it, which enables its start button again.
            if (!child<QPushButton>(window, "pbStartCalibration")->isEnabled())
                return;
            std::printf("kuvel-walkthrough: scan ended: %s\n",
                        qPrintable(child<QLabel>(window, "lStatus")->text()));
            next(Closing);
            window->close();
            return;
        case Closing:
        case Done:
            return;
        }
    });
    operatorHand.start(20);

    const int code = runKuvelCounter(app, {app.arguments().first(), port}, {});
    operatorHand.stop();
    qInstallMessageHandler(g_previousHandler);
    if (step != Closing || failed) {
        std::fprintf(stderr, "kuvel-walkthrough: ended in step %d\n", int(step));
        return 1;
    }
    std::printf("kuvel-walkthrough: done, the program answered %d\n", code);
    return code;
}
