#pragma once

#include <QObject>

class QSocketNotifier;

namespace sim {

// Turns SIGINT and SIGTERM into a Qt signal delivered by the event loop, through a pipe the
// handler writes one byte to: nothing else is safe inside a signal handler.
class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

    bool watch(QString *why);

signals:
    void caught(int signalNumber);

private:
    void readPipe();

    QSocketNotifier *notifier_ = nullptr;
};

} // namespace sim
