#ifndef BARELINE_H
#define BARELINE_H

// The least a program can do for one exchange with the counter: write the request frame,
// sleep in poll until bytes come, read until the end byte. The baseline of the benchmarks
// that talk to the simulated counter. The same exchange works on a TCP connection to a
// network serial server.

#include "cstarprotocolpc.h"

#include <QString>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace bench {

class BareLine
{
public:
    explicit BareLine(const QString &portName)
    {
        m_fd = ::open(portName.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios tio;
        if (m_fd >= 0 && tcgetattr(m_fd, &tio) == 0) {
            cfmakeraw(&tio);
            cfsetspeed(&tio, B500000);
            tcsetattr(m_fd, TCSANOW, &tio);
        }
    }
    // A connection to a TCP port of this computer. Nagle's algorithm is off, as any program
    // that waits for an answer to a short request has it off.
    explicit BareLine(quint16 tcpPort)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(tcpPort);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int one = 1;
        if (m_fd >= 0
            && (::connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0
                || ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) != 0)) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    BareLine(const BareLine &) = delete;
    BareLine &operator=(const BareLine &) = delete;
    ~BareLine()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool isOpen() const { return m_fd >= 0; }

    // Answers the number of bytes of the answer, 0 when none came within 500 ms or it did not
    // decode.
    int exchange(const cAbstractStarProtocol &request)
    {
        return exchange(request.frame(), request.frameLength());
    }
    int exchange(const quint8 *frame, int length)
    {
        if (::write(m_fd, frame, size_t(length)) != length)
            return 0;
        m_codec.clearBuffer();
        int received = 0;
        for (;;) {
            pollfd p {m_fd, POLLIN, 0};
            if (::poll(&p, 1, 500) <= 0)
                return 0;
            quint8 chunk[256];
            const ssize_t n = ::read(m_fd, chunk, sizeof(chunk));
            if (n <= 0)
                continue;
            for (ssize_t i = 0; i < n; ++i) {
                ++received;
                if (chunk[i] == cAbstractStarProtocol::StartByte)
                    m_codec.clearBuffer();
                m_codec.addData(&chunk[i], 1);
                if (chunk[i] == cAbstractStarProtocol::EndByte)
                    return m_codec.encodeBuffer() == cAbstractStarProtocol::DecodeOk ? received : 0;
            }
        }
    }

private:
    int m_fd = -1;
    cStarProtocolPC m_codec;
};

} // namespace bench

#endif // BARELINE_H
