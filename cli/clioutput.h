#ifndef CLIOUTPUT_H
#define CLIOUTPUT_H

#include <QString>

// Standard output carries only data, a line at a time and flushed, so a script reading a
// pipe sees each value as it comes; everything for the person goes to standard error. A file
// that fills up ends in the last whole line.
class CliOutput
{
public:
    // One line of data on standard output. False when it could not be written, for
    // instance because the reader of a pipe has gone.
    static bool data(const QString &line);
    // After data() failed: says why on standard error and answers the exit code, 128 + SIGPIPE
    // for a reader that has gone (a closed pipe is how `| head` ends a reader, so it is only
    // named), ExitOutput for any other failure such as a full disk.
    static int dataFailure(const QString &consequence = QString());
    // One line for the person, prefixed with the program's name.
    static void error(const QString &text);
    // One line of progress, as it is.
    static void progress(const QString &text);
};

#endif // CLIOUTPUT_H
