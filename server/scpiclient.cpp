#include "scpiclient.h"

#include "counterclient.h"

namespace {

// Event status register bits of IEEE 488.2, set by the class of each error.
constexpr int QueryError = 0x04;
constexpr int DeviceError = 0x08;
constexpr int ExecutionError = 0x10;
constexpr int CommandError = 0x20;
// Status byte: error queue not empty, and the summary of the event status register.
constexpr int ErrorQueueBit = 0x04;
constexpr int EventSummaryBit = 0x20;
constexpr int ReadChunk = 64 * 1024;

} // namespace

ScpiClient::ScpiClient(quint64 id, QTcpSocket *socket) : m_id(id), m_socket(socket)
{
    m_quietSince.start();
}

bool ScpiClient::isIdle(qint64 ms) const
{
    const bool partLine = m_discarding || m_buffer.size() > m_offset;
    return partLine && pendingLines == 0 && m_quietSince.hasExpired(ms);
}

QByteArray ScpiClient::quoted(const QString &text)
{
    QString out = CounterClient::printableText(text);
    out.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return '"' + out.toUtf8() + '"';
}

ScpiClient::Next ScpiClient::nextLine(QByteArray *line)
{
    for (;;) {
        const int newline = m_buffer.indexOf('\n', m_offset);
        if (m_discarding) {
            if (newline >= 0) {
                m_offset = newline + 1;
                m_discarding = false;
                continue;
            }
            m_buffer.clear();
            m_offset = 0;
        } else if (newline >= 0) {
            const int length = newline - m_offset;
            const int start = m_offset;
            m_offset = newline + 1;
            if (length > MaxLineBytes)
                return Next::Overrun;
            *line = m_buffer.mid(start, length);
            if (line->endsWith('\r'))
                line->chop(1);
            return Next::Line;
        } else if (m_buffer.size() - m_offset > MaxLineBytes) {
            m_buffer.clear();
            m_offset = 0;
            m_discarding = true;
            return Next::Overrun;
        }
        if (!m_socket || m_socket->bytesAvailable() <= 0)
            return Next::None;
        // Taken bytes go only now, so that many short lines cost one copy, not one each.
        m_buffer.remove(0, m_offset);
        m_offset = 0;
        m_buffer += m_socket->read(ReadChunk);
    }
}

void ScpiClient::pushError(int code, const QString &text)
{
    if (code <= -100 && code > -200)
        m_eventStatus |= CommandError;
    else if (code <= -200 && code > -300)
        m_eventStatus |= ExecutionError;
    else if (code <= -300 && code > -400)
        m_eventStatus |= DeviceError;
    else if (code <= -400)
        m_eventStatus |= QueryError;
    if (int(m_errors.size()) < MaxErrors) {
        m_errors.emplace_back(code, text);
        return;
    }
    m_eventStatus |= DeviceError;
    m_errors.back() = {-350, QStringLiteral("Queue overflow")};
}

QByteArray ScpiClient::popError()
{
    if (m_errors.empty())
        return QByteArrayLiteral("0,\"No error\"");
    const auto [code, text] = m_errors.front();
    m_errors.pop_front();
    return QByteArray::number(code) + ',' + quoted(text);
}

void ScpiClient::clearStatus()
{
    m_errors.clear();
    m_eventStatus = 0;
}

int ScpiClient::takeEventStatus()
{
    const int value = m_eventStatus;
    m_eventStatus = 0;
    return value;
}

int ScpiClient::statusByte() const
{
    return (m_errors.empty() ? 0 : ErrorQueueBit) | (m_eventStatus != 0 ? EventSummaryBit : 0);
}
