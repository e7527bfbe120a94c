#include "apptesthelpers.h"
#include "curs485iointerface.h"
#include "kuvelcounterapp.h"
#include "mainwindow.h"
#include "serialport.h"
#include "simlog.h"
#include "simprocess.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QStyle>
#include <QtTest>

namespace {

// Every top-level widget shown while it is installed, by class name.
class ShowWatcher : public QObject
{
public:
    ShowWatcher() { qApp->installEventFilter(this); }
    ~ShowWatcher() override { qApp->removeEventFilter(this); }
    QStringList shown;

protected:
    bool eventFilter(QObject *object, QEvent *event) override
    {
        auto *widget = qobject_cast<QWidget *>(object);
        if (event->type() == QEvent::Show && widget && widget->isWindow())
            shown.append(QString::fromLatin1(widget->metaObject()->className()));
        return false;
    }
};

QPushButton *dialogButton(QDialog *dialog, QDialogButtonBox::StandardButton which)
{
    auto *box = dialog->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));
    return box ? box->button(which) : nullptr;
}

QStringList comboItems(const SerialPort &dialog)
{
    auto *combo = dialog.findChild<QComboBox *>(QStringLiteral("cbAvailableSerialPorts"));
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items.append(combo->itemText(i));
    return items;
}

} // namespace

// The way from the program's start to its main window: the port dialog, the refusals and
// their exit codes.
class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void dialogListsPortsInOrder();
    void portArgument_data();
    void portArgument();
    void typedPortIsTaken();
    void refreshListsNewPortKeepingChoice();
    void cancelEndsWithoutWindow_data();
    void cancelEndsWithoutWindow();
    void emptyListEndsWithoutMessage();
    void unusablePortIsExplained_data();
    void unusablePortIsExplained();
    void counterOpensMainWindow();
    void helpAndVersionNeedNoDisplay();
};

void TestStartup::dialogListsPortsInOrder()
{
    SerialPort dialog({"ttyUSB1", "ttyS0", "ttyACM0"}, QString());
    QCOMPARE(dialog.objectName(), QStringLiteral("SerialPort"));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Choose your device..."));
    QCOMPARE(dialog.size(), QSize(184, 96));
    QCOMPARE(dialog.findChild<QLabel *>("label")->text(), QStringLiteral("Available Serial Ports"));
    QVERIFY(dialogButton(&dialog, QDialogButtonBox::Ok));
    QVERIFY(dialogButton(&dialog, QDialogButtonBox::Cancel));
    // OK, Cancel and Refresh.
    QCOMPARE(dialog.findChild<QDialogButtonBox *>("buttonBox")->buttons().size(), 3);

    QCOMPARE(comboItems(dialog), QStringList({"ttyUSB1", "ttyS0", "ttyACM0"}));
    QCOMPARE(dialog.portName(), QStringLiteral("ttyUSB1"));
}

void TestStartup::portArgument_data()
{
    QTest::addColumn<QStringList>("ports");
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QStringList>("items");
    QTest::addColumn<QString>("selected");

    const QStringList ports = {"ttyS0", "ttyUSB0"};
    QTest::newRow("none") << ports << QString() << ports << "ttyS0";
    QTest::newRow("unlisted path goes on top")
        << ports << "/tmp/kuvel-sim-port"
        << QStringList({"/tmp/kuvel-sim-port", "ttyS0", "ttyUSB0"}) << "/tmp/kuvel-sim-port";
    QTest::newRow("listed name") << ports << "ttyUSB0" << ports << "ttyUSB0";
    QTest::newRow("listed by its path") << ports << "/dev/ttyUSB0" << ports << "ttyUSB0";
    QTest::newRow("unlisted name")
        << ports << "ttyACM3" << QStringList({"ttyACM3", "ttyS0", "ttyUSB0"}) << "ttyACM3";
    QTest::newRow("no port present")
        << QStringList() << "/dev/pts/7" << QStringList({"/dev/pts/7"}) << "/dev/pts/7";
}

void TestStartup::portArgument()
{
    QFETCH(QStringList, ports);
    QFETCH(QString, argument);
    QFETCH(QStringList, items);
    QFETCH(QString, selected);

    SerialPort dialog(ports, argument);
    QCOMPARE(comboItems(dialog), items);
    QCOMPARE(dialog.portName(), selected);
}

