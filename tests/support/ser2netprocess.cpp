#include "ser2netprocess.h"

#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

bool Ser2netProcess::isInstalled()
{
    return !QStandardPaths::findExecutable(QStringLiteral("ser2net")).isEmpty();
}

quint16 Ser2netProcess::freePort()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost) ? server.serverPort() : 0;
}

bool Ser2netProcess::start(const QString &terminal, quint16 port)
{
    m_port = port;
    QFile config(m_dir.filePath(QStringLiteral("ser2net.yaml")));
    if (!config.open(QIODevice::WriteOnly))
        return false;
    config.write(QStringLiteral("connection: &c1\n"
                                "  accepter: tcp,127.0.0.1,%1\n"
                                "  connector: serialdev,%2,500000n81,local\n"
                                "  options:\n"
                                "    kickolduser: true\n")
                     .arg(port)
                     .arg(terminal)
                     .toUtf8());
    config.close();
    return restart();
}

bool Ser2netProcess::restart()
{
    m_process.start(QStringLiteral("ser2net"),
                    {"-n", "-d", "-c", m_dir.filePath(QStringLiteral("ser2net.yaml"))});
    if (!m_process.waitForStarted())
        return false;
    for (int i = 0; i < 500 && m_process.state() == QProcess::Running; ++i) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, m_port);
        if (probe.waitForConnected(1000))
            return true;
        QThread::msleep(10);
    }
    return false;
}

void Ser2netProcess::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished();
}
