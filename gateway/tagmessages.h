#pragma once

#include "CLabelVariable.h"
#include "publishpolicy.h"
#include "taglist.h"

#include <QByteArray>
#include <QStringList>

// The messages a tag's records become: a value as {"value":…,"ts":"…","result":0}, the
// elements as `tarvik-host --json` prints them (a tag of one element as that element, more as an
// array); a failed read as its outcome, with the last good value marked stale.
namespace tagmessages {

// The text as UTF-8 in no more memory than it takes. QString::toUtf8() leaves room for three bytes
// a character; what is kept for as long as the gateway runs (a topic, a retained message of
// every tag) would hold three times its size.
QByteArray compactUtf8(const QString &text);

// largeAsText: integers beyond 2^53, which a reader of JSON numbers as doubles cannot hold, as
// strings. texts: the record's elements as recordformat::values gives them (the caller has made
// them for the deadband already).
QByteArray valueJson(const CLabelVariable &record, const QStringList &texts, bool largeAsText);
// The last good value in it is memory's.
QByteArray failureJson(const CLabelVariable &failed, const TagMemory &memory, bool largeAsText);
// What a tag is, for PREFIX/CONTROLLER/TAG/meta: {"type":…,"count":…,"address":…,"unit":…,
// "description":…,"scale":…,"offset":…,"writable":…} and, for 64-bit integers, how large ones
// are given ("large_integers":"number"|"text").
QByteArray metaJson(const Tag &tag, bool writable, bool largeAsText);
// The outcome of a write as {"result":N,"outcome":"words"}.
QByteArray writeResultJson(int result, const QString &words);

} // namespace tagmessages
