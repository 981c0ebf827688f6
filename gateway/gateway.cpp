#include "gateway.h"

#include "mqttjsonoutput.h"
#include "recordformat.h"
#include "setpayload.h"
#include "sparkplugtopics.h"
#include "writevalues.h"

#include <QCoreApplication>
#include <QSysInfo>
#include <QThread>

#include <cstdio>

namespace {

constexpr int workerStopMs = 10000;
constexpr int brokerStopMs = 3000;
constexpr int loaderStopMs = 5000;
// How long a new broker session of a reload has to come up before the running one is kept.
constexpr int candidateWaitMs = 15000;
// The store writes what it was given and forgets what was delivered this often: a kill loses
// at most this much of what the broker could not take. History is handed on at the same beat.
constexpr int storeTickMs = 250;
constexpr int ticksPerSecond = 1000 / storeTickMs;
// Batches read from the store at once, ahead of their delivery.
constexpr int batchesAhead = 8;
bool sameBroker(const BrokerSettings &a, const BrokerSettings &b)
{
    return a.host == b.host && a.port == b.port && a.clientId == b.clientId &&
           a.username == b.username && a.password == b.password && a.caFile == b.caFile &&
           a.certFile == b.certFile && a.keyFile == b.keyFile && a.keepaliveS == b.keepaliveS &&
           a.qos == b.qos && a.mqtt5 == b.mqtt5 && a.prefix == b.prefix &&
           a.queueLimit == b.queueLimit && a.jsonOutput == b.jsonOutput && a.standby == b.standby &&
           a.sparkplugOutput == b.sparkplugOutput && a.sparkplugGroup == b.sparkplugGroup &&
           a.sparkplugNode == b.sparkplugNode && a.sparkplugHost == b.sparkplugHost;
}

// A session's own status, PREFIX/gateway/status: only with the JSON form. When the will is the
// Sparkplug node's death, online is said again with the stats and expires without them.
void setOnlineStatus(MqttClient *client, const BrokerSettings &b)
{
    client->setOnlineStatus(
        b.jsonOutput, b.sparkplugOutput ? 3 * b.statsIntervalS + mqttjson::freshnessGraceS : 0);
}

// What marks a write that came as a Sparkplug command: the JSON form answers none of them.
const QVariant sparkplugTicket = QStringLiteral("sparkplug");

bool sameAddress(const BrokerSettings &a, const BrokerSettings &b)
{
    return a.host == b.host && a.port == b.port;
}

// The brokers a session tries, for the log.
QString addressesText(const BrokerSettings &b)
{
    QStringList texts;
    for (const BrokerAddress &a : brokerAddresses(b))
        texts << addressText(a);
    return texts.join(QStringLiteral(", "));
}

// A scan reads every tag once: exchanges per tag read, times the tags. Over the last second, or
// since the worker started when the last second read nothing.
double exchangesPerScan(const ControllerCounters &now, const ControllerCounters &before)
{
    qint64 requests = now.requests - before.requests;
    qint64 reads = now.tagReads - before.tagReads;
    if (before.atMs == 0 || reads <= 0) {
        requests = now.requests;
        reads = now.tagReads;
    }
    return reads > 0 ? double(requests) * double(now.tags) / double(reads) : 0;
}

} // namespace

Gateway::Gateway(const QString &path, DriverLibrary &library) : configPath(path), library(library)
{
    connect(&statsTimer, &QTimer::timeout, this, &Gateway::publishStats);
    connect(&storeTimer, &QTimer::timeout, this, &Gateway::storeTick);
    candidateTimer.setSingleShot(true);
    connect(&candidateTimer, &QTimer::timeout, this, [this] {
        keepRunning(QStringLiteral("no session within %1 s").arg(candidateWaitMs / 1000));
    });
}

Gateway::~Gateway()
{
    dropCandidate();
    stopWorkers();
}

