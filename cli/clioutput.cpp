#include "clioutput.h"

#include "cliexitcode.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

// errno of the last failed write of data.
int dataErrno = 0;

} // namespace

bool CliOutput::data(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    errno = 0;
    if (std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) == size_t(bytes.size())
        && std::fflush(stdout) == 0)
        return true;
    dataErrno = errno;
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
