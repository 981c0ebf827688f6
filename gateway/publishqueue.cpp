#include "publishqueue.h"

#include <utility>

void PublishQueue::push(const MqttMessage &message)
{
    if (!message.retain) {
        counted.push_back(line.insert(line.end(), message));
        keepWithinLimit();
        return;
    }
    const auto waiting = retainedAt.constFind(message.topic);
    if (waiting != retainedAt.constEnd()) {
        givenUp(**waiting);
        **waiting = message;
        ++replacedCount;
        return;
    }
    retainedAt.insert(message.topic, line.insert(line.end(), message));
}

void PublishQueue::remind(const MqttMessage &message)
{
    if (!retainedAt.contains(message.topic))
        retainedAt.insert(message.topic, line.insert(line.end(), message));
}

void PublishQueue::pushFront(const MqttMessage &message)
{
    if (message.retain) {
        if (!retainedAt.contains(message.topic))
            retainedAt.insert(message.topic, line.insert(line.begin(), message));
        return;
    }
    counted.push_front(line.insert(line.begin(), message));
    keepWithinLimit();
}

MqttMessage PublishQueue::take()
{
    MqttMessage front = std::move(line.front()); // its node goes: its texts are not copied
    if (front.retain)
        retainedAt.remove(front.topic);
    else
        counted.pop_front(); // the oldest counted message is the first of them in the line
    line.pop_front();
    return front;
}

void PublishQueue::keepWithinLimit()
{
    while (int(counted.size()) > limit) {
        givenUp(*counted.front());
        line.erase(counted.front());
        counted.pop_front();
        ++droppedCount;
    }
}

void PublishQueue::givenUp(const MqttMessage &message)
{
    if (keep && message.held.count > 0)
        keep(message.held);
}

void PublishQueue::keepAllHeld()
{
    if (!keep)
        return;
    counted.clear();
    for (auto m = line.begin(); m != line.end();) {
        if (m->held.count > 0) {
            keep(m->held);
            m->held = HeldRecords();
            // A message numbered in its session still goes, or its successors' numbers lie.
            if (!m->retain && !m->sessionBound) {
                m = line.erase(m);
                continue;
            }
        }
        if (!m->retain)
            counted.push_back(m);
        ++m;
    }
}

void PublishQueue::dropSessionBound()
{
    counted.clear();
    for (auto m = line.begin(); m != line.end();) {
        if (m->sessionBound) {
            givenUp(*m);
            m = line.erase(m);
            continue;
        }
        if (!m->retain)
            counted.push_back(m);
        ++m;
    }
}
