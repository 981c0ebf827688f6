#include "setpayload.h"

#include "recordformat.h"
#include "writevalues.h"

#include "DataType.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <string>

namespace {

using Json = nlohmann::json;

const QString notOneValue = QStringLiteral("the payload is not one JSON value or list");
const QString notElements = QStringLiteral("elements are numbers, true, false or texts");

// Collects the elements as the parser meets them and stops at the first thing that is none: a
// number is never turned into a double and back, which would change 64-bit integers.
class ElementCollector : public nlohmann::json_sax<Json>
{
public:
    explicit ElementCollector(QStringList *texts) : texts(texts) {}

    bool null() override { return refuse(notElements); }
    bool boolean(bool b) override
    {
        return element(b ? QStringLiteral("true") : QStringLiteral("false"));
    }
    bool number_integer(number_integer_t v) override { return element(QString::number(v)); }
    bool number_unsigned(number_unsigned_t v) override { return element(QString::number(v)); }
    // A whole number written with a fraction or an exponent (5.0, 1e3) is taken as that whole
    // number where a double holds it exactly; any other number keeps the text it came as.
    bool number_float(number_float_t v, const string_t &text) override
    {
        if (std::isfinite(v) && std::floor(v) == v && std::fabs(v) < 9007199254740992.0)
            return element(QString::number(qint64(v)));
        return element(QString::fromStdString(text));
    }
    bool string(string_t &s) override
    {
        return element(QString::fromUtf8(s.data(), int(s.size())));
    }
    bool binary(binary_t &) override { return refuse(notElements); }
    bool start_object(std::size_t) override { return refuse(notElements); }
    bool key(string_t &) override { return refuse(notElements); }
    bool end_object() override { return refuse(notElements); }
    bool start_array(std::size_t) override { return ++depth == 1 ? true : refuse(notElements); }
    bool end_array() override { return --depth, true; }
    bool parse_error(std::size_t, const std::string &, const nlohmann::detail::exception &) override
    {
        return refuse(notOneValue);
    }

    QString why;

private:
    bool element(const QString &text)
    {
        *texts << text;
        return true;
    }
    bool refuse(const QString &reason)
    {
        if (why.isEmpty())
            why = reason;
        return false;
    }

    QStringList *texts;
    int depth = 0;
};

} // namespace

QString setPayloadElements(const QByteArray &payload, QStringList *texts)
{
    ElementCollector collector(texts);
    const char *begin = payload.constData();
    const bool parsed = Json::sax_parse(begin, begin + payload.size(), &collector);
    if (!parsed)
        return collector.why.isEmpty() ? notOneValue : collector.why;
    return QString();
}

QString rawWriteTexts(const Tag &tag, QStringList *texts)
{
    constexpr double exact = 9007199254740992.0; // 2^53
    const bool whole = tag.type != Float && tag.type != Double;
    for (QString &text : *texts) {
        bool ok = false;
        const double value = text.toDouble(&ok);
        if (!ok || !std::isfinite(value))
            return QStringLiteral("'%1' is not a number").arg(text);
        const double raw = (value - tag.offset) / tag.scale;
        if (!whole) {
            text = recordformat::shortestDouble(raw);
            continue;
        }
        const double step = std::nearbyint(raw);
        // Each operation rounds by half a unit in the last place of its result: a few of those,
        // in raw units, are the arithmetic's; anything more is a value between two raw steps.
        const double slack =
            8 * std::numeric_limits<double>::epsilon() *
            (std::fabs(raw) + std::fabs(value / tag.scale) + std::fabs(tag.offset / tag.scale));
        if (std::fabs(raw - step) > slack)
            return QStringLiteral("%1 is %2 in the controller's units (scale %3, offset %4), "
                                  "not a whole number")
                .arg(text, QString::number(raw, 'g', 12), recordformat::shortestDouble(tag.scale),
                     recordformat::shortestDouble(tag.offset));
        if (std::fabs(step) > exact)
            return QStringLiteral("%1 is beyond 2^53 in the controller's units, where a scaled "
                                  "value is no longer exact")
                .arg(text);
        text = QString::number(qint64(step));
    }
    return QString();
}

QString writeValue(const Tag &tag, QStringList texts, QVariant *value)
{
    if (texts.size() != tag.count)
        return QStringLiteral("the tag takes %1 elements, not %2").arg(tag.count).arg(texts.size());
    // A scaled tag takes values in its published units: each is turned back into the raw value.
    if (tag.scaled()) {
        if (const QString why = rawWriteTexts(tag, &texts); !why.isEmpty())
            return why;
    }
    return writePayload(tag.type, texts, value);
}
