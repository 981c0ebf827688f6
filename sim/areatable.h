#pragma once

#include <QString>

namespace sim {

// The areas of the controller's memory as a request names them. Bit areas keep one byte
// (0x00 or 0x01) per point; the string area keeps 256-byte text slots.
struct Area
{
    const char *name;
    int code;
    bool bits;
};

inline constexpr Area kAreas[] = {
    {"DI", 1, true},    {"DI_F", 2, true},     {"DI_S", 3, true},   {"DO", 4, true},
    {"DO_F", 5, true},  {"DO_S", 6, true},     {"AI", 7, false},    {"AI_F", 8, false},
    {"AI_S", 9, false}, {"AO", 10, false},     {"AO_F", 11, false}, {"AO_S", 12, false},
    {"SD", 13, true},   {"SA", 14, false},     {"NDI", 15, true},   {"NDO", 16, true},
    {"NAI", 17, false}, {"NAO", 18, false},    {"HDS", 19, true},   {"HDP", 20, true},
    {"HAI", 21, false}, {"LD", 22, true},      {"LA", 23, false},   {"LW", 24, false},
    {"SI", 28, false},  {"Custom", 29, false},
};

inline constexpr int kStringArea = 28;

// Null for a code no area has.
const Area *areaByCode(int code);
// By name (letter case significant) or by decimal code; null when neither matches.
const Area *areaByName(const QString &nameOrCode);
// All names, for help texts and error messages.
QString areaNames();

} // namespace sim
