#include "linewriter.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

LineWriter::~LineWriter()
{
    close();
}

bool LineWriter::open(const QString &path)
{
    close();
    m_path = path;
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        m_error = errno;
        return false;
    }
    m_fd = fd;
    m_owned = true;
    prepare();
    return true;
}

void LineWriter::attach(int fd)
{
    close();
    m_fd = fd;
    m_owned = false;
    prepare();
}

void LineWriter::prepare()
{
    m_error = 0;
    struct stat status = {};
    m_regular = ::fstat(m_fd, &status) == 0 && S_ISREG(status.st_mode);
    const int flags = ::fcntl(m_fd, F_GETFL);
    m_append = flags != -1 && (flags & O_APPEND);
    // Past a file size limit the system ends the process with SIGXFSZ unless it is ignored;
    // ignored, the write fails with EFBIG and the file can still be cut back.
    std::signal(SIGXFSZ, SIG_IGN);
}

void LineWriter::close()
{
    if (m_fd >= 0 && m_owned)
        ::close(m_fd);
    m_fd = -1;
    m_owned = false;
}

bool LineWriter::write(const QByteArray &lines)
{
    if (m_fd < 0) {
        m_error = EBADF;
        return false;
    }
    // Where these lines start: an append-only file's end, since its offset is not where the
    // next write goes.
    off_t start = -1;
    if (m_regular) {
        struct stat status = {};
        if (m_append)
            start = ::fstat(m_fd, &status) == 0 ? status.st_size : -1;
        else
            start = ::lseek(m_fd, 0, SEEK_CUR);
    }
    qint64 written = 0;
    while (written < lines.size()) {
        const ssize_t n
            = ::write(m_fd, lines.constData() + written, size_t(lines.size() - written));
        if (n > 0) {
            written += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // A write of more than nothing that writes nothing and names no error: call it a full
        // disk, as the only reason a file takes no byte.
        m_error = n < 0 ? errno : ENOSPC;
        if (start >= 0 && written > 0) {
            const qint64 whole = lines.lastIndexOf('\n', int(written - 1)) + 1;
            if (whole < written && ::ftruncate(m_fd, start + whole) == 0 && !m_append)
                ::lseek(m_fd, start + whole, SEEK_SET);
        }
        return false;
    }
    return true;
}

QString LineWriter::errorString() const
{
    return m_error == 0 ? QString() : qt_error_string(m_error);
}
