#include "scanengine.h"

#include "splitread.h"

#include "TarvikOutcome.h"

namespace {

CLabelVariable linkNotOpen(const QString &address, int type, int count)
{
    CLabelVariable r;
    r.result = int(tarvik::Outcome::LinkNotOpen);
    r.time = QDateTime::currentDateTime();
    r.address = address;
    r.type = DataType(type);
    r.count = count;
    return r;
}

} // namespace

ScanEngine::ScanEngine(CDriveBaseClass *driver, const QVector<ScanTag> &tags,
                       const MergeRules &rules, ScanSink &sink)
    : driver(driver), tags(tags), sink(sink), reads(planReads(tags, rules)),
      active(tags.size(), true)
{
    clock.start();
    for (int i = 0; i < reads.size(); ++i)
        queue.push({0, i});
}

void ScanEngine::keepLink(const QString &connection, const ReconnectRules &rules, bool connected)
{
    keeper = std::make_unique<LinkKeeper>(driver, connection, rules);
    if (!connected)
        keeper->startDown(now());
}

qint64 ScanEngine::runDue()
{
    if (busy)
        return now();
    busy = true;
    qint64 wakeAt = -1;
    // One turn takes what was due when it began, each read once at most: a read with no
    // interval comes due again at once, and the front end must get its turn in between.
    // Writes and reads take turns, a write first: writes that keep coming during the waits
    // neither hold the reads back nor the turn open. What is left goes in the next turn, due at
    // once.
    const qint64 began = now();
    size_t left = queue.size();
    int writesMade = 0, readsTaken = 0;
    while (!stopping && keepLinkOpen(&wakeAt)) {
        if (!writes.isEmpty() && writesMade <= readsTaken) {
            makeWrite(writes.dequeue());
            ++writesMade;
            continue;
        }
        if (queue.empty() || queue.top().at > began || left-- == 0)
            break;
        const Due d = queue.top();
        queue.pop();
        ++readsTaken;
        if (wanted(reads[d.read]))
            makeRead(d.read, d.at);
    }
    busy = false;
    return wakeAt >= 0 ? wakeAt : nextDue();
}

qint64 ScanEngine::nextDue() const
{
    if (queue.empty())
        return writes.isEmpty() ? -1 : now();
    return writes.isEmpty() ? queue.top().at : now();
}

// True while the link is open; when it is closed, queued writes fail and the next connect
// attempt is made when it is due (*wakeAt then says when to try again).
bool ScanEngine::keepLinkOpen(qint64 *wakeAt)
{
    if (!keeper || keeper->carriesRequests())
        return true;
    if (now() >= keeper->nextAttemptMs()) {
        tell(keeper->attempt(now()));
        if (keeper->carriesRequests()) {
            allDueNow();
            return true;
        }
    }
    failQueuedWrites();
    *wakeAt = queue.empty() ? -1 : keeper->nextAttemptMs();
    return false;
}

// A controller connected again has all its tags read at once, not after their intervals; so does
// one that answers again, also the tags whose reads failed after the connect.
void ScanEngine::allDueNow()
{
    const qint64 at = now();
    std::vector<Due> all;
    for (; !queue.empty(); queue.pop())
        all.push_back({qMin(queue.top().at, at), queue.top().read});
    queue = decltype(queue)(std::greater<Due>(), std::move(all));
}

void ScanEngine::failQueuedWrites()
{
    while (!writes.isEmpty()) {
        const ScanWrite w = writes.dequeue();
        const ScanTag &t = tags[w.tag];
        sink.written(w, linkNotOpen(t.address, t.type, w.payload.count));
    }
}

bool ScanEngine::wanted(const PlannedRead &r) const
{
    for (const ReadMember &m : r.members) {
        if (active[m.tag])
            return true;
    }
    return false;
}

void ScanEngine::makeRead(int read, qint64 dueAt)
{
    const PlannedRead &r = reads[read];
    QElapsedTimer took;
    took.start();
    const CLabelVariable record = driver->ReadVariable(r.address, DataType(r.type), r.count);
    ++counts.requests;
    const double ms = took.nsecsElapsed() / 1e6;
    if (tarvik::refusedForGood(record.result) && reads[read].merged()) {
        splitRefused(read);
        return;
    }
    noteOutcome(record.result, [&] { deliver(reads[read], record, ms); });
    // A read whose tags are all dropped or retired is not due again: once none is left, the
    // engine says so, and a poll of a few reads ends.
    if (tarvik::refusedForGood(record.result) || !wanted(reads[read]))
        return;
    // A late read is not made up in a burst: the next is an interval from now at the latest.
    queue.push({qMax(dueAt + reads[read].intervalMs, now()), read});
}

// The driver refused a merged read: each of its tags is read alone, so the one at fault is
// found and dropped and the others go on.
void ScanEngine::splitRefused(int read)
{
    const QVector<ReadMember> members = reads[read].members;
    reads[read].members.clear();
    for (const ReadMember &m : members) {
        reads.append(singleRead(tags, m.tag));
        queue.push({now(), int(reads.size() - 1)});
    }
}

void ScanEngine::deliver(const PlannedRead &r, const CLabelVariable &record, double ms)
{
    for (const ReadMember &m : r.members) {
        if (!active[m.tag])
            continue;
        const ScanTag &t = tags[m.tag];
        if (r.merged())
            cutMember(record, m.offset, t.address, t.count, member);
        const CLabelVariable &own = r.merged() ? member : record;
        ++counts.tagReads;
        if (own.result != 0)
            ++counts.failures[own.result];
        if (tarvik::refusedForGood(own.result)) {
            active[m.tag] = false;
            sink.tagDropped(m.tag, own);
        } else {
            sink.tagRead(m.tag, own, ms);
        }
    }
}

// The outcome handed on between the changes of the link it makes: the link said up before the
// answer that proved it, down after the failure that took it down. The read that proved it is
// out of the queue here, and keeps its interval.
template <typename HandOn> void ScanEngine::noteOutcome(int result, HandOn handOn)
{
    const LinkKeeper::Change change =
        keeper ? keeper->noteRead(result, now()) : LinkKeeper::Change::None;
    if (change == LinkKeeper::Change::CameUp) {
        allDueNow();
        tell(change);
    }
    handOn();
    if (change == LinkKeeper::Change::WentDown)
        tell(change);
}

void ScanEngine::tell(LinkKeeper::Change change)
{
    if (change != LinkKeeper::Change::None)
        sink.linkChanged(change == LinkKeeper::Change::CameUp, keeper->why());
}

void ScanEngine::makeWrite(const ScanWrite &write)
{
    const ScanTag &t = tags[write.tag];
    const CLabelVariable record =
        driver->WriteVariable(t.address, DataType(t.type), write.payload, write.payload.count);
    ++counts.requests;
    noteOutcome(record.result, [&] { sink.written(write, record); });
    if (keeper && !keeper->carriesRequests())
        return;
    // The tag is read back at once, so what is shown next confirms the write.
    PlannedRead back = singleRead(tags, write.tag);
    QElapsedTimer took;
    took.start();
    const CLabelVariable read = driver->ReadVariable(back.address, DataType(t.type), t.count);
    ++counts.requests;
    const double ms = took.nsecsElapsed() / 1e6;
    noteOutcome(read.result, [&] { deliver(back, read, ms); });
}

void ScanEngine::retire(int tag)
{
    active[tag] = false;
}

void ScanEngine::queueWrite(const ScanWrite &write)
{
    writes.enqueue(write);
}
