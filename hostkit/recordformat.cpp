#include "recordformat.h"

#include "TarvikOutcome.h"
#include "labelarith.h"

#include <QLocale>
#include <QSequentialIterable>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <type_traits>

namespace recordformat {
namespace {

constexpr std::array<const char *, 13> names = {"",       "Bool",   "Int8",   "UInt8", "Int16",
                                                "UInt16", "Int32",  "UInt32", "Float", "Int64",
                                                "UInt64", "Double", "String"};

// Not-a-number and the infinities by the names JavaScript and Python give them.
QString nonFinite(double d)
{
    if (std::isnan(d))
        return QStringLiteral("NaN");
    return d > 0 ? QStringLiteral("Infinity") : QStringLiteral("-Infinity");
}

// Whether a floating-point element's text is one of those names, the only such texts that are
// not numbers.
bool namesNonFinite(const QString &text)
{
    return text == QLatin1String("NaN") || text == QLatin1String("Infinity") ||
           text == QLatin1String("-Infinity");
}

QString text(bool b)
{
    return b ? QStringLiteral("true") : QStringLiteral("false");
}

// Int8 elements are the controller's bytes in a char, whose sign differs between platforms:
// read as a signed byte on every one of them.
QString text(char c)
{
    return QString::number(qint8(quint8(c)));
}

// Read back as a float, correctly rounded. Qt's own reading refuses a text beyond the largest
// float that still rounds to it (3.4028235e+38).
bool readsBackAs(const QString &t, float f)
{
    const QByteArray bytes = t.toLatin1();
    float back = 0;
    const std::from_chars_result r =
        std::from_chars(bytes.constData(), bytes.constData() + bytes.size(), back);
    return r.ec == std::errc() && back == f;
}

// Qt prints a negative zero as 0: its sign is a bit of the value, and is kept.
QString negativeZero()
{
    return QStringLiteral("-0");
}

// How many significant digits the shortest text that reads back to f has: no text of fewer
// digits can read back to it, so a search for the fewest starts there.
int shortestDigits(float f)
{
    char buffer[32];
    const std::to_chars_result r =
        std::to_chars(buffer, buffer + sizeof buffer, f, std::chars_format::scientific);
    int digits = 0;
    for (const char *c = buffer; c != r.ptr && *c != 'e'; ++c)
        digits += *c >= '0' && *c <= '9';
    return digits;
}

QString text(float f)
{
    if (!std::isfinite(f))
        return nonFinite(double(f));
    if (f == 0 && std::signbit(f))
        return negativeZero();
    // The fewest digits that read back to the same float: 0.1f prints as 0.1.
    for (int digits = std::max(6, shortestDigits(f)); digits < 9; ++digits) {
        const QString t = QString::number(double(f), 'g', digits);
        if (readsBackAs(t, f))
            return t;
    }
    return QString::number(double(f), 'g', 9);
}

QString text(double d)
{
    if (d == 0 && std::signbit(d))
        return negativeZero();
    return std::isfinite(d) ? QString::number(d, 'g', QLocale::FloatingPointShortest)
                            : nonFinite(d);
}

QString text(const QString &s)
{
    return s;
}

// Whole numbers of every width, with every digit: the digits QString::number gives, made
// without its locale's machinery, which costs more than the rest of a value's message.
template <typename E> QString text(E e)
{
    char buffer[24];
    const std::to_chars_result r = std::to_chars(buffer, buffer + sizeof buffer, e);
    return QString::fromLatin1(buffer, int(r.ptr - buffer));
}

template <typename E> QString quoted(const E &e)
{
    if constexpr (std::is_same_v<E, QString>)
        return QLatin1Char('"') + escaped(e).replace(QLatin1Char('"'), QLatin1String("\\\"")) +
               QLatin1Char('"');
    else
        return text(e);
}

// Each element of the payload through form, picked by the record's one type dispatch. A type
// the driver does not transfer has its elements shown as Qt converts them.
template <typename Form> QStringList elements(const CLabelVariable &record, Form form)
{
    QStringList list;
    // The driver's records hold a QList of their type's element: read in place, without a
    // QVariant made and taken apart per element.
    const bool inPlace = tarvik::withElementType(record.type, [&](auto tag) {
        using E = typename decltype(tag)::type;
        if constexpr (std::is_void_v<E>) {
            return false;
        } else {
            if (record.value.userType() != qMetaTypeId<QList<E>>())
                return false;
            const QList<E> &items = *static_cast<const QList<E> *>(record.value.constData());
            list.reserve(items.size());
            for (const E &e : items)
                list << form(e);
            return true;
        }
    });
    if (inPlace || !record.value.canConvert<QVariantList>())
        return list;
    const QSequentialIterable items = record.value.value<QSequentialIterable>();
    tarvik::withElementType(record.type, [&](auto tag) {
        using E = typename decltype(tag)::type;
        for (const QVariant &v : items) {
            if constexpr (std::is_void_v<E>)
                list << form(v.toString());
            else
                list << form(v.value<E>());
        }
    });
    return list;
}

} // namespace

int typeFromName(const QString &name)
{
    for (size_t i = 1; i < names.size(); ++i) {
        if (name.compare(QLatin1String(names[i]), Qt::CaseInsensitive) == 0)
            return int(i);
    }
    bool ok = false;
    const int code = name.toInt(&ok);
    return ok ? code : 0;
}

bool typeNamed(const QString &text, int *type)
{
    bool number = false;
    text.toInt(&number);
    *type = typeFromName(text);
    return number || *type != 0;
}

QString typeName(int type)
{
    return type >= 1 && type < int(names.size()) ? QLatin1String(names[size_t(type)])
                                                 : QString::number(type);
}

QStringList typeNames()
{
    QStringList list;
    for (size_t i = 1; i < names.size(); ++i)
        list << QLatin1String(names[i]);
    return list;
}

QString outcomeWords(int result)
{
    const tarvik::OutcomeText *o = tarvik::outcomeText(result);
    return o ? QLatin1String(o->words) : QStringLiteral("unknown outcome");
}

QString outcomeShort(int result)
{
    const tarvik::OutcomeText *o = tarvik::outcomeText(result);
    return o ? QLatin1String(o->brief) : QStringLiteral("outcome %1").arg(result);
}

QStringList values(const CLabelVariable &record)
{
    return elements(record, [](const auto &e) { return text(e); });
}

QString valuesLine(const CLabelVariable &record)
{
    return elements(record, [](const auto &e) { return quoted(e); }).join(QLatin1Char(' '));
}

bool quotedInJson(int type, const QString &text)
{
    return tarvik::withElementType(DataType(type), [&](auto tag) {
        using E = typename decltype(tag)::type;
        if constexpr (std::is_floating_point_v<E>)
            return namesNonFinite(text);
        else
            return std::is_same_v<E, QString> || std::is_void_v<E>;
    });
}

QStringList elementsJson(const CLabelVariable &record)
{
    QStringList list = values(record);
    for (QString &t : list) {
        if (quotedInJson(record.type, t))
            t = jsonString(t);
    }
    return list;
}

QString valuesJson(const CLabelVariable &record)
{
    return QLatin1Char('[') + elementsJson(record).join(QLatin1Char(',')) + QLatin1Char(']');
}

namespace {

// A decimal scale is seldom exact in binary: 6928 × 0.1 comes out as 692.8000000000001. Where
// the fifteen digits a double always holds give a value within two units in the last place, that
// value is the one meant, and is taken; a result any further from it keeps all its digits.
double withoutNoise(double v)
{
    if (!std::isfinite(v) || v == 0)
        return v;
    const QByteArray digits = QByteArray::number(v, 'g', 15);
    double shorter = v;
    std::from_chars(digits.constData(), digits.constData() + digits.size(), shorter);
    const double ulp = std::nextafter(std::fabs(v), HUGE_VAL) - std::fabs(v);
    return std::fabs(shorter - v) <= 2 * ulp ? shorter : v;
}

} // namespace

CLabelVariable scaledRecord(const CLabelVariable &raw, double scale, double offset)
{
    CLabelVariable scaled = raw;
    scaled.type = Double;
    QList<double> values;
    if (raw.value.canConvert<QVariantList>()) {
        const QSequentialIterable items = raw.value.value<QSequentialIterable>();
        tarvik::withElementType(DataType(raw.type), [&](auto tag) {
            using E = typename decltype(tag)::type;
            for (const QVariant &v : items) {
                if constexpr (std::is_same_v<E, char>) // Int8, whatever plain char is here
                    values << withoutNoise(double(static_cast<signed char>(v.value<E>())) * scale +
                                           offset);
                else if constexpr (std::is_arithmetic_v<E>)
                    values << withoutNoise(double(v.value<E>()) * scale + offset);
            }
        });
    }
    scaled.value = QVariant::fromValue(values);
    return scaled;
}

QString shortestDouble(double value)
{
    return text(value);
}

QString shortestFloat(float value)
{
    return text(value);
}

QString escaped(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u == '\\')
            out += QLatin1String("\\\\");
        else if (u == '\n')
            out += QLatin1String("\\n");
        else if (u == '\r')
            out += QLatin1String("\\r");
        else if (u == '\t')
            out += QLatin1String("\\t");
        else if (u < 0x20 || (u >= 0x7F && u <= 0x9F)) // C0, DEL and C1 (0x9B starts a CSI)
            out += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

QString jsonString(const QString &text)
{
    QString out = QStringLiteral("\"");
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u == '"' || u == '\\')
            out += QLatin1Char('\\') + c;
        else if (u < 0x20 || (u >= 0x7F && u <= 0x9F))
            out += QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out + QLatin1Char('"');
}

