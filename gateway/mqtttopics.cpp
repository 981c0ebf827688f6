#include "mqtttopics.h"

#include "recordformat.h"
#include "tagmessages.h"

#include <QRegularExpression>

namespace mqttjson {

QString levelProblem(const QString &name)
{
    static const QRegularExpression bad(QStringLiteral("[/+#\\x00-\\x1f\\x7f]"));
    if (name.isEmpty() || name.size() > 64 || name.contains(bad))
        return QStringLiteral("'%1' cannot be a topic level: 1 to 64 characters, none of / + # "
                              "or control characters")
            .arg(name);
    return QString();
}

QString prefixProblem(const QString &prefix)
{
    if (prefix.startsWith(QLatin1Char('$')))
        return QStringLiteral("'%1' begins with $, which marks the broker's own topics")
            .arg(prefix);
    if (prefix.toUtf8().size() > 1024)
        return QStringLiteral("takes at most 1024 bytes");
    for (const QString &level : prefix.split(QLatin1Char('/'))) {
        if (const QString why = levelProblem(level); !why.isEmpty())
            return QStringLiteral("level %1").arg(why);
    }
    return QString();
}

QString controllerNameProblem(const QString &name)
{
    if (const QString why = levelProblem(name); !why.isEmpty())
        return why;
    if (name == QLatin1String("gateway"))
        return QStringLiteral("'gateway' names the gateway's own topics");
    return QString();
}

QString tagNameProblem(const QString &name)
{
    if (const QString why = levelProblem(name); !why.isEmpty())
        return why;
    if (name == QLatin1String("status") || name == QLatin1String("scan") ||
        name == QLatin1String("history"))
        return QStringLiteral("'%1' names one of the controller's own topics").arg(name);
    return QString();
}

QByteArray gatewayTopic(const BrokerSettings &broker, const char *tail)
{
    return (broker.prefix + QStringLiteral("/gateway/") + QLatin1String(tail)).toUtf8();
}

QByteArray controllerTopic(const BrokerSettings &broker, const QString &controller,
                           const QString &tail)
{
    return tagmessages::compactUtf8(
        QStringLiteral("%1/%2/%3").arg(broker.prefix, controller, tail));
}

QByteArray setPattern(const BrokerSettings &broker)
{
    return (broker.prefix + QStringLiteral("/+/+/set")).toUtf8();
}

bool setTarget(const BrokerSettings &broker, const QByteArray &topic, QString *controller,
               QString *tag)
{
    // PREFIX/CONTROLLER/TAG/set, as subscribed; the prefix may have levels of its own.
    const QString head = broker.prefix + QLatin1Char('/');
    const QString name = QString::fromUtf8(topic);
    const QStringList levels =
        name.startsWith(head) ? name.mid(head.size()).split(QLatin1Char('/')) : QStringList();
    if (levels.size() != 3 || levels[2] != QLatin1String("set"))
        return false;
    *controller = levels[0];
    *tag = levels[1];
    return true;
}

QByteArray resultTopic(const QByteArray &setTopic)
{
    return setTopic + "/result";
}

QVariant writeTicket(const QByteArray &responseTopic, const QByteArray &correlation)
{
    return QVariantList{responseTopic, correlation};
}

bool isWriteTicket(const QVariant &ticket)
{
    return ticket.userType() == QMetaType::QVariantList;
}

QVector<MqttMessage> writeResult(const QByteArray &topic, int result, const QString &words,
                                 const QVariant &ticket)
{
    const QByteArray payload = tagmessages::writeResultJson(result, words);
    QVector<MqttMessage> messages{{topic, payload, false, {}, 0, {}}};
    const QVariantList parts = ticket.toList();
    const QByteArray responseTopic = parts.value(0).toByteArray();
    if (!responseTopic.isEmpty())
        messages.append({responseTopic, payload, false, parts.value(1).toByteArray(), 0, {}});
    return messages;
}

QString responseTopicProblem(const BrokerSettings &broker, const QByteArray &responseTopic)
{
    constexpr int longest = 256; // a reply goes to an address, not a payload
    if (responseTopic.isEmpty())
        return QString();
    const QByteArray prefix = broker.prefix.toUtf8();
    const bool ownTopic = responseTopic == prefix || responseTopic.startsWith(prefix + '/');
    bool control = false;
    for (const char c : responseTopic)
        control = control || (static_cast<unsigned char>(c) < 0x20 || c == 0x7f);
    if (ownTopic || responseTopic.contains('+') || responseTopic.contains('#') ||
        responseTopic.startsWith('$') || control || responseTopic.size() > longest)
        return QStringLiteral("the response topic must lie outside %1/, hold no + or # or control "
                              "characters, not begin with $ and be at most %2 bytes long")
            .arg(broker.prefix)
            .arg(longest);
    return QString();
}

MqttMessage controllerStatus(const BrokerSettings &broker, const QString &controller, bool online,
                             int maxAgeS)
{
    return {controllerTopic(broker, controller, QStringLiteral("status")),
            online ? "online" : "offline",
            true,
            {},
            online ? maxAgeS + freshnessGraceS : 0,
            {}};
}

MqttMessage gatewayStatus(const BrokerSettings &broker, bool online, int expiryS)
{
    return {gatewayTopic(broker, "status"), online ? "online" : "offline", true, {}, expiryS, {}};
}

QByteArray historyRecord(const QString &tag, const QByteArray &payload)
{
    return "{\"tag\":" + recordformat::jsonString(tag).toUtf8() + ',' + payload.mid(1);
}

namespace {

// Where the JSON string that begins at `at` ends (after its closing quote), or -1.
int endOfString(const QByteArray &json, int at)
{
    for (int i = at + 1; i < json.size(); ++i) {
        if (json.at(i) == '\\')
            ++i;
        else if (json.at(i) == '"')
            return i + 1;
    }
    return -1;
}

// Where the JSON object or list that begins at `at` ends (after its closing bracket), or -1.
int endOfValue(const QByteArray &json, int at)
{
    int depth = 0;
    for (int i = at; i >= 0 && i < json.size(); ++i) {
        const char c = json.at(i);
        if (c == '"')
            i = endOfString(json, i) - 1;
        else if (c == '{' || c == '[')
            ++depth;
        else if ((c == '}' || c == ']') && --depth == 0)
            return i + 1;
        if (i < 0)
            return -1;
    }
    return -1;
}

// A scan message's payload, {"NAME":{PAYLOAD},...} as the output writes it, as records.
QByteArray scanRecords(const QByteArray &scan)
{
    QByteArray records;
    int at = 1;
    while (at < scan.size() && scan.at(at) == '"') {
        const int nameEnd = endOfString(scan, at);
        const int payloadEnd = nameEnd < 0 ? -1 : endOfValue(scan, nameEnd + 1);
        if (payloadEnd < 0)
            break;
        if (!records.isEmpty())
            records += ',';
        records += "{\"tag\":" + scan.mid(at, nameEnd - at) + ',' +
                   scan.mid(nameEnd + 2, payloadEnd - nameEnd - 2);
        at = payloadEnd + 1;
    }
    return records;
}

} // namespace

QByteArray historyRecords(const HeldRecords &held)
{
    switch (held.form) {
    case HeldRecords::Form::TagPayload:
        return historyRecord(held.tag, held.records);
    case HeldRecords::Form::ScanPayload:
        return scanRecords(held.records);
    case HeldRecords::Form::Records:
        break;
    }
    return held.records;
}

MqttMessage historyMessage(const BrokerSettings &broker, const QString &controller,
                           const QByteArray &records)
{
    return {controllerTopic(broker, controller, QStringLiteral("history")),
            '[' + records + ']',
            false,
            {},
            0,
            {}};
}

namespace {

QString storeJson(const StoreFigures &store)
{
    QStringList byController;
    for (auto d = store.droppedBy.begin(); d != store.droppedBy.end(); ++d)
        byController << recordformat::jsonString(d.key()) + QLatin1Char(':') +
                            QString::number(d.value());
    return QStringLiteral(",\"store\":{\"held\":%1,\"bytes\":%2,\"oldest_s\":%3,"
                          "\"delivered\":%4,\"dropped\":%5,\"dropped_by_controller\":{%6}}")
        .arg(store.heldValues)
        .arg(store.bytesOnDisk)
        .arg(store.oldestAgeS)
        .arg(store.delivered)
        .arg(store.dropped)
        .arg(byController.join(QLatin1Char(',')));
}

} // namespace

MqttMessage statsMessage(const BrokerSettings &broker, const GatewayStats &stats)
{
    QStringList byOutcome;
    for (auto f = stats.failures.begin(); f != stats.failures.end(); ++f)
        byOutcome << QStringLiteral("\"%1\":%2").arg(f.key()).arg(f.value());
    const QString json =
        QStringLiteral("{\"reads_per_s\":%1,\"failures\":{%2},\"exchanges_per_scan\":%3,"
                       "\"queue\":%4,\"dropped\":%5,\"replaced\":%6,\"published\":%7,"
                       "\"tag_reads\":%8%9}")
            .arg(QString::number(stats.readsPerS, 'f', 1), byOutcome.join(QLatin1Char(',')),
                 QString::number(stats.exchangesPerScan, 'f', 1))
            .arg(stats.queue)
            .arg(stats.dropped)
            .arg(stats.replaced)
            .arg(stats.published)
            .arg(stats.tagReads)
            .arg(stats.storeOn ? storeJson(stats.store) : QString());
    return {gatewayTopic(broker, "stats"), json.toUtf8(), false, {}, 0, {}};
}

} // namespace mqttjson
