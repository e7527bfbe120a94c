#include "scpiserver.h"

#include "counterclient.h"
#include "scpiclient.h"
#include "scpicommand.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QHostAddress>
#include <QTcpSocket>

#include <cmath>

namespace {

enum class Op {
    Identify,
    ClearStatus,
    OperationComplete,
    EventStatus,
    StatusByte,
    Save,
    Error,
    Information,
    Start,
    Stop,
    Counts,
    Measure,
    Channel,
    TimeConst,
    Level,
};

// The command tree. A query and its setting are separate rows; `write` marks what changes the
// counter's settings, refused under --read-only.
struct CommandRow
{
    const char *pattern;
    bool query;
    int paramCount;
    bool write;
    Op op;
};

const CommandRow Commands[] = {
    {"*IDN", true, 0, false, Op::Identify},
    {"*CLS", false, 0, false, Op::ClearStatus},
    {"*OPC", true, 0, false, Op::OperationComplete},
    {"*ESR", true, 0, false, Op::EventStatus},
    {"*STB", true, 0, false, Op::StatusByte},
    {"*SAV", false, 1, true, Op::Save},
    {"SYSTem:ERRor[:NEXT]", true, 0, false, Op::Error},
    {"SYSTem:INFormation", true, 0, false, Op::Information},
    {"INITiate[:IMMediate]", false, 0, false, Op::Start},
    {"ABORt", false, 0, false, Op::Stop},
    {"FETCh:COUNts", true, 0, false, Op::Counts},
    {"MEASure:COUNts", true, 0, false, Op::Measure},
    {"CONFigure:CHANnel", true, 0, false, Op::Channel},
    {"CONFigure:CHANnel", false, 1, true, Op::Channel},
    {"CONFigure:TCONstant", true, 0, false, Op::TimeConst},
    {"CONFigure:TCONstant", false, 1, true, Op::TimeConst},
    {"CONFigure:LEVel", false, 3, true, Op::Level},
};

// The standard errors the server gives.
constexpr int CommandError = -100;
constexpr int DataTypeError = -104;
constexpr int ParameterNotAllowed = -108;
constexpr int MissingParameter = -109;
constexpr int UndefinedHeader = -113;
constexpr int CommandProtected = -203;
constexpr int DataOutOfRange = -222;
constexpr int HardwareError = -240;
constexpr int InputBufferOverrun = -363;

// A number as SCPI writes it ("2", "+0.1", "1E-1"); false for anything else.
bool parseNumber(const QByteArray &text, double *value)
{
    bool ok = false;
    *value = text.toDouble(&ok);
    return ok && std::isfinite(*value);
}

// A field of a comma-separated answer: no comma, quote or semicolon may break it up, and
// control characters are escaped as in every device text.
QByteArray plainField(const QString &text)
{
    QString out = CounterClient::printableText(text);
    for (QChar &c : out) {
        if (c == QLatin1Char(',') || c == QLatin1Char('"') || c == QLatin1Char(';'))
            c = QLatin1Char(' ');
    }
    return out.trimmed().toUtf8();
}

} // namespace

ScpiServer::ScpiServer(CounterClient *counter, bool readOnly, int lineTimeoutMs, QObject *parent)
    : QObject(parent), m_counter(counter), m_readOnly(readOnly), m_lineTimeoutMs(lineTimeoutMs)
{
    connect(&m_server, &QTcpServer::newConnection, this, &ScpiServer::acceptClients);
    // Idleness is looked at a few times per time-out, so a client goes within a quarter of it.
    m_sweepTimer.setInterval(qBound(10, lineTimeoutMs / 4, 1000));
    connect(&m_sweepTimer, &QTimer::timeout, this, &ScpiServer::sweep);
    // The counter came back with another state, which the client restored: the client whose
    // line met it learns so from its error queue; the line goes on under the restored state.
    connect(m_counter, &CounterClient::stateRestored, this,
            [this](bool changed, const QString &text) {
                if (ScpiClient *c = changed ? client(m_runningClient) : nullptr)
                    c->pushError(HardwareError,
                                 QStringLiteral("Hardware error;")
                                     + QString::fromUtf8(plainField(text)));
            });
}

ScpiServer::~ScpiServer() = default;

bool ScpiServer::listen(const QHostAddress &address, quint16 port)
{
    if (!m_server.listen(address, port))
        return false;
    m_sweepTimer.start();
    return true;
}

void ScpiServer::close()
{
    m_server.close();
    m_sweepTimer.stop();
    m_queue.clear();
    for (const WaitingClient &waiting : m_waiting) {
        if (waiting.socket) {
            waiting.socket->abort();
            waiting.socket->deleteLater();
        }
    }
    m_waiting.clear();
    while (!m_clients.empty())
        dropClient(m_clients.begin()->first);
}

