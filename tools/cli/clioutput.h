#ifndef CLIOUTPUT_H
#define CLIOUTPUT_H

#include <QString>

// Standard output carries only data, a line at a time and flushed, so a script reading a
// pipe sees each value as it comes; everything for the person goes to standard error.
class CliOutput
{
public:
    // One line of data on standard output. False when it could not be written, for
    // instance because the reader of a pipe has gone.
    static bool data(const QString &line);
    // One line for the person, prefixed with the program's name.
    static void error(const QString &text);
    // One line of progress, as it is.
    static void progress(const QString &text);
};

#endif // CLIOUTPUT_H
