#pragma once

#include <QByteArray>
#include <QString>

// Bytes from hex text; blanks between the bytes are skipped ("01 02" and "0102" alike).
inline QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

inline QByteArray hex(const QString &text)
{
    return QByteArray::fromHex(text.toLatin1());
}

// Bytes as hex text with a blank between them ("01 02"), the form test rows and messages use.
inline QString spacedHex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}
