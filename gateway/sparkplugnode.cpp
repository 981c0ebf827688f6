#include "sparkplugnode.h"

#include "gatewaylog.h"
#include "setpayload.h"
#include "sparkplugtopics.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

using sparkplug::Datatype;
using sparkplug::MessageType;

// The node's figures, in NBIRTH and in NDATA when they change: name, datatype, and where the
// value is. Their aliases are 1 on; the devices' follow.
struct FigureMetric
{
    const char *name;
    Datatype datatype;
    qint64 NodeFigures::*count; // nullptr: readsPerS
};

constexpr FigureMetric figureMetrics[] = {
    {"Gateway/Reads per second", Datatype::Double, nullptr},
    {"Gateway/Queue", Datatype::UInt64, &NodeFigures::queue},
    {"Gateway/Published", Datatype::UInt64, &NodeFigures::published},
    {"Gateway/Dropped", Datatype::UInt64, &NodeFigures::dropped},
    {"Gateway/Store held", Datatype::UInt64, &NodeFigures::storeHeld},
};
constexpr quint64 firstDeviceAlias = std::size(figureMetrics) + 1;

quint64 nowMs()
{
    return quint64(QDateTime::currentMSecsSinceEpoch());
}

SparkplugMetric figureMetric(const FigureMetric &f, const NodeFigures &figures)
{
    SparkplugMetric m;
    m.datatype = f.datatype;
    if (f.count)
        m.value = std::vector<quint64>{quint64(qMax<qint64>(0, figures.*f.count))};
    else
        m.value = std::vector<double>{figures.readsPerS};
    return m;
}

bool sameFigure(const FigureMetric &f, const NodeFigures &a, const NodeFigures &b)
{
    return f.count ? a.*f.count == b.*f.count : a.readsPerS == b.readsPerS;
}

SparkplugMetric named(const char *name, Datatype datatype, sparkplug::Elements value)
{
    SparkplugMetric m;
    m.name = QString::fromUtf8(name);
    m.datatype = datatype;
    m.value = std::move(value);
    return m;
}

} // namespace

SparkplugNode::SparkplugNode(const BrokerSettings &broker,
                             const QVector<ControllerSettings> &controllers, MqttClient *session,
                             PublishQueue::Keeper keep, bool active, quint64 firstBdSeq)
    : broker(broker), session(session), keep(std::move(keep)), nextBdSeq(firstBdSeq % 256),
      active(active)
{
    hostOnline = broker.sparkplugHost.isEmpty();
    setDevices(controllers);
    session->setWill([this] { return nextWill(); });
    session->subscribe(sparkplug::nodeCommandTopic(broker));
    session->subscribe(sparkplug::deviceCommandPattern(broker));
    if (!broker.sparkplugHost.isEmpty())
        session->subscribe(sparkplug::stateTopic(broker));
    connect(session, &MqttClient::connectionChanged, this, [this](bool up) { sessionChanged(up); });
}

void SparkplugNode::setDevices(const QVector<ControllerSettings> &controllers)
{
    devices.clear();
    deviceAt.clear();
    quint64 alias = firstDeviceAlias;
    for (const ControllerSettings &c : controllers) {
        Device d;
        d.settings = c;
        d.firstAlias = alias;
        alias += quint64(c.tags.size());
        for (const GatewayTag &t : c.tags) {
            SparkplugMetric m;
            m.datatype = sparkplug::publishedDatatype(t.tag);
            m.isNull = true;
            m.quality = sparkplug::qualityBad;
            d.latest.push_back(m);
        }
        deviceAt.insert(c.name, int(devices.size()));
        devices.push_back(std::move(d));
    }
}

// The will of the connect about to be made: NDEATH with the next bdSeq, which NBIRTH repeats.
MqttMessage SparkplugNode::nextWill()
{
    bdSeq = nextBdSeq;
    nextBdSeq = (nextBdSeq + 1) % 256;
    return death();
}