bool Gateway::start(const GatewayConfig &checked, QString *error)
{
    config = checked;
    for (const QString &w : qAsConst(config.warnings))
        logLine(LogLevel::Warning, QStringLiteral("warning: ") + w);
    *error = replaceStore(config.broker);
    if (!error->isEmpty())
        return false;
    std::unique_ptr<MetricsEndpoint> endpoint = listenMetrics(config.broker, error);
    if (!error->isEmpty())
        return false;
    useMetrics(std::move(endpoint));
    // Two instances of one configuration have sessions of their own.
    if (config.broker.standby)
        config.broker.instance = QSysInfo::machineHostName() + QLatin1Char('-') +
                                 QString::number(QCoreApplication::applicationPid());
    mqtt = std::make_unique<MqttClient>(config.broker);
    attach(mqtt.get());
    node = nodeFor(mqtt.get(), config, true);
    if (config.broker.standby)
        takeRole();
    logLine(LogLevel::Notice,
            QStringLiteral("broker: connecting to %1 as %2")
                .arg(addressesText(config.broker), sessionClientId(config.broker)));
    if (!mqtt->start(error))
        return false;
    if (!role)
        startWorkers();
    statsTimer.start(config.broker.statsIntervalS * 1000);
    return true;
}

void Gateway::takeRole()
{
    role = std::make_unique<StandbyRole>(config.broker, mqtt.get(), config.broker.instance);
    mqtt->setWill([r = role.get()] { return r->will(); });
    mqtt->setOnlineStatus(false, 0);
    connect(role.get(), &StandbyRole::activated, this, &Gateway::becameActive);
    connect(role.get(), &StandbyRole::stoodDown, this, &Gateway::stoodDown);
}

void Gateway::becameActive()
{
    mqtt->setOnlineStatus(true, 0);
    mqtt->publish(mqttjson::gatewayStatus(config.broker, true));
    startWorkers();
}

// What the workers say as they stop (statuses offline, values stale) is not said: the other
// instance may be reading the controllers already, and its word is the current one.
void Gateway::stoodDown()
{
    stopWorkers();
    latest.clear();
    previous.clear();
    mqtt->setOnlineStatus(false, 0);
    mqtt->forgetPublished();
}

void Gateway::attach(MqttClient *client)
{
    connect(client, &MqttClient::connectionChanged, this, &Gateway::brokerChanged);
    connect(client, &MqttClient::messageArrived, this, &Gateway::messageTaken);
    connect(client, &MqttClient::historyDelivered, this, &Gateway::batchDelivered);
    keepHistoryOf(client);
}

std::unique_ptr<SparkplugNode> Gateway::nodeFor(MqttClient *client, const GatewayConfig &settings,
                                                bool active)
{
    setOnlineStatus(client, settings.broker);
    if (settings.broker.jsonOutput)
        client->subscribe(mqttjson::setPattern(settings.broker));
    if (!settings.broker.sparkplugOutput)
        return nullptr;
    // Without the JSON form, the node's data carry the values for history themselves.
    PublishQueue::Keeper keep;
    if (!settings.broker.jsonOutput)
        keep = [this](const HeldRecords &held) {
            if (store)
                store->hold(held);
        };
    auto made = std::make_unique<SparkplugNode>(settings.broker, settings.controllers, client, keep,
                                                active, node ? node->nextBirthSequence() : 0);
    connect(made.get(), &SparkplugNode::writeAsked, this, &Gateway::sparkplugWrite);
    return made;
}

void Gateway::messageTaken(const QByteArray &topic, const QByteArray &payload,
                           const QByteArray &responseTopic, const QByteArray &correlation,
                           bool tooLong, bool retained)
{
    if (node && node->takeMessage(topic, payload, tooLong))
        return;
    if (role && (role->takeMessage(topic, payload) || !role->isActive()))
        return; // a standby makes no write
    if (config.broker.jsonOutput)
        setRequest(topic, payload, responseTopic, correlation, tooLong, retained);
}

