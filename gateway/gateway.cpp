#include "gateway.h"

#include "recordformat.h"
#include "writecommand.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>

#include <cmath>
#include <cstdio>

namespace {

constexpr int workerStopMs = 10000;
constexpr int brokerStopMs = 3000;

bool sameBroker(const BrokerSettings &a, const BrokerSettings &b)
{
    return a.host == b.host && a.port == b.port && a.clientId == b.clientId &&
           a.username == b.username && a.password == b.password && a.caFile == b.caFile &&
           a.certFile == b.certFile && a.keyFile == b.keyFile && a.keepaliveS == b.keepaliveS &&
           a.qos == b.qos && a.prefix == b.prefix && a.queueLimit == b.queueLimit;
}

// A JSON element as the text the write command takes for it. Whole numbers within a double's
// exact range keep every digit; larger 64-bit values come as strings.
QString elementText(const QJsonValue &v, bool *ok)
{
    *ok = true;
    if (v.isBool())
        return v.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    if (v.isString())
        return v.toString();
    if (v.isDouble()) {
        const double d = v.toDouble();
        if (std::floor(d) == d && std::fabs(d) < 9007199254740992.0)
            return QString::number(qint64(d));
        return QString::number(d, 'g', 17);
    }
    *ok = false;
    return QString();
}

// A set payload (a JSON value, or a list of them) as element texts; "" or why not.
QString elementsOf(const QByteArray &payload, QStringList *texts)
{
    QJsonParseError e;
    const QJsonDocument doc = QJsonDocument::fromJson("[" + payload + "]", &e);
    if (doc.isNull() || doc.array().size() != 1)
        return QStringLiteral("the payload is not one JSON value or list");
    const QJsonValue v = doc.array().first();
    const QJsonArray list = v.isArray() ? v.toArray() : QJsonArray{v};
    for (const QJsonValue &item : list) {
        bool ok = false;
        *texts << elementText(item, &ok);
        if (!ok)
            return QStringLiteral("elements are numbers, true, false or texts");
    }
    return QString();
}

} // namespace

