#include "wire.h"

namespace sim {

namespace {

bool isDecimalDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

bool isHexDigit(QChar c)
{
    const QChar lower = c.toLower();
    return isDecimalDigit(c) || (lower >= QLatin1Char('a') && lower <= QLatin1Char('f'));
}

} // namespace

QByteArray encodeField24(quint32 value)
{
    QByteArray field(3, '\0');
    field[0] = char(quint8(value >> 16));
    field[1] = char(quint8(value));
    field[2] = char(quint8(value >> 8));
    return field;
}

QString hexText(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

bool parseHex(const QString &text, QByteArray *out)
{
    QString digits = text;
    digits.remove(QLatin1Char(' '));
    if (digits.isEmpty() || digits.size() % 2 != 0)
        return false;
    for (QChar c : digits) {
        if (!isHexDigit(c))
            return false;
    }
    *out = QByteArray::fromHex(digits.toLatin1());
    return true;
}

bool parseNumber(const QString &text, quint64 max, quint64 *out)
{
    const bool hex = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
    const QString digits = hex ? text.mid(2) : text;
    // toULongLong alone would also take blanks and a sign.
    for (QChar c : digits) {
        if (hex ? !isHexDigit(c) : !isDecimalDigit(c))
            return false;
    }
    bool ok = false;
    const quint64 value = digits.toULongLong(&ok, hex ? 16 : 10);
    if (!ok || value > max)
        return false;
    *out = value;
    return true;
}

} // namespace sim
