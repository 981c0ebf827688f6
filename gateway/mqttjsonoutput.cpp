#include "mqttjsonoutput.h"

#include "recordformat.h"
#include "tagmessages.h"

#include <utility>

namespace mqttjson {

QSet<QByteArray> ownedTopics(const GatewayConfig &config)
{
    QSet<QByteArray> topics{gatewayTopic(config.broker, "status")};
    for (const ControllerSettings &c : config.controllers) {
        topics.insert(controllerTopic(config.broker, c.name, QStringLiteral("status")));
        for (const GatewayTag &t : c.tags) {
            topics.insert(controllerTopic(config.broker, c.name, t.tag.name));
            topics.insert(controllerTopic(config.broker, c.name, t.tag.name + "/meta"));
        }
    }
    return topics;
}

} // namespace mqttjson

namespace {

// The equal bytes held in the pool already, or these, held there for the next.
QByteArray pooled(const QByteArray &bytes, QSet<QByteArray> *pool)
{
    const auto held = pool->constFind(bytes);
    if (held != pool->constEnd())
        return *held;
    pool->insert(bytes);
    return bytes;
}

// What a tag is describes the configuration, not a value: it does not expire. Each payload is
// held once, here; the session does not keep them, but has them made again.
QVector<MqttMessage> metaMessages(const BrokerSettings &broker, const ControllerSettings &settings,
                                  const QVector<QByteArray> &payloads)
{
    QVector<MqttMessage> messages;
    messages.reserve(settings.tags.size());
    for (int i = 0; i < settings.tags.size(); ++i) {
        MqttMessage m{
            mqttjson::controllerTopic(broker, settings.name,
                                      settings.tags[i].tag.name + QStringLiteral("/meta")),
            payloads[i],
            true,
            {},
            0,
            {}};
        m.standing = true;
        messages.append(m);
    }
    return messages;
}

} // namespace

MqttJsonControllerOutput::MqttJsonControllerOutput(const ControllerSettings &settings,
                                                   const BrokerSettings &broker, HandOver handOver,
                                                   QSet<QByteArray> *metaPool)
    : settings(settings), broker(broker), handOver(std::move(handOver))
{
    metaPayloads.reserve(settings.tags.size());
    for (const GatewayTag &t : settings.tags)
        metaPayloads.append(pooled(
            tagmessages::metaJson(t.tag, t.writable, settings.largeIntegersAsText), metaPool));
    // A value's topic and scan entry depend on its tag alone: made per value they cost more than
    // the value's own text. Each is made only for the messages the controller has: a hundred
    // thousand tags would hold the other's for nothing.
    if (settings.tagMessages) {
        tagTopics.reserve(settings.tags.size());
        for (const GatewayTag &t : settings.tags)
            tagTopics.append(topic(t.tag.name));
    }
    if (settings.scanMessages) {
        scanKeys.reserve(settings.tags.size());
        for (const GatewayTag &t : settings.tags)
            scanKeys.append(tagmessages::compactUtf8(recordformat::jsonString(t.tag.name) + ':'));
    }
}

QByteArray MqttJsonControllerOutput::topic(const QString &tail) const
{
    return mqttjson::controllerTopic(broker, settings.name, tail);
}

StandingSet MqttJsonControllerOutput::metaSet() const
{
    // Copies that share what they hold: the set outlives this output when its worker stops.
    return [broker = broker, settings = settings, payloads = metaPayloads] {
        return metaMessages(broker, settings, payloads);
    };
}

void MqttJsonControllerOutput::started()
{
    pending += metaMessages(broker, settings, metaPayloads);
}

void MqttJsonControllerOutput::tagUpdated(int tag, const CLabelVariable &record,
                                          const QStringList &texts, const TagMemory &before)
{
    const GatewayTag &t = settings.tags[tag];
    const bool large = settings.largeIntegersAsText;
    const QByteArray payload = record.result == 0 ? tagmessages::valueJson(record, texts, large)
                                                  : tagmessages::failureJson(record, before, large);
    // A fresh value expires a little after it would have been published again; a stale one
    // says what it is for as long as it is kept.
    const int expiryS = record.result == 0 ? settings.maxAgeS + (t.tag.intervalMs + 999) / 1000 +
                                                 mqttjson::freshnessGraceS
                                           : 0;
    // Each value goes into history once: with its tag's message, or else with the scan's.
    if (settings.tagMessages)
        pending.append({tagTopics[tag],
                        payload,
                        true,
                        {},
                        expiryS,
                        {settings.name, payload, 1, t.tag.name, HeldRecords::Form::TagPayload}});
    if (!settings.scanMessages)
        return;
    scanBody += scanEntries++ > 0 ? ',' : '{';
    scanBody += scanKeys[tag];
    scanBody += payload;
}

MqttMessage MqttJsonControllerOutput::statusMessage(bool online) const
{
    return mqttjson::controllerStatus(broker, settings.name, online, settings.maxAgeS);
}

void MqttJsonControllerOutput::statusChanged(bool online)
{
    pending.append(statusMessage(online));
}

void MqttJsonControllerOutput::stillOnline()
{
    handOver({statusMessage(true)});
}

void MqttJsonControllerOutput::writeAnswered(int tag, int result, const QString &words,
                                             const QVariant &ticket)
{
    if (!mqttjson::isWriteTicket(ticket))
        return;
    const QByteArray setTopic = topic(settings.tags[tag].tag.name + QStringLiteral("/set"));
    pending += mqttjson::writeResult(mqttjson::resultTopic(setTopic), result, words, ticket);
}

void MqttJsonControllerOutput::turnEnded()
{
    if (scanEntries > 0) {
        scanBody += '}';
        const QByteArray payload = scanBody;
        // The next turn's message is made in storage of its own, of this one's size.
        scanBody = QByteArray();
        scanBody.reserve(payload.size());
        // The scan's values go into history with it only when tags have no messages of their own.
        HeldRecords held;
        if (!settings.tagMessages)
            held = {settings.name, payload, scanEntries, {}, HeldRecords::Form::ScanPayload};
        pending.append({topic(QStringLiteral("scan")), payload, false, {}, 0, held});
        scanEntries = 0;
    }
    if (pending.isEmpty())
        return;
    // Handed on whole, not copied and cleared: clear() of a vector the receiver shares copies it
    // at its full size and keeps that room, a controller's first turn (every tag's /meta and
    // value) for as long as it runs.
    handOver(std::exchange(pending, {}));
}
