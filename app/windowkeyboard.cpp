#include "windowkeyboard.h"
#include "ui_mainwindow.h"

#include <QKeyEvent>
#include <QShortcut>
#include <QStyle>
#include <QTabBar>
#include <QTimer>
#include <QToolButton>

namespace {

// The tooltip of a control, with its access key when it has one.
QString withKey(const QString &tip, const QKeySequence &key)
{
    if (key.isEmpty())
        return tip;
    return QStringLiteral("%1 (%2)").arg(tip, key.toString(QKeySequence::NativeText));
}

} // namespace

WindowKeyboard::WindowKeyboard(Ui::MainWindow *ui, QPushButton *applyButton,
                               QPushButton *recordButton, QMainWindow *window)
    : QObject(window), ui(ui)
{
    setUpKeys(applyButton, recordButton);
    setUpAbout(window);
}

void WindowKeyboard::setUpKeys(QPushButton *applyButton, QPushButton *recordButton)
{
    // Alt+letter instead of an "&" in the captions, which keep their described texts. A
    // shortcut of a hidden or disabled button does not fire, so the Start and Stop of the
    // Counts tab and of the Calibration tab can share their keys.
    struct Control
    {
        QWidget *widget;
        int key;
        QString tip;
    };
    const Control controls[] = {
        {ui->pbGetChannel, Qt::ALT | Qt::Key_A,
         tr("Reads the counter's active channel into the Channel field")},
        {ui->pbSetChannel, Qt::ALT | Qt::Key_C,
         tr("Makes the Channel field's channel the counter's active channel")},
        {ui->pbGetTimeConst, Qt::ALT | Qt::Key_G,
         tr("Reads the counter's time constant into the Time Const field")},
        {ui->pbSetTimeConst, Qt::ALT | Qt::Key_T, tr("Writes the Time Const field to the counter")},
        {ui->pbSetRefLevel1, Qt::ALT | Qt::Key_1,
         tr("Writes the 1-photon reference level to the channel in the Channel field")},
        {ui->pbSetRefLevel2, Qt::ALT | Qt::Key_2,
         tr("Writes the 2-photon reference level to the channel in the Channel field")},
        {ui->pbSetRefLevel3, Qt::ALT | Qt::Key_3,
         tr("Writes the 3-photon reference level to the channel in the Channel field")},
        {ui->pbSetRefLevel4, Qt::ALT | Qt::Key_4,
         tr("Writes the 4-photon reference level to the channel in the Channel field")},
        {ui->pbStart, Qt::ALT | Qt::Key_S,
         tr("Starts the counter and shows its counts as they come")},
        {ui->pbStop, Qt::ALT | Qt::Key_P, tr("Stops the counter")},
        {ui->pbWriteEEPROM, Qt::ALT | Qt::Key_W,
         tr("Makes the counter keep its current channel, time constant and levels after a "
            "power cycle")},
        {ui->pbStartCalibration, Qt::ALT | Qt::Key_S,
         tr("Scans the levels of the chosen channel from Start to Stop and plots the counts")},
        {ui->pbStopCalibration, Qt::ALT | Qt::Key_P, tr("Ends the running scan")},
        {applyButton, Qt::ALT | Qt::Key_L, tr("Writes the proposed levels to the scanned channel")},
        {recordButton, Qt::ALT | Qt::Key_R, tr("Writes the counts to a file while counting runs")},
        {ui->sbChannel, 0, tr("The channel to read or make active (1 to 8)")},
        {ui->dsbTimeConst, 0, tr("The time constant in seconds; Enter writes it to the counter")},
        {ui->sbRefLevel1, 0, tr("The 1-photon reference level; Enter writes it")},
        {ui->sbRefLevel2, 0, tr("The 2-photon reference level; Enter writes it")},
        {ui->sbRefLevel3, 0, tr("The 3-photon reference level; Enter writes it")},
        {ui->sbRefLevel4, 0, tr("The 4-photon reference level; Enter writes it")},
        {ui->sbChannelCalibr, 0, tr("The channel whose levels the scan writes (1 to 8)")},
        {ui->sbStartCalibr, 0, tr("The first level the scan writes")},
        {ui->sbStopCalibr, 0, tr("The last level the scan writes")},
        {ui->sbStep, 0, tr("How far the level moves per point; 0 stays at Start")},
        {ui->customPlot, 0,
         tr("Counts against level per phase; right-click to save or open, double-click to "
            "fit")},
    };
    for (const Control &control : controls) {
        if (!control.widget)
            continue;
        const QKeySequence key(control.key);
        control.widget->setToolTip(withKey(control.tip, key));
        auto *button = qobject_cast<QPushButton *>(control.widget);
        if (!button || key.isEmpty())
            continue;
        auto *shortcut = new QShortcut(key, button);
        connect(shortcut, &QShortcut::activated, button, &QPushButton::click);
    }

    m_setButtons = {{ui->sbChannel, ui->pbSetChannel},     {ui->dsbTimeConst, ui->pbSetTimeConst},
                    {ui->sbRefLevel1, ui->pbSetRefLevel1}, {ui->sbRefLevel2, ui->pbSetRefLevel2},
                    {ui->sbRefLevel3, ui->pbSetRefLevel3}, {ui->sbRefLevel4, ui->pbSetRefLevel4}};
    for (auto it = m_setButtons.cbegin(); it != m_setButtons.cend(); ++it)
        it.key()->installEventFilter(this);
}

void WindowKeyboard::setUpAbout(QMainWindow *window)
{
    // No menu bar, and the tabs' corner widgets are not laid out for tabs on the left: the
    // About button sits below the tabs, in the free end of their column, and F1 opens it too.
    m_aboutButton = new QToolButton(ui->tabWidget);
    m_aboutButton->setObjectName(QStringLiteral("tbAbout"));
    m_aboutButton->setText(tr("About"));
    m_aboutButton->setIcon(window->style()->standardIcon(QStyle::SP_MessageBoxInformation));
    m_aboutButton->setToolButtonStyle(Qt::ToolButtonIconOnly);
    m_aboutButton->setAutoRaise(true);
    m_aboutButton->setToolTip(
        withKey(tr("About: versions of the program and of the connected counter"),
                QKeySequence(Qt::Key_F1)));
    connect(m_aboutButton, &QToolButton::clicked, this, &WindowKeyboard::aboutRequested);
    ui->tabWidget->installEventFilter(this);
    if (auto *bar = ui->tabWidget->findChild<QTabBar *>())
        bar->installEventFilter(this);
    auto *help = new QShortcut(QKeySequence(Qt::Key_F1), window);
    connect(help, &QShortcut::activated, this, &WindowKeyboard::aboutRequested);
}

void WindowKeyboard::placeAboutButton()
{
    const auto *bar = ui->tabWidget->findChild<QTabBar *>();
    const QSize hint = m_aboutButton->sizeHint();
    const int width = bar && bar->width() > 0 ? bar->width() : hint.width();
    m_aboutButton->setGeometry(0, ui->tabWidget->height() - hint.height(), width, hint.height());
    m_aboutButton->raise();
}

bool WindowKeyboard::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Resize && !m_setButtons.contains(watched)) {
        // The tab bar gets its width after the tab widget's own resize.
        QTimer::singleShot(0, this, &WindowKeyboard::placeAboutButton);
        return QObject::eventFilter(watched, event);
    }
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        QPushButton *button = m_setButtons.value(watched);
        if (button && (key == Qt::Key_Return || key == Qt::Key_Enter)) {
            // What was typed becomes the field's value first, as leaving the field would.
            static_cast<QAbstractSpinBox *>(watched)->interpretText();
            button->click();
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}
