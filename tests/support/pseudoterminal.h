#ifndef PSEUDOTERMINAL_H
#define PSEUDOTERMINAL_H

#include <QByteArray>
#include <QString>

// A pseudo-terminal in raw mode: the program under test opens the terminal (path()), the test
// plays the device on the other end (fd()). With FarEndHeldOpen the test also keeps the
// terminal open itself, so the pair lives on while the program opens and closes its port.
class PseudoTerminal
{
public:
    enum FarEnd { FarEndClosed, FarEndHeldOpen };

    explicit PseudoTerminal(FarEnd farEnd = FarEndClosed);
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    bool isValid() const { return m_master >= 0 && !m_path.isEmpty(); }
    // The terminal the program opens.
    QString path() const { return m_path; }
    // The device's end (non-blocking).
    int fd() const { return m_master; }
    // Closes the device's end: the program sees its line hang up.
    void close();

    // All of `bytes` written to the program; false when the line took fewer.
    bool write(const QByteArray &bytes) const;
    // What the program wrote, until `expected` bytes came or the time is up.
    QByteArray read(int expected, int timeoutMs = 1000) const;
    // Throws away what the program wrote, so the terminal's buffer never fills.
    void drain() const;

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_path;
};

#endif // PSEUDOTERMINAL_H
