#ifndef LINEWRITER_H
#define LINEWRITER_H

#include <QByteArray>
#include <QString>

// Writes a data file a whole line at a time, straight to the file. When the system takes a
// write only in part (a full disk, a file size limit), a regular file is cut back to its last
// whole line, so no reader takes half a row for data, and the reason is the system's own
// ("No space left on device"). A pipe or a device has nothing to cut back: it is only told.
class LineWriter
{
public:
    LineWriter() = default;
    ~LineWriter();
    LineWriter(const LineWriter &) = delete;
    LineWriter &operator=(const LineWriter &) = delete;

    // Creates `path` or empties it; false with errorString() when it cannot be opened.
    bool open(const QString &path);
    // Writes to a descriptor that is already open, such as standard output, and leaves it
    // open. An append-only file is cut back to where it ended before a failed write.
    void attach(int fd);
    void close();
    bool isOpen() const { return m_fd >= 0; }
    QString fileName() const { return m_path; }

    // `lines`, each with its line end. False when they could not all be written: what reached
    // a regular file then ends at its last line end, and error() is the system's error.
    bool write(const QByteArray &lines);
    int error() const { return m_error; }
    QString errorString() const;

private:
    void prepare();

    int m_fd = -1;
    bool m_owned = false;
    bool m_regular = false;
    bool m_append = false;
    int m_error = 0;
    QString m_path;
};

#endif // LINEWRITER_H