void Gateway::sparkplugWrite(const QString &controller, int tag, const QVariant &value, int count)
{
    for (ControllerWorker *w : qAsConst(workers)) {
        if (w->settings().name == controller)
            QMetaObject::invokeMethod(w, "write", Qt::QueuedConnection, Q_ARG(int, tag),
                                      Q_ARG(QVariant, value), Q_ARG(int, count),
                                      Q_ARG(QVariant, sparkplugTicket));
    }
}

// The store the settings name, opened at the start or on a reload, which may move it or turn it
// on or off. A new file is opened before the old one is let go, so a reload that cannot open it
// changes nothing. What the old one holds stays in its file for a later run.
QString Gateway::replaceStore(const BrokerSettings &fresh)
{
    const QString freshPath = fresh.storeOn ? storePathOf(fresh) : QString();
    if (freshPath == (store ? storePath : QString())) {
        if (store)
            store->setCap(fresh.storeCapBytes);
        return QString();
    }
    std::unique_ptr<HistoryStore> next;
    if (!freshPath.isEmpty()) {
        next = std::make_unique<HistoryStore>();
        if (const QString why = next->open(freshPath, fresh.storeCapBytes); !why.isEmpty())
            return QStringLiteral("store: ") + why;
        logLine(LogLevel::Info, QStringLiteral("store: %1, %2 values of history held")
                                    .arg(freshPath)
                                    .arg(next->figures().heldValues));
    } else {
        logLine(LogLevel::Notice, QStringLiteral("store: off"));
    }
    if (store)
        store->commit();
    store = std::move(next);
    storePath = freshPath;
    replayedUpTo = 0;
    replaying.clear();
    nextBatches.clear();
    if (store)
        storeTimer.start(storeTickMs);
    else
        storeTimer.stop();
    if (mqtt)
        keepHistoryOf(mqtt.get());
    return QString();
}

void Gateway::keepHistoryOf(MqttClient *client)
{
    if (store)
        client->setKeeper([this](const HeldRecords &held) {
            store->hold({held.controller,
                         mqttjson::historyRecords(held),
                         held.count,
                         {},
                         HeldRecords::Form::Records});
        });
    else
        client->setKeeper({});
}

// What was held is written, what was delivered forgotten, and history goes on at its rate.
void Gateway::storeTick()
{
    store->commit();
    const qint64 perTick = qMax(1, config.broker.historyRate / ticksPerSecond);
    historyAllowance = qMin(historyAllowance + perTick, perTick);
    replayHistory();
}

// The oldest history first, while the rate allows and the session takes it: the session lets
// history go only when no live message waits, so current values are never held back by it.
void Gateway::replayHistory()
{
    if (!store || !mqtt || !mqtt->isConnected())
        return;
    while (historyAllowance > 0 && mqtt->takesHistory()) {
        if (nextBatches.isEmpty())
            nextBatches = store->oldest(replayedUpTo, batchesAhead);
        if (nextBatches.isEmpty())
            return;
        const HeldBatch &b = nextBatches.first();
        const QByteArray records = HistoryStore::recordsOf(b.records);
        QVector<MqttMessage> messages;
        if (config.broker.jsonOutput)
            messages << mqttjson::historyMessage(config.broker, b.controller, records);
        // A device's history goes after its birth, and with it the JSON form's waits too.
        if (node) {
            MqttMessage data;
            const auto answer = node->history(b.controller, records, &data);
            if (answer == SparkplugNode::History::Wait)
                return;
            if (answer == SparkplugNode::History::Send)
                messages << data;
        }
        replayedUpTo = b.id;
        historyAllowance -= b.count;
        if (messages.isEmpty()) {
            store->delivered(b.id, b.count); // of a controller no longer configured
        } else {
            if (!mqtt->sendHistory(messages, b.id))
                return;
            replaying.insert(b.id, {b.count, int(messages.size())});
        }
        nextBatches.removeFirst();
    }
}

