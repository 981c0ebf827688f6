#pragma once

#include "CDriveBaseClass.h"
#include "latency.h"
#include "scanengine.h"
#include "taglist.h"

#include <QDateTime>
#include <QMap>
#include <QTextStream>
#include <QVector>

// What the host knows about one tag of a poll.
struct TagState
{
    Tag tag;
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
    // The link kept by the session dropped or came back: one line, without its newline.
    virtual void linkNote(const QString &) {}
    // While waiting for the next read, now and then.
    virtual void idle(const QVector<TagState> &) {}
    virtual void finish(const QVector<TagState> &states) = 0;
};

// Reads the tags over one driver, each at its interval, one operation at a time, until every tag
// has been read `times` times (0: without end), every tag stopped, or SIGINT/SIGTERM. The scan
// engine plans the reads: neighbouring tags of one area and type go in one request. A tag the
// driver refuses for good (result 2, 3 or 4: nothing is ever sent for it) stops. With a link
// kept, the link is connected again after failed reads (each drop and return told the view).
class PollSession : private ScanSink
{
public:
    PollSession(CDriveBaseClass *driver, const QVector<Tag> &tags, int defaultIntervalMs,
                int times);
    void setMerge(const MergeRules &rules) { merge = rules; }
    void keepLink(const QString &connection, const ReconnectRules &rules);
    void run(PollView &view);
    const QVector<TagState> &states() const { return tags; }
    // 0 when every read was answered and no tag stopped, 1 otherwise.
    int exitStatus() const;

private:
    void tagRead(int tag, const CLabelVariable &record, double ms) override;
    void tagDropped(int tag, const CLabelVariable &record) override;
    void linkChanged(bool up, const QString &why) override;
    bool waitUntil(qint64 dueMs, const ScanEngine &engine);

    CDriveBaseClass *driver;
    QVector<Tag> list;
    QVector<TagState> tags;
    int times;
    MergeRules merge;
    QString connection; // empty: the link is not kept
    ReconnectRules reconnect;
    PollView *view = nullptr;
    ScanEngine *engine = nullptr;
};
