#pragma once

#include <QByteArray>
#include <QString>

namespace sim {

// Every byte taken from a frame goes through here: past the end it reads as 0, so no reader can
// leave its buffer however short the frame is.
inline quint8 byteAt(const QByteArray &bytes, int index)
{
    return index >= 0 && index < bytes.size() ? quint8(bytes.at(index)) : 0;
}

// Address and length fields travel as bits 16-23, then bits 0-7, then bits 8-15.
inline quint32 field24At(const QByteArray &bytes, int index)
{
    return quint32(byteAt(bytes, index)) << 16 | quint32(byteAt(bytes, index + 1)) |
           quint32(byteAt(bytes, index + 2)) << 8;
}

QByteArray encodeField24(quint32 value);

// "01 0a ff": how frames appear in logs and test tables.
QString hexText(const QByteArray &bytes);

// Strict: hex digit pairs only, optionally separated by blanks; false for anything else.
bool parseHex(const QString &text, QByteArray *out);

// A decimal number, or hexadecimal after "0x"; false when it does not fit max.
bool parseNumber(const QString &text, quint64 max, quint64 *out);

} // namespace sim
