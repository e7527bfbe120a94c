#include "clioutput.h"

#include <cstdio>

bool CliOutput::data(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    if (std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) != size_t(bytes.size()))
        return false;
    return std::fflush(stdout) == 0;
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
