#pragma once

#include "controlleroutput.h"
#include "gatewayconfig.h"
#include "publishqueue.h"
#include "sparkplugpayload.h"

#include <functional>
#include <vector>

// What one controller said in a scan turn, for the Sparkplug node: it went online or offline,
// and the tags read, each as a metric's value (or null) with its quality and time. The node,
// which numbers every message of its session, makes the births, data and deaths of it.
struct SparkplugChange
{
    enum class Kind { Online, Offline, Tag };
    Kind kind = Kind::Tag;
    int tag = -1;
    SparkplugMetric metric; // neither name nor alias: the node knows them
};

struct SparkplugTurn
{
    QString device;
    std::vector<SparkplugChange> changes;
    HeldRecords held; // the turn's values for history, when no other output keeps them
};

namespace sparkplug {

// The datatype a tag is published as: its own type's, or Double once it is scaled.
Datatype publishedDatatype(const Tag &tag);
// A tag's record as a metric: its value with good quality, or null with bad quality when the
// read failed.
SparkplugMetric tagMetric(const Tag &tag, const CLabelVariable &record);
// The records of a controller's history (as the store keeps them, joined by commas) as
// historical metrics of its tags, with aliases from firstAlias on. A record of a tag the
// controller no longer has is left out; one whose value cannot be read back is null, with bad
// quality. False when the records are not the store's form.
bool historyMetrics(const QByteArray &records, const QVector<GatewayTag> &tags, quint64 firstAlias,
                    std::vector<SparkplugMetric> *metrics);

} // namespace sparkplug

// One controller as a Sparkplug device, on its worker's thread: what it says is handed to the
// node at the end of each turn. With `keepHistory`, the turn also carries its values for the
// store (in the same records the JSON form keeps), for when the node cannot send them.
class SparkplugControllerOutput : public ControllerOutput
{
public:
    using HandOver = std::function<void(const SparkplugTurn &)>;
    SparkplugControllerOutput(const ControllerSettings &settings, bool keepHistory,
                              HandOver handOver);

    void started() override {}
    void tagUpdated(int tag, const CLabelVariable &record, const QStringList &texts,
                    const TagMemory &before) override;
    void statusChanged(bool online) override;
    void stillOnline() override {}
    // The worker logs the outcome; a write that succeeded is confirmed by the next data.
    void writeAnswered(int, int, const QString &, const QVariant &) override {}
    void turnEnded() override;

private:
    const ControllerSettings settings; // shares the configuration's tags (as the worker's does)
    bool keepHistory;
    HandOver handOver;
    SparkplugTurn turn;
    QByteArrayList records;
};
