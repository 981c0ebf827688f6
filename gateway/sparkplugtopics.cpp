#include "sparkplugtopics.h"

#include "mqtttopics.h"

#include <iterator>

namespace sparkplug {
namespace {

const char namespaceLevel[] = "spBv1.0/";

// The topic level of each message type, in the order of MessageType.
const char *const typeLevels[] = {"NBIRTH", "NDEATH", "NDATA", "NCMD",
                                  "DBIRTH", "DDEATH", "DDATA", "DCMD"};
static_assert(std::size(typeLevels) == std::size_t(MessageType::DCMD) + 1);

const char *typeLevel(MessageType type)
{
    return typeLevels[int(type)];
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
