#include "areamodel.h"

#include <array>

namespace tarvik {
namespace {

struct AreaInfo
{
    const char *name; // empty where no name leads to the code
    AreaClass cls;
    int scale; // point index times scale = address value of a memory request
    int maxLength;
};

constexpr AreaClass B = AreaClass::Bit, W = AreaClass::Word, T = AreaClass::TwoByte,
                    K = AreaClass::Block256, O = AreaClass::Other;

// Indexed by area code, 0 to 46.
constexpr std::array<AreaInfo, 47> areas = {{
    {"", O, 1, 0},       {"DI", B, 1, 240},    {"DI_F", B, 1, 240},
    {"DI_S", B, 1, 240}, {"DO", B, 1, 160},    {"DO_F", B, 1, 160},
    {"DO_S", B, 1, 160}, {"AI", W, 4, 320},    {"AI_F", W, 4, 320},
    {"AI_S", W, 4, 80},  {"AO", W, 4, 320},    {"AO_F", O, 1, 320},
    {"AO_S", O, 1, 80},  {"SD", B, 1, 320},    {"SA", T, 2, 640},
    {"NDI", B, 1, 2000}, {"NDO", B, 1, 2000},  {"NAI", W, 4, 8000},
    {"NAO", W, 4, 8000}, {"HDS", B, 1, 500},   {"HDP", B, 1, 500},
    {"HAI", W, 4, 2000}, {"LD", B, 1, 2000},   {"LA", W, 4, 2000},
    {"LW", W, 4, 8000},  {"", O, 1, 1},        {"", O, 1, 100},
    {"", O, 1, 400},     {"SI", K, 256, 1280}, {"Custom", T, 1, 2097152},
    {"", O, 1, 1},       {"", O, 1, 1},        {"", O, 1, 7200},
    {"", O, 1, 0},       {"", O, 1, 0},        {"", O, 1, 0},
    {"", O, 1, 0},       {"", O, 1, 0},        {"", O, 1, 0},
    {"", O, 1, 0},       {"", O, 1, 0},        {"", O, 1, 0},
    {"", O, 1, 0},       {"", O, 1, 0},        {"", O, 1, 0},
    {"", O, 1, 0},       {"", O, 1, 0},
}};

const AreaInfo *info(int area)
{
    return area >= 0 && area < int(areas.size()) ? &areas[size_t(area)] : nullptr;
}

} // namespace

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

QLatin1String areaNameView(int area)
{
    const AreaInfo *a = info(area);
    return QLatin1String(a ? a->name : "");
}

} // namespace tarvik
