#pragma once

#include <QByteArray>
#include <QHash>
#include <QMetaType>
#include <QString>
#include <QVector>

#include <deque>
#include <functional>
#include <list>

// Values a message carries for a controller's history, `count` of them, kept in the store when
// the message cannot go to the broker. They are held in the form the message has them, and made
// into records (the output's own form, joined by commas) only when they are kept, which is
// seldom.
struct HeldRecords
{
    enum class Form {
        Records,     // records already
        TagPayload,  // one tag's payload as published, the tag named by `tag`
        ScanPayload, // the payload of a message of several tags
    };
    QString controller;
    QByteArray records;
    int count = 0;
    QString tag;
    Form form = Form::Records;
};

struct MqttMessage
{
    QByteArray topic;
    QByteArray payload;
    bool retain = false;
    QByteArray correlation; // MQTT 5 correlation data, sent when not empty
    int expiryS = 0;        // MQTT 5 message expiry in seconds; 0: the message does not expire
    HeldRecords held;       // none when count is 0
    // Numbered within its session (a Sparkplug message): never sent on another one. Its values
    // for history are kept when its session ends before the broker has it.
    bool sessionBound = false;
    // A retained message its maker can make again, as one of a StandingSet: the session does not
    // keep it.
    bool standing = false;
};
Q_DECLARE_METATYPE(MqttMessage)

// Retained messages that stand as long as the configuration that makes them (what each tag is),
// made again whenever they are wanted rather than each held for the session's life: a hundred
// thousand tags would hold a topic and an entry each for nothing.
using StandingSet = std::function<QVector<MqttMessage>()>;
Q_DECLARE_METATYPE(QVector<MqttMessage>)

// What waits to be handed to the broker session, in the order it came. A retained message stands
// for its topic: the broker keeps only the latest of a topic, so a newer one takes the place of
// one still waiting (counted as replaced), and these are bounded by the number of topics, never
// dropped. Every other message counts against the limit; past it the oldest gives way (counted as
// dropped), so what waits is always the newest. Values a message that gives way carries for
// history are handed to the keeper, when there is one.
class PublishQueue
{
public:
    using Keeper = std::function<void(const HeldRecords &)>;
    explicit PublishQueue(int limit) : limit(limit) {}
    void setKeeper(Keeper keeper) { keep = std::move(keeper); }

    void push(const MqttMessage &message);
    // A retained message that is the latest of its topic already (remembered from an earlier
    // session): it joins the line unless its topic waits, and replaces nothing.
    void remind(const MqttMessage &message);
    // A message taken back from a session that was lost before the broker had it: it goes out
    // first, being older than everything waiting.
    void pushFront(const MqttMessage &message);
    bool hasWaiting() const { return !line.empty(); }
    MqttMessage take();
    // Every waiting message hands its values for history to the keeper; one that is not retained
    // is then no longer waiting (it would be out of date by the time it went), unless it is bound
    // to its session, whose numbering it keeps.
    void keepAllHeld();
    // The messages bound to a session that has ended are no longer waiting.
    void dropSessionBound();

    int waitingCount() const { return int(line.size()); }
    qint64 replaced() const { return replacedCount; }
    qint64 dropped() const { return droppedCount; }

private:
    using Line = std::list<MqttMessage>;
    void keepWithinLimit();
    void givenUp(const MqttMessage &message);

    int limit;
    Line line;
    QHash<QByteArray, Line::iterator> retainedAt; // topic -> its retained message in the line
    std::deque<Line::iterator> counted;           // the other messages, oldest first
    qint64 replacedCount = 0;
    qint64 droppedCount = 0;
    Keeper keep;
};
