#pragma once

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// A TCP port on 127.0.0.1 that was free a moment ago; 0 when none was found.
quint16 freeLoopbackPort();

// A mosquitto broker for one test, with a configuration of its own on a free 127.0.0.1 port:
// anonymous clients, no persistence unless asked, its log on the test's error stream. Lines given
// to start() go into its listener block (TLS files, say). Every wait is bounded.
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
    bool accepting(int timeoutMs);

    QProcess process_;
    QTemporaryDir dir_;
    quint16 port_ = 0;
    bool keepState_ = false;
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
