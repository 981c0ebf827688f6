#include "mqttclient.h"

#include "mqtttopics.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

constexpr int firstBackoffMs = 500;
constexpr int longestBackoffMs = 30000;
// A session that lasted this long was a good one: the next loss starts the backoff afresh. One
// that ends sooner (another client taking the session over, a broker that drops us at once)
// doubles it, so two gateways given one client_id do not take the session from each other
// several times a second.
constexpr int steadySessionMs = longestBackoffMs;
constexpr int largestIncoming = 65536; // bytes of a payload the gateway takes in
// Messages handed to libmosquitto and not yet acknowledged by the broker; the rest wait in the
// queue, where a newer value of a topic can still replace an older one.
constexpr int handOverWindow = 1000;
// Messages of history unacknowledged at once: enough to keep the link busy, few enough that a
// live value made meanwhile is not queued behind much.
constexpr int historyWindow = 4;
// A broker that acknowledges nothing for this long is taken as stalled.
constexpr int stalledMs = 1000;
// A backlog this long leaves, once it has gone out, enough free memory among what the gateway
// keeps to be worth handing back: a gateway of many tags queues two messages a tag as it starts
// (and again on each new session), and the retained messages made in that burst outlive it.
constexpr int backlogWorthReleasing = 10000;

// The pages that the allocator holds free are handed back to the system. Without this, what a
// burst of messages took stays resident, a third again of what a large gateway keeps.
void releaseFreePages()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

QString mosquittoWords(int rc)
{
    return QString::fromUtf8(mosquitto_strerror(rc));
}

// A session with every setting applied, not connected; *rc says why not.
mosquitto *sessionFor(const BrokerSettings &settings, const MqttMessage &will, void *owner, int *rc)
{
    mosquitto *mosq = mosquitto_new(sessionClientId(settings).toUtf8().constData(), true, owner);
    if (!mosq) {
        *rc = MOSQ_ERR_INVAL;
        return nullptr;
    }
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION,
                         settings.mqtt5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    // The library writes a packet to the socket as soon as it is made unless the session is
    // threaded: a send of its own for every message, each of which delivers it through the
    // loopback or the network at once. Threaded, packets wait until the socket is writable and
    // go out together (MqttClient::writable); the client calls into the library from its own
    // thread only.
    mosquitto_threaded_set(mosq, true);
    // The will, said by the broker when the session ends unasked; none without a topic.
    *rc = will.topic.isEmpty()
              ? MOSQ_ERR_SUCCESS
              : mosquitto_will_set(mosq, will.topic.constData(), will.payload.size(),
                                   will.payload.constData(), settings.qos, will.retain);
    if (*rc == MOSQ_ERR_SUCCESS && !settings.username.isEmpty())
        *rc = mosquitto_username_pw_set(mosq, settings.username.toUtf8().constData(),
                                        settings.password.toUtf8().constData());
    if (*rc == MOSQ_ERR_SUCCESS && !settings.caFile.isEmpty()) {
        const QByteArray ca = settings.caFile.toUtf8(), cert = settings.certFile.toUtf8(),
                         key = settings.keyFile.toUtf8();
        *rc = mosquitto_tls_set(mosq, ca.constData(), nullptr,
                                cert.isEmpty() ? nullptr : cert.constData(),
                                key.isEmpty() ? nullptr : key.constData(), nullptr);
    }
    if (*rc != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(mosq);
        return nullptr;
    }
    return mosq;
}

QString refusedWords(int rc)
{
    return QStringLiteral("the broker settings are refused: %1")
        .arg(rc == MOSQ_ERR_INVAL ? QStringLiteral("invalid client_id or settings")
                                  : mosquittoWords(rc));
}

} // namespace

MqttClient::MqttClient(const BrokerSettings &s, QObject *parent)
    : QObject(parent), brokerSettings(s), addresses(brokerAddresses(s)), queue(s.queueLimit)
{
    misc.setInterval(1000);
    connect(&misc, &QTimer::timeout, this, &MqttClient::housekeeping);
    retry.setSingleShot(true);
    connect(&retry, &QTimer::timeout, this, &MqttClient::tryConnect);
}

