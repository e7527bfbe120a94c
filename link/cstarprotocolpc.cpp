#include "cstarprotocolpc.h"

namespace {
constexpr quint32 Polynomial = 0x04C11DB7;
}

cStarProtocolPC *cStarProtocolPC::instance()
{
    // A function-local static is created once, thread-safely, and lives until exit.
    static cStarProtocolPC codec;
    return &codec;
}

cStarProtocolPC::cStarProtocolPC()
{
    for (quint32 k = 0; k < 256; ++k) {
        quint32 reg = k << 24;
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 0x80000000u) ? (reg << 1) ^ Polynomial : reg << 1;
        m_crcTable[k] = reg;
    }
}

cStarProtocolPC::~cStarProtocolPC() = default;

quint32 cStarProtocolPC::crc32Stm32Function(quint8 *data, quint8 length, bool first)
{
    // Continuing a computation starts from the register the previous one left behind.
    quint32 reg = first ? 0xFFFFFFFFu : ~m_crc;
    const auto step
        = [&reg, this](quint8 byte) { reg = (reg << 8) ^ m_crcTable[(reg >> 24) ^ byte]; };

    const int words = length / 4;
    for (int w = 0; w < words; ++w) {
        const quint8 *p = data + 4 * w;
        step(p[3]);
        step(p[2]);
        step(p[1]);
        step(p[0]);
    }
    const int rest = length % 4;
    if (rest) {
        const quint8 *p = data + 4 * words;
        // The missing bytes of the padded word are zero and come first (they are the high
        // bytes of the little-endian word); only the given bytes are read.
        for (int i = 3; i >= 0; --i)
            step(i < rest ? p[i] : 0);
    }

    m_crc = reg ^ 0xFFFFFFFFu;
    return m_crc;
}
