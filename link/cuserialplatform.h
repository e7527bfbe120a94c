#ifndef CUSERIALPLATFORM_H
#define CUSERIALPLATFORM_H

#include <QString>

// What the serial link asks of the operating system beyond QSerialPort: a lock on the device
// itself, who holds it, and the adapter's low-latency mode. Linux offers all three; elsewhere
// the device is not locked, its holder is unknown and the latency stays as the driver set it.
namespace cuSerialPlatform {

enum LockResult {
    Locked, // held by this descriptor until it closes
    HeldElsewhere, // another program (or link) holds the device, under whatever name
    NotLockable, // the device cannot be locked at all; it is still usable
};

// Locks the device behind an open descriptor. `error` gets the system's reason when it
// answers NotLockable.
LockResult lockDevice(qintptr handle, QString *error);
// The process that holds the lock on the device `portName` names; 0 when unknown.
qint64 lockHolder(const QString &portName);
// The program name of a process; empty when unknown.
QString processName(qint64 pid);
// Asks the driver to hand each received byte on at once. False with the system's reason in
// `error` when the device has no such mode.
bool requestLowLatency(qintptr handle, QString *error);

} // namespace cuSerialPlatform

#endif // CUSERIALPLATFORM_H
