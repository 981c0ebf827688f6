#include "sparkplugoutput.h"

#include "DataType.h"
#include "mqtttopics.h"
#include "setpayload.h"
#include "tagmessages.h"
#include "writevalues.h"

#include <QDateTime>

#include <nlohmann/json.hpp>

namespace sparkplug {

Datatype publishedDatatype(const Tag &tag)
{
    return tagDatatype(tag.scaled() ? int(Double) : tag.type, tag.count);
}

SparkplugMetric tagMetric(const Tag &tag, const CLabelVariable &record)
{
    SparkplugMetric m;
    if (record.result == 0 && fromRecord(record, &m)) {
        m.quality = qualityGood;
        return m;
    }
    m = SparkplugMetric();
    m.datatype = publishedDatatype(tag);
    m.isNull = true;
    m.quality = qualityBad;
    const QDateTime when = record.time.isValid() ? record.time : QDateTime::currentDateTime();
    m.timestampMs = quint64(when.toMSecsSinceEpoch());
    return m;
}

namespace {

// A stored record's value (a value, a list, or texts for what JSON numbers cannot hold) as the
// tag's published type.
bool recordValue(const nlohmann::json &value, const Tag &tag, QVariant *typed, int *count)
{
    QStringList texts;
    const std::string json = value.dump();
    if (!setPayloadElements(QByteArray::fromStdString(json), &texts).isEmpty())
        return false;
    *count = int(texts.size());
    return writePayload(tag.scaled() ? int(Double) : tag.type, texts, typed).isEmpty();
}

SparkplugMetric historyMetric(const nlohmann::json &record, const Tag &tag)
{
    CLabelVariable r;
    r.type = tag.scaled() ? Double : DataType(tag.type);
    r.result = record.value("result", -1);
    r.time = QDateTime::fromString(QString::fromStdString(record.value("ts", std::string())),
                                   Qt::ISODateWithMs);
    const auto value = record.find("value");
    if (r.result == 0 && (value == record.end() || !recordValue(*value, tag, &r.value, &r.count)))
        r.result = -1;
    SparkplugMetric m = tagMetric(tag, r);
    m.isHistorical = true;
    return m;
}

} // namespace

bool historyMetrics(const QByteArray &records, const QVector<GatewayTag> &tags, quint64 firstAlias,
                    std::vector<SparkplugMetric> *metrics)
{
    const nlohmann::json list =
        nlohmann::json::parse('[' + records.toStdString() + ']', nullptr, false);
    if (!list.is_array())
        return false;
    for (const nlohmann::json &record : list) {
        if (!record.is_object() || !record.contains("tag") || !record["tag"].is_string())
            return false;
        const QString name = QString::fromStdString(record["tag"].get<std::string>());
        for (int i = 0; i < tags.size(); ++i) {
            if (tags[i].tag.name != name)
                continue;
            SparkplugMetric m = historyMetric(record, tags[i].tag);
            m.alias = firstAlias + quint64(i);
            metrics->push_back(std::move(m));
            break;
        }
    }
    return true;
}

} // namespace sparkplug

SparkplugControllerOutput::SparkplugControllerOutput(const ControllerSettings &settings,
                                                     bool keepHistory, HandOver handOver)
    : settings(settings), keepHistory(keepHistory), handOver(std::move(handOver))
{
    turn.device = settings.name;
}

void SparkplugControllerOutput::tagUpdated(int tag, const CLabelVariable &record,
                                           const QStringList &texts, const TagMemory &before)
{
    const Tag &t = settings.tags[tag].tag;
    turn.changes.push_back({SparkplugChange::Kind::Tag, tag, sparkplug::tagMetric(t, record)});
    if (!keepHistory)
        return;
    const bool large = settings.largeIntegersAsText;
    records << mqttjson::historyRecord(
        t.name, record.result == 0 ? tagmessages::valueJson(record, texts, large)
                                   : tagmessages::failureJson(record, before, large));
}

void SparkplugControllerOutput::statusChanged(bool online)
{
    turn.changes.push_back(
        {online ? SparkplugChange::Kind::Online : SparkplugChange::Kind::Offline, -1, {}});
}

void SparkplugControllerOutput::turnEnded()
{
    if (turn.changes.empty())
        return;
    if (!records.isEmpty())
        turn.held = {
            settings.name, records.join(','), int(records.size()), {}, HeldRecords::Form::Records};
    handOver(turn);
    turn.changes.clear();
    turn.held = HeldRecords();
    records.clear();
}
