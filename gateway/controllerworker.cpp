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
// A value or an online status stays retained this much longer than the gateway takes to publish
// it again at the latest; past that the broker lets it expire, so a gateway that died leaves no
// value and no status looking current.
constexpr int freshnessGraceS = 5;

QVector<ScanTag> scanTags(const QVector<GatewayTag> &tags)
{
    QVector<ScanTag> list;
    for (const GatewayTag &t : tags)
        list.append({t.tag.address, t.tag.type, t.tag.count, t.tag.intervalMs});
    return list;
}

} // namespace

ControllerWorker::ControllerWorker(const ControllerSettings &settings, const QString &prefix,
                                   const DriverLibrary *library)
    : config(settings), prefix(prefix), library(library), memory(settings.tags.size()), timer(this),
      countersTimer(this)
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

QByteArray ControllerWorker::topic(const QString &tail) const
{
    return QStringLiteral("%1/%2/%3").arg(prefix, config.name, tail).toUtf8();
}

void ControllerWorker::start()
{
    gatewaylog::setThreadSink(this);
    if (!config.connection.contains(QLatin1Char(':')))
        serialPort = config.connection.section(QLatin1Char(','), 0, 0);
    publishMeta();
    driver = library->create();
    ScanSink &sink = *this;
    engine = std::make_unique<ScanEngine>(driver, scanTags(config.tags), config.merge, sink);
    engine->keepLink(config.connection, config.reconnect, false);
    publishStatus(false);
    handOverPending();
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
                   int(config.tags.size()), c.failures, online});
    // An online status expires unless said again; it goes at once, also in a read's wait.
    if (online && engine->now() - statusPublishedAt >= qint64(config.maxAgeS) * 1000)
        emit messages({statusMessage(true)});
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
    handOverPending();
    if (stopAsked)
        finish();
    else
        arm(next);
}

void ControllerWorker::handOverPending()
{
    if (!scanParts.isEmpty()) {
        pending.append(
            {topic(QStringLiteral("scan")),
             (QLatin1Char('{') + scanParts.join(QLatin1Char(',')) + QLatin1Char('}')).toUtf8(),
             false,
             {},
             0});
        scanParts.clear();
    }
    if (pending.isEmpty())
        return;
    emit messages(pending);
    pending.clear();
}

void ControllerWorker::tagRead(int tag, const CLabelVariable &raw, double)
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
    if (!tagmessages::due(m, record, texts, t.deadband, now, qint64(config.maxAgeS) * 1000))
        return;
    const bool large = config.largeIntegersAsText;
    const QByteArray payload = record.result == 0 ? tagmessages::valueJson(record, large)
                                                  : tagmessages::failureJson(record, m, large);
    if (record.result == 0) {
        m.lastGood = record;
        m.lastTexts = texts;
        m.haveGood = true;
    }
    m.lastResult = record.result;
    m.publishedAt = now;
    m.confirmWrite = false;
    // A fresh value expires a little after it would have been published again; a stale one
    // says what it is for as long as it is kept.
    const int expiryS =
        record.result == 0 ? config.maxAgeS + (t.tag.intervalMs + 999) / 1000 + freshnessGraceS : 0;
    if (config.tagMessages)
        pending.append({topic(t.tag.name), payload, true, {}, expiryS});
    if (config.scanMessages)
        scanParts << recordformat::jsonString(t.tag.name) + QLatin1Char(':') +
                         QString::fromUtf8(payload);
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
    pending.append({topic(t.tag.name),
                    tagmessages::failureJson(record, memory[tag], config.largeIntegersAsText),
                    true,
                    {},
                    0});
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
        tagRead(i, closed, 0);
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

void ControllerWorker::publishMeta()
{
    for (const GatewayTag &t : qAsConst(config.tags))
        pending.append({topic(t.tag.name + QStringLiteral("/meta")),
                        tagmessages::metaJson(t.tag, t.writable, config.largeIntegersAsText),
                        true,
                        {},
                        0});
}

void ControllerWorker::publishStatus(bool up)
{
    online = up;
    pending.append(statusMessage(up));
}

MqttMessage ControllerWorker::statusMessage(bool up)
{
    statusPublishedAt = engine ? engine->now() : 0;
    return {topic(QStringLiteral("status")),
            up ? "online" : "offline",
            true,
            {},
            up ? config.maxAgeS + freshnessGraceS : 0};
}

void ControllerWorker::write(int tag, const QVariant &payload, int count,
                             const QByteArray &responseTopic, const QByteArray &correlation)
{
    if (!engine)
        return;
    ScanWrite w;
    w.tag = tag;
    w.payload.value = payload;
    w.payload.count = count;
    w.ticket = QVariantList{responseTopic, correlation};
    if (engine->writesQueued() >= writesWaitingLimit)
        return answerWrite(
            w, tagmessages::refusedResult,
            tagmessages::refusalWords(QStringLiteral("%1 writes are waiting for this controller")
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
    const QVariantList ticket = write.ticket.toList();
    const QByteArray result = tagmessages::writeResultJson(resultCode, words);
    const QString name = config.tags[write.tag].tag.name;
    pending.append({topic(name + QStringLiteral("/set/result")), result, false, {}, 0});
    const QByteArray responseTopic = ticket.value(0).toByteArray();
    if (!responseTopic.isEmpty())
        pending.append({responseTopic, result, false, ticket.value(1).toByteArray(), 0});
    log(resultCode == 0 ? LogLevel::Info : LogLevel::Warning,
        QStringLiteral("controller %1: write to %2: result %3 (%4)")
            .arg(config.name, name)
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
        handOverPending();
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
