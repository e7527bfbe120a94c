#ifndef HEX_H
#define HEX_H

#include <QByteArray>

// Bytes written as a test reads them in a frame dump: "F9 00 01 00 58".
inline QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

#endif // HEX_H
