#include "scpicommand.h"

#include <QVector>

namespace {

struct PatternNode
{
    QByteArray shortForm;
    QByteArray longForm;
    bool optional;
};

QVector<PatternNode> patternNodes(const QByteArray &pattern)
{
    // "SYSTem:ERRor[:NEXT]" splits into "SYSTem", "ERRor[", "NEXT]": a '[' makes the node
    // after it optional.
    QVector<PatternNode> nodes;
    bool optional = false;
    for (QByteArray node : pattern.split(':')) {
        const bool nextOptional = node.endsWith('[');
        if (nextOptional)
            node.chop(1);
        if (node.endsWith(']'))
            node.chop(1);
        if (!node.isEmpty()) {
            QByteArray shortForm;
            for (char c : node) {
                if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
                    shortForm += c;
            }
            nodes.append({shortForm, node.toUpper(), optional});
        }
        optional = nextOptional;
    }
    return nodes;
}

bool matchFrom(const QList<QByteArray> &input, int in, const QVector<PatternNode> &nodes, int at)
{
    if (at == nodes.size())
        return in == input.size();
    const PatternNode &node = nodes.at(at);
    if (in < input.size()) {
        const QByteArray word = input.at(in).toUpper();
        if ((word == node.shortForm || word == node.longForm)
            && matchFrom(input, in + 1, nodes, at + 1))
            return true;
    }
    return node.optional && matchFrom(input, in, nodes, at + 1);
}

bool isHeaderChar(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ':'
        || c == '*' || c == '_';
}

} // namespace

QList<QByteArray> ScpiCommand::splitLine(const QByteArray &line)
{
    QList<QByteArray> commands;
    for (const QByteArray &part : line.split(';')) {
        const QByteArray trimmed = part.trimmed();
        if (!trimmed.isEmpty())
            commands.append(trimmed);
    }
    return commands;
}

bool ScpiCommand::parse(const QByteArray &text, ScpiCommand *command)
{
    const QByteArray trimmed = text.trimmed();
    int end = 0;
    while (end < trimmed.size() && !QChar::isSpace(uchar(trimmed.at(end))))
        ++end;
    QByteArray header = trimmed.left(end);
    command->query = header.endsWith('?');
    if (command->query)
        header.chop(1);
    if (header.startsWith(':'))
        header = header.mid(1);
    if (header.isEmpty() || header.endsWith(':') || header.contains("::"))
        return false;
    for (char c : header) {
        if (!isHeaderChar(c))
            return false;
    }
    command->header = header;
    command->params.clear();
    const QByteArray rest = trimmed.mid(end).trimmed();
    if (!rest.isEmpty()) {
        for (const QByteArray &param : rest.split(','))
            command->params.append(param.trimmed());
    }
    return true;
}

bool ScpiCommand::matches(const char *pattern) const
{
    if (pattern[0] == '*')
        return header.toUpper() == QByteArray(pattern);
    if (header.startsWith('*'))
        return false;
    return matchFrom(header.split(':'), 0, patternNodes(pattern), 0);
}
