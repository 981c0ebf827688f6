#include "controllerworker.h"

#include "TarvikOutcome.h"
#include "driverlibrary.h"
#include "recordformat.h"

#include <QDateTime>
#include <QThread>

namespace {

// Writes one controller holds while its link is slower than the requests: beyond them a request
// is refused at once, so a flood costs refusals, not memory.
constexpr int writesWaitingLimit = 1000;

QVector<ScanTag> scanTags(const QVector<GatewayTag> &tags)
{
    QVector<ScanTag> list;
    for (const GatewayTag &t : tags)
        list.append({t.tag.address, t.tag.type, t.tag.count, t.tag.intervalMs});
    return list;
}

} // namespace

ControllerWorker::ControllerWorker(const ControllerSettings &settings,
                                   std::unique_ptr<ControllerOutput> output,
                                   const DriverLibrary *library)
    : config(settings), library(library), output(std::move(output)), memory(settings.tags.size()),
      timer(this), countersTimer(this)
{
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, &ControllerWorker::tick);
    // An episode of driver lines ends when they have stopped for longer than the slowest tag's
    // interval twice over: a fault of one tag among good ones is one episode, not one per scan.
    qint64 slowest = 0;
    for (const GatewayTag &t : settings.tags)
        slowest = qMax<qint64>(slowest, t.tag.intervalMs);
    episodeQuietMs = 2 * slowest + 2000;
    countersTimer.setInterval(1000);
    connect(&countersTimer, &QTimer::timeout, this, &ControllerWorker::everySecond);
}

ControllerWorker::~ControllerWorker()
{
    DriverLibrary::dispose(driver);
}

int ControllerWorker::tagNamed(const QString &name) const
{
    for (int i = 0; i < config.tags.size(); ++i) {
        if (config.tags[i].tag.name == name)
            return i;
    }
    return -1;
}

void ControllerWorker::start()
{
    gatewaylog::setThreadSink(this);
    if (!config.connection.contains(QLatin1Char(':')))
        serialPort = config.connection.section(QLatin1Char(','), 0, 0);
    output->started();
    driver = library->create();
    ScanSink &sink = *this;
    engine = std::make_unique<ScanEngine>(driver, scanTags(config.tags), config.merge, sink);
    engine->keepLink(config.connection, config.reconnect, false);
    publishStatus(false);
    output->turnEnded();
    countersTimer.start();
    arm(0);
}

void ControllerWorker::everySecond()
{
    if (!engine)
        return;
    if (episodes.anyOpen() && engine->now() - lastDriverLine > episodeQuietMs)
        endEpisodes();
    const ScanCounters &c = engine->counters();
    emit counters({config.name, QDateTime::currentMSecsSinceEpoch(), c.requests, c.tagReads,
                   int(config.tags.size()), c.failures, online, lastReadMs});
    // An online status expires unless said again; it goes at once, also in a read's wait.
    if (online && engine->now() - statusPublishedAt >= qint64(config.maxAgeS) * 1000) {
        statusPublishedAt = engine->now();
        output->stillOnline();
    }
}

void ControllerWorker::arm(qint64 dueAt)
{
    if (dueAt >= 0)
        timer.start(int(qBound<qint64>(0, dueAt - engine->now(), 3600000)));
}

void ControllerWorker::tick()
{
    if (inScan || !engine)
        return;
    inScan = true;
    const qint64 next = engine->runDue();
    inScan = false;
    output->turnEnded();
    if (stopAsked)
        finish();
    else
        arm(next);
}

// A read the engine made; the records the worker makes itself (stale on a closed link) are only
// published, and tell no latency.
void ControllerWorker::tagRead(int tag, const CLabelVariable &record, double ms)
{
    lastReadMs = ms;
    publishRead(tag, record);
}

void ControllerWorker::publishRead(int tag, const CLabelVariable &raw)
{
    TagMemory &m = memory[tag];
    const GatewayTag &t = config.tags[tag];
    const qint64 now = engine->now();
    // A scaled tag is published, compared and remembered in its own units.
    CLabelVariable scaled;
    const bool scaling = t.tag.scaled() && raw.result == 0;
    if (scaling)
        scaled = recordformat::scaledRecord(raw, t.tag.scale, t.tag.offset);
    const CLabelVariable &record = scaling ? scaled : raw;
    const QStringList texts = record.result == 0 ? recordformat::values(record) : QStringList();
    if (!publishpolicy::due(m, record, texts, t.deadband, now, qint64(config.maxAgeS) * 1000))
        return;
    output->tagUpdated(tag, record, texts, m);
    m.published(record, texts, now);
}

