#include "simlog.h"

#include <QHash>

#include <deque>

SimLog::Line SimLog::parse(const QString &text)
{
    Line line;
    const QList<QByteArray> tokens = text.toUtf8().split(' ');
    if (tokens.size() < 2)
        return line;
    line.time = tokens.at(0).toDouble();
    line.kind = QString::fromLatin1(tokens.at(1));
    if (line.kind == "ctl" || line.kind == "bad") {
        line.valid = true;
        return line;
    }
    if (tokens.size() < 3 || tokens.at(2).size() != 2)
        return line;
    bool ok = false;
    line.code = quint8(tokens.at(2).toUInt(&ok, 16));
    if (!ok)
        return line;
    for (int i = 3; i < tokens.size(); ++i) {
        const QByteArray &token = tokens.at(i);
        if (token.size() == 2) {
            line.payload.append(char(token.toUInt(&ok, 16)));
            if (!ok)
                return line;
            continue;
        }
        const int eq = token.indexOf('=');
        const QByteArray name = eq < 0 ? token : token.left(eq);
        line.tags.insert(name);
        if (eq >= 0)
            line.values.insert(name, token.mid(eq + 1));
    }
    line.valid = true;
    return line;
}

QList<SimLog::Line> SimLog::frames(const QStringList &lines)
{
    QList<Line> frames;
    for (const QString &text : lines) {
        Line line = parse(text);
        if (line.valid && (line.kind == QLatin1String("rx") || line.kind == QLatin1String("tx")))
            frames.append(line);
    }
    return frames;
}

SimLog::Answer SimLog::answerFrom(const Line &line, int index)
{
    Answer answer;
    answer.exists = true;
    answer.dropped = line.tags.contains("dropped");
    answer.corrupted = line.tags.contains("corrupted");
    answer.late = line.tags.contains("late");
    answer.wrongCode = line.tags.contains("wrong-code");
    answer.shortened = line.tags.contains("short");
    answer.lengthened = line.tags.contains("long");
    answer.noiseBytes = line.value("noise").toInt();
    answer.code = line.code;
    answer.payload = line.payload;
    answer.line = index;
    return answer;
}

SimLog::SimLog(const QStringList &lines, quint8 markerAddress)
{
    const QByteArray marker
        = QByteArray::number(markerAddress, 16).rightJustified(2, '0').toUpper();
    QVector<Line> parsed;
    parsed.reserve(lines.size());
    for (const QString &text : lines)
        parsed.append(parse(text));

    // Requests whose answer is still to come, as (operation, request) in the order they came.
    std::deque<std::pair<int, int>> lateQueue;
    QHash<QByteArray, std::pair<int, int>> waiting; // by id
    m_operations.append(Operation());
    for (int i = 0; i < parsed.size(); ++i) {
        const Line &line = parsed.at(i);
        if (!line.valid) {
            m_oddities << lines.at(i);
            continue;
        }
        if (line.kind == "bad") {
            m_oddities << lines.at(i);
            continue;
        }
        if (line.kind == "rx") {
            if (line.tags.contains("ignored")) {
                if (line.value("addr") == marker) {
                    m_operations.last().markerLine = i;
                    m_operations.append(Operation());
                }
                continue;
            }
            Request request;
            request.code = line.code;
            request.payload = line.payload;
            request.line = i;
            request.echoed = line.tags.contains("echoed");
            request.number = line.value("seq").toUInt();
            const bool answered = !line.tags.contains("silent") && !line.tags.contains("unknown")
                && !line.tags.contains("rejected");
            if (answered) {
                const Line *next = i + 1 < parsed.size() ? &parsed.at(i + 1) : nullptr;
                if (!line.value("id").isEmpty()) {
                    waiting.insert(line.value("id"),
                                   {m_operations.size() - 1, m_operations.last().requests.size()});
                } else if (next && next->valid && next->kind == "tx" && !next->tags.contains("late")
                           && !next->tags.contains("unsolicited") && next->value("id").isEmpty()) {
                    request.answer = answerFrom(*next, i + 1);
                    ++i;
                } else {
                    lateQueue.emplace_back(m_operations.size() - 1,
                                           m_operations.last().requests.size());
                }
            }
            m_operations.last().requests.append(request);
            continue;
        }
        if (line.kind == "tx") {
            if (line.tags.contains("unsolicited")) {
                m_unsolicited.append({line.code, line.payload, i});
                continue;
            }
            if (!line.value("id").isEmpty()) {
                const auto found = waiting.constFind(line.value("id"));
                if (found == waiting.constEnd()) {
                    m_oddities << lines.at(i);
                    continue;
                }
                m_operations[found->first].requests[found->second].answer = answerFrom(line, i);
                waiting.erase(found);
                continue;
            }
            if (!line.tags.contains("late") || lateQueue.empty()) {
                m_oddities << lines.at(i);
                continue;
            }
            const auto [op, req] = lateQueue.front();
            lateQueue.pop_front();
            m_operations[op].requests[req].answer = answerFrom(line, i);
        }
    }
    // The run ends with a marker, so the last operation is an empty one opened after it.
    if (m_operations.last().requests.isEmpty() && m_operations.last().markerLine < 0)
        m_operations.removeLast();
}

QStringList simRequests(const QStringList &logLines)
{
    QStringList requests;
    for (const SimLog::Line &line : SimLog::frames(logLines)) {
        if (line.kind == QLatin1String("rx"))
            requests.append(
                QString::fromLatin1((char(line.code) + line.payload).toHex(' ').toUpper()));
    }
    return requests;
}

QStringList linesAfter(const QStringList &lines, const QString &marker)
{
    for (int i = 0; i < lines.size(); ++i) {
        if (lines.at(i).contains(marker))
            return lines.mid(i + 1);
    }
    return {};
}

int countCode(const QStringList &requests, const QString &code)
{
    int count = 0;
    for (const QString &request : requests)
        count += request.section(QLatin1Char(' '), 0, 0) == code;
    return count;
}

QList<QList<quint32>> simCountsSent(const QStringList &logLines)
{
    QList<QList<quint32>> records;
    for (const SimLog::Line &line : SimLog::frames(logLines)) {
        if (line.kind != QLatin1String("tx") || line.code != 0x17 || line.tags.contains("dropped")
            || !line.tags.contains("counts"))
            continue;
        QList<quint32> record;
        const QList<QByteArray> values = line.value("counts").split(',');
        for (const QByteArray &value : values)
            record.append(value.toUInt());
        records.append(record);
    }
    return records;
}
