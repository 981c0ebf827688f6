#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

namespace sim {

class SerialLink;

// Keeps an idle serial line carrying noise, at a given rate or as fast as the line takes it: a
// device that streams, or a line picking up bytes that belong to nothing. What the line cannot
// take is lost, so the simulator holds no more for it however long nobody reads.
class IdleStream : public QObject
{
    Q_OBJECT

public:
    explicit IdleStream(SerialLink &link, QObject *parent = nullptr);

    // baud 0 and full false: no stream.
    void setRate(int baud, bool full);
    // The driver has started to send: the line is its own until the exchange is over.
    void pause();
    // The exchange is over: the stream resumes shortly, unless the driver sends again first.
    void resumeSoon();

private:
    bool wanted() const { return baud_ > 0 || full_; }
    void start();
    void stop();
    void tick();
    void fill();

    SerialLink &link_;
    int baud_ = 0;
    bool full_ = false;
    bool paused_ = false;
    QTimer resumeTimer_;
    QTimer tickTimer_;
    QElapsedTimer clock_;
    qint64 lastNs_ = 0;
    qint64 credit_ = 0; // bit-nanoseconds earned and not yet sent
    QByteArray block_;  // what one full-rate write offers
};

} // namespace sim