void Gateway::batchDelivered(qint64 id)
{
    // A batch of a store that a reload has let go is not this store's.
    const auto r = replaying.find(id);
    if (!store || r == replaying.end() || --r->messages > 0)
        return;
    store->delivered(id, r->values);
    replaying.erase(r);
    replayHistory();
}

void Gateway::startWorkers()
{
    QSet<QByteArray> metaPool; // shared among the controllers made here
    QVector<StandingSet> standing;
    for (const ControllerSettings &c : qAsConst(config.controllers)) {
        auto *thread = new QThread;
        // Each output hands a scan turn's messages to this thread, in one queued call.
        auto outputs = std::make_unique<ControllerOutputs>();
        if (config.broker.jsonOutput) {
            auto json = std::make_unique<MqttJsonControllerOutput>(
                c, config.broker,
                [this](const QVector<MqttMessage> &batch) {
                    QMetaObject::invokeMethod(
                        this, [this, batch] { takeMessages(batch); }, Qt::QueuedConnection);
                },
                &metaPool);
            standing << json->metaSet();
            outputs->add(std::move(json));
        }
        if (config.broker.sparkplugOutput)
            outputs->add(std::make_unique<SparkplugControllerOutput>(
                c, !config.broker.jsonOutput, [this](const SparkplugTurn &turn) {
                    QMetaObject::invokeMethod(
                        this,
                        [this, turn] {
                            if (node)
                                node->takeTurn(turn);
                        },
                        Qt::QueuedConnection);
                }));
        auto *worker = new ControllerWorker(c, std::move(outputs), &library);
        worker->moveToThread(thread);
        connect(worker, &ControllerWorker::counters, this, &Gateway::takeCounters);
        connect(worker, &ControllerWorker::logged, this,
                [](int level, const QString &line) { logLine(LogLevel(level), line); });
        connect(worker, &ControllerWorker::stopped, thread, &QThread::quit, Qt::DirectConnection);
        thread->start();
        QMetaObject::invokeMethod(worker, &ControllerWorker::start, Qt::QueuedConnection);
        threads << thread;
        workers << worker;
        logLine(LogLevel::Info, QStringLiteral("controller %1: %2 tags over %3")
                                    .arg(c.name)
                                    .arg(c.tags.size())
                                    .arg(c.connection));
    }
    // What the controllers of the configuration before stood for has been cleared where it is
    // no longer this one's.
    mqtt->setStanding(standing);
}

// Each worker marks its values stale and its status offline as it stops.
void Gateway::stopWorkers()
{
    for (ControllerWorker *w : qAsConst(workers))
        QMetaObject::invokeMethod(w, &ControllerWorker::stop, Qt::QueuedConnection);
    QStringList stuck;
    for (int i = 0; i < threads.size(); ++i) {
        // A worker ends its turn after the request in flight, which the driver bounds. One that
        // has not stopped is left as it is: deleting a running thread would end the process.
        if (!threads[i]->wait(workerStopMs)) {
            stuck << workers[i]->settings().name;
            continue;
        }
        delete workers[i];
        delete threads[i];
    }
    // What the workers said last is still queued for this thread.
    QCoreApplication::sendPostedEvents(this);
    for (const QString &name : qAsConst(stuck)) {
        logLine(LogLevel::Warning, QStringLiteral("controller %1: did not stop in time").arg(name));
        if (mqtt && config.broker.jsonOutput)
            mqtt->publish(mqttjson::controllerStatus(config.broker, name, false));
        if (node)
            node->takeTurn({name, {{SparkplugChange::Kind::Offline, -1, {}}}, {}});
    }
    workers.clear();
    threads.clear();
}

void Gateway::takeMessages(const QVector<MqttMessage> &batch)
{
    if (!mqtt)
        return;
    for (const MqttMessage &m : batch)
        mqtt->publish(m);
}

void Gateway::takeCounters(const ControllerCounters &c)
{
    previous[c.name] = latest.value(c.name);
    latest[c.name] = c;
}

