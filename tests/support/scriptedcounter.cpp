#include "scriptedcounter.h"

#include "commandcodes.h"

#include <QSocketNotifier>

#include <unistd.h>

ScriptedCounter::ScriptedCounter()
{
    // Every counter tells its identifier; a test that wants silence removes the answer.
    setAnswer(CommandCode::Identifier, QByteArray::fromHex("4B43000102030405060708FF"));
}

ScriptedCounter::~ScriptedCounter()
{
    delete m_notifier;
}

bool ScriptedCounter::open()
{
    // The far end held open, so the pair survives the program opening and closing the port.
    m_terminal = std::make_unique<PseudoTerminal>(PseudoTerminal::FarEndHeldOpen);
    if (!m_terminal->isValid())
        return false;
    m_notifier = new QSocketNotifier(m_terminal->fd(), QSocketNotifier::Read);
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
    while ((n = ::read(m_terminal->fd(), chunk, sizeof(chunk))) > 0) {
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
    m_terminal->write(
        QByteArray(reinterpret_cast<const char *>(m_codec.frame()), m_codec.frameLength()));
}
