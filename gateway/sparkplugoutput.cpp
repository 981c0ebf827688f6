#include "sparkplugoutput.h"

#include "DataType.h"
#include "mqtttopics.h"
#include "tagmessages.h"

#include <QDateTime>

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

} // namespace sparkplug

SparkplugControllerOutput::SparkplugControllerOutput(const ControllerSettings &settings,
                                                     bool keepHistory, HandOver handOver)
    : settings(settings), keepHistory(keepHistory), handOver(std::move(handOver))
{
    turn.device = settings.name;
}

void SparkplugControllerOutput::tagUpdated(int tag, const CLabelVariable &record,
                                           const TagMemory &before)
{
    const Tag &t = settings.tags[tag].tag;
    turn.changes.push_back({SparkplugChange::Kind::Tag, tag, sparkplug::tagMetric(t, record)});
    if (!keepHistory)
        return;
    const bool large = settings.largeIntegersAsText;
    records << mqttjson::historyRecord(
        t.name, record.result == 0 ? tagmessages::valueJson(record, large)
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