void Gateway::brokerChanged(bool up, const QString &why)
{
    // History not acknowledged is in the store still and goes again with the next session,
    // from the oldest on; what was delivered is forgotten first.
    if (!up && store) {
        store->commit();
        replayedUpTo = 0;
        replaying.clear();
        nextBatches.clear();
    }
    if (up)
        logLine(LogLevel::Notice,
                (everConnected ? QStringLiteral("broker: connected again to %1; statuses and last "
                                                "values published again")
                               : QStringLiteral("broker: connected to %1"))
                    .arg(addressText(mqtt->currentAddress())));
    else
        logLine(LogLevel::Warning,
                QStringLiteral("broker: %1 (%2) at %3; connecting again")
                    .arg(everConnected ? QStringLiteral("lost") : QStringLiteral("not reached"),
                         why, addressText(mqtt->currentAddress())));
    everConnected = everConnected || up;
}

void Gateway::setRequest(const QByteArray &topic, const QByteArray &payload,
                         const QByteArray &responseTopic, const QByteArray &correlation,
                         bool tooLong, bool retained)
{
    QString controllerName, tagName;
    if (!mqttjson::setTarget(config.broker, topic, &controllerName, &tagName))
        return;
    // A reply goes only where the gateway may safely speak: the request's own result topic
    // otherwise.
    const QString responseWhy = mqttjson::responseTopicProblem(config.broker, responseTopic);
    const QVariant ticket =
        mqttjson::writeTicket(responseWhy.isEmpty() ? responseTopic : QByteArray(), correlation);
    if (!responseWhy.isEmpty())
        return refuseWrite(topic, responseWhy, ticket);
    // The broker hands a retained request over again at every subscribe: written, it would put
    // an old value into the controller after each reconnect.
    if (retained)
        return refuseWrite(topic, QStringLiteral("a retained request is never written"), ticket);
    ControllerWorker *worker = nullptr;
    for (ControllerWorker *w : qAsConst(workers)) {
        if (w->settings().name == controllerName)
            worker = w;
    }
    const int tag = worker ? worker->tagNamed(tagName) : -1;
    if (tag < 0)
        return refuseWrite(topic, QStringLiteral("no such controller or tag"), ticket);
    const GatewayTag &t = worker->settings().tags[tag];
    if (!t.writable)
        return refuseWrite(topic, QStringLiteral("the tag is not writable"), ticket);
    if (tooLong)
        return refuseWrite(topic, QStringLiteral("the payload is too long"), ticket);
    QStringList texts;
    QString why = setPayloadElements(payload, &texts);
    QVariant typed;
    if (why.isEmpty())
        why = writeValue(t.tag, texts, &typed);
    if (!why.isEmpty())
        return refuseWrite(topic, why, ticket);
    QMetaObject::invokeMethod(worker, "write", Qt::QueuedConnection, Q_ARG(int, tag),
                              Q_ARG(QVariant, typed), Q_ARG(int, int(texts.size())),
                              Q_ARG(QVariant, ticket));
}

void Gateway::refuseWrite(const QByteArray &topic, const QString &why, const QVariant &ticket)
{
    logLine(LogLevel::Warning,
            QStringLiteral("write refused on %1: %2").arg(QString::fromUtf8(topic), why));
    takeMessages(mqttjson::writeResult(mqttjson::resultTopic(topic), publishpolicy::refusedResult,
                                       publishpolicy::refusalWords(why), ticket));
}

