#include "tagaddress.h"

#include <climits>
#include <iterator>

namespace tarvik {
namespace {

// How Int8 and UInt8 transfers are sized in each area class: a byte count is cut to whole units
// of `unit` bytes, and each byte kept takes `lengthPerByte` length units (one per bit in bit
// areas). A unit of 0 admits no byte transfer at all.
struct ByteSizing
{
    int unit;
    int lengthPerByte;
};

// Indexed by AreaClass: Other, Bit, Word, TwoByte, Block256.
constexpr ByteSizing byteSizings[] = {{0, 0}, {1, 8}, {4, 1}, {2, 1}, {256, 1}};
static_assert(std::size(byteSizings) == size_t(AreaClass::Count), "one sizing for each area class");

ByteSizing byteSizing(int area)
{
    return byteSizings[size_t(areaClass(area))];
}

bool isByteType(int type)
{
    return type == Int8 || type == UInt8;
}

long long byteTransferLength(long long count, int area)
{
    const ByteSizing s = byteSizing(area);
    return s.unit == 0 ? 0 : (count - count % s.unit) * s.lengthPerByte;
}

} // namespace

int pointIndex(const QString &address)
{
    // The decimal digits of the whole text, wherever they stand, make the point number.
    quint64 number = 0;
    bool digits = false;
    for (QChar c : address) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            continue;
        digits = true;
        if (number <= 0xFFFFFFFFu)
            number = number * 10 + quint64(c.unicode() - '0');
    }
    // No digits, point 0, more than 32 bits, or an index beyond int: no usable point.
    if (!digits || number == 0 || number > 0xFFFFFFFFu || number - 1 > quint64(INT_MAX))
        return -1;
    return int(number - 1);
}

int transferLength(int type, int count, int area)
{
    if (count <= 0)
        return 0;
    if (type < Bool || type > String)
        return 0;
    const long long raw = isByteType(type) ? byteTransferLength(count, area)
                                           : static_cast<long long>(count) * elementWidth(type);
    return raw > largestTransfer ? 0 : int(raw);
}

bool bitAreaRefuses(int type, int area)
{
    return isBitArea(area) && elementWidth(type) > 1;
}

bool cutsByteUnit(int type, int count, int area)
{
    const int unit = byteSizing(area).unit;
    return isByteType(type) && unit > 0 && count % unit != 0;
}

} // namespace tarvik
