#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <deque>
#include <functional>

namespace sim {

// Hands the answers of one endpoint out in the order their requests came. A controller works
// through its requests one after another, so a late answer holds back every answer behind it:
// each goes out at its request's time plus its delay, but never before the answer ahead of it.
class AnswerQueue : public QObject
{
    Q_OBJECT

public:
    using Send = std::function<void()>;
    explicit AnswerQueue(QObject *parent = nullptr);

    // Runs send once the answer is due: at once when it is due now and nothing waits ahead of it.
    void push(int delayMs, Send send);
    bool isEmpty() const { return queue_.empty(); }
    // Forgets every answer not sent yet, as a controller that goes away does.
    void clear();

private:
    struct Entry
    {
        qint64 dueMs;
        Send send;
    };

    void sendDue();
    void arm();

    QElapsedTimer clock_;
    QTimer timer_;
    std::deque<Entry> queue_;
    qint64 busyUntilMs_ = 0; // when the latest answer given or planned goes out
};

} // namespace sim
