#include "standbyrole.h"

#include "gatewaylog.h"
#include "mqttclient.h"
#include "mqtttopics.h"

namespace {

// How long a new session listens for the claim and the status the broker keeps before it decides,
// and how long a claim must stand unchallenged before its maker takes the controllers.
constexpr int decideMs = 1000;
constexpr int claimSettleMs = 500;
constexpr int brokerWatchMs = 200;

QByteArray claimTopic(const BrokerSettings &broker)
{
    return mqttjson::gatewayTopic(broker, "active");
}

QByteArray statusTopic(const BrokerSettings &broker)
{
    return mqttjson::gatewayTopic(broker, "status");
}

} // namespace

StandbyRole::StandbyRole(const BrokerSettings &broker, MqttClient *session, const QString &instance)
    : broker(broker), session(session), instance(instance)
{
    settle.setSingleShot(true);
    connect(&settle, &QTimer::timeout, this, [this] {
        if (state == State::Deciding)
            decide();
        else if (state == State::Claiming)
            settled();
    });
    brokerWatch.setInterval(brokerWatchMs);
    connect(&brokerWatch, &QTimer::timeout, this, &StandbyRole::checkBroker);
    brokerWatch.start();
    session->subscribe(claimTopic(broker));
    session->subscribe(statusTopic(broker));
    connect(session, &MqttClient::connectionChanged, this, [this](bool up) { sessionChanged(up); });
}

MqttMessage StandbyRole::will() const
{
    if (state == State::Promoting || state == State::Active)
        return mqttjson::gatewayStatus(broker, false);
    return {};
}

void StandbyRole::sessionChanged(bool up)
{
    // The session a promotion ends on purpose comes back with the active will.
    if (state == State::Promoting) {
        if (up) {
            state = State::Active;
            logLine(LogLevel::Notice,
                    QStringLiteral("standby: %1 is the active gateway").arg(instance));
            emit activated();
        }
        return;
    }
    if (!up) {
        if (state == State::Active)
            standDown(QStringLiteral("the broker session was lost"));
        state = State::Deciding;
        return;
    }
    // What the broker keeps comes again at the subscribe.
    claimHolder.clear();
    status.clear();
    claimEchoed = false;
    state = State::Deciding;
    settle.start(decideMs);
}

// A claim of another instance stands while the status says online; otherwise the controllers are
// no one's, and this instance claims them.
void StandbyRole::decide()
{
    if (!claimHolder.isEmpty() && claimHolder != instance && status == QLatin1String("online")) {
        state = State::Standby;
        logLine(LogLevel::Notice,
                QStringLiteral("standby: %1 is active; %2 stands by").arg(claimHolder, instance));
        return;
    }
    claim();
}

void StandbyRole::claim()
{
    state = State::Claiming;
    claimEchoed = false;
    session->publish({claimTopic(broker), instance.toUtf8(), true, {}, 0, {}});
}

// The claim came back and none newer within a moment: the session is made again with the will of
// the active one, which then starts.
void StandbyRole::settled()
{
    if (claimHolder != instance) {
        state = State::Standby;
        return;
    }
    state = State::Promoting;
    session->startOver(QStringLiteral("%1 takes the controllers over").arg(instance));
}

bool StandbyRole::takeMessage(const QByteArray &topic, const QByteArray &payload)
{
    if (topic == claimTopic(broker)) {
        claimHolder = QString::fromUtf8(payload);
        const bool ours = claimHolder == instance;
        if (state == State::Claiming && ours && !claimEchoed) {
            claimEchoed = true;
            settle.start(claimSettleMs);
        } else if (state == State::Claiming && !ours) {
            state = State::Standby; // claimed after us: the broker's order says it won
            settle.stop();
        } else if (state == State::Active && !ours && !claimHolder.isEmpty()) {
            standDown(QStringLiteral("%1 claimed the controllers").arg(claimHolder));
            state = State::Standby;
        }
        return true;
    }
    if (topic == statusTopic(broker)) {
        status = QString::fromUtf8(payload);
        if (state == State::Standby && status == QLatin1String("offline")) {
            logLine(LogLevel::Notice,
                    QStringLiteral("standby: the active gateway went offline; %1 claims the "
                                   "controllers")
                        .arg(instance));
            claim();
        }
        return true;
    }
    return false;
}

void StandbyRole::standDown(const QString &why)
{
    logLine(LogLevel::Warning, QStringLiteral("standby: %1 stops reading: %2").arg(instance, why));
    emit stoodDown(why);
}

// Silence from the broker for a keepalive: it may be about to say the will, and the other
// instance to start. This one stops first, and its session starts over.
void StandbyRole::checkBroker()
{
    if (state != State::Active || !session->isConnected())
        return;
    const qint64 keepaliveMs = qint64(broker.keepaliveS) * 1000;
    // A quiet broker is asked for word well within a keepalive: only one that is gone stays
    // silent for a whole one.
    if (session->silentForMs() >= keepaliveMs / 4)
        session->askForWord(claimTopic(broker));
    if (session->silentForMs() < keepaliveMs)
        return;
    standDown(QStringLiteral("no word from the broker for %1 s").arg(broker.keepaliveS));
    state = State::Deciding;
    session->startOver(QStringLiteral("no word from the broker for a keepalive"));
}
