#pragma once

#include "brokersettings.h"

#include <QByteArray>
#include <QString>

// The topics of the gateway's Sparkplug B edge node, and the names of its own metrics:
//
//   spBv1.0/GROUP/NBIRTH|NDEATH|NDATA/NODE            the node: its births, death and figures
//   spBv1.0/GROUP/DBIRTH|DDEATH|DDATA/NODE/DEVICE     a controller, one device each
//   spBv1.0/GROUP/NCMD/NODE, .../DCMD/NODE/DEVICE     commands, taken
//   spBv1.0/STATE/HOST_ID                             the primary host's state, taken
namespace sparkplug {

// A group, node, device or host id: 1 to 64 characters, none of / + # or control characters;
// "" or why not.
QString idProblem(const QString &id);

enum class MessageType { NBIRTH, NDEATH, NDATA, NCMD, DBIRTH, DDEATH, DDATA, DCMD };

QByteArray nodeTopic(const BrokerSettings &broker, MessageType type);
QByteArray deviceTopic(const BrokerSettings &broker, MessageType type, const QString &device);
// What the node subscribes to: its commands (NCMD, and DCMD of every device).
QByteArray nodeCommandTopic(const BrokerSettings &broker);
QByteArray deviceCommandPattern(const BrokerSettings &broker);
QByteArray stateTopic(const BrokerSettings &broker);
// The device a DCMD topic of this node names; false for any other topic.
bool commandDevice(const BrokerSettings &broker, const QByteArray &topic, QString *device);

// The node's own metrics.
extern const char bdSeqMetric[];
extern const char rebirthMetric[];

} // namespace sparkplug
