#ifndef SCPISERVER_H
#define SCPISERVER_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTimer>

#include <deque>
#include <map>
#include <memory>

class CounterClient;
class ScpiClient;
struct ScpiCommand;

// Serves the counter to TCP clients, one SCPI command line at a time. Lines from all clients
// wait in one queue and each runs whole on the counter before the next; answers go to the
// client that asked, in its order. A request to the counter waits in a nested event loop, so
// everything a client does meanwhile (more lines, a disconnect) is only queued or noted, and
// clients are looked up by id after every wait: one may be gone by then.
class ScpiServer : public QObject
{
    Q_OBJECT
public:
    // Clients served at once. Up to as many more wait for a slot, each for at most the line
    // time-out, unread; beyond those a client is closed as it connects.
    static constexpr int MaxClients = 32;
    // A client holding part of a line and sending nothing more for this long is closed.
    static constexpr int DefaultLineTimeoutMs = 10000;

    ScpiServer(CounterClient *counter, bool readOnly, int lineTimeoutMs = DefaultLineTimeoutMs,
               QObject *parent = nullptr);
    ~ScpiServer() override;

    bool listen(const QHostAddress &address, quint16 port);
    QString errorString() const { return m_server.errorString(); }
    quint16 serverPort() const { return m_server.serverPort(); }
    // Stops listening, disconnects every client and forgets their waiting lines; a command
    // already running on the counter finishes.
    void close();

private:
    struct QueuedLine
    {
        quint64 clientId;
        QByteArray line;
        bool overrun; // the client's line was too long: only its error is queued
    };

    struct WaitingClient
    {
        QPointer<QTcpSocket> socket;
        QElapsedTimer since;
    };

    ScpiClient *client(quint64 id) const;
    void acceptClients();
    void admit(QTcpSocket *socket);
    // Gives free slots to waiting clients, oldest first.
    void admitWaiting();
    // Closes idle clients, fills their slots, and closes clients that waited too long.
    void sweep();
    // Queues the client's whole lines while it has room in the queue.
    void takeLines(quint64 id);
    void dropClient(quint64 id);
    void scheduleRun();
    void runQueue();
    void runLine(const QueuedLine &entry);
    // Runs one command; answers append to *answers. Errors go to the client's queue.
    void runCommand(quint64 id, const ScpiCommand &command, QList<QByteArray> *answers);
    void fetchCounts(quint64 id, QList<QByteArray> *answers);
    void measureCounts(quint64 id, QList<QByteArray> *answers);
    QByteArray identification(quint64 id);
    QByteArray information(quint64 id);
    void pushError(quint64 id, int code, const QString &text);
    void pushDeviceError(quint64 id);

    CounterClient *m_counter;
    bool m_readOnly;
    QTcpServer m_server;
    std::map<quint64, std::unique_ptr<ScpiClient>> m_clients;
    std::deque<WaitingClient> m_waiting;
    int m_lineTimeoutMs;
    QTimer m_sweepTimer;
    quint64 m_nextId = 0;
    std::deque<QueuedLine> m_queue;
    bool m_running = false;
    bool m_scheduled = false;
    bool m_lineFailed = false; // a command of the running line put an error in the queue
    quint64 m_runningClient = 0; // the client whose line runs on the counter
};

#endif // SCPISERVER_H
