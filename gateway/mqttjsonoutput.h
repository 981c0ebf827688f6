#pragma once

#include "controlleroutput.h"
#include "gatewayconfig.h"
#include "mqtttopics.h"

#include <QSet>

#include <functional>

namespace mqttjson {

// The retained topics a configuration publishes: any other one the gateway published before is
// cleared when that configuration takes over.
QSet<QByteArray> ownedTopics(const GatewayConfig &config);

} // namespace mqttjson

// One controller's messages in the MQTT JSON form, made on its worker's thread and handed on
// per scan turn.
class MqttJsonControllerOutput : public ControllerOutput
{
public:
    using HandOver = std::function<void(const QVector<MqttMessage> &)>;
    // metaPool: the /meta payloads of the controllers made before this one. Controllers of one
    // kind describe their tags alike, and an equal payload is shared rather than held again by
    // the session's retained messages.
    MqttJsonControllerOutput(const ControllerSettings &settings, const BrokerSettings &broker,
                             HandOver handOver, QSet<QByteArray> *metaPool);

    // The /meta messages started() publishes, made again for each new session of the broker.
    StandingSet metaSet() const;

    void started() override;
    void tagUpdated(int tag, const CLabelVariable &record, const QStringList &texts,
                    const TagMemory &before) override;
    void statusChanged(bool online) override;
    void stillOnline() override;
    void writeAnswered(int tag, int result, const QString &words, const QVariant &ticket) override;
    void turnEnded() override;

private:
    QByteArray topic(const QString &tail) const;
    MqttMessage statusMessage(bool online) const;

    const ControllerSettings settings; // shares the configuration's tags (as the worker's does)
    BrokerSettings broker;
    HandOver handOver;
    QVector<MqttMessage> pending;
    QVector<QByteArray> metaPayloads; // by tag
    // By tag, made once: its value topic, and the start of its scan entry ("NAME":).
    QVector<QByteArray> tagTopics;
    QVector<QByteArray> scanKeys;
    QByteArray scanBody; // the scan message of this turn so far: "{" and its entries
    int scanEntries = 0;
};
