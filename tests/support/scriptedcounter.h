#ifndef SCRIPTEDCOUNTER_H
#define SCRIPTEDCOUNTER_H

#include "cstarprotocolpc.h"
#include "pseudoterminal.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <map>
#include <memory>

class QSocketNotifier;

// A counter on a pseudo-terminal that answers exactly as a test tells it, from the test's own
// event loop: a fixed answer payload per command code, and silence for every other code.
// For the answers the simulated counter never gives (a chosen counts record, a channel index
// out of range, a type answered but no channel).
class ScriptedCounter : public QObject
{
    Q_OBJECT
public:
    ScriptedCounter();
    ~ScriptedCounter() override;

    bool open();
    QString portPath() const { return m_terminal ? m_terminal->path() : QString(); }

    void setAnswer(quint8 code, const QByteArray &payload = QByteArray());
    void removeAnswer(quint8 code) { m_answers.erase(code); }

    // The command codes of the requests received, in order.
    QList<quint8> requests() const { return m_requests; }

private:
    void readMaster();
    void handleFrame();

    std::unique_ptr<PseudoTerminal> m_terminal;
    QSocketNotifier *m_notifier = nullptr;
    // Not the process-wide codec: that one belongs to the program's link.
    cStarProtocolPC m_codec;
    QByteArray m_frame;
    std::map<quint8, QByteArray> m_answers;
    QList<quint8> m_requests;
};

#endif // SCRIPTEDCOUNTER_H