MqttClient::~MqttClient()
{
    dropSocket();
    if (mosq)
        mosquitto_destroy(mosq);
}

QString MqttClient::settingsProblem(const BrokerSettings &settings)
{
    static const int initialized = mosquitto_lib_init();
    Q_UNUSED(initialized)
    int rc = MOSQ_ERR_SUCCESS;
    mosquitto *trial = sessionFor(settings, mqttjson::gatewayStatus(settings, false), nullptr, &rc);
    if (!trial)
        return refusedWords(rc);
    mosquitto_destroy(trial);
    return QString();
}

bool MqttClient::start(QString *error)
{
    // Each connect makes its own session (with its will): here the settings are only tried.
    *error = settingsProblem(brokerSettings);
    if (!error->isEmpty())
        return false;
    if (announceOnline)
        remember(onlineStatus());
    misc.start();
    tryConnect();
    return true;
}

MqttMessage MqttClient::onlineStatus() const
{
    return mqttjson::gatewayStatus(brokerSettings, true, onlineExpiryS);
}

void MqttClient::remember(const MqttMessage &message)
{
    retained.insert_or_assign(message.topic,
                              Retained{message.payload, message.expiryS, message.sessionBound});
    if (message.correlation.isEmpty())
        retainedCorrelations.remove(message.topic);
    else
        retainedCorrelations.insert(message.topic, message.correlation);
}

void MqttClient::forget(const QByteArray &topic)
{
    retained.erase(topic);
    retainedCorrelations.remove(topic);
}

MqttMessage MqttClient::retainedMessage(const QByteArray &topic, const Retained &kept) const
{
    return {topic, kept.payload,     true, retainedCorrelations.value(topic), kept.expiryS,
            {},    kept.sessionBound};
}

void MqttClient::setWill(WillMaker maker)
{
    willMaker = std::move(maker);
}

void MqttClient::setOnlineStatus(bool announce, int expiryS)
{
    announceOnline = announce;
    onlineExpiryS = expiryS;
}

void MqttClient::startOver(const QString &why)
{
    // Asked from a message's handler, inside libmosquitto's read: its disconnect would call back
    // into it there. It is done once the read has returned.
    QMetaObject::invokeMethod(
        this,
        [this, why] {
            if (!connected)
                return;
            // The library's own word of the disconnect is not the reason. MQTT 3.1.1 has no
            // disconnect that leaves the will to be said: the caller has said it.
            stopping = true;
            mosquitto_disconnect_v5(mosq,
                                    brokerSettings.mqtt5 ? MQTT_RC_DISCONNECT_WITH_WILL_MSG
                                                         : MQTT_RC_NORMAL_DISCONNECTION,
                                    nullptr);
            mosquitto_loop_write(mosq, 1);
            stopping = false;
            lost(why);
        },
        Qt::QueuedConnection);
}

// A fresh libmosquitto session: whatever the last one still held is gone with it.
QString MqttClient::newSession()
{
    dropSocket();
    if (mosq)
        mosquitto_destroy(mosq);
    int rc = MOSQ_ERR_SUCCESS;
    const MqttMessage will =
        willMaker ? willMaker() : mqttjson::gatewayStatus(brokerSettings, false);
    mosq = sessionFor(brokerSettings, will, this, &rc);
    if (!mosq)
        return refusedWords(rc);
    mosquitto_connect_v5_callback_set(mosq, &MqttClient::onConnect);
    mosquitto_disconnect_v5_callback_set(mosq, &MqttClient::onDisconnect);
    mosquitto_publish_v5_callback_set(mosq, &MqttClient::onPublish);
    mosquitto_message_v5_callback_set(mosq, &MqttClient::onMessage);
    return QString();
}

void MqttClient::tryConnect()
{
    if (stopping)
        return;
    const QString problem = newSession();
    if (!problem.isEmpty())
        return lost(problem);
    const BrokerAddress address = currentAddress();
    const int rc = mosquitto_connect_async(mosq, address.host.toUtf8().constData(), address.port,
                                           brokerSettings.keepaliveS);
    if (rc != MOSQ_ERR_SUCCESS)
        return lost(QStringLiteral("connect: %1").arg(mosquittoWords(rc)));
    watchSocket();
}

