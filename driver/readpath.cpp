#include "libtarvik.h"

#include "frame.h"
#include "requestroute.h"
#include "tagaddress.h"

#include <array>

namespace {

using Decoder = QVariant (LibTarvik::*)(QByteArray, int);

struct DecodeRule
{
    Decoder decoder;
    int width; // bytes per element in the answer data; 1 for texts, counted in items
};

// Indexed by type code 1 to 12.
const std::array<DecodeRule, 13> decodeRules = {{
    {nullptr, 0},
    {&LibTarvik::set_variant_bool, 1},
    {&LibTarvik::set_variant_Int8, 1},
    {&LibTarvik::set_variant_UInt8, 1},
    {&LibTarvik::set_variant_Int16, 2},
    {&LibTarvik::set_variant_UInt16, 2},
    {&LibTarvik::set_variant_Int32, 4},
    {&LibTarvik::set_variant_UInt32, 4},
    {&LibTarvik::set_variant_fload, 4},
    {&LibTarvik::set_variant_Int64, 8},
    {&LibTarvik::set_variant_UInt64, 8},
    {&LibTarvik::set_variant_double, 8},
    {&LibTarvik::set_variant_string, 1},
}};

const DecodeRule *decodeRule(int type)
{
    return type >= Bool && type <= String ? &decodeRules[size_t(type)] : nullptr;
}

using ReadBuilder = int (CmdTarvik::*)(int, int, int, QByteArray *, QString);

// Indexed by tarvik::RequestKind.
constexpr std::array<ReadBuilder, 3> readBuilders = {&CmdTarvik::Readbool, &CmdTarvik::Readmemory,
                                                     &CmdTarvik::Readstring};

// The SI area keeps a leading byte in every 256-byte block; an Int8 read drops it.
QByteArray dropBlockLeaders(const QByteArray &buf, int n)
{
    const int blocks = n / tarvik::stringSlot;
    QByteArray kept;
    kept.reserve(buf.size());
    for (int i = 0; i < buf.size(); ++i) {
        if (i % tarvik::stringSlot != 0 || i / tarvik::stringSlot >= blocks)
            kept.append(buf.at(i));
    }
    return kept;
}

} // namespace

// The outcome code a record carries for a request builder's code; other codes keep fallback.
int LibTarvik::builderOutcome(int rc, int fallback)
{
    switch (rc) {
    case -1:
        return 7;
    case -2:
        return 8;
    case -3:
        return 9;
    default:
        return fallback;
    }
}

// The address field is 24 bits wide: an index whose address value does not fit would name
// another point.
bool LibTarvik::addressFits(int area, DataType type, int index)
{
    return frame::addressFits(index,
                              tarvik::requestRoute(type, area, tarvik::Direction::Read).scale);
}

CLabelVariable LibTarvik::ReadVariable(QString address, DataType type)
{
    return ReadVariable(address, type, 1);
}

CLabelVariable LibTarvik::ReadVariable(QString address, DataType type, int count)
{
    CLabelVariable record;
    const int area = getArea(address);
    const int index = getAddr(address);
    int refused = 0;
    if (area == 0)
        refused = 3;
    else if (index < 0 || !addressFits(area, type, index))
        refused = 3; // no usable point: nothing is sent for a point the host never named
    else if (count < 1)
        refused = 4;
    else if (type == 0)
        refused = 2;

    if (refused) {
        record.result = refused;
        record.time = QDateTime::currentDateTime();
    } else {
        record = Read_data(area, index, type, count, address);
    }
    record.address = address;
    record.count = count;
    record.type = type;
    return record;
}

CLabelVariable LibTarvik::Read_data(int area, int index, DataType type, int count, QString address)
{
    CLabelVariable record;
    const int length = getBytelen(type, count, area);
    const DecodeRule *rule = decodeRule(type);
    if (count == 0 || length == 0 || tarvik::bitAreaRefuses(type, area)) {
        record.result = 4;
        return record;
    }

    QByteArray buf;
    const tarvik::RequestKind kind = tarvik::requestRoute(type, area, tarvik::Direction::Read).kind;
    const int rc = (link.*readBuilders[size_t(kind)])(area, index, length, &buf, address);
    // A bit area's memory answer holds one element per bit.
    int n = kind == tarvik::RequestKind::Memory && tarvik::isBitArea(area) ? count : length;
    if (rc != CmdTarvik::LinkOk) {
        record.result = builderOutcome(rc, record.result);
        return record;
    }

    record.time = QDateTime::currentDateTime();
    record.result = 0;
    if (type == Int8 && area == tarvik::areaCodeSI) {
        buf = dropBlockLeaders(buf, n);
        n -= n / tarvik::stringSlot;
    }
    if (!rule) {
        record.result = 2;
        return record;
    }
    record.value = (this->*rule->decoder)(buf, n / rule->width);
    return record;
}
