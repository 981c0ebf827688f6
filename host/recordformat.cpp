#include "recordformat.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSequentialIterable>

#include <array>

namespace recordformat {
namespace {

constexpr std::array<const char *, 13> names = {"",       "Bool",   "Int8",   "UInt8", "Int16",
                                                "UInt16", "Int32",  "UInt32", "Float", "Int64",
                                                "UInt64", "Double", "String"};

struct Outcome
{
    int code;
    const char *words;
};
constexpr std::array<Outcome, 9> outcomes = {{
    {0, "success"},
    {1, "no outcome: the request builder answered an unknown code"},
    {2, "type refused (type 0, a type the area does not take, or a payload of another type)"},
    {3, "no area, or no usable point number"},
    {4, "bad count or length"},
    {7, "no answer in time"},
    {8, "exchange failed: no answer, wrong sequence bytes or a short answer"},
    {9, "link not open"},
    {-1, ""},
}};

// One element as text: bytes as numbers 0..255 (plain char differs in sign between platforms),
// floating point with every digit it needs.
QString elementText(int type, const QVariant &v)
{
    switch (type) {
    case Bool:
        return v.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case Int8:
        return QString::number(quint8(v.value<char>()));
    case UInt8:
        return QString::number(v.value<unsigned char>());
    case Float:
        return QString::number(double(v.value<float>()), 'g', 9);
    case Double:
        return QString::number(v.toDouble(), 'g', QLocale::FloatingPointShortest);
    default:
        return v.toString();
    }
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
    for (const Outcome &o : outcomes) {
        if (o.code == result)
            return QLatin1String(o.words);
    }
    return QStringLiteral("unknown outcome");
}

QStringList values(const CLabelVariable &record)
{
    QStringList list;
    if (!record.value.canConvert<QVariantList>())
        return list;
    const QSequentialIterable items = record.value.value<QSequentialIterable>();
    for (const QVariant &v : items)
        list << elementText(record.type, v);
    return list;
}

QString asText(const CLabelVariable &record)
{
    QString text = QStringLiteral("address  %1\ntype     %2\ncount    %3\nresult   %4 (%5)\n")
                       .arg(record.address, typeName(record.type))
                       .arg(record.count)
                       .arg(record.result)
                       .arg(outcomeWords(record.result));
    if (record.time.isValid())
        text += QStringLiteral("time     %1\n")
                    .arg(record.time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")));
    const QStringList items = values(record);
    for (int i = 0; i < items.size(); ++i)
        text += QStringLiteral("  [%1]  %2\n").arg(i).arg(items.at(i));
    return text;
}

QString asJson(const CLabelVariable &record)
{
    QJsonObject o;
    o.insert(QStringLiteral("address"), record.address);
    o.insert(QStringLiteral("type"), typeName(record.type));
    o.insert(QStringLiteral("count"), record.count);
    o.insert(QStringLiteral("result"), record.result);
    o.insert(QStringLiteral("outcome"), outcomeWords(record.result));
    if (record.time.isValid())
        o.insert(QStringLiteral("time"), record.time.toString(Qt::ISODateWithMs));
    QJsonArray items;
    for (const QString &v : values(record)) {
        // Numbers stay numbers unless a double would lose digits of a 64-bit integer.
        bool ok = false;
        const double d = v.toDouble(&ok);
        const bool exact = ok && (QString::number(d, 'g', 17) == v || record.type == Float ||
                                  record.type == Double);
        if (record.type == Bool)
            items.append(v == QLatin1String("true"));
        else if (record.type != String && exact)
            items.append(d);
        else
            items.append(v);
    }
    o.insert(QStringLiteral("values"), items);
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

} // namespace recordformat