void MqttClient::watchSocket()
{
    dropSocket();
    const int fd = mosquitto_socket(mosq);
    if (fd < 0)
        return;
    readWatch = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(readWatch, &QSocketNotifier::activated, this, &MqttClient::readable);
    writeWatch = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    connect(writeWatch, &QSocketNotifier::activated, this, &MqttClient::writable);
    updateWriteWatch();
}

void MqttClient::dropSocket()
{
    delete readWatch;
    delete writeWatch;
    readWatch = writeWatch = nullptr;
}

void MqttClient::updateWriteWatch()
{
    if (writeWatch)
        writeWatch->setEnabled(mosquitto_want_write(mosq));
}

void MqttClient::readable()
{
    const int rc = mosquitto_loop_read(mosq, 1);
    if (rc == MOSQ_ERR_SUCCESS)
        heard.start();
    afterLoop(rc, "read");
}

void MqttClient::askForWord(const QByteArray &pattern)
{
    if (connected)
        subscribeNow(pattern);
}

void MqttClient::forgetPublished()
{
    retained.clear();
    retainedCorrelations.clear();
    standing.clear();
    queue = PublishQueue(brokerSettings.queueLimit);
    queue.setKeeper(keeper);
}

// The library hands each waiting packet to the socket on its own; corked, they leave in as few
// segments as they fill, and go at once when it is uncorked.
void MqttClient::writable()
{
    const int fd = mosquitto_socket(mosq);
    setCorked(fd, true);
    const int rc = mosquitto_loop_write(mosq, 1);
    setCorked(fd, false);
    afterLoop(rc, "write");
}

// Only a TCP socket has a cork; any other is left as it is.
void MqttClient::setCorked(int fd, bool corked)
{
    const int on = corked ? 1 : 0;
    if (fd >= 0)
        ::setsockopt(fd, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
}

// A loss the library reported through on_disconnect inside the loop call has been handled
// there (the socket is dropped): it is not counted twice, which would double the back-off.
void MqttClient::afterLoop(int rc, const char *what)
{
    if (rc == MOSQ_ERR_SUCCESS)
        updateWriteWatch();
    else if (readWatch)
        lost(QStringLiteral("%1: %2").arg(QLatin1String(what), mosquittoWords(rc)));
}

void MqttClient::housekeeping()
{
    if (!readWatch)
        return;
    const int rc = mosquitto_loop_misc(mosq);
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN)
        return lost(QStringLiteral("keepalive: %1").arg(mosquittoWords(rc)));
    updateWriteWatch();
    keepWhileStalled();
}

// A broker that has acknowledged nothing for a second may never: the values of what it holds up
// are kept in the store as well, so that a kill loses no more than that second. Should it take
// them after all, a historian finds those values twice, with the same time.
void MqttClient::keepWhileStalled()
{
    if (!keeper || handedOver.isEmpty() || sinceProgress.elapsed() < stalledMs)
        return;
    QVector<HandedOver *> waiting;
    for (HandedOver &h : handedOver) {
        if (h.message.held.count > 0)
            waiting << &h;
    }
    std::sort(waiting.begin(), waiting.end(),
              [](const HandedOver *a, const HandedOver *b) { return a->order < b->order; });
    for (HandedOver *h : qAsConst(waiting)) {
        keeper(h->message.held);
        h->message.held = HeldRecords();
    }
    queue.keepAllHeld();
}

// The session is gone: say so once, and try again after a backoff that doubles up to a cap.
// The session object itself is replaced at the next attempt, outside libmosquitto's callbacks.
void MqttClient::lost(const QString &why)
{
    dropSocket();
    takeBackHandedOver();
    const bool steady =
        connected && sessionAge.isValid() && sessionAge.elapsed() >= steadySessionMs;
    // Said once per loss, and once for a broker that was not there to begin with.
    if ((connected || !toldDown) && !yielding)
        emit connectionChanged(false, why);
    toldDown = toldDown || !yielding;
    connected = false;
    if (stopping || yielding)
        return;
    // The next broker of the list; once round the list, the backoff grows.
    addressAt = (addressAt + 1) % qMax(1, int(addresses.size()));
    if (addressAt != 0 && !steady)
        return retry.start(firstBackoffMs);
    backoffMs = backoffMs == 0 || steady ? firstBackoffMs : qMin(backoffMs * 2, longestBackoffMs);
    retry.start(backoffMs);
}

