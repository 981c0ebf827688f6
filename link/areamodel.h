#pragma once

#include <QString>

// The controller's memory areas as requests see them: how each area lays out its points, the
// factor from point index to address value, and the informative maximum length. One table holds
// all of it; every function that needs an area's figures consults it here.
namespace tarvik {

// How an area's points are laid out, which decides how byte-typed transfers are sized and how
// memory requests are scaled.
enum class AreaClass { Other, Bit, Word, TwoByte, Block256 };

constexpr int stringSlot = 256; // a text item occupies one 256-byte slot in the controller
constexpr int areaCodeSI = 28;

int maximumLength(int area); // informative maximum, 0 outside the table
AreaClass areaClass(int area);
bool isBitArea(int area);
int areaScale(int area);    // factor from point index to address value
QString areaName(int area); // name that leads to the code, or empty
// The same name without a copy, for code that scans the table for an address's area.
QLatin1String areaNameView(int area);

} // namespace tarvik