// NDEATH of this session: its will, and what the node says itself before it ends the session.
MqttMessage SparkplugNode::death() const
{
    SparkplugPayload payload;
    payload.timestampMs = nowMs();
    payload.metrics.push_back(
        named(sparkplug::bdSeqMetric, Datatype::UInt64, std::vector<quint64>{bdSeq}));
    return {sparkplug::nodeTopic(broker, MessageType::NDEATH),
            sparkplug::encode(payload),
            false,
            {},
            0,
            {},
            false};
}

void SparkplugNode::sessionChanged(bool up)
{
    born = false;
    for (Device &d : devices)
        d.born = false;
    // A primary host says again (its STATE is retained) whether it is online.
    hostOnline = broker.sparkplugHost.isEmpty();
    hostTimestamp = -1;
    if (up && hostOnline && active)
        birth();
}

void SparkplugNode::activate()
{
    active = true;
    if (!born && hostOnline && session->isConnected())
        birth();
}

MqttMessage SparkplugNode::message(const QByteArray &topic, SparkplugPayload payload,
                                   const HeldRecords &held)
{
    payload.timestampMs = nowMs();
    payload.seq = seq;
    seq = (seq + 1) % 256;
    return {topic, sparkplug::encode(payload), false, {}, 0, held, true};
}

void SparkplugNode::publish(const QByteArray &topic, SparkplugPayload payload,
                            const HeldRecords &held)
{
    session->publish(message(topic, std::move(payload), held));
}

std::vector<SparkplugMetric> SparkplugNode::nodeMetrics(bool all) const
{
    std::vector<SparkplugMetric> metrics;
    quint64 alias = 1;
    for (const FigureMetric &f : figureMetrics) {
        if (all || !sameFigure(f, figures, sentFigures)) {
            SparkplugMetric m = figureMetric(f, figures);
            if (all)
                m.name = QString::fromUtf8(f.name);
            m.alias = alias;
            metrics.push_back(m);
        }
        ++alias;
    }
    return metrics;
}

// NBIRTH, then a DBIRTH for every controller online: all the node will send in this session.
void SparkplugNode::birth()
{
    seq = 0;
    SparkplugPayload nbirth;
    nbirth.metrics.push_back(
        named(sparkplug::bdSeqMetric, Datatype::UInt64, std::vector<quint64>{bdSeq}));
    nbirth.metrics.push_back(
        named(sparkplug::rebirthMetric, Datatype::Boolean, std::vector<bool>{false}));
    for (SparkplugMetric &m : nodeMetrics(true))
        nbirth.metrics.push_back(std::move(m));
    publish(sparkplug::nodeTopic(broker, MessageType::NBIRTH), std::move(nbirth));
    sentFigures = figures;
    born = true;
    for (Device &d : devices) {
        d.born = false;
        if (d.online)
            deviceBirth(d);
    }
}

void SparkplugNode::deviceBirth(Device &device, const HeldRecords &held)
{
    SparkplugPayload dbirth;
    for (std::size_t i = 0; i < device.latest.size(); ++i) {
        SparkplugMetric m = device.latest[i];
        m.name = device.settings.tags.at(int(i)).tag.name; // at(): shared, not copied
        m.alias = device.firstAlias + i;
        dbirth.metrics.push_back(std::move(m));
    }
    publish(sparkplug::deviceTopic(broker, MessageType::DBIRTH, device.settings.name),
            std::move(dbirth), held);
    device.born = true;
}

void SparkplugNode::deviceDeath(Device &device)
{
    if (device.born)
        publish(sparkplug::deviceTopic(broker, MessageType::DDEATH, device.settings.name), {});
    device.born = false;
}