void Gateway::publishStats()
{
    if (!pollsControllers())
        return; // a standby has nothing to count
    // Rates from each controller's two latest counts and the time between them.
    double readsPerS = 0;
    qint64 requests = 0, reads = 0, tagReads = 0, tags = 0;
    QMap<int, qint64> failures;
    for (const ControllerCounters &c : qAsConst(latest)) {
        const ControllerCounters before = previous.value(c.name);
        const qint64 ms = c.atMs - before.atMs;
        if (before.atMs > 0 && ms > 0) {
            readsPerS += double(c.tagReads - before.tagReads) * 1000.0 / double(ms);
            requests += c.requests - before.requests;
            reads += c.tagReads - before.tagReads;
        }
        tagReads += c.tagReads;
        tags += c.tags;
        for (auto f = c.failures.begin(); f != c.failures.end(); ++f)
            failures[f.key()] += f.value();
    }
    mqttjson::GatewayStats stats;
    stats.readsPerS = readsPerS;
    stats.failures = failures;
    // A scan reads every tag once: requests per tag read, times the tags.
    stats.exchangesPerScan = reads > 0 ? double(requests) * double(tags) / double(reads) : 0;
    stats.queue = mqtt->queueDepth();
    stats.dropped = mqtt->dropped();
    stats.replaced = mqtt->replaced();
    stats.published = mqtt->published();
    stats.tagReads = tagReads;
    stats.storeOn = store != nullptr;
    if (store)
        stats.store = store->figures();
    if (node)
        node->takeFigures(
            {readsPerS, stats.queue, stats.published, stats.dropped, stats.store.heldValues});
    if (!config.broker.jsonOutput)
        return;
    mqtt->publish(mqttjson::statsMessage(config.broker, stats));
    // Beside a Sparkplug node, the online status expires unless said again.
    if (config.broker.sparkplugOutput)
        mqtt->publish(mqttjson::gatewayStatus(
            config.broker, true, 3 * config.broker.statsIntervalS + mqttjson::freshnessGraceS));
}

// Whether the endpoint the settings name is another than the one running (or none).
bool Gateway::metricsMoves(const BrokerSettings &fresh) const
{
    if (!metrics)
        return fresh.metricsPort != 0;
    return metrics->address() != fresh.metricsAddress || metrics->port() != fresh.metricsPort;
}

// The endpoint the settings name, listening; none when they name none or it cannot listen (then
// *error says why).
std::unique_ptr<MetricsEndpoint> Gateway::listenMetrics(const BrokerSettings &fresh, QString *error)
{
    error->clear();
    if (fresh.metricsPort == 0)
        return nullptr;
    auto endpoint = std::make_unique<MetricsEndpoint>(
        [this] { return metricsexposition::text(metricsFigures()); });
    *error = endpoint->listen(fresh.metricsAddress, fresh.metricsPort);
    return error->isEmpty() ? std::move(endpoint) : nullptr;
}

void Gateway::useMetrics(std::unique_ptr<MetricsEndpoint> next)
{
    if (next)
        logLine(LogLevel::Notice, QStringLiteral("metrics: http://%1/metrics")
                                      .arg(addressText({next->address(), next->port()})));
    else if (metrics)
        logLine(LogLevel::Notice, QStringLiteral("metrics: off"));
    metrics = std::move(next);
}

// Read when a scraper asks: the session's and the store's figures as they are now, the
// controllers' as their workers said them last, at most a second ago.
GatewayFigures Gateway::metricsFigures() const
{
    GatewayFigures f;
    f.active = pollsControllers();
    if (mqtt) {
        f.broker = addressText(mqtt->currentAddress());
        f.brokerConnected = mqtt->isConnected();
        f.queue = mqtt->queueDepth();
        f.published = mqtt->published();
        f.dropped = mqtt->dropped();
        f.replaced = mqtt->replaced();
    }
    f.storeOn = store != nullptr;
    if (store)
        f.store = store->figures();
    for (const ControllerSettings &c : config.controllers)
        f.controllers << controllerFigures(c);
    return f;
}

ControllerFigures Gateway::controllerFigures(const ControllerSettings &c) const
{
    const ControllerCounters now = latest.value(c.name);
    ControllerFigures f;
    f.name = c.name;
    f.online = now.online;
    f.tags = int(c.tags.size());
    f.tagReads = now.tagReads;
    f.requests = now.requests;
    f.failures = now.failures;
    f.exchangesPerScan = exchangesPerScan(now, previous.value(c.name));
    f.lastReadLatencyS = now.lastReadMs < 0 ? -1 : now.lastReadMs / 1000;
    return f;
}

