#pragma once

#include "brokersettings.h"
#include "publishqueue.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <functional>
#include <memory_resource>
#include <unordered_map>

struct mosquitto;
struct mqtt5__property;
class QSocketNotifier;

// One session with the broker through libmosquitto, driven from the Qt event loop of the thread
// it lives in: socket notifiers call its read and write steps, a timer its keepalive. The last
// will says "offline" on PREFIX/gateway/status unless another is set.
//
// Messages wait in a PublishQueue and are handed to libmosquitto a window at a time, so what the
// broker cannot take yet stays where a newer value of the same topic can replace it. Each lost
// session is thrown away whole with what libmosquitto still held (a new one is made for the next
// connect): an old message is never delivered after a newer one of its topic. What was handed
// over and not acknowledged goes back to the queue, and the latest retained message of every
// topic is published again on each new session, so a broker that lost its state gets it back.
class MqttClient : public QObject
{
    Q_OBJECT

public:
    explicit MqttClient(const BrokerSettings &settings, QObject *parent = nullptr);
    ~MqttClient() override;

    // Why a session cannot be made with these settings, or "": the rules start() applies, for a
    // configuration check that connects nothing.
    static QString settingsProblem(const BrokerSettings &settings);

    // Sets the session up and starts connecting; false with *error when the settings are refused.
    bool start(QString *error);
    // With a keeper, the values a message carries for history go to it when the message cannot
    // go to the broker: made while there is no session, waiting or unacknowledged when the
    // session is lost, or replaced or dropped while waiting for a slow broker.
    void setKeeper(PublishQueue::Keeper keeper);
    // The will of each connect, made just before it (a Sparkplug node's death carries a number
    // that goes up with every connect).
    using WillMaker = std::function<MqttMessage()>;
    void setWill(WillMaker maker);
    // Whether each new session begins with PREFIX/gateway/status online, and whether that
    // expires (when the will is not its offline, the status has to be said again to stay).
    void setOnlineStatus(bool announce, int expiryS);
    // Ends the session as one that died (the broker publishes its will) and connects again.
    void startOver(const QString &why);
    // How long the broker has said nothing (no packet read) on this session.
    qint64 silentForMs() const { return heard.isValid() ? heard.elapsed() : 0; }
    // Something the broker answers at once, the session's subscription to the pattern made
    // again: it keeps word coming from a quiet broker.
    void askForWord(const QByteArray &pattern);
    // What waits or is remembered to be published again is let go: it is no longer this
    // gateway's to say (another one has taken over).
    void forgetPublished();
    void publish(const MqttMessage &message);
    // A message of history goes only when no live message waits and few others of history are
    // unacknowledged; false: not now. Its id comes back with historyDelivered once the broker
    // has it; one lost with the session does not.
    bool takesHistory() const;
    // Messages of one batch of history (one per output), all taken or none; false: not now.
    // The id comes back once for each message the broker has.
    bool sendHistory(const QVector<MqttMessage> &messages, qint64 id);
    // The sets of standing messages published again on each new session, in place of those
    // set before.
    void setStanding(const QVector<StandingSet> &sets);
    // The topics that hold a retained message of this gateway's (one not cleared since).
    QSet<QByteArray> retainedTopics() const;
    // Each topic is cleared on the broker (an empty retained message) and then forgotten; one of a
    // standing set stays in it until the sets are set again.
    void clearRetained(const QSet<QByteArray> &topics);
    void subscribe(const QByteArray &pattern);
    // A clean DISCONNECT once what is queued has gone out, waiting at most timeoutMs.
    void stop(int timeoutMs);
    // While yielding, a session that is lost is not connected again and the loss is not told:
    // another session of this gateway is taking its place.
    void setYielding(bool yield);