// A controller's turn: what it read goes out as data once its device is born; a controller that
// came online is born with what it read, one that went offline dies.
void SparkplugNode::takeTurn(const SparkplugTurn &turn)
{
    const int at = deviceAt.value(turn.device, -1);
    if (at < 0)
        return;
    Device &device = devices[std::size_t(at)];
    // The turn's values for history go with the first message that carries them.
    HeldRecords held = turn.held;
    SparkplugPayload data;
    const auto sendData = [&] {
        if (data.metrics.empty())
            return;
        publish(sparkplug::deviceTopic(broker, MessageType::DDATA, device.settings.name),
                std::move(data), held);
        data.metrics.clear();
        held = HeldRecords();
    };
    for (const SparkplugChange &c : turn.changes) {
        if (c.kind == SparkplugChange::Kind::Tag) {
            device.latest[std::size_t(c.tag)] = c.metric;
            if (device.born) {
                SparkplugMetric m = c.metric;
                m.alias = device.firstAlias + quint64(c.tag);
                data.metrics.push_back(std::move(m));
            }
            continue;
        }
        sendData();
        device.online = c.kind == SparkplugChange::Kind::Online;
        if (!device.online)
            deviceDeath(device);
    }
    sendData();
    if (born && device.online && !device.born) {
        deviceBirth(device, held);
        held = HeldRecords();
    }
    // Without a session or its births, what was read is history.
    if (!born && keep && held.count > 0)
        keep(held);
}

SparkplugNode::History SparkplugNode::history(const QString &controller, const QByteArray &records,
                                              MqttMessage *data)
{
    if (!born)
        return History::Wait;
    const int at = deviceAt.value(controller, -1);
    if (at < 0 || !devices[std::size_t(at)].online)
        return History::Skip;
    const Device &device = devices[std::size_t(at)];
    if (!device.born)
        return History::Wait;
    SparkplugPayload payload;
    if (!sparkplug::historyMetrics(records, device.settings.tags, device.firstAlias,
                                   &payload.metrics) ||
        payload.metrics.empty())
        return History::Skip;
    *data = message(sparkplug::deviceTopic(broker, MessageType::DDATA, device.settings.name),
                    std::move(payload));
    return History::Send;
}

void SparkplugNode::takeFigures(const NodeFigures &fresh)
{
    figures = fresh;
    if (!born)
        return;
    SparkplugPayload data;
    data.metrics = nodeMetrics(false);
    sentFigures = figures;
    if (!data.metrics.empty())
        publish(sparkplug::nodeTopic(broker, MessageType::NDATA), std::move(data));
}

bool SparkplugNode::takeMessage(const QByteArray &topic, const QByteArray &payload, bool tooLong)
{
    const bool nodeCommand = topic == sparkplug::nodeCommandTopic(broker);
    const bool deviceCommand =
        topic.startsWith(sparkplug::nodeTopic(broker, MessageType::DCMD) + '/');
    const bool state = !broker.sparkplugHost.isEmpty() && topic == sparkplug::stateTopic(broker);
    if (!nodeCommand && !deviceCommand && !state)
        return false;
    if (tooLong)
        refuse(topic, QString(), QStringLiteral("the payload is too long"));
    else if (nodeCommand)
        command(payload);
    else if (deviceCommand)
        this->deviceCommand(topic, payload);
    else
        hostState(payload);
    return true;
}

// NCMD: a Rebirth set true makes every birth again; nothing else is taken.
void SparkplugNode::command(const QByteArray &payload)
{
    SparkplugPayload p;
    QString why;
    if (!sparkplug::decode(payload, &p, &why))
        return refuse(sparkplug::nodeCommandTopic(broker), QString(), why);
    for (const SparkplugMetric &m : p.metrics) {
        const auto *value = std::get_if<std::vector<bool>>(&m.value);
        if (m.name != QLatin1String(sparkplug::rebirthMetric)) {
            refuse(sparkplug::nodeCommandTopic(broker), m.name,
                   QStringLiteral("the node takes only %1").arg(sparkplug::rebirthMetric));
        } else if (m.datatype == Datatype::Boolean && value && value->front() && born) {
            logLine(LogLevel::Notice, QStringLiteral("sparkplug: rebirth asked; births again"));
            birth();
        }
    }
}

