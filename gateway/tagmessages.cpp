#include "tagmessages.h"

#include "recordformat.h"

#include <cmath>

namespace tagmessages {
namespace {

QString valueText(const CLabelVariable &record)
{
    const QString list = recordformat::valuesJson(record);
    // One element stands for itself; the list's brackets go.
    return record.count == 1 && list.size() > 2 ? list.mid(1, list.size() - 2) : list;
}

bool moved(const QString &before, const QString &now, double deadband)
{
    if (before == now)
        return false;
    bool a = false, b = false;
    const double x = before.toDouble(&a), y = now.toDouble(&b);
    return deadband <= 0 || !a || !b || !(std::fabs(x - y) <= deadband);
}

bool movedBeyond(const QStringList &x, const QStringList &y, double deadband)
{
    if (x.size() != y.size())
        return true;
    for (int i = 0; i < x.size(); ++i) {
        if (moved(x[i], y[i], deadband))
            return true;
    }
    return false;
}

// The time stamp as JSON text. The tags of one merged read share their time, so the text of
// the last time asked for is kept (per thread: each controller formats on its own).
QString stamp(const QDateTime &time)
{
    thread_local qint64 lastMs = -1;
    thread_local int lastOffset = 0;
    thread_local QString lastText;
    const qint64 ms = time.toMSecsSinceEpoch();
    const int offset = time.offsetFromUtc();
    if (ms != lastMs || offset != lastOffset || lastText.isEmpty()) {
        lastText = recordformat::jsonString(recordformat::timeStamp(time));
        lastMs = ms;
        lastOffset = offset;
    }
    return lastText;
}

} // namespace

QByteArray valueJson(const CLabelVariable &record)
{
    return QStringLiteral("{\"value\":%1,\"ts\":%2,\"result\":0}")
        .arg(valueText(record), stamp(record.time))
        .toUtf8();
}

QByteArray failureJson(const CLabelVariable &failed, const TagMemory &memory)
{
    const QDateTime when = failed.time.isValid() ? failed.time : QDateTime::currentDateTime();
    QString o =
        QStringLiteral("{\"value\":%1,\"ts\":%2,\"result\":%3,\"outcome\":%4,"
                       "\"stale\":true")
            .arg(memory.haveGood ? valueText(memory.lastGood) : QStringLiteral("null"), stamp(when))
            .arg(failed.result)
            .arg(recordformat::jsonString(recordformat::outcomeWords(failed.result)));
    if (memory.haveGood)
        o += QStringLiteral(",\"value_ts\":%1")
                 .arg(recordformat::jsonString(recordformat::timeStamp(memory.lastGood.time)));
    return (o + QLatin1Char('}')).toUtf8();
}

bool due(const TagMemory &memory, const CLabelVariable &record, const QStringList &texts,
         double deadband, qint64 now, qint64 maxAgeMs)
{
    if (memory.lastResult != record.result || now - memory.publishedAt >= maxAgeMs)
        return true;
    return record.result == 0 && memory.haveGood && movedBeyond(memory.lastTexts, texts, deadband);
}

QByteArray writeResultJson(int result, const QString &words)
{
    return QStringLiteral("{\"result\":%1,\"outcome\":%2}")
        .arg(result)
        .arg(recordformat::jsonString(words))
        .toUtf8();
}

QString refusalWords(const QString &why)
{
    return QStringLiteral("refused: ") + why;
}

} // namespace tagmessages
