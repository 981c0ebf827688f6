#pragma once

#include <QString>

// Tag addresses, area codes and transfer lengths. One table each for the area names, the area
// classes, the address scale and the maximum lengths; every function that needs one of them
// consults it here.
namespace tarvik {

// How an area's points are laid out, which decides how byte-typed transfers are sized and how
// memory requests are scaled.
enum class AreaClass { Other, Bit, Word, TwoByte, Block256 };

constexpr int largestTransfer = 1467; // longest length value a request may carry
constexpr int largestAnswer = 1472;   // answer header plus 1468 bytes of data
constexpr int stringSlot = 256;       // a text item occupies one 256-byte slot in the controller
constexpr int areaCodeSI = 28;

int areaCode(const QString &address);              // code of the name heading the address, or 0
int pointIndex(const QString &address);            // zero-based point index, or -1
int transferLength(int type, int count, int area); // length units, or 0 when refused
int maximumLength(int area);                       // informative maximum, 0 outside the table
AreaClass areaClass(int area);
bool isBitArea(int area);
// True for numbers of two bytes or more in a bit area: a bit area carries one bit per length
// unit, so such a transfer would move a fraction of the values and report the rest as zeros.
bool bitAreaRefuses(int type, int area);
// True for an Int8 or UInt8 count that is no whole number of the area's units (4 bytes in word
// areas, 2 in SA and Custom, 256 in SI): the transfer length drops the bytes beyond the last
// whole unit, so a write of them would lose data.
bool cutsByteUnit(int type, int count, int area);
int areaScale(int area);    // factor from point index to address value
QString areaName(int area); // name that leads to the code, or empty

} // namespace tarvik
