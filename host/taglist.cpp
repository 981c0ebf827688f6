#include "taglist.h"

#include "arguments.h"
#include "boundedfile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

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

// Fields of one CSV line into a tag: name, address, type, then optional count and interval.
QString csvTag(const QStringList &fields, Tag *tag)
{
    if (fields.size() < 3 || fields.size() > 5)
        return QStringLiteral("takes name,address,type[,count[,interval]]");
    tag->name = fields[0];
    tag->address = fields[1];
    QString why = checks::type(fields[2], &tag->type);
    if (why.isEmpty() && fields.size() > 3 && !fields[3].isEmpty())
        why = checks::count(fields[3], &tag->count);
    if (why.isEmpty() && fields.size() > 4 && !fields[4].isEmpty())
        why = intervalProblem(fields[4], &tag->intervalMs);
    return why;
}

QString readCsv(const QByteArray &bytes, QVector<Tag> *tags)
{
    // Text ends at a NUL byte for Qt's conversion: the tags after it would silently go missing.
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        return QStringLiteral("line %1: holds a NUL byte; a tag list is text")
            .arg(bytes.left(nul).count('\n') + 1);
    const QStringList lines = QString::fromUtf8(bytes).split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines[i].trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        QStringList fields = line.split(QLatin1Char(','));
        for (QString &f : fields)
            f = f.trimmed();
        if (tags->isEmpty() && fields[0].compare(QLatin1String("name"), Qt::CaseInsensitive) == 0)
            continue;
        Tag tag;
        const QString why = csvTag(fields, &tag);
        if (!why.isEmpty())
            return QStringLiteral("line %1: %2").arg(i + 1).arg(why);
        tags->append(tag);
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
    tag->address = o.value(QLatin1String("address")).toString();
    tag->name = o.value(QLatin1String("name")).toString(tag->address);
    QString why = checks::type(fieldText(o.value(QLatin1String("type"))), &tag->type);
    if (why.isEmpty() && o.contains(QLatin1String("count")))
        why = checks::count(fieldText(o.value(QLatin1String("count"))), &tag->count);
    if (why.isEmpty() && o.contains(QLatin1String("interval")))
        why = intervalProblem(fieldText(o.value(QLatin1String("interval"))), &tag->intervalMs);
    return why;
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
    return checks::address(tag.address);
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