BrokerAddress MqttClient::currentAddress() const
{
    return addresses.value(addressAt, {brokerSettings.host, brokerSettings.port});
}

// What the broker did not acknowledge goes out again on the next session: the messages that are
// not retained, oldest first, ahead of everything waiting; a retained topic gets its latest
// message again in any case. With a keeper, the values for history of every message that did not
// reach the broker are kept, oldest first, and a message that is not retained does not go out
// late as if it were live. History that was not acknowledged is still in the store.
void MqttClient::takeBackHandedOver()
{
    QVector<HandedOver> unacknowledged;
    for (const HandedOver &h : qAsConst(handedOver)) {
        if (h.historyId < 0)
            unacknowledged << h;
    }
    std::sort(unacknowledged.begin(), unacknowledged.end(),
              [](const HandedOver &a, const HandedOver &b) { return a.order < b.order; });
    QVector<MqttMessage> again;
    for (const HandedOver &h : qAsConst(unacknowledged)) {
        const bool kept = keeper && h.message.held.count > 0;
        if (kept)
            keeper(h.message.held);
        if (!h.message.retain && !kept && !h.message.sessionBound)
            again << h.message;
    }
    queue.keepAllHeld();
    queue.dropSessionBound();
    for (auto m = again.crbegin(); m != again.crend(); ++m)
        queue.pushFront(*m);
    handedOver.clear();
    earlyAcks.clear();
    historyInFlight = 0;
}

void MqttClient::setYielding(bool yield)
{
    yielding = yield;
    if (!yielding && !connected && !stopping && !retry.isActive())
        retry.start(firstBackoffMs);
}

void MqttClient::onConnect(mosquitto *, void *self, int rc, int, const mqtt5__property *)
{
    auto *c = static_cast<MqttClient *>(self);
    if (rc != 0)
        return c->lost(QStringLiteral("the broker refused the connection: %1")
                           .arg(QString::fromUtf8(mosquitto_reason_string(rc))));
    c->sessionUp();
}

void MqttClient::sessionUp()
{
    connected = true;
    toldDown = false;
    sessionAge.start();
    heard.start();
    // Retained requests are seen as retained whenever they come, not only when the broker
    // replays them at the subscribe.
    for (const QByteArray &pattern : qAsConst(subscriptions))
        subscribeNow(pattern);
    if (announceOnline)
        queue.pushFront(onlineStatus());
    for (auto r = retained.cbegin(); r != retained.cend(); ++r)
        queue.remind(retainedMessage(r->first, r->second));
    for (const StandingSet &set : qAsConst(standing)) {
        for (const MqttMessage &m : set())
            queue.remind(m);
    }
    emit connectionChanged(true, QString());
    pump();
    updateWriteWatch();
}

void MqttClient::onDisconnect(mosquitto *, void *self, int rc, const mqtt5__property *)
{
    auto *c = static_cast<MqttClient *>(self);
    if (!c->stopping)
        c->lost(QStringLiteral("disconnected: %1").arg(c->disconnectWords(rc)));
}

// A disconnect is told by libmosquitto's own codes for what happened here, or by the broker's
// MQTT 5 reason code (128 and above) when the broker ended the session. Some brokers close a
// session that another client takes over without a reason: a session the broker closes soon
// after it began gets a hint.
QString MqttClient::disconnectWords(int rc) const
{
    if (rc == MQTT_RC_SESSION_TAKEN_OVER)
        return QStringLiteral("another client with the same client_id took the session over");
    if (rc >= 128)
        return QStringLiteral("the broker ended the session: %1")
            .arg(QString::fromUtf8(mosquitto_reason_string(rc)));
    QString words = mosquittoWords(rc);
    if (rc == MOSQ_ERR_CONN_LOST && connected && sessionAge.elapsed() < steadySessionMs)
        words += QStringLiteral(" %1 s after the session began; another client with client_id "
                                "%2 may be taking it over")
                     .arg(sessionAge.elapsed() / 1000)
                     .arg(brokerSettings.clientId);
    return words;
}

