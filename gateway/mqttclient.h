#pragma once

#include "gatewayconfig.h"

#include <QByteArray>
#include <QHash>
#include <QMetaType>
#include <QObject>
#include <QQueue>
#include <QTimer>

struct mosquitto;
struct mqtt5__property;
class QSocketNotifier;

struct MqttMessage
{
    QByteArray topic;
    QByteArray payload;
    bool retain = false;
    QByteArray correlation; // MQTT 5 correlation data, sent when not empty
};
Q_DECLARE_METATYPE(MqttMessage)
Q_DECLARE_METATYPE(QVector<MqttMessage>)

// One session with the broker through libmosquitto, driven from the Qt event loop of the thread
// it lives in: socket notifiers call its read and write steps, a timer its keepalive. The last
// will says "offline" on PREFIX/gateway/status. While the broker is away messages wait in a
// bounded queue (the oldest give way, and are counted); every retained message is remembered by
// topic and published again after each reconnect, so a broker that lost its state gets it back.
class MqttClient : public QObject
{
    Q_OBJECT

public:
    explicit MqttClient(const BrokerSettings &settings, QObject *parent = nullptr);
    ~MqttClient() override;

    // Sets the session up and starts connecting; false with *error when the settings are refused.
    bool start(QString *error);
    void publish(const MqttMessage &message);
    void subscribe(const QByteArray &pattern);
    // A clean DISCONNECT once what is queued has gone out, waiting at most timeoutMs.
    void stop(int timeoutMs);

    bool isConnected() const { return connected; }
    int queueDepth() const { return int(waiting.size()) + inFlight; }
    qint64 dropped() const { return droppedCount; }
    qint64 published() const { return publishedCount; }

signals:
    void connectionChanged(bool up, const QString &why);
    void messageArrived(const QByteArray &topic, const QByteArray &payload,
                        const QByteArray &responseTopic, const QByteArray &correlation,
                        bool tooLong);

private:
    static void onConnect(mosquitto *, void *self, int rc, int flags, const mqtt5__property *);
    static void onDisconnect(mosquitto *, void *self, int rc, const mqtt5__property *);
    static void onPublish(mosquitto *, void *self, int mid, int rc, const mqtt5__property *);
    static void onMessage(mosquitto *, void *self, const struct mosquitto_message *message,
                          const mqtt5__property *properties);

    void watchSocket();
    void dropSocket();
    void readable();
    void writable();
    void afterLoop(int rc, const char *what);
    void housekeeping();
    void lost(const QString &why);
    void tryConnect();
    bool send(const MqttMessage &message);
    void updateWriteWatch();

    BrokerSettings settings;
    mosquitto *mosq = nullptr;
    QSocketNotifier *readWatch = nullptr;
    QSocketNotifier *writeWatch = nullptr;
    QTimer misc;
    QTimer retry;
    int backoffMs = 0;
    bool everStarted = false;
    bool connected = false;
    bool toldDown = false;
    bool stopping = false;
    QQueue<MqttMessage> waiting;
    QHash<QByteArray, MqttMessage> retained;
    QList<QByteArray> subscriptions;
    int inFlight = 0;
    qint64 droppedCount = 0;
    qint64 publishedCount = 0;
};
