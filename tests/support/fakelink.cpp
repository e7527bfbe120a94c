#include "fakelink.h"

#include <QTimer>

FakeLink::FakeLink(QObject *parent) : cuIOInterface(parent)
{
    m_clock.start();
}

void FakeLink::answer(quint8 command, const Reply &reply)
{
    m_rules[command].append(QSharedPointer<Rule>::create(Rule {reply, 0}));
}

void FakeLink::answerAll(const Reply &reply)
{
    m_rules[-1].append(QSharedPointer<Rule>::create(Rule {reply, 0}));
}

void FakeLink::silence()
{
    m_rules.clear();
}

void FakeLink::inject(quint8 address, quint8 command, const QByteArray &data, int delayMs)
{
    QTimer::singleShot(delayMs, this, [=] { deliver(address, command, data); });
}

void FakeLink::deliver(quint8 address, quint8 command, const QByteArray &data)
{
    // The payload pointer is valid only during the emission, as with the real link.
    QByteArray copy = data;
    emit msgReceived(address, command, quint8(copy.size()),
                     reinterpret_cast<quint8 *>(copy.data()));
}

QList<quint8> FakeLink::sentCommands() const
{
    QList<quint8> commands;
    for (const Sent &message : m_sent)
        commands.append(message.command);
    return commands;
}

bool FakeLink::sendMsg(quint8 address, quint8 command, quint8 dataLength, quint8 *data)
{
    const Sent request {address, command,
                        QByteArray(reinterpret_cast<const char *>(data), dataLength),
                        m_clock.elapsed()};
    m_sent.append(request);
    emit requestSent(command);

    // Collected first: a synchronous reply may make the driver send again from inside here.
    Rules rules;
    for (int key : {int(command), -1}) {
        auto it = m_rules.find(key);
        if (it == m_rules.end())
            continue;
        rules += it->second;
    }
    for (const QSharedPointer<Rule> &rule : rules)
        reply(request, *rule);
    return true;
}

void FakeLink::reply(const Sent &request, Rule &rule)
{
    if (rule.seen++ < rule.reply.skip)
        return;
    const Reply &r = rule.reply;
    const quint8 address = r.address < 0 ? request.address : quint8(r.address);
    const quint8 command = r.command < 0 ? request.command : quint8(r.command);
    if (r.synchronous)
        deliver(address, command, r.data);
    else
        inject(address, command, r.data, r.delayMs);
}
