// Start-up: the time from process start to the main window painted after the counter was
// identified, and the peak resident memory of the process.
//
// The program's own start-up path (`runKuvelCounter`, what main runs) waits in the modal port
// dialog for the operator's OK. So this benchmark starts itself again as a child that runs
// exactly that path, with the simulator's port given as the program's argument (so it is
// preselected) and the dialog's OK pressed by a timer as soon as the dialog is up. The parent
// reads the monotonic clock just before it forks the child, the child reads it at the first
// paint of the main window; the parent takes the child's peak resident memory from wait4.
// The baseline, run the same way, is a bare Qt program that shows an empty main window in the
// same style: what any Qt Widgets program pays before its first paint.
#include "benchstats.h"
#include "kuvelcounterapp.h"
#include "mainwindow.h"
#include "simprocess.h"

#include <QApplication>
#include <QDialog>
#include <QMainWindow>
#include <QTimer>

#include <cstdlib>
#include <cstring>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int Runs = 7;
constexpr const char *ChildVariable = "KUVEL_BENCH_STARTUP_CHILD";

// Marks the moments of the child's start-up on its standard output, for the parent: the port
// dialog shown, the main window shown (the counter identified), the main window painted; the
// first paint ends the child.
class StartupMarks : public QObject
{
public:
    explicit StartupMarks(bool programWindow) : m_programWindow(programWindow) { }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        const QEvent::Type type = event->type();
        if (type != QEvent::Show && type != QEvent::Paint)
            return QObject::eventFilter(watched, event);
        const bool mainWindow = m_programWindow ? qobject_cast<MainWindow *>(watched) != nullptr
                                                : qobject_cast<QMainWindow *>(watched) != nullptr;
        if (type == QEvent::Show && !m_dialogShown && qobject_cast<QDialog *>(watched)) {
            m_dialogShown = true;
            mark("DIALOG");
        } else if (type == QEvent::Show && mainWindow && !m_windowShown) {
            m_windowShown = true;
            mark("IDENTIFIED");
        } else if (type == QEvent::Paint && mainWindow && !m_painted) {
            m_painted = true;
            mark("SHOWN");
            QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    static void mark(const char *what)
    {
        std::printf("%s %.9f\n", what, bench::monotonicSeconds());
        std::fflush(stdout);
    }

    bool m_programWindow;
    bool m_dialogShown = false;
    bool m_windowShown = false;
    bool m_painted = false;
};

int runChild(int argc, char **argv, bool programWindow)
{
    QApplication app(argc, argv);
    StartupMarks marks(programWindow);
    app.installEventFilter(&marks);

    if (!programWindow) {
        QApplication::setStyle(QStringLiteral("Fusion"));
        QMainWindow window;
        window.resize(800, 600);
        window.show();
        return app.exec();
    }

    // The operator's OK, as soon as the port dialog is up with the port preselected.
    QTimer accept;
    QObject::connect(&accept, &QTimer::timeout, [&accept] {
        if (auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget())) {
            accept.stop();
            dialog->accept();
        }
    });
    accept.start(0);
    return runKuvelCounter(app);
}

struct ChildResult
{
    double seconds = 0; // to the first paint of the main window
    double dialogSeconds = 0; // to the port dialog shown
    double identifiedSeconds = 0; // to the main window shown after identification
    double peakMb = 0;
};

double markAt(const QByteArray &text, const char *what, double begin)
{
    const QByteArray key = QByteArray(what) + ' ';
    const int at = text.indexOf(key);
    if (at < 0)
        return std::nan("");
    const int end = text.indexOf('\n', at);
    return text.mid(at + key.size(), end - at - key.size()).toDouble() - begin;
}

