#pragma once

#include "DataType.h"
#include "areamodel.h"

#include <QString>

#include <iterator>

// Tag addresses and transfer lengths: which area and point an address names, how wide each
// type's elements travel, and how many length units a transfer of a type takes in an area. The
// area figures themselves belong to the area model, included above so that every user of the
// address rules has them too.
namespace tarvik {

constexpr int largestTransfer = 1467; // longest length value a request may carry

// Bytes per element as transferred, indexed by type code; Bool travels one byte per point and a
// text one length unit per item. The codecs' element types are checked against this table.
constexpr int elementWidths[] = {0, 1, 1, 1, 2, 2, 4, 4, 4, 8, 8, 8, 1};
static_assert(std::size(elementWidths) == size_t(String) + 1, "one width for each type code");

// The width of a type's elements; 0 for a code that is none of the twelve.
constexpr int elementWidth(int type)
{
    return type >= Bool && type <= String ? elementWidths[size_t(type)] : 0;
}

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