void logLine(const QString &line)
{
    const QByteArray bytes = (recordformat::escaped(line) + QLatin1Char('\n')).toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

Gateway::Gateway(const QString &path, DriverLibrary &library) : configPath(path), library(library)
{
    connect(&statsTimer, &QTimer::timeout, this, &Gateway::publishStats);
}

Gateway::~Gateway()
{
    stopWorkers();
}

bool Gateway::start(const GatewayConfig &checked, QString *error)
{
    config = checked;
    for (const QString &w : qAsConst(config.warnings))
        logLine(QStringLiteral("warning: ") + w);
    mqtt = std::make_unique<MqttClient>(config.broker);
    connect(mqtt.get(), &MqttClient::connectionChanged, this, &Gateway::brokerChanged);
    connect(mqtt.get(), &MqttClient::messageArrived, this, &Gateway::setRequest);
    mqtt->subscribe((config.broker.prefix + QStringLiteral("/+/+/set")).toUtf8());
    logLine(
        QStringLiteral("broker: connecting to %1:%2 as %3")
            .arg(config.broker.host, QString::number(config.broker.port), config.broker.clientId));
    if (!mqtt->start(error))
        return false;
    startWorkers();
    statsTimer.start(config.broker.statsIntervalS * 1000);
    return true;
}

void Gateway::startWorkers()
{
    for (const ControllerSettings &c : qAsConst(config.controllers)) {
        auto *thread = new QThread;
        auto *worker = new ControllerWorker(c, config.broker.prefix, &library);
        worker->moveToThread(thread);
        connect(worker, &ControllerWorker::messages, this, &Gateway::takeMessages);
        connect(worker, &ControllerWorker::counters, this, &Gateway::takeCounters);
        connect(worker, &ControllerWorker::logged, this, &logLine);
        connect(worker, &ControllerWorker::stopped, thread, &QThread::quit, Qt::DirectConnection);
        thread->start();
        QMetaObject::invokeMethod(worker, &ControllerWorker::start, Qt::QueuedConnection);
        threads << thread;
        workers << worker;
        logLine(QStringLiteral("controller %1: %2 tags over %3")
                    .arg(c.name)
                    .arg(c.tags.size())
                    .arg(c.connection));
    }
}

void Gateway::stopWorkers()
{
    for (ControllerWorker *w : qAsConst(workers))
        QMetaObject::invokeMethod(w, &ControllerWorker::stop, Qt::QueuedConnection);
    for (int i = 0; i < threads.size(); ++i) {
        // A worker ends its turn after the request in flight, which the driver bounds. One that
        // has not stopped is left as it is: deleting a running thread would end the process.
        if (!threads[i]->wait(workerStopMs)) {
            logLine(QStringLiteral("controller %1: did not stop in time")
                        .arg(workers[i]->settings().name));
            continue;
        }
        delete workers[i];
        delete threads[i];
    }
    // What the workers said last is still queued for this thread.
    QCoreApplication::sendPostedEvents(this);
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
        logLine(everConnected ? QStringLiteral("broker: connected again; statuses and last values "
                                               "published again")
                              : QStringLiteral("broker: connected"));
    else
        logLine(
            QStringLiteral("broker: %1 (%2); connecting again")
                .arg(everConnected ? QStringLiteral("lost") : QStringLiteral("not reached"), why));
    everConnected = everConnected || up;
}

void Gateway::setRequest(const QByteArray &topic, const QByteArray &payload,
                         const QByteArray &responseTopic, const QByteArray &correlation,
                         bool tooLong)
{
    // PREFIX/CONTROLLER/TAG/set, as subscribed.
    const QStringList levels = QString::fromUtf8(topic).split(QLatin1Char('/'));
    if (levels.size() != 4)
        return;
    ControllerWorker *worker = nullptr;
    for (ControllerWorker *w : qAsConst(workers)) {
        if (w->settings().name == levels[1])
            worker = w;
    }
    const int tag = worker ? worker->tagNamed(levels[2]) : -1;
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
    QString why = elementsOf(payload, &texts);
    if (why.isEmpty() && texts.size() != t.tag.count)
        why =
            QStringLiteral("the tag takes %1 elements, not %2").arg(t.tag.count).arg(texts.size());
    QVariant typed;
    if (why.isEmpty())
        why = writePayload(t.tag.type, texts, &typed);
    if (!why.isEmpty())
        return refuseWrite(topic, why, responseTopic, correlation);
    QMetaObject::invokeMethod(worker, "write", Qt::QueuedConnection, Q_ARG(int, tag),
                              Q_ARG(QVariant, typed), Q_ARG(int, int(texts.size())),
                              Q_ARG(QByteArray, responseTopic), Q_ARG(QByteArray, correlation));
}

void Gateway::refuseWrite(const QByteArray &topic, const QString &why,
                          const QByteArray &responseTopic, const QByteArray &correlation)
{
    logLine(QStringLiteral("write refused on %1: %2").arg(QString::fromUtf8(topic), why));
    const QByteArray result =
        tagmessages::writeResultJson(tagmessages::refusedResult, tagmessages::refusalWords(why));
    mqtt->publish({topic + "/result", result, false, {}});
    if (!responseTopic.isEmpty())
        mqtt->publish({responseTopic, result, false, correlation});
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
                       "\"queue\":%4,\"dropped\":%5,\"published\":%6,\"tag_reads\":%7}")
            .arg(QString::number(readsPerS, 'f', 1), byOutcome.join(QLatin1Char(',')),
                 QString::number(perScan, 'f', 1))
            .arg(mqtt->queueDepth())
            .arg(mqtt->dropped())
            .arg(mqtt->published())
            .arg(tagReads);
    mqtt->publish({(config.broker.prefix + QStringLiteral("/gateway/stats")).toUtf8(),
                   json.toUtf8(),
                   false,
                   {}});
}

void Gateway::reload()
{
    GatewayConfig fresh;
    QString error;
    if (!loadGatewayConfig(configPath, &fresh, &error)) {
        logLine(QStringLiteral("reload refused, the running configuration stays: ") + error);
        return;
    }
    logLine(QStringLiteral("reload: %1").arg(configPath));
    stopWorkers();
    latest.clear();
    previous.clear();
    const bool newBroker = !sameBroker(fresh.broker, config.broker);
    publishControllersOffline();
    if (newBroker) {
        mqtt->stop(brokerStopMs);
        mqtt.reset();
        QString why;
        if (!start(fresh, &why))
            logLine(QStringLiteral("broker: ") + why);
        return;
    }
    config = fresh;
    for (const QString &w : qAsConst(config.warnings))
        logLine(QStringLiteral("warning: ") + w);
    startWorkers();
}

// Each controller's retained status says offline: its worker has stopped.
void Gateway::publishControllersOffline()
{
    for (const ControllerSettings &c : qAsConst(config.controllers))
        mqtt->publish(
            {(config.broker.prefix + QLatin1Char('/') + c.name + QStringLiteral("/status"))
                 .toUtf8(),
             "offline",
             true,
             {}});
}

void Gateway::stop()
{
    logLine(QStringLiteral("stopping"));
    stopWorkers();
    statsTimer.stop();
    if (mqtt) {
        publishControllersOffline();
        mqtt->publish({(config.broker.prefix + QStringLiteral("/gateway/status")).toUtf8(),
                       "offline",
                       true,
                       {}});
        mqtt->stop(brokerStopMs);
    }
    logLine(QStringLiteral("stopped"));
    emit finished();
}
