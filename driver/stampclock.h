#pragma once

#include <QByteArray>
#include <QDateTime>

// The local time a record is stamped with: the QDateTime QDateTime::currentDateTime() gives,
// for a fraction of its cost. Qt finds the local time of an instant with localtime_r and then
// checks it back with mktime; here the UTC offset is kept from one read to the next, so only the
// check back remains, and reads within one millisecond share one stamp.
//
// The offset holds for a window of time known to be far from any change of the zone's offset
// (found ahead by probing the C library's own zone rules, the ones Qt uses).
// Near a change, where a wall time can stand for two instants, the stamp is Qt's own. A changed
// TZ variable, or with TZ unset a replaced /etc/localtime, drops everything kept.
//
// One per driver: a driver is used from one thread at a time.
class StampClock
{
public:
    // The local time of the current instant, as QDateTime::currentDateTime().
    QDateTime now();
    // The local time of utcMs, milliseconds since the epoch, as
    // QDateTime::fromMSecsSinceEpoch(utcMs, Qt::LocalTime).
    QDateTime at(qint64 utcMs);

    // The instants (epoch milliseconds) between which the kept offset is used: [from, until).
    qint64 windowFrom() const { return fastFrom; }
    qint64 windowUntil() const { return fastUntil; }
    int offsetSeconds() const { return offset; }
    // How often the zone was looked at afresh: first use, the end of a window, a changed zone.
    int refreshes() const { return refreshCount; }

    // Around a change of offset, wall times within this distance may stand for two instants
    // (UTC offsets lie within +-25 hours, so two differ by less than 50).
    static constexpr qint64 marginSecs = 50 * 3600;
    // How far ahead a refresh looks for the next change, beyond the margin.
    static constexpr qint64 horizonSecs = 24 * 3600;
    // The probing step: no zone changes its offset twice within it.
    static constexpr qint64 strideSecs = 3600;

private:
    // What the C library's local time depends on: TZ, or with TZ unset the zone file.
    struct ZoneKey
    {
        bool tzSet = false;
        QByteArray tz;
        quint64 device = 0, inode = 0;
        qint64 modified = 0;
        bool operator==(const ZoneKey &o) const;
    };
    static ZoneKey currentZone();
    bool zoneChanged();
    bool tzEntryUnchanged() const;
    void findTzEntry();
    void refresh(qint64 utcMs);
    QDateTime fromOffset(qint64 utcMs) const;

    ZoneKey zone;
    bool known = false;
    // TZ's entry in the environment when it was last looked at: the array, its place there and
    // the entry itself.
    char **tzEnvironment = nullptr;
    int tzIndex = -1;
    const char *tzEntry = nullptr;
    int offset = 0;
    qint64 fastFrom = 0, fastUntil = 0;     // where the kept offset is used
    qint64 probedFrom = 0, probedUntil = 0; // outside this, the zone is looked at again
    qint64 lastUtcMs = 0;
    QDateTime lastStamp; // the stamp of lastUtcMs; null when there is none
    int refreshCount = 0;
};
