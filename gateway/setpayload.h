#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariant>

#include "taglist.h"

// The payload of a write request, one JSON value or a list of them, as the text of each element
// that the write check takes (the same texts as `tarvik-host write`). Numbers keep their exact
// text: a 64-bit integer every digit, a float the digits it was given. "" or why not.
QString setPayloadElements(const QByteArray &payload, QStringList *texts);

// The texts of a write to a scaled tag, given in its published units, turned back into raw values
// in place: (value - offset) / scale, which for an integer type must be a whole number (within the
// arithmetic's own rounding) and within ±2^53, where a scaled value is exact. "" or why not; the
// raw type's range is the write check's.
QString rawWriteTexts(const Tag &tag, QStringList *texts);

// The texts of a write to a tag (one per element, in its published units) as the value the
// worker writes: as many as the tag has, each within its type. "" or why not.
QString writeValue(const Tag &tag, QStringList texts, QVariant *value);
