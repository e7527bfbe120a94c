#include "scriptedcounter.h"

#include "commandcodes.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

ScriptedCounter::ScriptedCounter()
{
    // Every counter tells its identifier; a test that wants silence removes the answer.
    setAnswer(CommandCode::Identifier, QByteArray::fromHex("4B43000102030405060708FF"));
}

ScriptedCounter::~ScriptedCounter()
{
    delete m_notifier;
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
}

bool ScriptedCounter::open()
{
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
        return false;
    char name[128];
    if (::ptsname_r(m_master, name, sizeof(name)) != 0)
        return false;
    m_portPath = QString::fromLocal8Bit(name);
    // Held open so the pair survives the program opening and closing the port.
    m_slave = ::open(name, O_RDWR | O_NOCTTY);
    if (m_slave < 0)
        return false;
    termios tio;
    if (::tcgetattr(m_slave, &tio) != 0)
        return false;
    ::cfmakeraw(&tio);
    if (::tcsetattr(m_slave, TCSANOW, &tio) != 0)
        return false;
    m_notifier = new QSocketNotifier(m_master, QSocketNotifier::Read);
    connect(m_notifier, &QSocketNotifier::activated, this, &ScriptedCounter::readMaster);
    return true;
}

void ScriptedCounter::setAnswer(quint8 code, const QByteArray &payload)
{
    m_answers[code] = payload;
}

void ScriptedCounter::readMaster()
{
    char chunk[512];
    ssize_t n;
    while ((n = ::read(m_master, chunk, sizeof(chunk))) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            const quint8 byte = quint8(chunk[i]);
            if (byte == cAbstractStarProtocol::StartByte)
                m_frame.clear();
            m_frame.append(char(byte));
            if (byte == cAbstractStarProtocol::EndByte)
                handleFrame();
        }
    }
}

void ScriptedCounter::handleFrame()
{
    m_codec.clearBuffer();
    m_codec.addData(reinterpret_cast<const quint8 *>(m_frame.constData()), uint(m_frame.size()));
    m_frame.clear();
    if (m_codec.encodeBuffer() != cAbstractStarProtocol::DecodeOk)
        return;
    const quint8 code = m_codec.headPacket().command;
    m_requests.append(code);
    const auto answer = m_answers.find(code);
    if (answer == m_answers.end())
        return;
    m_codec.codeData(0x00, code, quint8(answer->second.size()),
                     reinterpret_cast<const quint8 *>(answer->second.constData()));
    const ssize_t written = ::write(m_master, m_codec.frame(), size_t(m_codec.frameLength()));
    Q_UNUSED(written)
}