QString timeStamp(const QDateTime &time)
{
    const int offset = time.offsetFromUtc();
    const int minutes = qAbs(offset) / 60;
    return time.toString(QStringLiteral("yyyy-MM-ddThh:mm:ss.zzz")) +
           (offset < 0 ? QLatin1Char('-') : QLatin1Char('+')) +
           QStringLiteral("%1:%2")
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QString asText(const CLabelVariable &record)
{
    QString block =
        QStringLiteral("address  %1\ntype     %2\ncount    %3\nresult   %4 (%5)\n")
            .arg(escaped(record.address), typeName(record.type), QString::number(record.count),
                 QString::number(record.result), outcomeWords(record.result));
    if (record.time.isValid())
        block += QStringLiteral("time     %1\n").arg(timeStamp(record.time));
    const QStringList items = values(record);
    for (int i = 0; i < items.size(); ++i)
        block += QStringLiteral("  [%1]  %2\n").arg(i).arg(escaped(items.at(i)));
    return block;
}

QString asJson(const CLabelVariable &record)
{
    // Known types by name, others by their number.
    const QString type = record.type >= 1 && record.type < int(names.size())
                             ? jsonString(typeName(record.type))
                             : QString::number(record.type);
    QString o = QStringLiteral("{\"address\":%1,\"count\":%2,\"outcome\":%3,\"result\":%4")
                    .arg(jsonString(record.address), QString::number(record.count),
                         jsonString(outcomeWords(record.result)), QString::number(record.result));
    if (record.time.isValid())
        o += QStringLiteral(",\"time\":%1").arg(jsonString(timeStamp(record.time)));
    return o + QStringLiteral(",\"type\":%1,\"values\":%2}").arg(type, valuesJson(record));
}

} // namespace recordformat
