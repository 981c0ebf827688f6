#pragma once

#include "CDriveBaseClass.h"
#include "latency.h"
#include "taglist.h"

#include <QDateTime>
#include <QMap>
#include <QVector>

// What the host knows about one tag of a poll.
struct TagState
{
    Tag tag;
    qint64 dueMs = 0; // on the session's clock
    int reads = 0;
    int answers = 0;
    QMap<int, int> failures; // by result
    Latencies latency;       // answered reads only
    CLabelVariable last;
    CLabelVariable lastGood; // the latest answered read, shown (marked stale) after a failure
    bool haveLast = false;
    QDateTime lastAnswer; // when the value shown was taken
    QString stopped;      // why the tag is no longer read, or ""

    bool changedBy(const CLabelVariable &record) const;
};

// Where a poll's reads go: the live table or a stream of records.
class PollView
{
public:
    virtual ~PollView() = default;
    // After each read; changed: the values or the outcome differ from the tag's previous read.
    virtual void read(const TagState &state, const CLabelVariable &record, double ms,
                      bool changed) = 0;
    virtual void stopped(const TagState &state) = 0;
    // While waiting for the next read, now and then.
    virtual void idle(const QVector<TagState> &) {}
    virtual void finish(const QVector<TagState> &states) = 0;
};

// Reads the tags in turn over one driver, each at its interval, one operation at a time, until
// every tag has been read `times` times (0: without end), every tag stopped, or SIGINT/SIGTERM.
// A tag the driver refuses for good (result 2, 3 or 4: nothing is ever sent for it) stops.
class PollSession
{
public:
    PollSession(CDriveBaseClass *driver, const QVector<Tag> &tags, int defaultIntervalMs,
                int times);
    void run(PollView &view);
    const QVector<TagState> &states() const { return tags; }
    // 0 when every read was answered and no tag stopped, 1 otherwise.
    int status() const;

private:
    int nextTag() const; // index of the tag due first, or -1 when none is left
    void readTag(TagState &state, PollView &view);
    bool waitUntil(qint64 dueMs, PollView &view);

    CDriveBaseClass *driver;
    QVector<TagState> tags;
    int times;
};
