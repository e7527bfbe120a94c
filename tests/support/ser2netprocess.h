#ifndef SER2NETPROCESS_H
#define SER2NETPROCESS_H

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// ser2net 4.x for a test: raw TCP on 127.0.0.1:port in front of a terminal, run in the
// foreground with a configuration of its own; killed on destruction.
class Ser2netProcess
{
public:
    ~Ser2netProcess() { kill(); }

    static bool isInstalled();
    // A TCP port of 127.0.0.1 that nothing listens on.
    static quint16 freePort();

    // Returns once the server accepts connections.
    bool start(const QString &terminal, quint16 port);
    // The same configuration again, after kill().
    bool restart();
    void kill();

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
};

#endif // SER2NETPROCESS_H