void ControllerWorker::tagDropped(int tag, const CLabelVariable &record)
{
    const GatewayTag &t = config.tags[tag];
    log(LogLevel::Error,
        QStringLiteral(
            "controller %1: tag %2 (%3) is refused by the driver with result %4 (%5) and "
            "is read no more")
            .arg(config.name, t.tag.name, t.tag.address)
            .arg(record.result)
            .arg(recordformat::outcomeWords(record.result)));
    output->tagUpdated(tag, record, {}, memory[tag]);
}

void ControllerWorker::linkChanged(bool up, const QString &why)
{
    if (up)
        endEpisodes();
    log(up ? LogLevel::Notice : LogLevel::Warning,
        up ? QStringLiteral("controller %1: online (%2)").arg(config.name, config.connection)
           : QStringLiteral("controller %1: offline: %2; connecting again").arg(config.name, why));
    publishStatus(up);
    if (!up)
        markAllStale();
}

// The link is closed: no tag's value is fresh any more, also where the last read succeeded.
void ControllerWorker::markAllStale()
{
    CLabelVariable closed;
    closed.result = int(tarvik::Outcome::LinkNotOpen);
    closed.time = QDateTime::currentDateTime();
    for (int i = 0; i < memory.size(); ++i) {
        if (memory[i].lastResult != 0)
            continue;
        publishRead(i, closed);
    }
}

void ControllerWorker::driverSaid(LogLevel level, const QString &line)
{
    lastDriverLine = engine ? engine->now() : 0;
    if (episodes.opens(line))
        log(level, QStringLiteral("controller %1: driver: %2")
                       .arg(config.name, gatewaylog::withEnglish(line, serialPort)));
}

void ControllerWorker::endEpisodes()
{
    for (const QString &line : episodes.endAll())
        log(LogLevel::Info, QStringLiteral("controller %1: driver: %2").arg(config.name, line));
}

void ControllerWorker::log(LogLevel level, const QString &line)
{
    emit logged(int(level), line);
}

void ControllerWorker::publishStatus(bool up)
{
    online = up;
    statusPublishedAt = engine ? engine->now() : 0;
    output->statusChanged(up);
}

void ControllerWorker::write(int tag, const QVariant &payload, int count, const QVariant &ticket)
{
    if (!engine)
        return;
    ScanWrite w;
    w.tag = tag;
    w.payload.value = payload;
    w.payload.count = count;
    w.ticket = ticket;
    if (engine->writesQueued() >= writesWaitingLimit)
        return answerWrite(
            w, publishpolicy::refusedResult,
            publishpolicy::refusalWords(QStringLiteral("%1 writes are waiting for this controller")
                                            .arg(writesWaitingLimit)));
    engine->queueWrite(w);
    // Inside a read's wait the write only queues: the scan turn under way makes it next.
    if (!inScan)
        arm(0);
}

void ControllerWorker::written(const ScanWrite &write, const CLabelVariable &record)
{
    // The read that follows is published even when the value did not move: it confirms the write.
    if (record.result == 0)
        memory[write.tag].confirmWrite = true;
    answerWrite(write, record.result, recordformat::outcomeWords(record.result));
}

void ControllerWorker::answerWrite(const ScanWrite &write, int resultCode, const QString &words)
{
    output->writeAnswered(write.tag, resultCode, words, write.ticket);
    log(resultCode == 0 ? LogLevel::Info : LogLevel::Warning,
        QStringLiteral("controller %1: write to %2: result %3 (%4)")
            .arg(config.name, config.tags[write.tag].tag.name)
            .arg(resultCode)
            .arg(words));
}

void ControllerWorker::stop()
{
    // Asked during a read's wait: the turn ends first, then the driver goes.
    if (inScan) {
        stopAsked = true;
        engine->stopSending();
        return;
    }
    finish();
}

void ControllerWorker::finish()
{
    timer.stop();
    countersTimer.stop();
    // A write that came in and was not sent is answered, so its client does not wait for ever;
    // no value is current once the controller is no longer read, and the status says so last.
    if (engine) {
        engine->failQueuedWrites();
        markAllStale();
        publishStatus(false);
        output->turnEnded();
    }
    if (driver)
        driver->DisConnectDrive();
    engine.reset();
    DriverLibrary::dispose(driver);
    driver = nullptr;
    endEpisodes();
    gatewaylog::setThreadSink(nullptr);
    emit stopped();
}
