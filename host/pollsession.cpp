#include "pollsession.h"

#include "interrupts.h"
#include "recordformat.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

namespace {

constexpr int idleRefreshMs = 500;

QElapsedTimer &sessionClock()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock;
}

qint64 now()
{
    return sessionClock().elapsed();
}

} // namespace

bool TagState::changedBy(const CLabelVariable &record) const
{
    return !haveLast || last.result != record.result ||
           recordformat::values(last) != recordformat::values(record);
}

PollSession::PollSession(CDriveBaseClass *driver, const QVector<Tag> &list, int defaultIntervalMs,
                         int times)
    : driver(driver), times(times)
{
    for (const Tag &tag : list) {
        TagState state;
        state.tag = tag;
        if (state.tag.intervalMs < 0)
            state.tag.intervalMs = defaultIntervalMs;
        tags.append(state);
    }
}

int PollSession::nextTag() const
{
    int next = -1;
    for (int i = 0; i < tags.size(); ++i) {
        const TagState &t = tags[i];
        const bool done = !t.stopped.isEmpty() || (times > 0 && t.reads >= times);
        if (!done && (next < 0 || t.dueMs < tags[next].dueMs))
            next = i;
    }
    return next;
}

void PollSession::run(PollView &view)
{
    const qint64 start = now();
    for (TagState &t : tags)
        t.dueMs = start;
    for (int i = nextTag(); i >= 0 && !interrupted(); i = nextTag()) {
        if (!waitUntil(tags[i].dueMs, view))
            break;
        readTag(tags[i], view);
    }
    view.finish(tags);
}

// Handles events while waiting, so the driver's sockets stay served; false when interrupted.
bool PollSession::waitUntil(qint64 dueMs, PollView &view)
{
    qint64 refreshAt = now() + idleRefreshMs;
    while (!interrupted() && now() < dueMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(ulong(qBound<qint64>(0, dueMs - now(), 5)));
        if (now() >= refreshAt) {
            view.idle(tags);
            refreshAt = now() + idleRefreshMs;
        }
    }
    return !interrupted();
}

void PollSession::readTag(TagState &state, PollView &view)
{
    QElapsedTimer clock;
    clock.start();
    const CLabelVariable record =
        driver->ReadVariable(state.tag.address, DataType(state.tag.type), state.tag.count);
    const double ms = clock.nsecsElapsed() / 1e6;
    const bool changed = state.changedBy(record);
    ++state.reads;
    // A failure's time is the driver's wait, not the device's answer: it would pull the
    // latency figures towards the timeout. Failures are counted apart.
    if (record.result == 0) {
        ++state.answers;
        state.latency.add(ms);
        state.lastGood = record;
        state.lastAnswer = record.time.isValid() ? record.time : QDateTime::currentDateTime();
    } else {
        ++state.failures[record.result];
    }
    state.last = record;
    state.haveLast = true;
    // Late reads are not made up in a burst: the next one is an interval from now at the latest.
    state.dueMs = qMax(state.dueMs + state.tag.intervalMs, now());
    view.read(state, record, ms, changed);
    if (recordformat::refusedForGood(record.result)) {
        state.stopped = QStringLiteral("stopped: the driver refuses this tag every time with "
                                       "result %1 (%2) and sends nothing")
                            .arg(record.result)
                            .arg(recordformat::outcomeWords(record.result));
        view.stopped(state);
    }
}

int PollSession::status() const
{
    for (const TagState &t : tags) {
        if (t.reads == 0 || t.answers != t.reads || !t.stopped.isEmpty())
            return 1;
    }
    return 0;
}
