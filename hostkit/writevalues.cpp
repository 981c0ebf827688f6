#include "writevalues.h"

#include <QList>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <type_traits>

namespace {

// A payload made of the written values, or the reason one of them does not fit the type.
struct Parsed
{
    QVariant payload;
    QString error;
};

using Parser = Parsed (*)(const QStringList &texts);

template <typename R> using WideOf = std::conditional_t<std::is_signed_v<R>, qlonglong, qulonglong>;

// Whole numbers in decimal, or hexadecimal after 0x.
template <typename Wide> Wide parseWhole(QString text, bool *ok)
{
    int base = 10;
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) {
        text = text.mid(2);
        base = 16;
    }
    if constexpr (std::is_signed_v<Wide>)
        return text.toLongLong(ok, base);
    else
        return text.toULongLong(ok, base);
}

// The values a number cannot write, by the names the programs print (NaN, Infinity) and those C
// and Python take, in any letter case. NaN takes no sign.
struct NonFiniteName
{
    const char *name;
    double value;
};
constexpr NonFiniteName nonFiniteNames[] = {
    {"nan", std::numeric_limits<double>::quiet_NaN()},
    {"inf", std::numeric_limits<double>::infinity()},
    {"infinity", std::numeric_limits<double>::infinity()},
};

template <typename F> bool parseNonFinite(const QByteArray &magnitude, bool negative, F *f)
{
    const QByteArray name = magnitude.toLower();
    for (const NonFiniteName &n : nonFiniteNames) {
        if (name == n.name && !(negative && std::isnan(n.value))) {
            *f = F(negative ? -n.value : n.value);
            return true;
        }
    }
    return false;
}

// Correctly rounded, the same in every locale, and every printed value reads back to its bits.
// A text beyond the type's range, or so small that it would be written as zero, is refused.
// Blanks around the text and a leading '+' are taken.
template <typename F> bool parseFloating(const QString &text, F *f)
{
    const QByteArray t = text.trimmed().toLatin1();
    const bool negative = t.startsWith('-');
    const QByteArray magnitude = negative || t.startsWith('+') ? t.mid(1) : t;
    if (parseNonFinite(magnitude, negative, f))
        return true;
    // from_chars takes names, nan(...) and a sign of its own: a number starts with a digit or '.'.
    const char first = magnitude.isEmpty() ? '\0' : magnitude.front();
    if (!((first >= '0' && first <= '9') || first == '.'))
        return false;
    const char *end = magnitude.constData() + magnitude.size();
    const std::from_chars_result r = std::from_chars(magnitude.constData(), end, *f);
    if (r.ec != std::errc() || r.ptr != end)
        return false;
    *f = negative ? -*f : *f;
    return true;
}

// One value as element type E, within the range of R. The range of Int8 is that of a signed
// byte on every platform, whatever the sign of plain char there.
template <typename E, typename R = E> bool parseElement(const QString &text, E *e)
{
    bool ok = false;
    if constexpr (std::is_same_v<E, bool>) {
        const QString t = text.toLower();
        ok = t == QLatin1String("true") || t == QLatin1String("1") || t == QLatin1String("false") ||
             t == QLatin1String("0");
        *e = t == QLatin1String("true") || t == QLatin1String("1");
    } else if constexpr (std::is_floating_point_v<E>) {
        ok = parseFloating(text, e);
    } else {
        using Wide = WideOf<R>;
        const Wide v = parseWhole<Wide>(text, &ok);
        ok = ok && v >= Wide(std::numeric_limits<R>::min()) &&
             v <= Wide(std::numeric_limits<R>::max());
        *e = E(v);
    }
    return ok;
}

template <typename E, typename R = E> QString rangeOf()
{
    if constexpr (std::is_same_v<E, bool>)
        return QStringLiteral("true, false, 1 or 0");
    else if constexpr (std::is_floating_point_v<E>)
        return QStringLiteral("a number from -%1 to %1, NaN, Infinity or -Infinity")
            .arg(double(std::numeric_limits<E>::max()), 0, 'g',
                 std::numeric_limits<E>::max_digits10);
    else
        return QStringLiteral("%1 to %2")
            .arg(WideOf<R>(std::numeric_limits<R>::min()))
            .arg(WideOf<R>(std::numeric_limits<R>::max()));
}

// A text item is a length byte and one Latin-1 byte per character (the driver's codec). The
// driver refuses a longer text or another character with a bare result 4 after connecting, and
// sends a zero character as it is: the host names the limit before anything is sent.
constexpr int largestTextItem = 255;

bool withoutZero(const QString &text)
{
    return !text.contains(QChar(0));
}

bool withinItem(const QString &text)
{
    return text.size() <= largestTextItem;
}

bool inLatin1(const QString &text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() <= 0xFF; });
}

struct TextLimit
{
    bool (*fits)(const QString &text);
    const char *why;
};
constexpr TextLimit textLimits[] = {
    {&withoutZero, "holds a zero character (U+0000): the controller ends a text at a zero "
                   "character, and what follows it would be lost"},
    {&withinItem, "has more than 255 characters, the most a text item holds (its length is one "
                  "byte)"},
    {&inLatin1, "holds a character outside Latin-1 (ISO 8859-1): the controller stores one "
                "Latin-1 byte per character"},
};

QString textProblem(const QString &text)
{
    for (const TextLimit &limit : textLimits) {
        if (!limit.fits(text))
            return QLatin1String(limit.why);
    }
    return QString();
}

// A text is named by its place among the values: it may be long or hold control characters.
template <typename E, typename R = E> QString elementProblem(const QString &text, int place, E *e)
{
    if constexpr (std::is_same_v<E, QString>) {
        *e = text;
        const QString why = textProblem(text);
        return why.isEmpty() ? why : QStringLiteral("value %1 %2").arg(place).arg(why);
    } else {
        if (parseElement<E, R>(text, e))
            return QString();
        return QStringLiteral("%1 is out of range or not a value of this type: it takes %2")
            .arg(text, rangeOf<E, R>());
    }
}

template <typename E, typename R = E> Parsed parseValues(const QStringList &texts)
{
    QList<E> list;
    for (int i = 0; i < texts.size(); ++i) {
        E e{};
        const QString why = elementProblem<E, R>(texts[i], i + 1, &e);
        if (!why.isEmpty())
            return {QVariant(), why};
        list.append(e);
    }
    return {QVariant::fromValue(list), QString()};
}

// Indexed by type code.
constexpr std::array<Parser, 13> parsers = {
    nullptr,
    &parseValues<bool>,
    &parseValues<char, signed char>,
    &parseValues<unsigned char>,
    &parseValues<short>,
    &parseValues<unsigned short>,
    &parseValues<int>,
    &parseValues<unsigned int>,
    &parseValues<float>,
    &parseValues<long long>,
    &parseValues<unsigned long long>,
    &parseValues<double>,
    &parseValues<QString>,
};

// A type the driver does not transfer gets no payload: the driver's refusal is the answer.
Parsed payloadOf(int type, const QStringList &texts)
{
    const bool known = type > 0 && type < int(parsers.size());
    return known ? parsers[size_t(type)](texts) : Parsed{};
}

} // namespace

QString writePayload(int type, const QStringList &texts, QVariant *payload)
{
    const Parsed parsed = payloadOf(type, texts);
    *payload = parsed.payload;
    return parsed.error;
}
