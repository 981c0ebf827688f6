#pragma once

#include "DataType.h"

#include <QVariant>

// What a write takes from the host's record: the payload list of the data type.
namespace tarvik {

// How many elements of the list type that type selects the payload holds; -1 when the payload
// is no such list (another list type, no list, an invalid value) or the type is none of the
// twelve.
int payloadElements(const QVariant &payload, DataType type);

// True when each of the first n texts of a text payload fits one text item: its length byte
// counts at most 255 characters, and the item carries one Latin-1 byte per character, so a
// character outside Latin-1 has no byte to go out as.
bool textsFitItems(const QVariant &payload, int n);

} // namespace tarvik