void SparkplugNode::deviceCommand(const QByteArray &topic, const QByteArray &payload)
{
    QString name;
    const int at = sparkplug::commandDevice(broker, topic, &name) ? deviceAt.value(name, -1) : -1;
    if (at < 0)
        return refuse(topic, QString(), QStringLiteral("no such device"));
    SparkplugPayload p;
    QString why;
    if (!sparkplug::decode(payload, &p, &why))
        return refuse(topic, QString(), why);
    const Device &device = devices[std::size_t(at)];
    for (const SparkplugMetric &m : p.metrics) {
        int tag = -1, count = 0;
        QVariant typed;
        if (const QString problem = writeProblem(device, m, &tag, &typed, &count);
            !problem.isEmpty()) {
            refuse(topic,
                   m.name.isEmpty() && m.alias ? QStringLiteral("alias %1").arg(*m.alias) : m.name,
                   problem);
            continue;
        }
        emit writeAsked(device.settings.name, tag, typed, count);
    }
}

// Why a DCMD metric is not written, or "" with the tag and the value to write.
QString SparkplugNode::writeProblem(const Device &device, const SparkplugMetric &m, int *tag,
                                    QVariant *typed, int *count) const
{
    const QVector<GatewayTag> &tags = device.settings.tags;
    *tag = -1;
    for (int i = 0; i < tags.size() && *tag < 0; ++i) {
        const bool byAlias = m.alias && *m.alias == device.firstAlias + quint64(i);
        if (byAlias || (!m.name.isEmpty() && m.name == tags[i].tag.name))
            *tag = i;
    }
    if (*tag < 0)
        return QStringLiteral("no such metric");
    const GatewayTag &t = tags[*tag];
    if (!t.writable)
        return QStringLiteral("the tag is not writable");
    const Datatype datatype = sparkplug::publishedDatatype(t.tag);
    if (m.datatype != datatype)
        return QStringLiteral("the tag takes datatype %1, not %2")
            .arg(quint32(datatype))
            .arg(quint32(m.datatype));
    QStringList texts;
    if (const QString why = sparkplug::writeTexts(m, &texts); !why.isEmpty())
        return why;
    *count = int(texts.size());
    return writeValue(t.tag, texts, typed);
}

// The primary host's STATE, {"online":B,"timestamp":MS}: births wait for online; an offline
// newer than the online taken ends the session as if the node had died, and it begins again.
void SparkplugNode::hostState(const QByteArray &payload)
{
    const QJsonObject state = QJsonDocument::fromJson(payload).object();
    const QJsonValue online = state.value(QStringLiteral("online"));
    const qint64 timestamp = qint64(state.value(QStringLiteral("timestamp")).toDouble(-1));
    if (!online.isBool() || timestamp < 0) {
        logLine(LogLevel::Warning,
                QStringLiteral("sparkplug: the primary host's STATE is not {\"online\":…,"
                               "\"timestamp\":…}; ignored"));
        return;
    }
    if (timestamp < hostTimestamp)
        return;
    hostTimestamp = timestamp;
    hostOnline = online.toBool();
    if (hostOnline && !born && active && session->isConnected()) {
        logLine(LogLevel::Notice,
                QStringLiteral("sparkplug: primary host %1 online").arg(broker.sparkplugHost));
        birth();
    } else if (!hostOnline && born) {
        // MQTT 3.1.1 cannot leave the will to the broker at a disconnect: the node says it.
        if (!broker.mqtt5)
            session->publish(death());
        born = false;
        session->startOver(
            QStringLiteral("primary host %1 went offline").arg(broker.sparkplugHost));
    }
}

void SparkplugNode::refuse(const QByteArray &topic, const QString &what, const QString &why) const
{
    logLine(LogLevel::Warning,
            QStringLiteral("sparkplug: command refused on %1%2: %3")
                .arg(QString::fromUtf8(topic),
                     what.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(what), why));
}

void SparkplugNode::stop()
{
    if (!born || !session->isConnected())
        return;
    session->publish(death());
    born = false;
}
