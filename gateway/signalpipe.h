#pragma once

#include <QObject>

class QSocketNotifier;

// SIGTERM, SIGINT and SIGHUP turned into Qt signals on the main thread: the handler only writes
// the signal's number to a socket pair, and the event loop reads it.
class SignalPipe : public QObject
{
    Q_OBJECT

public:
    explicit SignalPipe(QObject *parent = nullptr);
    bool install();

signals:
    void terminate();
    void reload();

private:
    void readSignal();

    QSocketNotifier *notifier = nullptr;
};
