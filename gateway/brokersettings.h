#pragma once

#include <QString>
#include <QVector>

struct BrokerAddress
{
    QString host;
    int port = 0;
};

// The broker and how the gateway talks to it.
struct BrokerSettings
{
    // One broker, or the nodes of a cluster tried in turn: HOST[:PORT], parted by commas; a host
    // without a port has `port`.
    QString host = QStringLiteral("127.0.0.1");
    int port = 1883;
    bool mqtt5 = true; // else MQTT 3.1.1
    QString clientId = QStringLiteral("tarvik-gateway");
    QString username;
    QString password; // from `password` or the first line of `password_file`
    QString caFile, certFile, keyFile;
    int keepaliveS = 60;
    int qos = 1;
    QString prefix = QStringLiteral("tarvik");
    int statsIntervalS = 10;
    int queueLimit = 10000;           // waiting messages besides the latest of each retained topic
    bool largeIntegersAsText = false; // integers beyond 2^53 as JSON strings
    // The store of history: on unless `store = off`; at storePath, or when that is empty at a
    // file named after the client id in the service's state directory.
    bool storeOn = true;
    QString storePath;
    qint64 storeCapBytes = 256LL * 1024 * 1024;
    int historyRate = 100000; // values of history delivered per second at most
    // What the gateway publishes: its JSON topics under the prefix, a Sparkplug B edge node, or
    // both on the one session.
    bool jsonOutput = true;
    bool sparkplugOutput = false;
    QString sparkplugGroup;
    QString sparkplugNode;
    QString sparkplugHost; // the primary host whose STATE the node waits for; "" for none
    // The metrics endpoint, GET /metrics over HTTP: off while metricsPort is 0. An address that
    // is not loopback needs metricsRemote, so that a network sees the figures only when meant.
    QString metricsAddress; // an IP address, as QHostAddress writes it
    int metricsPort = 0;
    bool metricsRemote = false;
    // Two gateways of one configuration, one of them reading the controllers; each session's
    // client id then ends with the instance (host name and process), which the gateway sets.
    bool standby = false;
    QString instance;
};

// The client id of the session: the configured one, with the instance when standing by.
QString sessionClientId(const BrokerSettings &settings);

// The brokers `host` names, in order; empty when an entry is no HOST[:PORT] (*why says which).
QVector<BrokerAddress> brokerAddresses(const BrokerSettings &settings, QString *why = nullptr);
QString addressText(const BrokerAddress &address);

// Where the store is: the path given, or STATE_DIRECTORY (which systemd sets for a service with
// StateDirectory=), else XDG_STATE_HOME or ~/.local/state, then tarvik-gateway/history-ID.sqlite.
QString storePathOf(const BrokerSettings &settings);