// The file is read on a thread of its own: a slow or odd file never holds up the broker's
// service or the signals. Reloads asked for meanwhile make one more once this one is done.
void Gateway::reload()
{
    if (loader || candidate) {
        reloadAgain = true;
        return;
    }
    auto fresh = std::make_shared<Loaded>();
    const QString path = configPath;
    const DriverLibrary *driverLibrary = &library;
    loader = QThread::create([path, fresh, driverLibrary] {
        fresh->ok = loadGatewayConfig(path, &fresh->config, &fresh->error, driverLibrary);
    });
    connect(loader, &QThread::finished, this, [this, fresh] {
        loader->deleteLater();
        loader = nullptr;
        loaded(*fresh);
    });
    loader->start();
}

void Gateway::loaded(const Loaded &fresh)
{
    if (!fresh.ok) {
        logLine(LogLevel::Error,
                QStringLiteral("reload refused, the running configuration stays: ") + fresh.error);
        return reloadDone();
    }
    // A metrics endpoint that moves listens on its new address before the running one is let go.
    const bool moveMetrics = metricsMoves(fresh.config.broker);
    QString why;
    std::unique_ptr<MetricsEndpoint> endpoint =
        moveMetrics ? listenMetrics(fresh.config.broker, &why) : nullptr;
    if (why.isEmpty())
        why = replaceStore(fresh.config.broker);
    if (!why.isEmpty()) {
        logLine(LogLevel::Error,
                QStringLiteral("reload refused, the running configuration stays: ") + why);
        return reloadDone();
    }
    if (moveMetrics)
        useMetrics(std::move(endpoint));
    logLine(LogLevel::Notice, QStringLiteral("reload: %1").arg(configPath));
    for (const QString &w : qAsConst(fresh.config.warnings))
        logLine(LogLevel::Warning, QStringLiteral("warning: ") + w);
    if (!sameBroker(fresh.config.broker, config.broker))
        return tryBroker(fresh.config);
    replaceControllers(fresh.config);
    reloadDone();
}

// Same broker session: the controllers are replaced, and what the new configuration no longer
// publishes is cleared.
void Gateway::replaceControllers(const GatewayConfig &fresh)
{
    stopWorkers();
    latest.clear();
    previous.clear();
    mqtt->clearRetained(mqtt->retainedTopics() - mqttjson::ownedTopics(fresh));
    const QString instance = config.broker.instance;
    config = fresh;
    config.broker.instance = instance;
    if (node)
        node->setDevices(config.controllers);
    // A standby only takes the new configuration; it reads nothing yet.
    if (role) {
        if (role->isActive())
            startWorkers();
        return;
    }
    setOnlineStatus(mqtt.get(), config.broker);
    startWorkers();
}

// A new session is tried beside the running one, which goes on until the new one is up. One
// with the running session's client id on the same broker takes that session over when it
// connects: the running one then stands aside instead of taking it back.
void Gateway::tryBroker(const GatewayConfig &fresh)
{
    // Which instance reads the controllers is agreed on one session: a new one would have to
    // agree again while the other instance may take over.
    if (fresh.broker.standby || config.broker.standby) {
        logLine(LogLevel::Error,
                QStringLiteral("reload refused, the running configuration stays: the broker "
                               "settings of a standby pair change with a restart of each "
                               "instance"));
        return reloadDone();
    }
    candidateConfig = fresh;
    candidate = std::make_unique<MqttClient>(fresh.broker);
    candidateNode = nodeFor(candidate.get(), fresh, false);
    connect(candidate.get(), &MqttClient::connectionChanged, this, &Gateway::candidateChanged);
    logLine(LogLevel::Notice,
            QStringLiteral("broker: trying %1 as %2; the running session goes on meanwhile")
                .arg(addressesText(fresh.broker), fresh.broker.clientId));
    const bool takesOver =
        sameAddress(fresh.broker, config.broker) && fresh.broker.clientId == config.broker.clientId;
    mqtt->setYielding(takesOver);
    QString why;
    if (!candidate->start(&why))
        return keepRunning(why);
    candidateTimer.start(candidateWaitMs);
}

