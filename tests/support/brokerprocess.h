#pragma once

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QVector>

#include <memory>
#include <vector>

// Which broker the gateway's tests run against, from TARVIK_TEST_BROKER: mosquitto speaking
// MQTT 5 (unset, the default), `mosquitto-3.1.1` (the gateway and the clients speak 3.1.1), or
// `nats` (nats-server's MQTT interface, which speaks 3.1.1 only).
struct TestBroker
{
    static bool nats();
    static bool mqtt5();
    // The version argument of mosquitto_sub and mosquitto_pub.
    static QStringList versionArguments();
};

// A TCP port on 127.0.0.1 that was free a moment ago; 0 when none was found.
quint16 freeLoopbackPort();

// A broker for one test, with a configuration of its own on a free 127.0.0.1 port: anonymous
// clients, no persistence unless asked (nats keeps its retained messages in a store of its own,
// emptied at each start unless asked), its log on the test's error stream. Lines given to start()
// go into mosquitto's listener block (TLS files, say). Every wait is bounded.
class BrokerProcess
{
public:
    BrokerProcess();
    ~BrokerProcess();
    BrokerProcess(const BrokerProcess &) = delete;
    BrokerProcess &operator=(const BrokerProcess &) = delete;

    // Starts on a free port, or on the port of the last start when `samePort`; true once it
    // accepts connections.
    bool start(const QStringList &listenerLines = {}, bool samePort = false, int timeoutMs = 5000);
    // SIGTERM and a bounded wait, then SIGKILL: everything the broker held is gone, unless it
    // keeps its state (sessions, their queued messages, retained messages) across restarts.
    void stop();
    void keepState(bool keep) { keepState_ = keep; }
    quint16 port() const { return port_; }
    qint64 processId() const { return process_.processId(); }

private:
    bool startOnPort(const QStringList &listenerLines, int timeoutMs);
    bool writeMosquittoConfig(const QString &path, const QStringList &listenerLines);
    bool writeNatsConfig(const QString &path);
    bool accepting(int timeoutMs);

    QProcess process_;
    QTemporaryDir dir_;
    quint16 port_ = 0;
    bool keepState_ = false;
};

// A cluster of nats-server nodes for one test, on free 127.0.0.1 ports: routes between them,
// JetStream (which keeps MQTT's retained messages and sessions, replicated) and the MQTT
// interface on each. Ready once a retained MQTT message can be published, which needs the
// nodes to have chosen a leader.
class NatsCluster
{
public:
    NatsCluster() = default;
    ~NatsCluster();
    NatsCluster(const NatsCluster &) = delete;
    NatsCluster &operator=(const NatsCluster &) = delete;

    bool start(int nodes, int timeoutMs = 30000);
    quint16 mqttPort(int node) const { return mqttPorts_.value(node); }
    // SIGKILL: the node is gone as a machine that died is.
    void kill(int node);

private:
    bool ready(int timeoutMs);

    std::vector<std::unique_ptr<QProcess>> nodes_;
    QTemporaryDir dir_;
    QVector<quint16> mqttPorts_;
};

// A mosquitto_sub process for one test: each message as one line "TOPIC RETAIN CORRELATION
// PAYLOAD" (MQTT 5), kept for the test to look through.
class SubscriberProcess
{
public:
    SubscriberProcess();
    ~SubscriberProcess();
    SubscriberProcess(const SubscriberProcess &) = delete;
    SubscriberProcess &operator=(const SubscriberProcess &) = delete;

    // Subscribes to the pattern and waits until the subscription is in place.
    bool start(quint16 port, const QString &pattern, const QStringList &extra = {});
    void stop();
    // The first line after `from` matching the expression, waiting up to timeoutMs; "" if none.
    QString waitFor(const QString &expression, int timeoutMs, int from = 0);
    // The lines received so far.
    QStringList lines();

private:
    void take();

    QProcess process_;
    QStringList lines_;
};
