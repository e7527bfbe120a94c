#ifndef WINDOWKEYBOARD_H
#define WINDOWKEYBOARD_H

#include <QHash>
#include <QObject>

class QMainWindow;
class QPushButton;
class QToolButton;

namespace Ui {
class MainWindow;
}

// The window's keyboard and hints: an Alt+letter key for each button, Enter in a value field
// runs the field's Set button, a tooltip on every control naming its key, and the About
// button below the tabs, which F1 opens too.
class WindowKeyboard : public QObject
{
    Q_OBJECT
public:
    // `applyButton` and `recordButton` live outside the .ui; either may be null.
    WindowKeyboard(Ui::MainWindow *ui, QPushButton *applyButton, QPushButton *recordButton,
                   QMainWindow *window);

signals:
    void aboutRequested();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void setUpKeys(QPushButton *applyButton, QPushButton *recordButton);
    void setUpAbout(QMainWindow *window);
    void placeAboutButton();

    Ui::MainWindow *ui;
    // The value fields whose Enter runs a Set button.
    QHash<QObject *, QPushButton *> m_setButtons;
    QToolButton *m_aboutButton = nullptr;
};

#endif // WINDOWKEYBOARD_H
