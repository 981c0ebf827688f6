#pragma once

#include "CLabelVariable.h"
#include "taglist.h"

#include <QByteArray>
#include <QStringList>

// What the gateway remembers of one tag's publishing.
struct TagMemory
{
    bool haveGood = false;
    CLabelVariable lastGood;   // the last value published
    QStringList lastTexts;     // its elements as text, for the deadband
    int lastResult = -1;       // of the last message published; -1: none yet
    qint64 publishedAt = 0;    // ms on the controller's clock
    bool confirmWrite = false; // a write succeeded: the next read is published whatever it holds
};

// The messages a tag's records become: a value as {"value":…,"ts":"…","result":0}, the
// elements as `tarvik-host --json` prints them (a tag of one element as that element, more as an
// array); a failed read as its outcome, with the last good value marked stale.
namespace tagmessages {

// largeAsText: integers beyond 2^53, which a reader of JSON numbers as doubles cannot hold, as
// strings.
QByteArray valueJson(const CLabelVariable &record, bool largeAsText);
QByteArray failureJson(const CLabelVariable &failed, const TagMemory &memory, bool largeAsText);
// What a tag is, for PREFIX/CONTROLLER/TAG/meta: {"type":…,"count":…,"address":…,"unit":…,
// "description":…,"scale":…,"offset":…,"writable":…} and, for 64-bit integers, how large ones
// are given ("large_integers":"number"|"text").
QByteArray metaJson(const Tag &tag, bool writable, bool largeAsText);
// Whether the record is to be published: the outcome changed, a value moved beyond the deadband,
// a write is to be confirmed, or the last message is maxAgeMs old. Elements are compared as what
// they are: texts and booleans on any change, 64-bit integers exactly, other numbers as doubles.
// texts: the record's elements as text (recordformat::values), formatted once by the caller, which
// keeps them as lastTexts when it publishes.
bool due(const TagMemory &memory, const CLabelVariable &record, const QStringList &texts,
         double deadband, qint64 now, qint64 maxAgeMs);
// The outcome of a write as {"result":N,"outcome":"words"}; result -1: refused by the gateway,
// nothing sent.
QByteArray writeResultJson(int result, const QString &words);
constexpr int refusedResult = -1;
// The words of a refusal: "refused: " and why.
QString refusalWords(const QString &why);

} // namespace tagmessages