void Gateway::candidateChanged(bool up, const QString &why)
{
    if (up)
        switchBroker();
    else
        keepRunning(why);
}

void Gateway::switchBroker()
{
    candidateTimer.stop();
    stopWorkers(); // their last words go to the running session
    std::unique_ptr<MqttClient> old = std::move(mqtt);
    old->disconnect(this);
    const QSet<QByteArray> left = old->retainedTopics() - mqttjson::ownedTopics(candidateConfig);
    const bool sameStatus = sameAddress(old->settings(), candidateConfig.broker) &&
                            old->settings().prefix == candidateConfig.broker.prefix;
    mqtt = std::move(candidate);
    mqtt->disconnect(this);
    attach(mqtt.get());
    // On the same broker the new session clears what the new configuration no longer has; a
    // broker that is left keeps nothing of the gateway's but its offline status.
    if (sameAddress(old->settings(), candidateConfig.broker))
        mqtt->clearRetained(left);
    else
        old->clearRetained(old->retainedTopics() -
                           QSet<QByteArray>{mqttjson::gatewayStatus(old->settings(), false).topic});
    // The old status topic says offline unless the new session speaks on it now.
    if (!sameStatus && old->settings().jsonOutput)
        old->publish(mqttjson::gatewayStatus(old->settings(), false));
    if (node)
        node->stop();
    node = std::move(candidateNode);
    old->stop(brokerStopMs);
    // Born once the old node's death is on its way.
    if (node)
        node->activate();
    old.release()->deleteLater(); // its callbacks may be on the stack
    config = candidateConfig;
    latest.clear();
    previous.clear();
    logLine(LogLevel::Notice,
            QStringLiteral("broker: connected to %1 as %2; the old session has ended")
                .arg(addressText(mqtt->currentAddress()), config.broker.clientId));
    everConnected = true;
    startWorkers();
    statsTimer.start(config.broker.statsIntervalS * 1000);
    reloadDone();
}

void Gateway::keepRunning(const QString &why)
{
    logLine(LogLevel::Warning,
            QStringLiteral("reload: the new broker session did not come up (%1); the running "
                           "configuration stays")
                .arg(why));
    dropCandidate();
    mqtt->setYielding(false);
    reloadDone();
}

// Ended, and deleted once its own callbacks, which may be on the stack, have returned.
void Gateway::dropCandidate()
{
    candidateTimer.stop();
    if (!candidate)
        return;
    candidate->disconnect(this);
    candidateNode.reset();
    candidate->stop(0);
    candidate.release()->deleteLater();
}

void Gateway::reloadDone()
{
    if (!reloadAgain)
        return;
    reloadAgain = false;
    QMetaObject::invokeMethod(this, &Gateway::reload, Qt::QueuedConnection);
}

void Gateway::stop()
{
    logLine(LogLevel::Notice, QStringLiteral("stopping"));
    metrics.reset();
    dropCandidate();
    if (loader && !loader->wait(loaderStopMs))
        logLine(LogLevel::Warning,
                QStringLiteral("the configuration file being read again did not end in time"));
    loader = nullptr;
    stopWorkers();
    statsTimer.stop();
    if (mqtt) {
        if (config.broker.jsonOutput && pollsControllers())
            mqtt->publish(mqttjson::gatewayStatus(config.broker, false));
        if (node)
            node->stop();
        mqtt->stop(brokerStopMs);
    }
    // What the session could not deliver by now stays in the store for the next run.
    if (store) {
        storeTimer.stop();
        store->commit();
    }
    logLine(LogLevel::Notice, QStringLiteral("stopped"));
    emit finished();
}