ScpiClient *ScpiServer::client(quint64 id) const
{
    const auto found = m_clients.find(id);
    return found == m_clients.end() ? nullptr : found->second.get();
}

void ScpiServer::acceptClients()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        socket->setParent(this);
        if (int(m_clients.size()) < MaxClients && m_waiting.empty()) {
            admit(socket);
        } else if (int(m_waiting.size()) < MaxClients) {
            // Nothing it sends is read until it has a slot; one that leaves meanwhile goes.
            socket->setReadBufferSize(ScpiClient::MaxLineBytes);
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            m_waiting.push_back({socket, {}});
            m_waiting.back().since.start();
        } else {
            socket->abort();
            socket->deleteLater();
        }
    }
}

void ScpiServer::admit(QTcpSocket *socket)
{
    const quint64 id = ++m_nextId;
    // Unread bytes stay with TCP instead of piling up here: a client that sends faster than its
    // lines run is held back by its own connection.
    socket->setReadBufferSize(64 * 1024);
    m_clients[id] = std::make_unique<ScpiClient>(id, socket);
    connect(socket, &QTcpSocket::readyRead, this, [this, id] {
        if (ScpiClient *c = client(id))
            c->touch();
        takeLines(id);
    });
    // Its lines already queued still run (as "echo CMD | nc" expects), their answers going
    // nowhere; what it sent beyond them is dropped, so that a client cannot leave behind more
    // work than it could have queued while connected.
    connect(socket, &QTcpSocket::disconnected, this, [this, id] { dropClient(id); });
    // One that left while it waited goes now; another gets what it sent meanwhile read.
    if (socket->state() != QAbstractSocket::ConnectedState)
        dropClient(id);
    else
        takeLines(id);
}

void ScpiServer::admitWaiting()
{
    while (int(m_clients.size()) < MaxClients && !m_waiting.empty()) {
        QTcpSocket *socket = m_waiting.front().socket;
        m_waiting.pop_front();
        if (socket)
            admit(socket);
    }
}

void ScpiServer::sweep()
{
    std::vector<quint64> idle;
    for (const auto &entry : m_clients) {
        if (entry.second->isIdle(m_lineTimeoutMs))
            idle.push_back(entry.first);
    }
    for (const quint64 id : idle)
        dropClient(id);
    admitWaiting();
    while (!m_waiting.empty() && m_waiting.front().since.hasExpired(m_lineTimeoutMs)) {
        if (QTcpSocket *socket = m_waiting.front().socket) {
            socket->abort();
            socket->deleteLater();
        }
        m_waiting.pop_front();
    }
}

void ScpiServer::takeLines(quint64 id)
{
    ScpiClient *c = client(id);
    if (!c)
        return;
    QByteArray line;
    while (c->pendingLines < ScpiClient::MaxPendingLines) {
        const ScpiClient::Next next = c->nextLine(&line);
        if (next == ScpiClient::Next::None)
            break;
        m_queue.push_back({id, line, next == ScpiClient::Next::Overrun});
        ++c->pendingLines;
    }
    scheduleRun();
}

void ScpiServer::dropClient(quint64 id)
{
    const auto found = m_clients.find(id);
    if (found == m_clients.end())
        return;
    QTcpSocket *socket = found->second->socket();
    m_clients.erase(found);
    if (socket) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    // The freed slot goes to a waiting client from the event loop, not in the middle of this
    // caller's work.
    QMetaObject::invokeMethod(this, &ScpiServer::admitWaiting, Qt::QueuedConnection);
}

void ScpiServer::scheduleRun()
{
    if (m_running || m_scheduled || m_queue.empty())
        return;
    m_scheduled = true;
    QMetaObject::invokeMethod(this, &ScpiServer::runQueue, Qt::QueuedConnection);
}

void ScpiServer::runQueue()
{
    m_scheduled = false;
    // Reached again from a nested event loop while a line waits for the counter: the
    // running loop below takes the new lines in their turn.
    if (m_running)
        return;
    m_running = true;
    while (!m_queue.empty()) {
        const QueuedLine entry = std::move(m_queue.front());
        m_queue.pop_front();
        runLine(entry);
        if (ScpiClient *c = client(entry.clientId)) {
            --c->pendingLines;
            c->touch();
            takeLines(entry.clientId);
        }
    }
    m_running = false;
}