bool startChild(const char *self, const char *mode, const QString &port, ChildResult *result)
{
    int out[2];
    if (::pipe(out) != 0)
        return false;
    const QByteArray portArgument = port.toLocal8Bit();
    const double begin = bench::monotonicSeconds();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        ::setenv(ChildVariable, mode, 1);
        char *const args[]
            = {const_cast<char *>(self), const_cast<char *>(portArgument.data()), nullptr};
        ::execv(self, args);
        ::_exit(127);
    }
    ::close(out[1]);
    if (pid < 0) {
        ::close(out[0]);
        return false;
    }
    QByteArray text;
    char chunk[256];
    ssize_t n;
    while ((n = ::read(out[0], chunk, sizeof(chunk))) > 0)
        text.append(chunk, int(n));
    ::close(out[0]);
    int status = 0;
    rusage usage {};
    ::wait4(pid, &status, 0, &usage);

    result->seconds = markAt(text, "SHOWN", begin);
    result->dialogSeconds = markAt(text, "DIALOG", begin);
    result->identifiedSeconds = markAt(text, "IDENTIFIED", begin);
    if (std::isnan(result->seconds) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench_startup: the %s child did not show its window\n", mode);
        return false;
    }
    result->peakMb = usage.ru_maxrss / 1024.0; // kilobytes on Linux
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (const char *mode = std::getenv(ChildVariable))
        return runChild(argc, argv, std::strcmp(mode, "program") == 0);

    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "*.debug=false");

    // The simulator needs an event loop of its own only in its own process.
    QCoreApplication app(argc, argv);
    SimProcess sim(SimProcess::Unlogged);
    if (!sim.start()) {
        std::fprintf(stderr, "bench_startup: the simulator did not start\n");
        return 1;
    }
    const QByteArray self = QCoreApplication::applicationFilePath().toLocal8Bit();

    std::vector<double> programMs, programMb, bareMs, bareMb, dialogMs, identifiedMs;
    for (int run = 0; run < Runs; ++run) {
        ChildResult p;
        ChildResult b;
        if (!startChild(self.constData(), "program", sim.portPath(), &p)
            || !startChild(self.constData(), "bare", sim.portPath(), &b))
            return 1;
        programMs.push_back(p.seconds * 1000.0);
        programMb.push_back(p.peakMb);
        bareMs.push_back(b.seconds * 1000.0);
        bareMb.push_back(b.peakMb);
        dialogMs.push_back(p.dialogSeconds * 1000.0);
        identifiedMs.push_back(p.identifiedSeconds * 1000.0);
        std::fprintf(stderr,
                     "run %d: program: dialog up %.1f ms, identified %.1f ms, painted %.1f ms, "
                     "%.1f MB; bare Qt window painted %.1f ms, %.1f MB\n",
                     run + 1, dialogMs.back(), identifiedMs.back(), programMs.back(),
                     programMb.back(), bareMs.back(), bareMb.back());
    }

    bench::Row row;
    row.bench = "start-up";
    row.figure = "process start to main window painted, ms";
    row.value = bench::format(bench::median(programMs), 1);
    row.spread = bench::spread(programMs, 1);
    row.baseline = bench::format(bench::median(bareMs), 1) + " (bare Qt)";
    row.ratio = bench::format(bench::median(programMs) / bench::median(bareMs), 2);
    bench::printRow(row);

    row.figure = "  of it: port dialog up, ms";
    row.value = bench::format(bench::median(dialogMs), 1);
    row.spread = bench::spread(dialogMs, 1);
    row.baseline = "-";
    row.ratio = "-";
    bench::printRow(row);

    row.figure = "  of it: dialog OK to identified, ms";
    std::vector<double> identification;
    for (size_t i = 0; i < dialogMs.size(); ++i)
        identification.push_back(identifiedMs[i] - dialogMs[i]);
    row.value = bench::format(bench::median(identification), 1);
    row.spread = bench::spread(identification, 1);
    bench::printRow(row);

    row.figure = "peak resident memory, MB";
    row.value = bench::format(bench::median(programMb), 1);
    row.spread = bench::spread(programMb, 1);
    row.baseline = bench::format(bench::median(bareMb), 1) + " (bare Qt)";
    row.ratio = bench::format(bench::median(programMb) / bench::median(bareMb), 2);
    bench::printRow(row);
    return 0;
}
