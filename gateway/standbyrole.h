#pragma once

#include "brokersettings.h"
#include "publishqueue.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class MqttClient;

// Which of two gateways of one configuration (`standby = on`) reads the controllers. They agree
// through the broker alone:
//
//   PREFIX/gateway/active   retained: the instance that claimed the controllers last
//   PREFIX/gateway/status   retained: online while the active one runs; its will says offline
//
// Only the active instance's session has a will (the status offline); a standby's has none, so
// its death says nothing. A standby that sees the status go offline claims: it publishes its
// instance on the claim topic, and once its claim has come back and none newer within a moment,
// it connects again with the active will and starts. Two that claim at once see both claims in
// the broker's order, and the later one wins; an active one that sees a newer claim not its own
// stops at once.
//
// An active gateway stops reading as soon as it loses its session, and when it has heard nothing
// from the broker for one keepalive: the broker waits one and a half keepalives before it says
// the will, so the active one has stopped before a standby can start.
class StandbyRole : public QObject
{
    Q_OBJECT

public:
    StandbyRole(const BrokerSettings &broker, MqttClient *session, const QString &instance);

    bool isActive() const { return state == State::Active; }
    const QString &instanceName() const { return instance; }
    // The will of the next connect: the status offline when active, none else.
    MqttMessage will() const;
    // A message of the claim or status topic (true); any other is not the role's.
    bool takeMessage(const QByteArray &topic, const QByteArray &payload);

signals:
    void activated();
    void stoodDown(const QString &why);

private:
    enum class State { Deciding, Claiming, Standby, Promoting, Active };

    void sessionChanged(bool up);
    void decide();
    void claim();
    void settled();
    void standDown(const QString &why);
    void checkBroker();

    BrokerSettings broker;
    MqttClient *session;
    QString instance;
    State state = State::Deciding;
    QString claimHolder;      // the latest claim seen; "" for none
    QString status;           // the latest status seen
    bool claimEchoed = false; // our own claim has come back
    QTimer settle;
    QTimer brokerWatch;
};
