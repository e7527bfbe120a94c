#include "clioutput.h"

#include "cliexitcode.h"
#include "linewriter.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// errno of the last failed write of data.
int dataErrno = 0;

} // namespace

bool CliOutput::data(const QString &line)
{
    // Unbuffered: a line leaves as it is written, and a file cut by a full disk or a size
    // limit ends in a whole line.
    static LineWriter output;
    if (!output.isOpen())
        output.attach(STDOUT_FILENO);
    if (output.write(line.toUtf8() + '\n'))
        return true;
    dataErrno = output.error();
    return false;
}

int CliOutput::dataFailure(const QString &consequence)
{
    const QString tail = consequence.isEmpty() ? QString() : QStringLiteral(", ") + consequence;
    if (dataErrno == EPIPE) {
        error(QStringLiteral("standard output closed") + tail);
        return 128 + SIGPIPE;
    }
    error(QStringLiteral("cannot write to standard output: %1")
              .arg(QString::fromLocal8Bit(std::strerror(dataErrno)))
          + tail);
    return ExitOutput;
}

void CliOutput::error(const QString &text)
{
    std::fprintf(stderr, "kuvel-counter-cli: %s\n", text.toUtf8().constData());
    std::fflush(stderr);
}

void CliOutput::progress(const QString &text)
{
    std::fprintf(stderr, "%s\n", text.toUtf8().constData());
    std::fflush(stderr);
}
