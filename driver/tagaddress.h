#pragma once

#include "areamodel.h"

#include <QString>

// Tag addresses and transfer lengths: which area and point an address names, and how many
// length units a transfer of a type takes in an area. The area figures themselves belong to the
// link's area model, included above so that every user of the address rules has them too.
namespace tarvik {

constexpr int largestTransfer = 1467; // longest length value a request may carry

int areaCode(const QString &address);              // code of the name heading the address, or 0
int pointIndex(const QString &address);            // zero-based point index, or -1
int transferLength(int type, int count, int area); // length units, or 0 when refused
// True for numbers of two bytes or more in a bit area: a bit area carries one bit per length
// unit, so such a transfer would move a fraction of the values and report the rest as zeros.
bool bitAreaRefuses(int type, int area);
// True for an Int8 or UInt8 count that is no whole number of the area's units (4 bytes in word
// areas, 2 in SA and Custom, 256 in SI): the transfer length drops the bytes beyond the last
// whole unit, so a write of them would lose data.
bool cutsByteUnit(int type, int count, int area);

} // namespace tarvik
