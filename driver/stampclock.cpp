#include "stampclock.h"

#include <cstring>
#include <ctime>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 msecsPerDay = 86400000;
constexpr qint64 julianDayOfEpoch = 2440588; // 1970-01-01
constexpr qint64 secsPerDay = 86400;
// Qt takes a wall time back through mktime only a day or more inside time_t's range; beyond
// that it goes its own way, so the kept offset is used only well inside it.
constexpr qint64 earliestSecs = 3 * secsPerDay;
constexpr qint64 endOf9999 = 253402300799;
constexpr qint64 latestSecs =
    qMin<qint64>(std::numeric_limits<time_t>::max(), endOf9999) - 3 * secsPerDay;

// The zone's offset at an instant. Only a change of offset makes a wall time stand for two
// instants; the daylight-saving flag Qt keeps is mktime's, which is right wherever a wall time
// is unambiguous. Outside the range above every instant counts as a change.
struct ZoneState
{
    long offset = 0;
    bool usable = false;
    bool operator==(const ZoneState &o) const { return usable && o.usable && offset == o.offset; }
    bool operator!=(const ZoneState &o) const { return !(*this == o); }
};

ZoneState stateAt(qint64 secs)
{
    if (secs < earliestSecs || secs > latestSecs)
        return {};
    const time_t t = time_t(secs);
    tm local{};
    if (!::localtime_r(&t, &local))
        return {};
    return {local.tm_gmtoff, true};
}

qint64 floorDiv(qint64 a, qint64 b)
{
    return a / b - (a % b < 0 ? 1 : 0);
}

// The second at which the state changes between `same`, which has `here`'s state, and `other`,
// which has another, one stride away in either direction: the later of the two neighbours the
// search ends on.
qint64 changeBetween(const ZoneState &here, qint64 same, qint64 other)
{
    while (qAbs(other - same) > 1) {
        const qint64 mid = same + (other - same) / 2;
        if (stateAt(mid) == here)
            same = mid;
        else
            other = mid;
    }
    return qMax(same, other);
}

} // namespace

bool StampClock::ZoneKey::operator==(const ZoneKey &o) const
{
    return tzSet == o.tzSet && tz == o.tz && device == o.device && inode == o.inode &&
           modified == o.modified;
}

// With TZ unset the C library reads /etc/localtime, and reads it again when the file is
// replaced (it tells by device, inode and time of change, as here).
StampClock::ZoneKey StampClock::currentZone()
{
    ZoneKey key;
    if (const char *tz = ::getenv("TZ")) {
        key.tzSet = true;
        key.tz = tz;
        return key;
    }
    struct stat st;
    if (::stat("/etc/localtime", &st) == 0) {
        key.device = quint64(st.st_dev);
        key.inode = quint64(st.st_ino);
        key.modified = qint64(st.st_mtime);
    }
    return key;
}

// Asked on every stamp, so it builds nothing, and mostly searches nothing either: getenv() walks
// the whole environment, while TZ's entry can be looked at where it was found. setenv() and
// putenv() put a new entry in its place, unsetenv() moves the entries behind it down, and adding
// one may move the whole array; so while the array, the entry at that place and its text are the
// ones found, TZ is what it was.
bool StampClock::zoneChanged()
{
    if (!known)
        return true;
    if (tzEntryUnchanged())
        return false;
    if (const char *tz = ::getenv("TZ")) {
        if (!zone.tzSet || std::strcmp(tz, zone.tz.constData()) != 0)
            return true;
        findTzEntry();
        return false;
    }
    return zone.tzSet || !(currentZone() == zone);
}

bool StampClock::tzEntryUnchanged() const
{
    return zone.tzSet && tzIndex >= 0 && environ == tzEnvironment && environ[tzIndex] == tzEntry &&
           std::strncmp(tzEntry, "TZ=", 3) == 0 &&
           std::strcmp(tzEntry + 3, zone.tz.constData()) == 0;
}

// The first TZ entry, the one getenv() answers with.
void StampClock::findTzEntry()
{
    tzEnvironment = environ;
    tzIndex = -1;
    tzEntry = nullptr;
    for (int i = 0; environ && environ[i]; ++i) {
        if (std::strncmp(environ[i], "TZ=", 3) == 0) {
            tzIndex = i;
            tzEntry = environ[i];
            return;
        }
    }
}

QDateTime StampClock::now()
{
    return at(QDateTime::currentMSecsSinceEpoch());
}

QDateTime StampClock::at(qint64 utcMs)
{
    if (zoneChanged() || utcMs < probedFrom || utcMs >= probedUntil)
        refresh(utcMs);
    else if (utcMs == lastUtcMs && !lastStamp.isNull())
        return lastStamp;
    lastStamp = utcMs >= fastFrom && utcMs < fastUntil
                    ? fromOffset(utcMs)
                    : QDateTime::fromMSecsSinceEpoch(utcMs, Qt::LocalTime);
    lastUtcMs = utcMs;
    return lastStamp;
}

// The wall time of the kept offset. Qt checks it back through mktime and sets the daylight-saving
// flag from there: inside the window the wall time names one instant only, so both agree with
// what Qt's own conversion gives.
QDateTime StampClock::fromOffset(qint64 utcMs) const
{
    const qint64 local = utcMs + qint64(offset) * 1000;
    const qint64 day = floorDiv(local, msecsPerDay);
    return QDateTime(QDate::fromJulianDay(day + julianDayOfEpoch),
                     QTime::fromMSecsSinceStartOfDay(int(local - day * msecsPerDay)),
                     Qt::LocalTime);
}

// Looks back a margin and ahead a horizon and a margin from utcMs for changes of the zone's
// state, hour by hour, and to the second where one is found; the window keeps a margin from each.
void StampClock::refresh(qint64 utcMs)
{
    ::tzset(); // localtime_r alone would not see a changed TZ
    zone = currentZone();
    findTzEntry();
    known = true;
    ++refreshCount;

    const qint64 t = floorDiv(utcMs, 1000);
    const ZoneState here = stateAt(t);
    offset = int(here.offset);

    qint64 from = t;
    for (qint64 p = t - strideSecs; here.usable && p >= t - marginSecs; p -= strideSecs) {
        if (stateAt(p) != here) {
            from = changeBetween(here, p + strideSecs, p) + marginSecs;
            break;
        }
    }
    qint64 until = t + horizonSecs;
    qint64 next = until;
    for (qint64 p = t + strideSecs; here.usable && p <= t + horizonSecs + marginSecs;
         p += strideSecs) {
        if (stateAt(p) != here) {
            const qint64 change = changeBetween(here, p - strideSecs, p);
            until = change - marginSecs;
            next = change + marginSecs;
            break;
        }
    }
    fastFrom = here.usable ? from * 1000 : 0;
    fastUntil = here.usable ? until * 1000 : 0;
    probedFrom = t * 1000;
    probedUntil = qMax(next, t + 1) * 1000;
}
