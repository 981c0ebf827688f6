#include "requestroute.h"

#include "CmdTarvik.h"
#include "DataType.h"
#include "areamodel.h"

#include <array>
#include <iterator>

namespace tarvik {
namespace {

constexpr int anyType = -1, anyArea = -1;

struct RouteRule
{
    Direction direction;
    int type; // anyType matches every type
    int area; // anyArea matches every area
    RequestKind kind;
};

// Tried in order; a tag no rule matches goes as memory.
constexpr std::array<RouteRule, 4> routeRules = {{
    {Direction::Read, Bool, anyArea, RequestKind::Bits},
    {Direction::Read, String, anyArea, RequestKind::Text},
    {Direction::Write, Bool, anyArea, RequestKind::Bits},
    // SI holds nothing but 256-byte slots, so every write there goes as whole text slots.
    {Direction::Write, anyType, areaCodeSI, RequestKind::Text},
}};

bool matches(const RouteRule &rule, int type, int area, Direction direction)
{
    return rule.direction == direction && (rule.type == anyType || rule.type == type) &&
           (rule.area == anyArea || rule.area == area);
}

// Indexed by RequestKind.
constexpr RequestForm forms[] = {
    {1, &CmdTarvik::Readbool, &CmdTarvik::Writebool},
    {0, &CmdTarvik::Readmemory, &CmdTarvik::Writememory},
    {stringSlot, &CmdTarvik::Readstring, &CmdTarvik::Writestring},
};
static_assert(std::size(forms) == size_t(RequestKind::Count), "one form for each request kind");

} // namespace

const RequestForm &requestForm(RequestKind kind)
{
    return forms[size_t(kind)];
}

RequestRoute requestRoute(int type, int area, Direction direction)
{
    RequestKind kind = RequestKind::Memory;
    for (const RouteRule &rule : routeRules) {
        if (matches(rule, type, area, direction)) {
            kind = rule.kind;
            break;
        }
    }
    return {kind, requestScale(kind, area)};
}

int requestScale(RequestKind kind, int area)
{
    const int fixed = requestForm(kind).fixedScale;
    return fixed != 0 ? fixed : areaScale(area);
}

} // namespace tarvik
