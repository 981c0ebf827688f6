#include "gateway.h"

#include "recordformat.h"
#include "setpayload.h"
#include "writevalues.h"

#include <QCoreApplication>
#include <QThread>

#include <cstdio>

namespace {

constexpr int workerStopMs = 10000;
constexpr int brokerStopMs = 3000;
constexpr int loaderStopMs = 5000;
// How long a new broker session of a reload has to come up before the running one is kept.
constexpr int candidateWaitMs = 15000;
// Response topics longer than this are refused: a reply goes to an address, not a payload.
constexpr int longestResponseTopic = 256;

bool sameBroker(const BrokerSettings &a, const BrokerSettings &b)
{
    return a.host == b.host && a.port == b.port && a.clientId == b.clientId &&
           a.username == b.username && a.password == b.password && a.caFile == b.caFile &&
           a.certFile == b.certFile && a.keyFile == b.keyFile && a.keepaliveS == b.keepaliveS &&
           a.qos == b.qos && a.prefix == b.prefix && a.queueLimit == b.queueLimit;
}

bool sameAddress(const BrokerSettings &a, const BrokerSettings &b)
{
    return a.host == b.host && a.port == b.port;
}

QByteArray gatewayTopic(const BrokerSettings &b, const char *tail)
{
    return (b.prefix + QStringLiteral("/gateway/") + QLatin1String(tail)).toUtf8();
}

QByteArray controllerTopic(const BrokerSettings &b, const QString &controller, const QString &tail)
{
    return QStringLiteral("%1/%2/%3").arg(b.prefix, controller, tail).toUtf8();
}

// The retained topics a configuration publishes: any other one the gateway published before is
// cleared when that configuration takes over.
QSet<QByteArray> ownedTopics(const GatewayConfig &config)
{
    QSet<QByteArray> topics{gatewayTopic(config.broker, "status")};
    for (const ControllerSettings &c : config.controllers) {
        topics.insert(controllerTopic(config.broker, c.name, QStringLiteral("status")));
        for (const GatewayTag &t : c.tags) {
            topics.insert(controllerTopic(config.broker, c.name, t.tag.name));
            topics.insert(controllerTopic(config.broker, c.name, t.tag.name + "/meta"));
        }
    }
    return topics;
}

QByteArray setPattern(const BrokerSettings &b)
{
    return (b.prefix + QStringLiteral("/+/+/set")).toUtf8();
}

} // namespace

Gateway::Gateway(const QString &path, DriverLibrary &library) : configPath(path), library(library)
{
    connect(&statsTimer, &QTimer::timeout, this, &Gateway::publishStats);
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
    mqtt = std::make_unique<MqttClient>(config.broker);
    attach(mqtt.get());
    mqtt->subscribe(setPattern(config.broker));
    logLine(LogLevel::Notice, QStringLiteral("broker: connecting to %1:%2 as %3")
                                  .arg(config.broker.host, QString::number(config.broker.port),
                                       config.broker.clientId));
    if (!mqtt->start(error))
        return false;
    startWorkers();
    statsTimer.start(config.broker.statsIntervalS * 1000);
    return true;
}

void Gateway::attach(MqttClient *client)
{
    connect(client, &MqttClient::connectionChanged, this, &Gateway::brokerChanged);
    connect(client, &MqttClient::messageArrived, this, &Gateway::setRequest);
}

