#pragma once

#include "DataType.h"

#include <QVariant>

// What a write takes from the host's record: the payload list of the data type.
namespace tarvik {

// How many elements of the list type that type selects the payload holds; -1 when the payload
// is no such list (another list type, no list, an invalid value) or the type is none of the
// twelve.
int payloadElements(const QVariant &payload, DataType type);

// Length of the longest of the first n texts of a text payload (0 when there are none): a text
// item's length byte counts at most 255 characters.
int longestText(const QVariant &payload, int n);

} // namespace tarvik