    const BrokerSettings &settings() const { return brokerSettings; }
    // The broker of the list this session is with, or tries next.
    BrokerAddress currentAddress() const;
    bool isConnected() const { return connected; }
    int queueDepth() const { return queue.waitingCount() + int(handedOver.size()); }
    qint64 dropped() const { return queue.dropped() + refusedCount; }
    qint64 replaced() const { return queue.replaced(); }
    qint64 published() const { return publishedCount; }

signals:
    void connectionChanged(bool up, const QString &why);
    void historyDelivered(qint64 id);
    void messageArrived(const QByteArray &topic, const QByteArray &payload,
                        const QByteArray &responseTopic, const QByteArray &correlation,
                        bool tooLong, bool retained);

private:
    // The latest retained message of a topic, as much of it as the topic and the retain flag do
    // not say already: never values for history. Held for every retained topic for the
    // session's life (two a tag), where a whole MqttMessage would be most of the memory; the
    // rare correlation data is held beside.
    struct Retained
    {
        QByteArray payload;
        int expiryS = 0;
        bool sessionBound = false;
    };

    struct HandedOver
    {
        MqttMessage message;
        qint64 order = 0;
        qint64 historyId = -1; // a message of history's id in the store
    };

    static void onConnect(mosquitto *, void *self, int rc, int flags, const mqtt5__property *);
    static void onDisconnect(mosquitto *, void *self, int rc, const mqtt5__property *);
    static void onPublish(mosquitto *, void *self, int mid, int rc, const mqtt5__property *);
    static void onMessage(mosquitto *, void *self, const struct mosquitto_message *message,
                          const mqtt5__property *properties);

    QString newSession();
    QString disconnectWords(int rc) const;
    void sessionUp();
    void acknowledged(int mid);
    void watchSocket();
    void dropSocket();
    void readable();
    void writable();
    static void setCorked(int fd, bool corked);
    void afterLoop(int rc, const char *what);
    void housekeeping();
    void keepWhileStalled();
    void lost(const QString &why);
    void takeBackHandedOver();
    void tryConnect();
    void subscribeNow(const QByteArray &pattern);
    void pump();
    bool send(const MqttMessage &message, qint64 historyId = -1);
    void updateWriteWatch();
    MqttMessage onlineStatus() const;
    void remember(const MqttMessage &message);
    void forget(const QByteArray &topic);
    MqttMessage retainedMessage(const QByteArray &topic, const Retained &kept) const;

    BrokerSettings brokerSettings;
    QVector<BrokerAddress> addresses;
    int addressAt = 0;
    mosquitto *mosq = nullptr;
    QSocketNotifier *readWatch = nullptr;
    QSocketNotifier *writeWatch = nullptr;
    QTimer misc;
    QTimer retry;
    QElapsedTimer sessionAge;    // since the last session came up
    QElapsedTimer sinceProgress; // since the broker last acknowledged, or was handed a message
    QElapsedTimer heard;         // since a packet of the broker was last read
    int backoffMs = 0;
    bool connected = false;
    bool toldDown = false;
    bool stopping = false;
    bool yielding = false;
    bool pumping = false;
    PublishQueue queue;
    // The latest retained message of each topic. Its entries come from a pool of their own: each
    // allocated alone, they would sit between the short-lived blocks of the burst that made them
    // (two a tag), and the holes those leave could not be given back. A hash that cannot throw
    // is not stored in them but computed again when needed.
    struct TopicHash
    {
        size_t operator()(const QByteArray &topic) const noexcept { return qHash(topic); }
    };
    std::pmr::unsynchronized_pool_resource retainedPool;
    std::pmr::unordered_map<QByteArray, Retained, TopicHash> retained{&retainedPool};
    QHash<QByteArray, QByteArray> retainedCorrelations; // of the retained topics that have one
    QVector<StandingSet> standing;
    QHash<int, HandedOver> handedOver; // by message id, until the broker has it
    QSet<int> earlyAcks;               // written out before libmosquitto told the id to the caller
    qint64 handOverOrder = 0;
    int historyInFlight = 0;
    int backlog = 0; // the most messages waiting since the queue was last empty
    PublishQueue::Keeper keeper;
    WillMaker willMaker;
    bool announceOnline = true;
    int onlineExpiryS = 0;
    QList<QByteArray> subscriptions;
    qint64 refusedCount = 0; // messages libmosquitto would not take (too large, say)
    qint64 publishedCount = 0;
};
