#ifndef CSTARPROTOCOLPC_H
#define CSTARPROTOCOLPC_H

#include "cstarprotocol.h"

// The PC side of the Star codec: the frame CRC computed with a table.
//
// CRC parameters, as the STM32 hardware CRC unit computes them, plus a final inversion:
//   width 32, polynomial 0x04C11DB7 (MSB first), initial value 0xFFFFFFFF, no reflection of
//   input or output, final XOR 0xFFFFFFFF. Input is cut into 32-bit little-endian words; a
//   short last word is padded with zero bytes. Byte-wise, each word b0 b1 b2 b3 is fed in
//   the order b3 b2 b1 b0.
// Check values: "abc" -> 0x1EDF7968, "123456789" -> 0x500E6FA8, no bytes -> 0.
class cStarProtocolPC : public cAbstractStarProtocol
{
public:
    static cStarProtocolPC *instance();

    cStarProtocolPC();
    ~cStarProtocolPC() override;

    quint32 crc32Stm32Function(quint8 *data, quint8 length, bool first) override;
    quint32 crc32stm32(quint8 *data, quint8 length, bool first)
    {
        return crc32Stm32Function(data, length, first);
    }

private:
    quint32 m_crcTable[256];
    quint32 m_crc = 0;
};

#endif // CSTARPROTOCOLPC_H