void ScpiServer::runLine(const QueuedLine &entry)
{
    const quint64 id = entry.clientId;
    m_runningClient = id;
    if (entry.overrun) {
        pushError(id, InputBufferOverrun,
                  QStringLiteral("Input buffer overrun;line longer than %1 bytes dropped")
                      .arg(ScpiClient::MaxLineBytes));
        return;
    }
    // A line whose command fails runs no further and answers nothing, its error waiting in the
    // queue: otherwise the answer of a later query would take the place of the failed one's.
    QList<QByteArray> answers;
    m_lineFailed = false;
    for (const QByteArray &text : ScpiCommand::splitLine(entry.line)) {
        ScpiCommand command;
        if (!ScpiCommand::parse(text, &command))
            pushError(id, CommandError, QStringLiteral("Command error"));
        else
            runCommand(id, command, &answers);
        if (m_lineFailed)
            return;
    }
    ScpiClient *c = client(id);
    if (!c || answers.isEmpty() || !c->socket())
        return;
    QTcpSocket *socket = c->socket();
    socket->write(answers.join(';') + '\n');
    if (socket->bytesToWrite() > ScpiClient::MaxUnsentBytes)
        dropClient(id);
}

void ScpiServer::runCommand(quint64 id, const ScpiCommand &command, QList<QByteArray> *answers)
{
    const CommandRow *row = nullptr;
    for (const CommandRow &candidate : Commands) {
        if (candidate.query == command.query && command.matches(candidate.pattern)) {
            row = &candidate;
            break;
        }
    }
    if (!row) {
        pushError(id, UndefinedHeader, QStringLiteral("Undefined header"));
        return;
    }
    if (row->write && m_readOnly) {
        pushError(id, CommandProtected,
                  QStringLiteral("Command protected;the server is read-only"));
        return;
    }
    if (command.params.size() < row->paramCount || command.params.contains(QByteArray())) {
        pushError(id, MissingParameter, QStringLiteral("Missing parameter"));
        return;
    }
    if (command.params.size() > row->paramCount) {
        pushError(id, ParameterNotAllowed, QStringLiteral("Parameter not allowed"));
        return;
    }
    double numbers[3] = {0, 0, 0};
    for (int i = 0; i < command.params.size(); ++i) {
        if (!parseNumber(command.params.at(i), &numbers[i])) {
            pushError(id, DataTypeError, QStringLiteral("Data type error"));
            return;
        }
    }
    auto inRange = [&](int index, double min, double max, bool whole) {
        const double value = numbers[index];
        if (value >= min && value <= max && (!whole || value == std::floor(value)))
            return true;
        pushError(id, DataOutOfRange, QStringLiteral("Data out of range"));
        return false;
    };

    ScpiClient *c = client(id);
    switch (row->op) {
    case Op::Identify: {
        const QByteArray answer = identification(id);
        if (!answer.isEmpty())
            answers->append(answer);
        return;
    }
    case Op::ClearStatus:
        if (c)
            c->clearStatus();
        return;
    case Op::OperationComplete:
        // Every command has run to its end before the next one starts.
        answers->append("1");
        return;
    case Op::EventStatus:
        answers->append(QByteArray::number(c ? c->takeEventStatus() : 0));
        return;
    case Op::StatusByte:
        answers->append(QByteArray::number(c ? c->statusByte() : 0));
        return;
    case Op::Error:
        if (c)
            answers->append(c->popError());
        return;
    case Op::Information: {
        const QByteArray answer = information(id);
        if (!answer.isEmpty())
            answers->append(answer);
        return;
    }
    case Op::Save:
        // The counter has one set of stored settings: memory 0.
        if (inRange(0, 0, 0, true) && !m_counter->writeEeprom())
            pushDeviceError(id);
        return;
    case Op::Start:
        if (!m_counter->startCounter())
            pushDeviceError(id);
        return;
    case Op::Stop:
        if (!m_counter->stopCounter())
            pushDeviceError(id);
        return;
    case Op::Counts:
        fetchCounts(id, answers);
        return;
    case Op::Measure:
        measureCounts(id, answers);
        return;
    case Op::Channel:
        if (command.query) {
            int channel = 0;
            if (!m_counter->readChannel(&channel)) {
                pushDeviceError(id);
            } else if (channel < CounterClient::MinChannel || channel > CounterClient::MaxChannel) {
                // An erased EEPROM gives index 255: no channel to answer.
                pushError(id, HardwareError,
                          QStringLiteral("Hardware error;the counter reports channel index %1")
                              .arg(channel - 1));
            } else {
                answers->append(QByteArray::number(channel));
            }
        } else if (inRange(0, CounterClient::MinChannel, CounterClient::MaxChannel, true)
                   && !m_counter->writeChannel(int(numbers[0]))) {
            pushDeviceError(id);
        }
        return;
    case Op::TimeConst:
        if (command.query) {
            float seconds = 0;
            if (!m_counter->readTimeConst(&seconds))
                pushDeviceError(id);
            else
                answers->append(QByteArray::number(double(seconds), 'g', 6));
        } else if (inRange(0, 0.01, 10, false) && !m_counter->writeTimeConst(float(numbers[0]))) {
            pushDeviceError(id);
        }
        return;
    case Op::Level:
        if (inRange(0, CounterClient::MinChannel, CounterClient::MaxChannel, true)
            && inRange(1, 1, CounterClient::LevelCount, true) && inRange(2, 0, 65535, true)
            && !m_counter->writeLevel(int(numbers[0]), int(numbers[1]), quint16(numbers[2])))
            pushDeviceError(id);
        return;
    }
}

