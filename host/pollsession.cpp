#include "pollsession.h"

#include "interrupts.h"
#include "recordformat.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

namespace {

constexpr int idleRefreshMs = 500;

QVector<ScanTag> scanTags(const QVector<Tag> &list)
{
    QVector<ScanTag> tags;
    for (const Tag &t : list)
        tags.append({t.address, t.type, t.count, t.intervalMs});
    return tags;
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
        this->list.append(state.tag);
    }
}

void PollSession::keepLink(const QString &connectionString, const ReconnectRules &rules)
{
    connection = connectionString;
    reconnect = rules;
}

void PollSession::run(PollView &pollView)
{
    view = &pollView;
    ScanEngine scan(driver, scanTags(list), merge, *this);
    engine = &scan;
    if (!connection.isEmpty())
        scan.keepLink(connection, reconnect, true);
    for (qint64 due = scan.runDue(); due >= 0 && !interrupted(); due = scan.runDue()) {
        if (!waitUntil(due, scan))
            break;
    }
    engine = nullptr;
    view->finish(tags);
}

// Handles events while waiting, so the driver's sockets stay served; false when interrupted.
bool PollSession::waitUntil(qint64 dueMs, const ScanEngine &scan)
{
    qint64 refreshAt = scan.now() + idleRefreshMs;
    while (!interrupted() && scan.now() < dueMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(ulong(qBound<qint64>(0, dueMs - scan.now(), 5)));
        if (scan.now() >= refreshAt) {
            view->idle(tags);
            refreshAt = scan.now() + idleRefreshMs;
        }
    }
    return !interrupted();
}

void PollSession::tagRead(int tag, const CLabelVariable &record, double ms)
{
    TagState &state = tags[tag];
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
    view->read(state, record, ms, changed);
    if (times > 0 && state.reads >= times)
        engine->retire(tag);
}

void PollSession::tagDropped(int tag, const CLabelVariable &record)
{
    tagRead(tag, record, 0);
    TagState &state = tags[tag];
    state.stopped = QStringLiteral("stopped: the driver refuses this tag every time with "
                                   "result %1 (%2) and sends nothing")
                        .arg(record.result)
                        .arg(recordformat::outcomeWords(record.result));
    view->stopped(state);
}

void PollSession::linkChanged(bool up, const QString &why)
{
    view->linkNote(
        up ? QStringLiteral("link to %1 open again").arg(connection)
           : QStringLiteral("link to %1 dropped (%2); connecting again").arg(connection, why));
}

int PollSession::exitStatus() const
{
    for (const TagState &t : tags) {
        if (t.reads == 0 || t.answers != t.reads || !t.stopped.isEmpty())
            return 1;
    }
    return 0;
}
