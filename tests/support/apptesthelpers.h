#ifndef APPTESTHELPERS_H
#define APPTESTHELPERS_H

// Helpers for the operator program under test: its modal boxes answered as an operator would,
// its poll's ticks counted.

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

#include <functional>

// What a modal message box showed before the test closed it.
struct ShownBox
{
    bool seen = false;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title;
    QString text;
    QWidget *parent = nullptr;
};

// Runs `handler` on the next modal widget of type T once it is up, from the event loop, as
// the operator would meet it. Gives up after `timeoutMs`.
template<typename T> void onNextModal(std::function<void(T *)> handler, int timeoutMs = 30000)
{
    auto *timer = new QTimer;
    auto *clock = new QElapsedTimer;
    clock->start();
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, clock, handler, timeoutMs] {
        T *widget = qobject_cast<T *>(QApplication::activeModalWidget());
        if (!widget && clock->elapsed() < timeoutMs)
            return;
        timer->stop();
        timer->deleteLater();
        delete clock;
        if (widget)
            handler(widget);
    });
    timer->start();
}

// Closes every message box that comes up while it lives, as an operator pressing OK, and
// keeps what each one showed.
class BoxCloser
{
public:
    BoxCloser()
    {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            ShownBox seen;
            seen.seen = true;
            seen.icon = box->icon();
            seen.title = box->windowTitle();
            seen.text = box->text();
            seen.parent = box->parentWidget();
            shown.append(seen);
            box->button(QMessageBox::Ok)->click();
        });
        m_timer.start();
    }

    QList<ShownBox> shown;

private:
    QTimer m_timer;
};

// The "tick" debug messages of the live poll, counted and kept out of the test's output.
class TickCounter
{
public:
    TickCounter() : m_start(s_ticks) { s_previous = qInstallMessageHandler(&TickCounter::handle); }
    ~TickCounter() { qInstallMessageHandler(s_previous); }
    // Ticks since this counter was made.
    int count() const { return s_ticks - m_start; }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        if (type == QtDebugMsg && text == QLatin1String("tick")) {
            ++s_ticks;
            return;
        }
        if (s_previous)
            s_previous(type, context, text);
    }
    const int m_start;
    static inline QtMessageHandler s_previous = nullptr;
    static inline int s_ticks = 0;
};

#endif // APPTESTHELPERS_H
