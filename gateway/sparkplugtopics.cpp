#include "sparkplugtopics.h"

#include "mqtttopics.h"

namespace sparkplug {
namespace {

const char namespaceLevel[] = "spBv1.0/";

const char *typeLevel(MessageType type)
{
    switch (type) {
    case MessageType::NBIRTH:
        return "NBIRTH";
    case MessageType::NDEATH:
        return "NDEATH";
    case MessageType::NDATA:
        return "NDATA";
    case MessageType::NCMD:
        return "NCMD";
    case MessageType::DBIRTH:
        return "DBIRTH";
    case MessageType::DDEATH:
        return "DDEATH";
    case MessageType::DDATA:
        return "DDATA";
    case MessageType::DCMD:
        break;
    }
    return "DCMD";
}

} // namespace

const char bdSeqMetric[] = "bdSeq";
const char rebirthMetric[] = "Node Control/Rebirth";

QString idProblem(const QString &id)
{
    return mqttjson::levelProblem(id);
}

QByteArray nodeTopic(const BrokerSettings &broker, MessageType type)
{
    return (QLatin1String(namespaceLevel) + broker.sparkplugGroup + QLatin1Char('/') +
            QLatin1String(typeLevel(type)) + QLatin1Char('/') + broker.sparkplugNode)
        .toUtf8();
}

QByteArray deviceTopic(const BrokerSettings &broker, MessageType type, const QString &device)
{
    return nodeTopic(broker, type) + '/' + device.toUtf8();
}

QByteArray nodeCommandTopic(const BrokerSettings &broker)
{
    return nodeTopic(broker, MessageType::NCMD);
}

QByteArray deviceCommandPattern(const BrokerSettings &broker)
{
    return nodeTopic(broker, MessageType::DCMD) + "/+";
}

QByteArray stateTopic(const BrokerSettings &broker)
{
    return (QLatin1String(namespaceLevel) + QStringLiteral("STATE/") + broker.sparkplugHost)
        .toUtf8();
}

bool commandDevice(const BrokerSettings &broker, const QByteArray &topic, QString *device)
{
    const QByteArray head = nodeTopic(broker, MessageType::DCMD) + '/';
    if (!topic.startsWith(head))
        return false;
    *device = QString::fromUtf8(topic.mid(head.size()));
    return idProblem(*device).isEmpty();
}

} // namespace sparkplug
