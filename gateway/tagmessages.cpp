#include "tagmessages.h"

#include "recordformat.h"

#include "DataType.h"
#include "labelarith.h"

#include <QSequentialIterable>

#include <array>
#include <cmath>
#include <type_traits>

namespace tagmessages {
namespace {

bool is64Bit(int type)
{
    return type == Int64 || type == UInt64;
}

// Beyond 2^53 a double no longer holds every integer: 2^53 + 1 would read as 2^53.
bool beyondDouble(const QString &integer)
{
    constexpr quint64 exact = quint64(1) << 53;
    bool ok = false;
    const qint64 s = integer.toLongLong(&ok);
    if (ok)
        return s > qint64(exact) || s < -qint64(exact);
    return true; // beyond qint64: an unsigned value above 2^63
}

// Text that is ASCII (a number's), appended without a conversion of its own.
void appendAscii(QByteArray &out, const QString &text)
{
    const int at = out.size();
    out.resize(at + text.size());
    char *to = out.data() + at;
    for (const QChar c : text)
        *to++ = char(c.unicode());
}

// An element as JSON, from its text as recordformat::values gives it.
void appendElement(QByteArray &out, int type, const QString &text, bool largeAsText)
{
    if (recordformat::quotedInJson(type, text) ||
        (largeAsText && is64Bit(type) && beyondDouble(text)))
        out += recordformat::jsonString(text).toUtf8();
    else
        appendAscii(out, text);
}

// The value as JSON: a tag of one element as that element, else an array of them.
void appendValue(QByteArray &out, int type, int count, const QStringList &texts, bool largeAsText)
{
    const bool bare = count == 1 && !texts.isEmpty();
    if (!bare)
        out += '[';
    for (int i = 0; i < texts.size(); ++i) {
        if (i > 0)
            out += ',';
        appendElement(out, type, texts[i], largeAsText);
    }
    if (!bare)
        out += ']';
}

// The time stamp as JSON text. The tags of one merged read share their time, so the text of
// the last time asked for is kept (per thread: each controller formats on its own).
QByteArray stamp(const QDateTime &time)
{
    thread_local QDateTime lastLocal;
    thread_local qint64 lastMs = -1;
    thread_local int lastOffset = 0;
    thread_local QByteArray lastText;
    // A local time's instant and offset take a conversion through the C library each; two local
    // times of one zone compare without it, and equal ones have one text.
    if (!lastText.isEmpty() && time.timeSpec() == Qt::LocalTime &&
        lastLocal.timeSpec() == Qt::LocalTime && time == lastLocal)
        return lastText;
    const qint64 ms = time.toMSecsSinceEpoch();
    const int offset = time.offsetFromUtc();
    if (ms != lastMs || offset != lastOffset || lastText.isEmpty()) {
        lastText = recordformat::jsonString(recordformat::timeStamp(time)).toUtf8();
        lastMs = ms;
        lastOffset = offset;
    }
    lastLocal = time;
    return lastText;
}

} // namespace

QByteArray compactUtf8(const QString &text)
{
    // Copied, not squeezed: a squeeze shrinks the block where it is and leaves its unused two
    // thirds free beside it, between blocks that are kept, where no page can be given back.
    const QByteArray bytes = text.toUtf8();
    return QByteArray(bytes.constData(), bytes.size());
}

QByteArray valueJson(const CLabelVariable &record, const QStringList &texts, bool largeAsText)
{
    // Joined as bytes, not through arg(): a placeholder's search and the copies of the text
    // cost more than the value's own text.
    // Made in a buffer the thread keeps and copied out at its size: the session keeps every
    // tag's latest value, and room left over in each would be a tenth of a large gateway.
    const QByteArray ts = stamp(record.time);
    thread_local QByteArray json;
    json.reserve(qMax(json.capacity(), 128)); // reserved room stays when it is emptied
    json.resize(0);
    json += "{\"value\":";
    appendValue(json, record.type, record.count, texts, largeAsText);
    json += ",\"ts\":";
    json += ts;
    json += ",\"result\":0}";
    return QByteArray(json.constData(), json.size());
}

QByteArray metaJson(const Tag &tag, bool writable, bool largeAsText)
{
    QString o =
        QStringLiteral("{\"type\":%1,\"count\":%2,\"address\":%3,\"unit\":%4,"
                       "\"description\":%5,\"scale\":%6,\"offset\":%7,\"writable\":%8")
            .arg(recordformat::jsonString(recordformat::typeName(tag.type)))
            .arg(tag.count)
            .arg(recordformat::jsonString(tag.address), recordformat::jsonString(tag.unit),
                 recordformat::jsonString(tag.description), recordformat::shortestDouble(tag.scale),
                 recordformat::shortestDouble(tag.offset),
                 writable ? QStringLiteral("true") : QStringLiteral("false"));
    if (is64Bit(tag.type) && !tag.scaled())
        o += QStringLiteral(",\"large_integers\":%1")
                 .arg(largeAsText ? QStringLiteral("\"text\"") : QStringLiteral("\"number\""));
    return compactUtf8(o + QLatin1Char('}'));
}

QByteArray failureJson(const CLabelVariable &failed, const TagMemory &memory, bool largeAsText)
{
    const QDateTime when = failed.time.isValid() ? failed.time : QDateTime::currentDateTime();
    QByteArray lastValue = "null";
    if (memory.haveGood) {
        lastValue.clear();
        appendValue(lastValue, memory.lastType, memory.lastCount, memory.texts(), largeAsText);
    }
    QString o = QStringLiteral("{\"value\":%1,\"ts\":%2,\"result\":%3,\"outcome\":%4,"
                               "\"stale\":true")
                    .arg(QString::fromUtf8(lastValue), QString::fromUtf8(stamp(when)))
                    .arg(failed.result)
                    .arg(recordformat::jsonString(recordformat::outcomeWords(failed.result)));
    if (memory.haveGood)
        o += QStringLiteral(",\"value_ts\":%1")
                 .arg(recordformat::jsonString(recordformat::timeStamp(memory.lastTime)));
    return compactUtf8(o + QLatin1Char('}'));
}

QByteArray writeResultJson(int result, const QString &words)
{
    return QStringLiteral("{\"result\":%1,\"outcome\":%2}")
        .arg(result)
        .arg(recordformat::jsonString(words))
        .toUtf8();
}

} // namespace tagmessages
