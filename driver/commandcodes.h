#ifndef COMMANDCODES_H
#define COMMANDCODES_H

#include <QtGlobal>

// The device's command set. Every request carries one of these codes and the device answers
// with the same code. Reads and commands send an empty payload; answers to writes and commands
// only confirm, their payload is not looked at. Texts are UTF-8, zero-terminated or ending with
// the payload; numbers are little-endian. 0x00 to 0x0C are common to the device family (see
// CommonDriver), 0x10 to 0x17 are the counter's own (see KuvelCounterDriver).
// clang-format off
namespace CommandCode {
//                                            kind     property             request -> answer
constexpr quint8 Init                = 0x00; // command  init                 -> -
constexpr quint8 ShutDown            = 0x01; // command  shutDown             -> -
constexpr quint8 Silence             = 0x02; // command  silence              -> -
constexpr quint8 Identifier          = 0x05; // read     UDID                 -> 12 bytes
constexpr quint8 DeviceType          = 0x06; // read     deviceType           -> text
constexpr quint8 ModificationVersion = 0x07; // read     modificationVersion  -> text
constexpr quint8 HardwareVersion     = 0x08; // read     hardwareVersion      -> text
constexpr quint8 FirmwareVersion     = 0x09; // read     firmwareVersion      -> text
constexpr quint8 DeviceDescription   = 0x0A; // read     deviceDescription    -> text
constexpr quint8 Reboot              = 0x0B; // command  reboot               -> -
constexpr quint8 WriteEeprom         = 0x0C; // command  writeEeprom          -> -
constexpr quint8 WriteReferenceLevel = 0x10; // write    referenceLevel       4 bytes Kuvel_RefLevel_t -> -
constexpr quint8 WriteTimeConst      = 0x11; // write    timeConst            4 bytes float -> -
constexpr quint8 ReadTimeConst       = 0x12; // read     timeConst            -> 4 bytes float
constexpr quint8 WriteChannel        = 0x13; // write    currentChannel       1 byte, index from 0 -> -
constexpr quint8 ReadChannel         = 0x14; // read     currentChannel       -> 1 byte
constexpr quint8 StartCounter        = 0x15; // command  startCounter         -> -
constexpr quint8 StopCounter         = 0x16; // command  stopCounter          -> -
constexpr quint8 ReadCounts          = 0x17; // read     counts               -> 16 bytes Kuvel_Counts_t
} // namespace CommandCode
// clang-format on

// A command code that means "no such operation".
constexpr quint8 NoCommand = 0xFF;

#endif // COMMANDCODES_H
