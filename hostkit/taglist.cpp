#include "taglist.h"

#include "arguments.h"
#include "boundedfile.h"
#include "recordformat.h"

#include "DataType.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <algorithm>
#include <array>
#include <cmath>

namespace {

constexpr int largestInterval = 86400000; // a day

QString intervalProblem(const QString &text, int *interval)
{
    bool ok = false;
    const int v = text.toInt(&ok);
    if (!ok || v < 0 || v > largestInterval)
        return QStringLiteral("the interval takes 0 to %1 ms, not '%2'")
            .arg(largestInterval)
            .arg(text);
    *interval = v;
    return QString();
}

// A tag list's columns, in the order a CSV line without a header gives them; a JSON object names
// the same keys. Each sets its part of a tag from the field's text.
struct Column
{
    const char *name;
    bool required;
    QString (*set)(const QString &text, Tag *tag);
};
const std::array<Column, 9> columns = {{
    {"name", true, [](const QString &t, Tag *tag) { return tag->name = t, QString(); }},
    {"address", true, [](const QString &t, Tag *tag) { return tag->address = t, QString(); }},
    {"type", true, [](const QString &t, Tag *tag) { return checks::type(t, &tag->type); }},
    {"count", false, [](const QString &t, Tag *tag) { return checks::count(t, &tag->count); }},
    {"interval", false,
     [](const QString &t, Tag *tag) { return intervalProblem(t, &tag->intervalMs); }},
    {"scale", false, [](const QString &t, Tag *tag) { return scaleProblem(t, &tag->scale); }},
    {"offset", false, [](const QString &t, Tag *tag) { return offsetProblem(t, &tag->offset); }},
    {"unit", false, [](const QString &t, Tag *tag) { return tag->unit = t, unitProblem(t); }},
    {"description", false,
     [](const QString &t, Tag *tag) { return tag->description = t, descriptionProblem(t); }},
}};

int columnNamed(const QString &name)
{
    for (size_t i = 0; i < columns.size(); ++i) {
        if (name.compare(QLatin1String(columns[i].name), Qt::CaseInsensitive) == 0)
            return int(i);
    }
    return -1;
}

QString columnNames()
{
    QStringList names;
    for (const Column &c : columns)
        names << QLatin1String(c.name);
    return names.join(QLatin1Char(','));
}

// One CSV line's fields: a field in double quotes may hold commas, and "" inside it stands for
// one quote. Blanks around a field go.
QString splitCsv(const QString &line, QStringList *fields)
{
    QString field;
    bool quoted = false, wasQuoted = false;
    for (int i = 0; i < line.size(); ++i) {
        const QChar c = line[i];
        if (quoted && c == QLatin1Char('"') && i + 1 < line.size() && line[i + 1] == c)
            field += line[++i];
        else if (c == QLatin1Char('"') && (quoted || field.trimmed().isEmpty()))
            quoted = !quoted, wasQuoted = true, field.clear();
        else if (c == QLatin1Char(',') && !quoted)
            *fields << (wasQuoted ? field : field.trimmed()), field.clear(), wasQuoted = false;
        else if (!wasQuoted || quoted)
            field += c;
        else if (!c.isSpace())
            return QStringLiteral("text after a quoted field");
    }
    if (quoted)
        return QStringLiteral("a quote is not closed");
    *fields << (wasQuoted ? field : field.trimmed());
    return QString();
}

// The fields of one line into a tag, by the columns they stand in; empty optional fields keep
// their defaults.
QString csvTag(const QStringList &fields, const QVector<int> &order, Tag *tag)
{
    if (fields.size() > order.size())
        return QStringLiteral("takes at most %1 fields: %2")
            .arg(order.size())
            .arg(columnNames().section(QLatin1Char(','), 0, order.size() - 1));
    for (int i = 0; i < order.size(); ++i) {
        const Column &column = columns[size_t(order[i])];
        const QString text = i < fields.size() ? fields[i] : QString();
        if (text.isEmpty() && !column.required)
            continue;
        if (text.isEmpty())
            return QStringLiteral("has no %1").arg(QLatin1String(column.name));
        if (const QString why = column.set(text, tag); !why.isEmpty())
            return why;
    }
    return QString();
}

// A first line that begins with "name" is a header, as is one that names columns only.
bool isHeader(const QStringList &fields)
{
    return fields[0].compare(QLatin1String("name"), Qt::CaseInsensitive) == 0 ||
           std::all_of(fields.begin(), fields.end(),
                       [](const QString &f) { return columnNamed(f) >= 0; });
}

// A header names the columns in its own order; every column it names must be known, and the
// required ones must be there.
QString headerOrder(const QStringList &fields, QVector<int> *order)
{
    order->clear();
    for (const QString &f : fields) {
        const int c = columnNamed(f);
        if (c < 0 || order->contains(c))
            return QStringLiteral("the header names %1 %2; columns are %3")
                .arg(c < 0 ? QStringLiteral("an unknown column") : QStringLiteral("twice"), f,
                     columnNames());
        order->append(c);
    }
    for (size_t c = 0; c < columns.size(); ++c) {
        if (columns[c].required && !order->contains(int(c)))
            return QStringLiteral("the header has no %1 column")
                .arg(QLatin1String(columns[c].name));
    }
    return QString();
}

QString readCsv(const QByteArray &bytes, QVector<Tag> *tags)
{
    // Text ends at a NUL byte for Qt's conversion: the tags after it would silently go missing.
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        return QStringLiteral("line %1: holds a NUL byte; a tag list is text")
            .arg(bytes.left(nul).count('\n') + 1);
    QVector<int> order;
    for (size_t c = 0; c < columns.size(); ++c)
        order << int(c);
    bool first = true;
    const QStringList lines = QString::fromUtf8(bytes).split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines[i].trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        QStringList fields;
        QString why = splitCsv(line, &fields);
        Tag tag;
        if (why.isEmpty() && first && isHeader(fields))
            why = headerOrder(fields, &order);
        else if (why.isEmpty())
            why = csvTag(fields, order, &tag), tags->append(tag);
        if (!why.isEmpty())
            return QStringLiteral("line %1: %2").arg(i + 1).arg(why);
        first = false;
    }
    return QString();
}