void MqttClient::onPublish(mosquitto *, void *self, int mid, int, const mqtt5__property *)
{
    static_cast<MqttClient *>(self)->acknowledged(mid);
}

void MqttClient::acknowledged(int mid)
{
    const auto h = handedOver.constFind(mid);
    if (h == handedOver.cend()) {
        earlyAcks.insert(mid);
        return;
    }
    const MqttMessage m = h->message;
    const qint64 historyId = h->historyId;
    // Removed by its id, not erased where it was found: an erase looks for the entry after it,
    // across every empty bucket of a table that once held a burst, and never shrinks the table.
    handedOver.remove(mid);
    sinceProgress.start();
    if (historyId >= 0) {
        --historyInFlight;
        emit historyDelivered(historyId);
    }
    // A topic cleared and not published since is forgotten once the broker has the clearing.
    if (m.retain && m.payload.isEmpty()) {
        const auto kept = retained.find(m.topic);
        if (kept != retained.end() && kept->second.payload.isEmpty())
            forget(m.topic);
    }
    pump();
}

void MqttClient::onMessage(mosquitto *, void *self, const mosquitto_message *message,
                           const mqtt5__property *properties)
{
    auto *c = static_cast<MqttClient *>(self);
    const bool tooLong = message->payloadlen > largestIncoming;
    const QByteArray payload =
        tooLong ? QByteArray()
                : QByteArray(static_cast<const char *>(message->payload), message->payloadlen);
    char *responseTopic = nullptr;
    void *correlation = nullptr;
    uint16_t correlationSize = 0;
    mosquitto_property_read_string(properties, MQTT_PROP_RESPONSE_TOPIC, &responseTopic, false);
    mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &correlation,
                                   &correlationSize, false);
    const QByteArray response = responseTopic ? QByteArray(responseTopic) : QByteArray();
    const QByteArray corr =
        correlation ? QByteArray(static_cast<const char *>(correlation), correlationSize)
                    : QByteArray();
    std::free(responseTopic);
    std::free(correlation);
    emit c->messageArrived(QByteArray(message->topic), payload, response, corr, tooLong,
                           message->retain);
}

void MqttClient::subscribe(const QByteArray &pattern)
{
    subscriptions << pattern;
    if (connected)
        subscribeNow(pattern);
}

void MqttClient::subscribeNow(const QByteArray &pattern)
{
    // MQTT 3.1.1 marks as retained only what the broker replays at a subscribe.
    mosquitto_subscribe_v5(mosq, nullptr, pattern.constData(), brokerSettings.qos,
                           brokerSettings.mqtt5 ? MQTT_SUB_OPT_RETAIN_AS_PUBLISHED : 0, nullptr);
    updateWriteWatch();
}

void MqttClient::setKeeper(PublishQueue::Keeper keep)
{
    keeper = keep;
    queue.setKeeper(std::move(keep));
}

void MqttClient::publish(const MqttMessage &message)
{
    if (message.sessionBound && !connected) {
        if (keeper && message.held.count > 0)
            keeper(message.held);
        return;
    }
    if (keeper && message.held.count > 0 && !connected) {
        keeper(message.held);
        if (!message.retain)
            return;
        MqttMessage live = message;
        live.held = HeldRecords();
        return publish(live);
    }
    // What is remembered for the next session goes out as the latest, not as history.
    if (message.retain && message.standing)
        forget(message.topic);
    else if (message.retain)
        remember(message);
    queue.push(message);
    pump();
}

bool MqttClient::takesHistory() const
{
    return connected && !stopping && !queue.hasWaiting() && historyInFlight < historyWindow;
}

