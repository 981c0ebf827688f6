#pragma once

#include <QString>

// The controller's memory areas: the name that leads to each code, how the area lays out its
// points, the factor from point index to address value, the informative maximum length, and the
// types a write may carry there. One table holds all of it; every function that needs an area's
// figures consults it here.
namespace tarvik {

// How an area's points are laid out, which decides how byte-typed transfers are sized and how
// memory requests are scaled.
enum class AreaClass {
    Other,
    Bit,
    Word,
    TwoByte,
    Block256,
    Count, // the number of classes; tables indexed by class are checked against it
};

constexpr int stringSlot = 256; // a text item occupies one 256-byte slot in the controller
constexpr int areaCodeSI = 28;

// The code of the longest area name the address begins with, letter case significant, or 0.
int areaCode(const QString &address);
int maximumLength(int area); // informative maximum, 0 outside the table
AreaClass areaClass(int area);
bool isBitArea(int area);
int areaScale(int area);    // factor from point index to address value
QString areaName(int area); // name that leads to the code, or empty
// False for a type a write to the area may not carry: type 0, and floats, 32-bit integers and
// texts outside the few areas that hold them.
bool areaTakesWrite(int area, int type);

} // namespace tarvik
