#include "mqttclient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QThread>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <cstdlib>

namespace {

constexpr int firstBackoffMs = 500;
constexpr int longestBackoffMs = 30000;
constexpr int largestIncoming = 65536; // bytes of a payload the gateway takes in

QString mosquittoWords(int rc)
{
    return QString::fromUtf8(mosquitto_strerror(rc));
}

QByteArray gatewayStatusTopic(const BrokerSettings &s)
{
    return (s.prefix + QStringLiteral("/gateway/status")).toUtf8();
}

} // namespace

MqttClient::MqttClient(const BrokerSettings &s, QObject *parent) : QObject(parent), settings(s)
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

bool MqttClient::start(QString *error)
{
    const QByteArray id = settings.clientId.toUtf8();
    mosq = mosquitto_new(id.constData(), true, this);
    if (!mosq) {
        *error = QStringLiteral("cannot create an MQTT session");
        return false;
    }
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_v5_callback_set(mosq, &MqttClient::onConnect);
    mosquitto_disconnect_v5_callback_set(mosq, &MqttClient::onDisconnect);
    mosquitto_publish_v5_callback_set(mosq, &MqttClient::onPublish);
    mosquitto_message_v5_callback_set(mosq, &MqttClient::onMessage);
    const QByteArray will = gatewayStatusTopic(settings);
    int rc = mosquitto_will_set(mosq, will.constData(), 7, "offline", settings.qos, true);
    if (rc == MOSQ_ERR_SUCCESS && !settings.username.isEmpty())
        rc = mosquitto_username_pw_set(mosq, settings.username.toUtf8().constData(),
                                       settings.password.toUtf8().constData());
    if (rc == MOSQ_ERR_SUCCESS && !settings.caFile.isEmpty()) {
        const QByteArray ca = settings.caFile.toUtf8(), cert = settings.certFile.toUtf8(),
                         key = settings.keyFile.toUtf8();
        rc = mosquitto_tls_set(mosq, ca.constData(), nullptr,
                               cert.isEmpty() ? nullptr : cert.constData(),
                               key.isEmpty() ? nullptr : key.constData(), nullptr);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        *error = QStringLiteral("the broker settings are refused: %1").arg(mosquittoWords(rc));
        return false;
    }
    misc.start();
    tryConnect();
    return true;
}

void MqttClient::tryConnect()
{
    if (stopping)
        return;
    const int rc = !everStarted ? mosquitto_connect_async(mosq, settings.host.toUtf8().constData(),
                                                          settings.port, settings.keepaliveS)
                                : mosquitto_reconnect_async(mosq);
    everStarted = true; // host and port are set: from now on a retry reconnects
    if (rc != MOSQ_ERR_SUCCESS) {
        lost(QStringLiteral("connect: %1").arg(mosquittoWords(rc)));
        return;
    }
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
    afterLoop(mosquitto_loop_read(mosq, 1), "read");
}

void MqttClient::writable()
{
    afterLoop(mosquitto_loop_write(mosq, 1), "write");
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
        lost(QStringLiteral("keepalive: %1").arg(mosquittoWords(rc)));
    else
        updateWriteWatch();
}

// The session is gone: say so once, and try again after a backoff that doubles up to a cap.
void MqttClient::lost(const QString &why)
{
    dropSocket();
    inFlight = 0;
    // Said once per loss, and once for a broker that was not there to begin with.
    if (connected || !toldDown) {
        connected = false;
        toldDown = true;
        emit connectionChanged(false, why);
    }
    if (stopping)
        return;
    backoffMs = backoffMs == 0 ? firstBackoffMs : qMin(backoffMs * 2, longestBackoffMs);
    retry.start(backoffMs);
}

void MqttClient::onConnect(mosquitto *, void *self, int rc, int, const mqtt5__property *)
{
    auto *c = static_cast<MqttClient *>(self);
    if (rc != 0) {
        c->lost(QStringLiteral("the broker refused the connection: %1")
                    .arg(QString::fromUtf8(mosquitto_reason_string(rc))));
        return;
    }
    c->backoffMs = 0;
    c->connected = true;
    c->toldDown = false;
    for (const QByteArray &pattern : qAsConst(c->subscriptions))
        mosquitto_subscribe_v5(c->mosq, nullptr, pattern.constData(), c->settings.qos, 0, nullptr);
    c->send({gatewayStatusTopic(c->settings), "online", true, {}});
    for (const MqttMessage &m : qAsConst(c->retained))
        c->send(m);
    while (!c->waiting.isEmpty()) {
        const MqttMessage m = c->waiting.dequeue();
        if (!m.retain)
            c->send(m);
    }
    emit c->connectionChanged(true, QString());
    c->updateWriteWatch();
}

void MqttClient::onDisconnect(mosquitto *, void *self, int rc, const mqtt5__property *)
{
    auto *c = static_cast<MqttClient *>(self);
    if (!c->stopping)
        c->lost(QStringLiteral("disconnected: %1").arg(mosquittoWords(rc)));
}

void MqttClient::onPublish(mosquitto *, void *self, int, int, const mqtt5__property *)
{
    auto *c = static_cast<MqttClient *>(self);
    c->inFlight = qMax(0, c->inFlight - 1);
}

void MqttClient::onMessage(mosquitto *, void *self, const mosquitto_message *message,
                           const mqtt5__property *properties)
{
    auto *c = static_cast<MqttClient *>(self);
    // A retained request is an old one the broker replays on every subscribe: acting on it
    // would write a stale value to the controller after each reconnect.
    if (message->retain)
        return;
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
    emit c->messageArrived(QByteArray(message->topic), payload, response, corr, tooLong);
}

void MqttClient::subscribe(const QByteArray &pattern)
{
    subscriptions << pattern;
    if (connected)
        mosquitto_subscribe_v5(mosq, nullptr, pattern.constData(), settings.qos, 0, nullptr);
}

void MqttClient::publish(const MqttMessage &message)
{
    if (message.retain)
        retained.insert(message.topic, message);
    // Past the limit of messages on their way the broker is not keeping up: drop, and count.
    if (connected && inFlight < settings.queueLimit) {
        send(message);
        updateWriteWatch();
        return;
    }
    if (connected || waiting.size() >= settings.queueLimit) {
        ++droppedCount;
        if (!connected)
            waiting.dequeue();
        else
            return;
    }
    waiting.enqueue(message);
}

bool MqttClient::send(const MqttMessage &m)
{
    mosquitto_property *properties = nullptr;
    if (!m.correlation.isEmpty())
        mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA,
                                      m.correlation.constData(), uint16_t(m.correlation.size()));
    const int rc = mosquitto_publish_v5(mosq, nullptr, m.topic.constData(), m.payload.size(),
                                        m.payload.constData(), settings.qos, m.retain, properties);
    mosquitto_property_free_all(&properties);
    if (rc != MOSQ_ERR_SUCCESS) {
        ++droppedCount;
        return false;
    }
    ++inFlight;
    ++publishedCount;
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
        while (inFlight > 0 && clock.elapsed() < timeoutMs && readWatch) {
            mosquitto_loop_write(mosq, 1);
            mosquitto_loop_read(mosq, 1);
            QThread::msleep(1);
        }
        mosquitto_disconnect_v5(mosq, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
        mosquitto_loop_write(mosq, 1);
    }
    dropSocket();
    connected = false;
}
