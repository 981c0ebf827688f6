#include "scanplan.h"

#include "DataType.h"
#include "frame.h"
#include "tagaddress.h"

#include <QMap>

#include <algorithm>
#include <array>
#include <tuple>

namespace {

// The driver sends a text read's length as 256 units per slot; five slots stay within the
// largest transfer.
constexpr int mostTextSlots = tarvik::largestTransfer / tarvik::stringSlot;

// How a tag's points map onto a read's payload: point i starts at position i * stride, and each
// element spans `width` positions. Positions are points for booleans, slots for texts, bits for
// bytes in bit areas, and bytes (the request's address value) for everything else in memory.
struct Geometry
{
    int stride = 0; // 0: the tag is never merged
    int width = 1;
};

// What a read request's address field counts for a tag: booleans go point by point, texts slot
// by slot, everything else as bytes of the area (the point times the area's scale).
int readScale(int type, int area)
{
    if (type == Bool)
        return 1;
    return type == String ? tarvik::stringSlot : tarvik::areaScale(area);
}

// The driver sends the request for a tag alone: a tag it would refuse is never merged, so a
// merged read cannot hand over values a read of the tag alone would not.
bool sentAlone(const ScanTag &t, int area, int point)
{
    return area != 0 && t.count >= 1 && t.type >= Bool && t.type <= String && point >= 0 &&
           qint64(point) * readScale(t.type, area) <= frame::fieldMax &&
           tarvik::transferLength(t.type, t.count, area) > 0 &&
           !tarvik::bitAreaRefuses(t.type, area);
}

Geometry geometry(const ScanTag &t, int area, int point)
{
    if (!sentAlone(t, area, point) || tarvik::cutsByteUnit(t.type, t.count, area))
        return {};
    // Int8 reads of SI drop the leading byte of every slot: their elements do not line up.
    if (t.type == Int8 && area == tarvik::areaCodeSI)
        return {};
    if (t.type == Bool || t.type == String)
        return {1, 1};
    if (tarvik::isBitArea(area))
        return {1, 8};
    return {tarvik::areaScale(area), tarvik::elementWidth(t.type)};
}

// A tag that may share a read, with its position in its area.
struct Placed
{
    int tag;
    int area;
    int point;
    qint64 position;
    Geometry g;
};

// Tags share a read only when these agree: same interval, area and type, and a position in the
// same residue of the element width, so each starts on an element boundary of the other's read.
using GroupKey = std::tuple<int, int, int, int>;

GroupKey keyOf(const ScanTag &t, const Placed &p)
{
    return {t.intervalMs, p.area, t.type, int(p.position % p.g.width)};
}

// Elements from `start` to the end of the tag, rounded up to the byte unit of byte types (which
// the driver would otherwise cut short).
int elementsTo(const Placed &first, const Placed &p, const ScanTag &t)
{
    const qint64 end = (p.position - first.position) / p.g.width + t.count;
    int n = int(qMin<qint64>(end, tarvik::largestTransfer + 1));
    while (n <= tarvik::largestTransfer && tarvik::cutsByteUnit(t.type, n, first.area))
        ++n;
    return n;
}

bool withinLargestTransfer(int type, int count, int area)
{
    if (type == String)
        return count <= mostTextSlots;
    return tarvik::transferLength(type, count, area) > 0 &&
           !tarvik::cutsByteUnit(type, count, area);
}

int firstTag(const PlannedRead &r)
{
    int first = r.members.first().tag;
    for (const ReadMember &m : r.members)
        first = qMin(first, m.tag);
    return first;
}

class Planner
{
public:
    Planner(const QVector<ScanTag> &tags, const MergeRules &rules) : tags(tags), rules(rules) {}

    void addGroup(QVector<Placed> group)
    {
        std::sort(group.begin(), group.end(), [](const Placed &a, const Placed &b) {
            return a.position < b.position || (a.position == b.position && a.tag < b.tag);
        });
        int first = 0;
        int count = 0;
        for (int i = 0; i < group.size(); ++i) {
            if (i > first && !extends(group[first], group[i], &count)) {
                close(group, first, i, count);
                first = i;
            }
            if (i == first)
                count = elementsTo(group[i], group[i], tags[group[i].tag]);
        }
        if (!group.isEmpty())
            close(group, first, group.size(), count);
    }

    QVector<PlannedRead> reads;

private:
    // Whether p joins the read that starts at first and so far spans *count elements.
    bool extends(const Placed &first, const Placed &p, int *count) const
    {
        const ScanTag &t = tags[p.tag];
        const qint64 gap = (p.position - first.position) / p.g.width - *count;
        const int n = qMax(*count, elementsTo(first, p, t));
        if (gap > rules.gapFill || !withinLargestTransfer(t.type, n, first.area))
            return false;
        *count = n;
        return true;
    }

    void close(const QVector<Placed> &group, int from, int to, int count)
    {
        if (to - from == 1) {
            reads.append(singleRead(tags, group[from].tag));
            return;
        }
        const Placed &first = group[from];
        PlannedRead r;
        r.address = tarvik::areaName(first.area) + QString::number(first.point + 1);
        r.type = tags[first.tag].type;
        r.count = count;
        r.intervalMs = tags[first.tag].intervalMs;
        for (int i = from; i < to; ++i)
            r.members.append(
                {group[i].tag, int((group[i].position - first.position) / first.g.width)});
        reads.append(r);
    }

    const QVector<ScanTag> &tags;
    const MergeRules &rules;
};

} // namespace

PlannedRead singleRead(const QVector<ScanTag> &tags, int tag)
{
    const ScanTag &t = tags[tag];
    PlannedRead r;
    r.address = t.address;
    r.type = t.type;
    r.count = t.count;
    r.intervalMs = t.intervalMs;
    r.members.append({tag, 0});
    return r;
}

QVector<PlannedRead> planReads(const QVector<ScanTag> &tags, const MergeRules &rules)
{
    Planner planner(tags, rules);
    QMap<GroupKey, QVector<Placed>> groups;
    for (int i = 0; i < tags.size(); ++i) {
        const ScanTag &t = tags[i];
        const int area = tarvik::areaCode(t.address);
        const int point = tarvik::pointIndex(t.address);
        const Geometry g = geometry(t, area, point);
        if (!rules.merge || g.stride == 0 || !withinLargestTransfer(t.type, t.count, area)) {
            planner.reads.append(singleRead(tags, i));
            continue;
        }
        const Placed p{i, area, point, qint64(point) * g.stride, g};
        groups[keyOf(t, p)].append(p);
    }
    for (const QVector<Placed> &group : groups)
        planner.addGroup(group);
    // In the order of the list, by each read's first tag, so output follows the list.
    std::stable_sort(
        planner.reads.begin(), planner.reads.end(),
        [](const PlannedRead &a, const PlannedRead &b) { return firstTag(a) < firstTag(b); });
    return planner.reads;
}