void Gateway::startWorkers()
{
    for (const ControllerSettings &c : qAsConst(config.controllers)) {
        auto *thread = new QThread;
        auto *worker = new ControllerWorker(c, config.broker.prefix, &library);
        worker->moveToThread(thread);
        connect(worker, &ControllerWorker::messages, this, &Gateway::takeMessages);
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
        if (mqtt)
            mqtt->publish({controllerTopic(config.broker, name, QStringLiteral("status")),
                           "offline",
                           true,
                           {},
                           0});
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
    if (up)
        logLine(LogLevel::Notice,
                everConnected ? QStringLiteral("broker: connected again; statuses and last values "
                                               "published again")
                              : QStringLiteral("broker: connected"));
    else
        logLine(
            LogLevel::Warning,
            QStringLiteral("broker: %1 (%2); connecting again")
                .arg(everConnected ? QStringLiteral("lost") : QStringLiteral("not reached"), why));
    everConnected = everConnected || up;
}

void Gateway::setRequest(const QByteArray &topic, const QByteArray &payload,
                         const QByteArray &responseTopic, const QByteArray &correlation,
                         bool tooLong, bool retained)
{
    // PREFIX/CONTROLLER/TAG/set, as subscribed; the prefix may have levels of its own.
    const QString head = config.broker.prefix + QLatin1Char('/');
    const QString name = QString::fromUtf8(topic);
    const QStringList levels =
        name.startsWith(head) ? name.mid(head.size()).split(QLatin1Char('/')) : QStringList();
    if (levels.size() != 3)
        return;
    // A reply goes only where the gateway may safely speak: the request's own result topic
    // otherwise.
    const QString responseWhy = responseTopicProblem(responseTopic);
    if (!responseWhy.isEmpty())
        return refuseWrite(topic, responseWhy, QByteArray(), QByteArray());
    // The broker hands a retained request over again at every subscribe: written, it would put
    // an old value into the controller after each reconnect.
    if (retained)
        return refuseWrite(topic, QStringLiteral("a retained request is never written"),
                           responseTopic, correlation);
    ControllerWorker *worker = nullptr;
    for (ControllerWorker *w : qAsConst(workers)) {
        if (w->settings().name == levels[0])
            worker = w;
    }
    const int tag = worker ? worker->tagNamed(levels[1]) : -1;
    if (tag < 0)
        return refuseWrite(topic, QStringLiteral("no such controller or tag"), responseTopic,
                           correlation);
    const GatewayTag &t = worker->settings().tags[tag];
    if (!t.writable)
        return refuseWrite(topic, QStringLiteral("the tag is not writable"), responseTopic,
                           correlation);
    if (tooLong)
        return refuseWrite(topic, QStringLiteral("the payload is too long"), responseTopic,
                           correlation);
    QStringList texts;
    QString why = setPayloadElements(payload, &texts);
    if (why.isEmpty() && texts.size() != t.tag.count)
        why =
            QStringLiteral("the tag takes %1 elements, not %2").arg(t.tag.count).arg(texts.size());
    // A scaled tag takes values in its published units: each is turned back into the raw value.
    if (why.isEmpty() && t.tag.scaled())
        why = rawWriteTexts(t.tag, &texts);
    QVariant typed;
    if (why.isEmpty())
        why = writePayload(t.tag.type, texts, &typed);
    if (!why.isEmpty())
        return refuseWrite(topic, why, responseTopic, correlation);
    QMetaObject::invokeMethod(worker, "write", Qt::QueuedConnection, Q_ARG(int, tag),
                              Q_ARG(QVariant, typed), Q_ARG(int, int(texts.size())),
                              Q_ARG(QByteArray, responseTopic), Q_ARG(QByteArray, correlation));
}

// Any client allowed to publish a request names the response topic: the gateway must not be
// made to speak under its own prefix (statuses, values), to many topics at once, or to the
// broker's own.
QString Gateway::responseTopicProblem(const QByteArray &responseTopic) const
{
    if (responseTopic.isEmpty())
        return QString();
    const QByteArray prefix = config.broker.prefix.toUtf8();
    const bool ownTopic = responseTopic == prefix || responseTopic.startsWith(prefix + '/');
    bool control = false;
    for (const char c : responseTopic)
        control = control || (static_cast<unsigned char>(c) < 0x20 || c == 0x7f);
    if (ownTopic || responseTopic.contains('+') || responseTopic.contains('#') ||
        responseTopic.startsWith('$') || control || responseTopic.size() > longestResponseTopic)
        return QStringLiteral("the response topic must lie outside %1/, hold no + or # or control "
                              "characters, not begin with $ and be at most %2 bytes long")
            .arg(config.broker.prefix)
            .arg(longestResponseTopic);
    return QString();
}

void Gateway::refuseWrite(const QByteArray &topic, const QString &why,
                          const QByteArray &responseTopic, const QByteArray &correlation)
{
    logLine(LogLevel::Warning,
            QStringLiteral("write refused on %1: %2").arg(QString::fromUtf8(topic), why));
    const QByteArray result =
        tagmessages::writeResultJson(tagmessages::refusedResult, tagmessages::refusalWords(why));
    mqtt->publish({topic + "/result", result, false, {}, 0});
    if (!responseTopic.isEmpty())
        mqtt->publish({responseTopic, result, false, correlation, 0});
}

void Gateway::publishStats()
{
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
    QStringList byOutcome;
    for (auto f = failures.begin(); f != failures.end(); ++f)
        byOutcome << QStringLiteral("\"%1\":%2").arg(f.key()).arg(f.value());
    // A scan reads every tag once: requests per tag read, times the tags.
    const double perScan = reads > 0 ? double(requests) * double(tags) / double(reads) : 0;
    const QString json =
        QStringLiteral("{\"reads_per_s\":%1,\"failures\":{%2},\"exchanges_per_scan\":%3,"
                       "\"queue\":%4,\"dropped\":%5,\"replaced\":%6,\"published\":%7,"
                       "\"tag_reads\":%8}")
            .arg(QString::number(readsPerS, 'f', 1), byOutcome.join(QLatin1Char(',')),
                 QString::number(perScan, 'f', 1))
            .arg(mqtt->queueDepth())
            .arg(mqtt->dropped())
            .arg(mqtt->replaced())
            .arg(mqtt->published())
            .arg(tagReads);
    mqtt->publish({gatewayTopic(config.broker, "stats"), json.toUtf8(), false, {}, 0});
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
    mqtt->clearRetained(mqtt->retainedTopics() - ownedTopics(fresh));
    config = fresh;
    startWorkers();
}

// A new session is tried beside the running one, which goes on until the new one is up. One
// with the running session's client id on the same broker takes that session over when it
// connects: the running one then stands aside instead of taking it back.
void Gateway::tryBroker(const GatewayConfig &fresh)
{
    candidateConfig = fresh;
    candidate = std::make_unique<MqttClient>(fresh.broker);
    candidate->subscribe(setPattern(fresh.broker));
    connect(candidate.get(), &MqttClient::connectionChanged, this, &Gateway::candidateChanged);
    logLine(LogLevel::Notice,
            QStringLiteral("broker: trying %1:%2 as %3; the running session goes on meanwhile")
                .arg(fresh.broker.host, QString::number(fresh.broker.port), fresh.broker.clientId));
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
    const QSet<QByteArray> left = old->retainedTopics() - ownedTopics(candidateConfig);
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
                           QSet<QByteArray>{gatewayTopic(old->settings(), "status")});
    // The old status topic says offline unless the new session speaks on it now.
    if (!sameStatus)
        old->publish({gatewayTopic(old->settings(), "status"), "offline", true, {}, 0});
    old->stop(brokerStopMs);
    old.release()->deleteLater(); // its callbacks may be on the stack
    config = candidateConfig;
    latest.clear();
    previous.clear();
    logLine(
        LogLevel::Notice,
        QStringLiteral("broker: connected to %1:%2 as %3; the old session has ended")
            .arg(config.broker.host, QString::number(config.broker.port), config.broker.clientId));
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
    dropCandidate();
    if (loader && !loader->wait(loaderStopMs))
        logLine(LogLevel::Warning,
                QStringLiteral("the configuration file being read again did not end in time"));
    loader = nullptr;
    stopWorkers();
    statsTimer.stop();
    if (mqtt) {
        mqtt->publish({gatewayTopic(config.broker, "status"), "offline", true, {}, 0});
        mqtt->stop(brokerStopMs);
    }
    logLine(LogLevel::Notice, QStringLiteral("stopped"));
    emit finished();
}
