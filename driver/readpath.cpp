#include "libtarvik.h"

#include "TarvikOutcome.h"
#include "codecs.h"
#include "frame.h"
#include "requestroute.h"
#include "tagaddress.h"

namespace {

using tarvik::Outcome;

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

// The first refusal that holds for a read; nothing is sent for a point the host never named.
Outcome readRefusal(int area, int index, DataType type, int count)
{
    if (area == 0)
        return Outcome::NoPoint;
    if (index < 0 || !LibTarvik::addressFits(area, type, index))
        return Outcome::NoPoint;
    if (count < 1)
        return Outcome::BadCount;
    if (type == 0)
        return Outcome::TypeRefused;
    return Outcome::Success;
}

CLabelVariable refusedRead(Outcome refused, StampClock &stamps)
{
    CLabelVariable record;
    record.result = int(refused);
    record.time = stamps.now();
    return record;
}

} // namespace

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
    const TagPoint &point = tagPoint(address);
    const Outcome refused = readRefusal(point.area, point.index, type, count);
    // Each branch builds the record in place: a copy of it costs more than the rest of a read.
    CLabelVariable record = refused == Outcome::Success
                                ? Read_data(point.area, point.index, type, count, address)
                                : refusedRead(refused, stamps);
    record.address = address;
    record.count = count;
    record.type = type;
    return record;
}

CLabelVariable LibTarvik::Read_data(int area, int index, DataType type, int count, QString address)
{
    CLabelVariable record;
    const int length = getBytelen(type, count, area);
    const tarvik::Codec *codec = tarvik::codecFor(type);
    if (count == 0 || length == 0 || tarvik::bitAreaRefuses(type, area)) {
        record.result = int(Outcome::BadCount);
        return record;
    }

    QByteArray buf;
    const tarvik::RequestKind kind = tarvik::requestRoute(type, area, tarvik::Direction::Read).kind;
    const int rc = (link.*tarvik::requestForm(kind).read)(area, index, length, &buf, address);
    // A bit area's memory answer holds one element per bit.
    int n = kind == tarvik::RequestKind::Memory && tarvik::isBitArea(area) ? count : length;
    if (rc != CmdTarvik::LinkOk) {
        record.result = builderOutcome(rc, record.result);
        return record;
    }

    record.time = stamps.now();
    record.result = int(Outcome::Success);
    if (type == Int8 && area == tarvik::areaCodeSI) {
        buf = dropBlockLeaders(buf, n);
        n -= n / tarvik::stringSlot;
    }
    if (!codec) {
        record.result = int(Outcome::TypeRefused);
        return record;
    }
    record.value = codec->decode(buf, n / codec->width);
    return record;
}