void ScpiServer::fetchCounts(quint64 id, QList<QByteArray> *answers)
{
    Kuvel_Counts_t counts;
    if (!m_counter->readCounts(&counts)) {
        pushDeviceError(id);
        return;
    }
    answers->append(QByteArray::number(counts.count[0]) + ',' + QByteArray::number(counts.count[1])
                    + ',' + QByteArray::number(counts.count[2]) + ','
                    + QByteArray::number(counts.count[3]));
}

void ScpiServer::measureCounts(quint64 id, QList<QByteArray> *answers)
{
    // As a SCPI instrument measures: counting started, one gate (the time constant the counter
    // answers) waited from the confirmed start, so no count of before is answered, and the
    // counter left as it was found.
    const bool wasCounting = m_counter->isCounting();
    float seconds = 0;
    if (!m_counter->readTimeConst(&seconds)) {
        pushDeviceError(id);
        return;
    }
    // An erased EEPROM gives any number: no gate to wait for.
    if (!(seconds >= 0.01f && seconds <= 10.0f)) {
        pushError(id, HardwareError,
                  QStringLiteral("Hardware error;the counter reports a time constant of %1 s")
                      .arg(double(seconds), 0, 'g', 6));
        return;
    }
    if (!m_counter->startCounter()) {
        pushDeviceError(id);
        return;
    }
    QTimer gate;
    gate.setSingleShot(true);
    gate.setTimerType(Qt::PreciseTimer);
    QEventLoop loop;
    connect(&gate, &QTimer::timeout, &loop, &QEventLoop::quit);
    gate.start(int(std::ceil(double(seconds) * 1000.0)));
    // Other clients' lines are taken meanwhile and wait for their turn. The server told to quit
    // ends every loop at once, or runs no new one: the gate is then waited for without one, so
    // that no count of before it is answered.
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    while (gate.isActive())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    fetchCounts(id, answers);
    if (!wasCounting && !m_counter->stopCounter() && !m_lineFailed)
        pushDeviceError(id);
}

QByteArray ScpiServer::identification(quint64 id)
{
    KuvelCounterDriver *driver = m_counter->driver();
    QString modification, firmware;
    cUDID identifier;
    if (!m_counter->readText(driver->modificationVersion(), &modification)
        || !m_counter->readIdentifier(&identifier)
        || !m_counter->readText(driver->firmwareVersion(), &firmware)) {
        pushDeviceError(id);
        return {};
    }
    return "Kuvel," + plainField(modification) + ',' + identifier.toHex().toLatin1() + ','
        + plainField(firmware);
}

QByteArray ScpiServer::information(quint64 id)
{
    KuvelCounterDriver *driver = m_counter->driver();
    QString texts[5];
    DriverPropertyReadOnly<QString> *properties[5]
        = {driver->deviceType(), driver->modificationVersion(), driver->hardwareVersion(),
           driver->firmwareVersion(), driver->deviceDescription()};
    cUDID identifier;
    for (int i = 0; i < 5; ++i) {
        if (!m_counter->readText(properties[i], &texts[i])) {
            pushDeviceError(id);
            return {};
        }
    }
    if (!m_counter->readIdentifier(&identifier)) {
        pushDeviceError(id);
        return {};
    }
    QList<QByteArray> fields;
    for (const QString &text : texts)
        fields.append(ScpiClient::quoted(text));
    fields.append(ScpiClient::quoted(identifier.toHex()));
    return fields.join(',');
}

void ScpiServer::pushError(quint64 id, int code, const QString &text)
{
    m_lineFailed = true;
    if (ScpiClient *c = client(id))
        c->pushError(code, text);
}

void ScpiServer::pushDeviceError(quint64 id)
{
    // Dropped counts: the restore that dropped them is in the queue already.
    if (m_counter->wasRestored()) {
        m_lineFailed = true;
        return;
    }
    // The counter did not answer after its attempts, or another device took its place.
    pushError(id, HardwareError,
              QStringLiteral("Hardware error;")
                  + m_counter->noAnswerText(QStringLiteral("the request")));
}
