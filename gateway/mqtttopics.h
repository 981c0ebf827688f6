#pragma once

#include "brokersettings.h"
#include "historystore.h"
#include "publishqueue.h"

#include <QMap>
#include <QString>
#include <QVariant>
#include <QVector>

// The gateway's MQTT form: every topic it publishes or takes, the names those topics reserve,
// and the JSON each message carries. Nothing else in the gateway writes a topic.
//
//   PREFIX/CONTROLLER/TAG            retained value or outcome
//   PREFIX/CONTROLLER/TAG/meta       retained: what the tag is
//   PREFIX/CONTROLLER/TAG/set        write requests, taken
//   PREFIX/CONTROLLER/TAG/set/result write outcomes
//   PREFIX/CONTROLLER/status         retained online/offline
//   PREFIX/CONTROLLER/scan           the tags published in one scan turn
//   PREFIX/CONTROLLER/history        values that could not go when they were read, delivered later
//   PREFIX/gateway/status, /stats    the gateway's own
namespace mqttjson {

// A name that becomes one topic level: 1 to 64 characters, none of / + # or control characters;
// "" or why not.
QString levelProblem(const QString &name);
// The prefix: one or more such levels, the first not beginning with $.
QString prefixProblem(const QString &prefix);
// Names of the gateway's own topics, which no controller or tag may take; "" or why.
QString controllerNameProblem(const QString &name);
QString tagNameProblem(const QString &name);

QByteArray gatewayTopic(const BrokerSettings &broker, const char *tail);
QByteArray controllerTopic(const BrokerSettings &broker, const QString &controller,
                           const QString &tail);
// What write requests are subscribed as, and the controller and tag a request's topic names;
// false for a topic that is no request.
QByteArray setPattern(const BrokerSettings &broker);
bool setTarget(const BrokerSettings &broker, const QByteArray &topic, QString *controller,
               QString *tag);

// Where the outcome of a request on a TAG/set topic goes.
QByteArray resultTopic(const QByteArray &setTopic);
// A write's ticket: where its outcome goes besides TAG/set/result (an MQTT 5 response topic with
// its correlation data).
QVariant writeTicket(const QByteArray &responseTopic, const QByteArray &correlation);
// Whether a write came as a request on a TAG/set topic (its ticket is one writeTicket made).
bool isWriteTicket(const QVariant &ticket);
// The outcome's messages: on TAG/set/result, and on the ticket's response topic.
QVector<MqttMessage> writeResult(const QByteArray &topic, int result, const QString &words,
                                 const QVariant &ticket);
// Why a response topic may not be answered to, or "": the gateway does not speak under its own
// prefix, to many topics at once, or to the broker's own.
QString responseTopicProblem(const BrokerSettings &broker, const QByteArray &responseTopic);

// A tag's published payload as one record of its controller's history: the same object with the
// tag's name first.
QByteArray historyRecord(const QString &tag, const QByteArray &payload);
// The records a message holds for history, made from its tag's payload when it holds one.
QByteArray historyRecords(const HeldRecords &held);
// Records of one controller (joined by commas) as a message on its history topic: a JSON array,
// never retained, so it neither replaces nor hides a current value.
MqttMessage historyMessage(const BrokerSettings &broker, const QString &controller,
                           const QByteArray &records);

// A status: retained; an online one expires unless said again within max_age.
MqttMessage controllerStatus(const BrokerSettings &broker, const QString &controller, bool online,
                             int maxAgeS = 0);
MqttMessage gatewayStatus(const BrokerSettings &broker, bool online, int expiryS = 0);

// The gateway's counters, as PREFIX/gateway/stats gives them.
struct GatewayStats
{
    double readsPerS = 0;
    QMap<int, qint64> failures; // tag reads by failed result
    double exchangesPerScan = 0;
    qint64 queue = 0, dropped = 0, replaced = 0, published = 0, tagReads = 0;
    bool storeOn = false;
    StoreFigures store;
};
MqttMessage statsMessage(const BrokerSettings &broker, const GatewayStats &stats);

// How much longer than the gateway takes to say it again a current value or online status is
// kept: past that the broker lets it expire, so a gateway that died leaves nothing looking current.
constexpr int freshnessGraceS = 5;

} // namespace mqttjson
