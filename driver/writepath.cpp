#include "TarvikOutcome.h"
#include "codecs.h"
#include "frame.h"
#include "libtarvik.h"
#include "requestroute.h"
#include "tagaddress.h"

namespace {

using tarvik::Outcome;

// The request a write goes out as, and the factor that builder applies to the point index.
struct Route
{
    tarvik::WriteBuilder send;
    int scale;
};

Route routeFor(DataType type, int area)
{
    const tarvik::RequestRoute route = tarvik::requestRoute(type, area, tarvik::Direction::Write);
    return {tarvik::requestForm(route.kind).write, route.scale};
}

// An index that names no point, or whose address value the 24-bit field cannot carry, would
// write to a point nobody named.
bool pointUsable(DataType type, int area, int index)
{
    return frame::addressFits(index, routeFor(type, area).scale);
}

// Only values the host gave go out: a payload that is not the type's list, or that holds fewer
// than count elements, or a text that one item cannot carry, is refused.
Outcome payloadRefusal(DataType type, const QVariant &payload, int count)
{
    const int held = tarvik::payloadElements(payload, type);
    if (held < 0)
        return Outcome::TypeRefused;
    if (held < count)
        return Outcome::BadCount;
    if (type == String && !tarvik::textsFitItems(payload, count))
        return Outcome::BadCount;
    return Outcome::Success;
}

// The time of a write is when the device answered it; a failed write keeps the host's time.
void takeOutcome(CLabelVariable &record, int rc, StampClock &stamps)
{
    if (rc == 0) {
        record.time = stamps.now();
        record.result = int(Outcome::Success);
    } else {
        record.result = LibTarvik::builderOutcome(rc, record.result);
    }
}

// The first refusal that holds for a write, in the order the host is told about them; Success when
// the write may go on to the worker.
Outcome refusal(DataType type, int area, int index, int count)
{
    if (area == 0 || !pointUsable(type, area, index))
        return Outcome::NoPoint;
    if (count < 0)
        return Outcome::BadCount;
    if (!tarvik::areaTakesWrite(area, type))
        return Outcome::TypeRefused;
    return Outcome::Success;
}

// What the worker refuses before it encodes: no transfer length, bytes the transfer length would
// drop, no encoder, no usable point (for callers that come without WriteVariable's tests), or a
// payload short of the write.
Outcome dataRefusal(DataType type, int area, int index, const QVariant &payload, int count,
                    int length)
{
    if (count == 0 || length == 0 || tarvik::bitAreaRefuses(type, area) ||
        tarvik::cutsByteUnit(type, count, area))
        return Outcome::BadCount;
    if (!tarvik::codecFor(type))
        return Outcome::TypeRefused;
    if (!pointUsable(type, area, index))
        return Outcome::NoPoint;
    return payloadRefusal(type, payload, count);
}

} // namespace

CLabelVariable LibTarvik::WriteVariable(QString address, DataType type, CLabelVariable record)
{
    return WriteVariable(address, type, record, 1);
}

CLabelVariable LibTarvik::WriteVariable(QString address, DataType type, CLabelVariable record,
                                        int count)
{
    const TagPoint &point = tagPoint(address);
    const Outcome refused = refusal(type, point.area, point.index, count);
    if (refused != Outcome::Success)
        record.result = int(refused);
    else
        record = Write_data(point.area, point.index, type, record, count, address);
    record.address = address;
    record.count = count;
    record.type = type;
    return record;
}

CLabelVariable LibTarvik::Write_data(int area, int index, DataType type, CLabelVariable record,
                                     int count, QString address)
{
    const int length = getBytelen(type, count, area);
    const Outcome refused = dataRefusal(type, area, index, record.value, count, length);
    if (refused != Outcome::Success) {
        record.result = int(refused);
        return record;
    }
    QByteArray data;
    tarvik::codecFor(type)->encode(record.value, count, &data);
    const Route route = routeFor(type, area);
    takeOutcome(record, (link.*route.send)(area, index, length, data, address), stamps);
    return record;
}
