#pragma once

#include "linkkeeper.h"
#include "scanplan.h"

#include "CDriveBaseClass.h"

#include <QElapsedTimer>
#include <QMap>
#include <QQueue>
#include <QVariant>

#include <functional>
#include <memory>
#include <queue>
#include <vector>

// A write waiting for its turn between reads. `ticket` is the front end's, handed back with the
// outcome.
struct ScanWrite
{
    int tag = -1;
    CLabelVariable payload; // value and count
    QVariant ticket;
};

// What the engine tells its front end.
class ScanSink
{
public:
    virtual ~ScanSink() = default;
    // A tag's record after each read that covered it.
    virtual void tagRead(int tag, const CLabelVariable &record, double ms) = 0;
    // The driver refuses the tag for good (result 2, 3 or 4, nothing sent): it is read no more.
    virtual void tagDropped(int tag, const CLabelVariable &record) = 0;
    // The link kept went down (why in words), or came up: a read over it was answered after a
    // connect. Said once per change, up before the record that proved it, down after the one
    // that took it down.
    virtual void linkChanged(bool up, const QString &why)
    {
        Q_UNUSED(up)
        Q_UNUSED(why)
    }
    virtual void written(const ScanWrite &write, const CLabelVariable &record)
    {
        Q_UNUSED(write)
        Q_UNUSED(record)
    }
};

// Counts since the engine started.
struct ScanCounters
{
    qint64 requests = 0;        // reads and writes sent to the driver
    qint64 tagReads = 0;        // tag records handed on
    QMap<int, qint64> failures; // tag records by failed result
};

// Reads a controller's tags, each at its interval, over one driver: the reads are planned once
// (neighbours merged), kept in a queue ordered by when each is due, and the one due first is
// taken from its head. Writes queue and are made between reads, each followed by a read of its
// tag; a turn makes at most one write more than the reads it takes. The engine makes no waits of
// its own: runDue() does what is due and says when the next thing is, and the front end waits as it
// likes. It is not entered again from a driver's wait: a call that arrives during one returns at
// once.
class ScanEngine
{
public:
    ScanEngine(CDriveBaseClass *driver, const QVector<ScanTag> &tags, const MergeRules &rules,
               ScanSink &sink);

    // Reconnects through `connection` by these rules; `connected`: the link is open already (and
    // counts as up). After each connect, and again when the link comes up, every read is due at
    // once, whatever its interval.
    void keepLink(const QString &connection, const ReconnectRules &rules, bool connected);

    // Milliseconds on the engine's clock.
    qint64 now() const { return clock.elapsed(); }
    // Does the writes queued and the reads due; the time the next one is due, or -1 when no tag
    // is left to read.
    qint64 runDue();
    // The tag is read no more (once it has been read often enough, say).
    void retire(int tag);
    void queueWrite(const ScanWrite &write);
    int writesQueued() const { return writes.size(); }
    // Each queued write is answered as not sent (the link is not open).
    void failQueuedWrites();
    // Sends nothing more: a turn under way ends after the request in flight. For a front end that
    // is stopping.
    void stopSending() { stopping = true; }

    const QVector<PlannedRead> &plan() const { return reads; }
    const ScanCounters &counters() const { return counts; }
    // The link counts as up: no link is kept, or a read was answered since the latest connect.
    bool linkUp() const { return !keeper || keeper->isUp(); }

private:
    struct Due
    {
        qint64 at;
        int read;
        bool operator>(const Due &o) const { return at > o.at || (at == o.at && read > o.read); }
    };

    bool keepLinkOpen(qint64 *wakeAt);
    void allDueNow();
    void makeRead(int read, qint64 dueAt);
    void splitRefused(int read);
    void deliver(const PlannedRead &r, const CLabelVariable &record, double ms);
    void makeWrite(const ScanWrite &write);
    template <typename HandOn> void noteOutcome(int result, HandOn handOn);
    void tell(LinkKeeper::Change change);
    bool wanted(const PlannedRead &r) const;
    qint64 nextDue() const;

    CDriveBaseClass *driver;
    QVector<ScanTag> tags;
    ScanSink &sink;
    QVector<PlannedRead> reads;
    QVector<bool> active;  // per tag
    CLabelVariable member; // a merged read's tag, cut out in turn (its storage used again)
    std::priority_queue<Due, std::vector<Due>, std::greater<Due>> queue;
    QQueue<ScanWrite> writes;
    std::unique_ptr<LinkKeeper> keeper;
    ScanCounters counts;
    QElapsedTimer clock;
    bool busy = false;
    bool stopping = false;
};