void TestStartup::typedPortIsTaken()
{
    SerialPort dialog({"ttyS0"}, QString());
    auto *combo = dialog.findChild<QComboBox *>("cbAvailableSerialPorts");
    QVERIFY(combo->isEditable());
    combo->lineEdit()->clear();
    QTest::keyClicks(combo->lineEdit(), "/dev/serial/by-id/usb-counter");
    QCOMPARE(dialog.portName(), QStringLiteral("/dev/serial/by-id/usb-counter"));
}

void TestStartup::refreshListsNewPortKeepingChoice()
{
    SerialPort dialog({"ttyS0", "ttyUSB0"}, "ttyUSB0");
    dialog.setPortSource([] { return QStringList({"ttyS0", "ttyACM0", "ttyUSB0"}); });
    QTest::mouseClick(dialog.findChild<QPushButton *>("pbRefresh"), Qt::LeftButton);
    QCOMPARE(comboItems(dialog), QStringList({"ttyS0", "ttyACM0", "ttyUSB0"}));
    QCOMPARE(dialog.portName(), QStringLiteral("ttyUSB0"));
}

void TestStartup::cancelEndsWithoutWindow_data()
{
    QTest::addColumn<int>("how");
    QTest::newRow("Cancel") << 0;
    QTest::newRow("Escape") << 1;
    QTest::newRow("closed") << 2;
}

void TestStartup::cancelEndsWithoutWindow()
{
    QFETCH(int, how);
    ShowWatcher watcher;
    bool dialogSeen = false;
    onNextModal<SerialPort>([&](SerialPort *dialog) {
        dialogSeen = true;
        if (how == 0)
            QTest::mouseClick(dialogButton(dialog, QDialogButtonBox::Cancel), Qt::LeftButton);
        else if (how == 1)
            QTest::keyClick(dialog, Qt::Key_Escape);
        else
            dialog->close();
    });

    const int exitCode = runKuvelCounter(*qApp, {"kuvel-counter"}, {"ttyS0", "ttyS1"});
    QVERIFY(dialogSeen);
    QCOMPARE(exitCode, 0);
    QCOMPARE(watcher.shown, QStringList({"SerialPort"}));
}

void TestStartup::emptyListEndsWithoutMessage()
{
    ShowWatcher watcher;
    onNextModal<SerialPort>([](SerialPort *dialog) {
        QVERIFY(dialog->portName().isEmpty());
        QTest::mouseClick(dialogButton(dialog, QDialogButtonBox::Ok), Qt::LeftButton);
    });
    QCOMPARE(runKuvelCounter(*qApp, {"kuvel-counter"}, {}), 0);
    QCOMPARE(watcher.shown, QStringList({"SerialPort"}));
}

void TestStartup::unusablePortIsExplained_data()
{
    QTest::addColumn<QString>("port"); // empty: the simulator's, through a symlink
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<bool>("held"); // another link holds the simulator's port by its own name
    QTest::addColumn<QString>("text"); // how the box's text begins; PORT stands for the port

    QTest::newRow("missing, a newline in its name")
        << "/nonexistent/tty\nUSB0" << QStringList() << false
        << "Cannot open /nonexistent/tty\\nUSB0: No such file or directory";
    // Root opens any file, but not a read-only attribute under /sys for writing.
    QTest::newRow("no permission") << "/sys/devices/system/cpu/online" << QStringList() << false
                                   << "Cannot open PORT: Permission denied. On Linux";
    QTest::newRow("not a serial port")
        << "/dev/null" << QStringList() << false << "Cannot open /dev/null: not a serial port";
    QTest::newRow("in use under another name") << QString() << QStringList() << true
                                               << "PORT is in use by another program (PID "
            + QString::number(QCoreApplication::applicationPid());
    QTest::newRow("silent") << QString() << QStringList({"--silent"}) << false
                            << "No counter answers on PORT";
    QTest::newRow("another type") << QString() << QStringList({"--type", "OtherCounter"}) << false
                                  << "Wrong device";
}