bool MqttClient::sendHistory(const QVector<MqttMessage> &messages, qint64 id)
{
    if (!takesHistory())
        return false;
    for (const MqttMessage &m : messages) {
        if (!send(m, id)) {
            updateWriteWatch();
            return false;
        }
    }
    updateWriteWatch();
    return true;
}

void MqttClient::setStanding(const QVector<StandingSet> &sets)
{
    standing = sets;
}

QSet<QByteArray> MqttClient::retainedTopics() const
{
    QSet<QByteArray> topics;
    for (const StandingSet &set : standing) {
        for (const MqttMessage &m : set())
            topics.insert(m.topic);
    }
    for (const auto &[topic, kept] : retained) {
        if (!kept.payload.isEmpty())
            topics.insert(topic);
    }
    return topics;
}

void MqttClient::clearRetained(const QSet<QByteArray> &topics)
{
    for (const QByteArray &topic : topics)
        publish({topic, QByteArray(), true, {}, 0, {}});
}

// Hands waiting messages to libmosquitto while the window has room. Not entered again from the
// acknowledgement of a message it is handing over.
void MqttClient::pump()
{
    if (pumping)
        return;
    pumping = true;
    const int window = qMin(brokerSettings.queueLimit, handOverWindow);
    backlog = qMax(backlog, queue.waitingCount());
    while (connected && handedOver.size() < window && queue.hasWaiting()) {
        if (!send(queue.take()))
            break;
    }
    if (!queue.hasWaiting() && std::exchange(backlog, 0) >= backlogWorthReleasing)
        releaseFreePages();
    pumping = false;
    updateWriteWatch();
}

bool MqttClient::send(const MqttMessage &m, qint64 historyId)
{
    mosquitto_property *properties = nullptr;
    // MQTT 3.1.1 carries no properties: no correlation, no expiry.
    if (!m.correlation.isEmpty() && brokerSettings.mqtt5)
        mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA,
                                      m.correlation.constData(), uint16_t(m.correlation.size()));
    if (m.expiryS > 0 && brokerSettings.mqtt5)
        mosquitto_property_add_int32(&properties, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL,
                                     uint32_t(m.expiryS));
    int mid = 0;
    const int rc =
        mosquitto_publish_v5(mosq, &mid, m.topic.constData(), m.payload.size(),
                             m.payload.constData(), brokerSettings.qos, m.retain, properties);
    mosquitto_property_free_all(&properties);
    if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_ERRNO) {
        // The session broke under this message: it waits for the next one (history waits in
        // the store).
        if (historyId < 0)
            queue.pushFront(m);
        if (connected)
            lost(QStringLiteral("publish: %1").arg(mosquittoWords(rc)));
        return false;
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        ++refusedCount;
        // History the library will never take is not tried again at every session.
        if (historyId >= 0)
            emit historyDelivered(historyId);
        return true;
    }
    ++publishedCount;
    // Written out at once (QoS 0), it may have been acknowledged before its id was known.
    if (!earlyAcks.remove(mid)) {
        if (handedOver.isEmpty())
            sinceProgress.start();
        handedOver.insert(mid, {m, handOverOrder++, historyId});
        historyInFlight += historyId >= 0 ? 1 : 0;
    } else if (historyId >= 0) {
        emit historyDelivered(historyId);
    }
    return true;
}

void MqttClient::stop(int timeoutMs)
{
    stopping = true;
    retry.stop();
    if (connected) {
        QElapsedTimer clock;
        clock.start();
        // What was handed over goes out before the DISCONNECT, within the time given.
        while ((!handedOver.isEmpty() || queue.hasWaiting()) && clock.elapsed() < timeoutMs &&
               readWatch) {
            pump();
            if (mosquitto_loop_write(mosq, 1) != MOSQ_ERR_SUCCESS ||
                mosquitto_loop_read(mosq, 1) != MOSQ_ERR_SUCCESS)
                break;
            QThread::msleep(1);
        }
        mosquitto_disconnect_v5(mosq, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
        mosquitto_loop_write(mosq, 1);
    }
    dropSocket();
    connected = false;
    // What did not go in time is kept for history.
    takeBackHandedOver();
}
