#include "areamodel.h"

#include "DataType.h"

#include <iterator>

namespace tarvik {
namespace {

constexpr unsigned typeBit(int type)
{
    return type >= 0 && type < 32 ? 1u << type : 0u;
}

// Types most areas refuse a write of; an area takes them only where its row lists them.
constexpr unsigned F = typeBit(Float), I = typeBit(Int32) | typeBit(UInt32), S = typeBit(String);
constexpr unsigned restrictedTypes = F | I | S;

struct AreaInfo
{
    const char *name; // empty where no name leads to the code
    AreaClass cls;
    int scale; // point index times scale = address value of a memory request
    int maxLength;
    unsigned takes = 0; // the restricted types a write to the area may carry
};

constexpr AreaClass B = AreaClass::Bit, W = AreaClass::Word, T = AreaClass::TwoByte,
                    K = AreaClass::Block256, O = AreaClass::Other;

// Indexed by area code.
constexpr AreaInfo areas[] = {
    {"", O, 1, 0},          {"DI", B, 1, 240},       {"DI_F", B, 1, 240},
    {"DI_S", B, 1, 240},    {"DO", B, 1, 160},       {"DO_F", B, 1, 160},
    {"DO_S", B, 1, 160},    {"AI", W, 4, 320},       {"AI_F", W, 4, 320},
    {"AI_S", W, 4, 80},     {"AO", W, 4, 320, F},    {"AO_F", O, 1, 320},
    {"AO_S", O, 1, 80},     {"SD", B, 1, 320},       {"SA", T, 2, 640},
    {"NDI", B, 1, 2000},    {"NDO", B, 1, 2000},     {"NAI", W, 4, 8000},
    {"NAO", W, 4, 8000, F}, {"HDS", B, 1, 500},      {"HDP", B, 1, 500},
    {"HAI", W, 4, 2000},    {"LD", B, 1, 2000},      {"LA", W, 4, 2000, F},
    {"LW", W, 4, 8000, I},  {"", O, 1, 1},           {"", O, 1, 100},
    {"", O, 1, 400},        {"SI", K, 256, 1280, S}, {"Custom", T, 1, 2097152},
    {"", O, 1, 1},          {"", O, 1, 1},           {"", O, 1, 7200},
    {"", O, 1, 0},          {"", O, 1, 0},           {"", O, 1, 0},
    {"", O, 1, 0},          {"", O, 1, 0},           {"", O, 1, 0},
    {"", O, 1, 0},          {"", O, 1, 0},           {"", O, 1, 0},
    {"", O, 1, 0},          {"", O, 1, 0},           {"", O, 1, 0},
    {"", O, 1, 0},          {"", O, 1, 0},
};
static_assert(std::size(areas) == 47, "a row for each area code, 0 to 46");

const AreaInfo *info(int area)
{
    return area >= 0 && area < int(std::size(areas)) ? &areas[size_t(area)] : nullptr;
}

// True when the address begins with the name, letter case significant. Most names fail on their
// first letter; that is tested before the whole name.
bool heads(const QString &address, QLatin1String name)
{
    return !name.isEmpty() && !address.isEmpty() && address.at(0) == name.at(0) &&
           address.startsWith(name);
}

} // namespace

int areaCode(const QString &address)
{
    // The names an address begins with are all prefixes of one another; the longest is meant,
    // so DI_F7 is area 2 and not area 1.
    int found = 0;
    int foundLength = 0;
    for (int code = 1; code < int(std::size(areas)); ++code) {
        const QLatin1String name(areas[size_t(code)].name);
        if (name.size() > foundLength && heads(address, name)) {
            found = code;
            foundLength = name.size();
        }
    }
    return found;
}

int maximumLength(int area)
{
    const AreaInfo *a = info(area);
    return a ? a->maxLength : 0;
}

AreaClass areaClass(int area)
{
    const AreaInfo *a = info(area);
    return a ? a->cls : AreaClass::Other;
}

bool isBitArea(int area)
{
    return areaClass(area) == AreaClass::Bit;
}

int areaScale(int area)
{
    const AreaInfo *a = info(area);
    return a ? a->scale : 1;
}

QString areaName(int area)
{
    const AreaInfo *a = info(area);
    return a ? QLatin1String(a->name) : QString();
}

bool areaTakesWrite(int area, int type)
{
    if (type == 0)
        return false;
    const unsigned bit = typeBit(type);
    if ((bit & restrictedTypes) == 0)
        return true;
    const AreaInfo *a = info(area);
    return a && (a->takes & bit) != 0;
}

} // namespace tarvik
