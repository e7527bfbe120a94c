#ifndef SCPICLIENT_H
#define SCPICLIENT_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QPointer>
#include <QString>
#include <QTcpSocket>

#include <deque>

// One TCP client of the server: what it sent that is not yet a whole line, its own error
// queue and event status register, and the count of its lines waiting to run.
class ScpiClient
{
public:
    // A line longer than this is not kept: an input buffer overrun goes on the error queue
    // and the rest of the line, up to its newline, is dropped.
    static constexpr int MaxLineBytes = 4096;
    // Errors kept; a further one replaces the last by -350 "Queue overflow".
    static constexpr int MaxErrors = 16;
    // Lines waiting to run; beyond that the client's bytes stay unread (TCP holds the client
    // back), so that a line of another client waits behind at most this many of each client.
    static constexpr int MaxPendingLines = 2;
    // Answers not yet taken by a client that does not read; beyond that it is disconnected.
    static constexpr qint64 MaxUnsentBytes = 1024 * 1024;

    enum class Next { None, Line, Overrun };

    ScpiClient(quint64 id, QTcpSocket *socket);

    // A string answer: quoted, quotes doubled, control characters escaped (a device's text may
    // hold a newline, which would otherwise end the answer early).
    static QByteArray quoted(const QString &text);

    quint64 id() const { return m_id; }
    QTcpSocket *socket() const { return m_socket.data(); }

    // Takes the next whole line (without its "\n" or "\r\n") from what was appended, reading
    // more from the socket when needed.
    Next nextLine(QByteArray *line);

    void pushError(int code, const QString &text);
    // "<code>,\"<text>\"", oldest first; "0,\"No error\"" when the queue is empty.
    QByteArray popError();
    void clearStatus();
    // The event status register, cleared by reading it.
    int takeEventStatus();
    int statusByte() const;

    // Restarts the clock of idleness: the client sent bytes, or its last waiting line ran.
    void touch() { m_quietSince.start(); }
    // True when the client holds part of a line, nothing of it waits to run, and it has sent
    // nothing for `ms`: a client that does not finish its line loses its slot.
    bool isIdle(qint64 ms) const;

    int pendingLines = 0;

private:
    quint64 m_id;
    QPointer<QTcpSocket> m_socket;
    QByteArray m_buffer;
    int m_offset = 0; // bytes of m_buffer already taken
    bool m_discarding = false; // dropping the rest of an overlong line
    std::deque<std::pair<int, QString>> m_errors;
    int m_eventStatus = 0;
    QElapsedTimer m_quietSince;
};

#endif // SCPICLIENT_H