// A JSON value as the text a CSV field would hold: numbers and strings alike.
QString fieldText(const QJsonValue &v)
{
    return v.isDouble() ? QString::number(v.toDouble(), 'g', 17) : v.toString();
}

QString jsonTag(const QJsonObject &o, Tag *tag)
{
    for (const Column &c : columns) {
        const QJsonValue v = o.value(QLatin1String(c.name));
        if (v.isUndefined() && !c.required)
            continue;
        // A tag named by nothing else is named by its address.
        const QString text = v.isUndefined() && QLatin1String(c.name) == QLatin1String("name")
                                 ? o.value(QLatin1String("address")).toString()
                                 : fieldText(v);
        if (const QString why = c.set(text, tag); !why.isEmpty())
            return why;
    }
    return QString();
}

QString readJson(const QByteArray &bytes, QVector<Tag> *tags)
{
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &parseError);
    if (doc.isNull())
        return QStringLiteral("not JSON: %1 at offset %2")
            .arg(parseError.errorString())
            .arg(parseError.offset);
    const QJsonArray list =
        doc.isArray() ? doc.array() : doc.object().value(QLatin1String("tags")).toArray();
    for (int i = 0; i < list.size(); ++i) {
        Tag tag;
        const QString why = list[i].isObject() ? jsonTag(list[i].toObject(), &tag)
                                               : QStringLiteral("is not an object");
        if (!why.isEmpty())
            return QStringLiteral("tag %1: %2").arg(i + 1).arg(why);
        tags->append(tag);
    }
    return QString();
}

// Names must tell the tags apart in the output.
QString checkAll(const QVector<Tag> &tags)
{
    if (tags.isEmpty())
        return QStringLiteral("no tags in the list");
    QSet<QString> names;
    for (const Tag &tag : tags) {
        const QString why = tagProblem(tag);
        if (!why.isEmpty())
            return QStringLiteral("tag %1: %2").arg(tag.name, why);
        if (names.contains(tag.name))
            return QStringLiteral("the name %1 is given twice").arg(tag.name);
        names.insert(tag.name);
    }
    return QString();
}

} // namespace

QString tagProblem(const Tag &tag)
{
    if (tag.name.isEmpty())
        return QStringLiteral("has no name");
    if (tag.scaled() && (tag.type == Bool || tag.type == String || tag.type > Double))
        return QStringLiteral("scale and offset apply to number types, not %1")
            .arg(recordformat::typeName(tag.type));
    return checks::address(tag.address);
}

QString scaleProblem(const QString &text, double *scale)
{
    bool ok = false;
    const double v = text.toDouble(&ok);
    if (!ok || !std::isfinite(v) || v == 0)
        return QStringLiteral("the scale takes a number other than 0, not '%1'").arg(text);
    *scale = v;
    return QString();
}

QString offsetProblem(const QString &text, double *offset)
{
    bool ok = false;
    const double v = text.toDouble(&ok);
    if (!ok || !std::isfinite(v))
        return QStringLiteral("the offset takes a number, not '%1'").arg(text);
    *offset = v;
    return QString();
}

namespace {

// Words for a reader: one line, no control characters, within a length a topic's consumer
// can show.
QString lineOfText(const QString &text, int longest, const char *what)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return QStringLiteral("the %1 holds a control character").arg(QLatin1String(what));
    }
    if (text.size() > longest)
        return QStringLiteral("the %1 takes at most %2 characters")
            .arg(QLatin1String(what))
            .arg(longest);
    return QString();
}

} // namespace

QString unitProblem(const QString &text)
{
    return lineOfText(text, 32, "unit");
}

QString descriptionProblem(const QString &text)
{
    return lineOfText(text, 256, "description");
}

QVector<Tag> loadTagList(const QString &path, QString *error)
{
    QByteArray bytes;
    if (const QString why = readBoundedFile(path, largestInputFile, &bytes); !why.isEmpty()) {
        *error = QStringLiteral("cannot read the tag list %1: %2").arg(path, why);
        return {};
    }
    const QByteArray head = bytes.trimmed().left(1);
    QVector<Tag> tags;
    QString why = head == "[" || head == "{" ? readJson(bytes, &tags) : readCsv(bytes, &tags);
    if (why.isEmpty())
        why = checkAll(tags);
    if (!why.isEmpty()) {
        *error = QStringLiteral("%1: %2").arg(path, why);
        return {};
    }
    return tags;
}
