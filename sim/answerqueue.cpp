#include "answerqueue.h"

namespace sim {

AnswerQueue::AnswerQueue(QObject *parent) : QObject(parent)
{
    clock_.start();
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &AnswerQueue::sendDue);
}

void AnswerQueue::push(int delayMs, Send send)
{
    const qint64 now = clock_.elapsed();
    busyUntilMs_ = qMax(now + qMax(0, delayMs), busyUntilMs_);
    if (queue_.empty() && busyUntilMs_ <= now) {
        send();
        return;
    }
    queue_.push_back({busyUntilMs_, std::move(send)});
    arm();
}

void AnswerQueue::clear()
{
    queue_.clear();
    timer_.stop();
}

void AnswerQueue::sendDue()
{
    while (!queue_.empty() && queue_.front().dueMs <= clock_.elapsed()) {
        // Taken off first: sending may push the next answer, or clear the queue.
        const Send send = std::move(queue_.front().send);
        queue_.pop_front();
        send();
    }
    arm();
}

void AnswerQueue::arm()
{
    if (queue_.empty())
        return;
    timer_.start(int(qMax<qint64>(0, queue_.front().dueMs - clock_.elapsed())));
}

} // namespace sim