void TestStartup::unusablePortIsExplained()
{
    QFETCH(QString, port);
    QFETCH(QStringList, simArgs);
    QFETCH(bool, held);
    QFETCH(QString, text);

    if (QTest::currentDataTag() == QLatin1String("no permission")
        && (!QFile::exists(port) || QFile(port).open(QIODevice::ReadWrite)))
        QSKIP("no file here that refuses to be opened for writing");
    SimProcess sim;
    QTemporaryDir dir;
    cuRs485IOInterface holder;
    if (port.isEmpty()) {
        port = dir.filePath("ttyKuvel");
        QVERIFY(sim.start(simArgs, port));
        holder.setPortName(sim.portPath());
        QVERIFY(!held || holder.initialize());
    }

    // The box explains, the dialog comes back for another port, and giving up is a failure.
    ShowWatcher watcher;
    SerialPort *dialogShown = nullptr;
    onNextModal<SerialPort>([&](SerialPort *dialog) {
        dialogShown = dialog;
        QTest::mouseClick(dialogButton(dialog, QDialogButtonBox::Ok), Qt::LeftButton);
        onNextModal<SerialPort>([](SerialPort *again) {
            QTest::mouseClick(dialogButton(again, QDialogButtonBox::Cancel), Qt::LeftButton);
        });
    });
    BoxCloser boxes;

    QCOMPARE(runKuvelCounter(*qApp, {"kuvel-counter", port}, {"ttyS0"}), 1);
    QCOMPARE(boxes.shown.size(), 1);
    const ShownBox box = boxes.shown.first();
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.title, QStringLiteral("Fatal error"));
    QVERIFY2(box.text.startsWith(QString(text).replace("PORT", port)), qPrintable(box.text));
    QCOMPARE(box.parent, dialogShown);
    QCOMPARE(watcher.shown.count("SerialPort"), 2);
    QVERIFY(!watcher.shown.contains("MainWindow"));
    // The port given on the command line is the one that was asked, and once only.
    if (!simArgs.isEmpty())
        QCOMPARE(simRequests(sim.logLines()).value(0), QStringLiteral("06"));
}

void TestStartup::counterOpensMainWindow()
{
    SimProcess sim;
    QVERIFY(sim.start());

    QString preselected;
    onNextModal<SerialPort>([&](SerialPort *dialog) {
        preselected = dialog->portName();
        QTest::mouseClick(dialogButton(dialog, QDialogButtonBox::Ok), Qt::LeftButton);
    });
    // Once the window is up, end the event loop with a code of our own: it must become the
    // program's exit code.
    MainWindow *window = nullptr;
    QTimer poll;
    poll.setInterval(5);
    connect(&poll, &QTimer::timeout, [&] {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (auto *main = qobject_cast<MainWindow *>(widget); main && main->isVisible()) {
                window = main;
                poll.stop();
                QApplication::exit(3);
            }
        }
    });
    poll.start();

    QCOMPARE(runKuvelCounter(*qApp, {"kuvel-counter", sim.portPath()}, {}), 3);
    QVERIFY(window);
    QCOMPARE(preselected, sim.portPath());
    QCOMPARE(QApplication::style()->objectName(), QStringLiteral("fusion"));
    QCOMPARE(simRequests(sim.logLines()), QStringList({"06", "05", "14", "12"}));
    // The next start preselects the port a counter answered on.
    QSettings settings(QStringLiteral("Kuvel"), QStringLiteral("kuvel-counter"));
    QCOMPARE(settings.value("port").toString(), sim.portPath());
    settings.clear();
}

void TestStartup::helpAndVersionNeedNoDisplay()
{
    // Asked on a machine without a display, before the port dialog would come up.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("DISPLAY");
    environment.remove("WAYLAND_DISPLAY");
    environment.insert("QT_QPA_PLATFORM", "xcb");
    QProcess program;
    program.setProcessEnvironment(environment);
    for (const QString &option : QStringList {"--version", "--help"}) {
        program.start(KUVEL_APP_PATH, {option});
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitCode(), 0);
        const QString out = QString::fromLocal8Bit(program.readAllStandardOutput());
        QVERIFY2(out.contains(option == QLatin1String("--help") ? "[PORT]" : "kuvel-counter 1."),
                 qPrintable(out));
    }
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
