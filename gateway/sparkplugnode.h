#pragma once

#include "gatewayconfig.h"
#include "mqttclient.h"
#include "sparkplugoutput.h"

#include <QHash>
#include <QObject>

#include <vector>

// The gateway's own figures, sent as the node's metrics.
struct NodeFigures
{
    double readsPerS = 0;
    qint64 queue = 0, published = 0, dropped = 0, storeHeld = 0;
};

// The gateway as a Sparkplug B edge node on one broker session, on the gateway's main thread:
// one device per controller. Every message of the session is numbered here (seq 0-255, NBIRTH
// always 0), so nothing of an earlier session or birth goes out in a later one.
//
// The session's will is NDEATH with its bdSeq, which goes up with every connect. Once the
// session is up (and the primary host, when one is named, says it is online) the node publishes
// NBIRTH, then a DBIRTH for each controller online; data follow as the controllers read, with
// aliases only. A controller that goes offline gets DDEATH, and DBIRTH when it is back. A
// Rebirth command repeats every birth; a DCMD is a write, checked as a JSON request is.
class SparkplugNode : public QObject
{
    Q_OBJECT

public:
    // keep: takes values for history that the node could not send. A node that takes over from
    // another (a reload with new broker settings) is made inactive, its bdSeq going on from the
    // other's, so that the other's late NDEATH never matches its birth; it is born once it is
    // made active.
    SparkplugNode(const BrokerSettings &broker, const QVector<ControllerSettings> &controllers,
                  MqttClient *session, PublishQueue::Keeper keep, bool active = true,
                  quint64 firstBdSeq = 0);

    void activate();
    quint64 nextBirthSequence() const { return nextBdSeq; }

    // A reload that keeps the session: the devices of the new configuration, born as they come
    // online.
    void setDevices(const QVector<ControllerSettings> &controllers);
    void takeTurn(const SparkplugTurn &turn);
    void takeFigures(const NodeFigures &figures);
    // The session's message, when it is one of the node's (true). One too long to be taken in
    // is refused.
    bool takeMessage(const QByteArray &topic, const QByteArray &payload, bool tooLong);
    // A batch of a controller's history as data with historical metrics: sent once the device
    // is born; skipped for a controller no longer configured or offline now (whose births the
    // data would follow).
    enum class History { Send, Wait, Skip };
    History history(const QString &controller, const QByteArray &records, MqttMessage *data);
    // NDEATH, ahead of a clean disconnect.
    void stop();

    bool isBorn() const { return born; }

signals:
    // A command to write a tag: its value checked and typed as the worker takes it.
    void writeAsked(const QString &controller, int tag, const QVariant &value, int count);

private:
    struct Device
    {
        ControllerSettings settings;
        quint64 firstAlias = 0;
        std::vector<SparkplugMetric> latest; // each tag's, as the last data said it
        bool online = false;
        bool born = false; // DBIRTH sent since the last NBIRTH
    };

    void sessionChanged(bool up);
    MqttMessage nextWill();
    MqttMessage death() const;
    MqttMessage message(const QByteArray &topic, SparkplugPayload payload,
                        const HeldRecords &held = HeldRecords());
    void publish(const QByteArray &topic, SparkplugPayload payload,
                 const HeldRecords &held = HeldRecords());
    void birth();
    void deviceBirth(Device &device, const HeldRecords &held = HeldRecords());
    void deviceDeath(Device &device);
    std::vector<SparkplugMetric> nodeMetrics(bool named) const;
    void command(const QByteArray &payload);
    void deviceCommand(const QByteArray &topic, const QByteArray &payload);
    QString writeProblem(const Device &device, const SparkplugMetric &m, int *tag, QVariant *typed,
                         int *count) const;
    void hostState(const QByteArray &payload);
    void refuse(const QByteArray &topic, const QString &what, const QString &why) const;

    BrokerSettings broker;
    MqttClient *session;
    PublishQueue::Keeper keep;
    std::vector<Device> devices;
    QHash<QString, int> deviceAt;
    quint64 nextBdSeq = 0;
    quint64 bdSeq = 0; // of the session's will
    quint64 seq = 0;
    bool born = false;
    bool active = true;
    bool hostOnline = false;
    qint64 hostTimestamp = -1; // of the latest STATE taken
    NodeFigures figures;
    NodeFigures sentFigures;
};
