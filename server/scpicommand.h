#ifndef SCPICOMMAND_H
#define SCPICOMMAND_H

#include <QByteArray>
#include <QList>

// One command of a line as SCPI writes it: a header such as "CONF:CHAN" or "*IDN", a '?' for
// a query, and comma-separated parameters after white space. A line may hold several
// commands separated by ';', each starting again from the root of the tree.
struct ScpiCommand
{
    QByteArray header; // without a leading ':' and without the '?'
    bool query = false;
    QList<QByteArray> params; // trimmed; a missing one between commas stays empty

    static QList<QByteArray> splitLine(const QByteArray &line);
    // False when the text cannot be a header at all (binary bytes, stray punctuation).
    static bool parse(const QByteArray &text, ScpiCommand *command);
    // Matches the header against a pattern in the manual's notation: the upper-case part of
    // each node is its short form, the whole node its long form, either in any case, and
    // "[:NODE]" may be left out ("SYSTem:ERRor[:NEXT]"). Common commands ("*IDN") match whole.
    bool matches(const char *pattern) const;
};

#endif // SCPICOMMAND_H
