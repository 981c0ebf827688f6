#pragma once

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QMutex>
#include <QString>
#include <QVector>

#include <atomic>
#include <functional>
#include <thread>

// In-test peers on real sockets and real pseudo-terminals. Each answers from a thread of its
// own, so it can answer while the code under test blocks the test thread in its waits.

struct PeerReply
{
    enum From { Same, OtherPort, OtherAddress };
    QByteArray data;
    int delayMs = 0;   // before the first byte
    int chunkSize = 0; // serial only: deliver in chunks of this many bytes (0: all at once)
    int chunkGapMs = 0;
    From from = Same; // UDP only: which of the peer's sockets sends it
};
Q_DECLARE_METATYPE(PeerReply)

using PeerScript = std::function<QVector<PeerReply>(const QByteArray &request)>;

// Processor time this process has used so far, user and system, in microseconds.
qint64 cpuMicroseconds();

// Answers a fixed reply to every request.
PeerScript answerAlways(const QByteArray &data, int delayMs = 0);

// Passes each request on to a controller on 127.0.0.1:port and answers what that one answers;
// nothing when it does not answer within waitMs.
PeerScript relayTo(quint16 port, int waitMs = 2000);

class PeerBase
{
public:
    QList<QByteArray> requests() const;
    int requestCount() const;
    // The requests so far, which the peer then forgets: a peer serving a long run keeps no more
    // than the requests since the last call.
    QList<QByteArray> takeRequests();

protected:
    // The requests so far, once `marker`, sent behind everything else on the same path, has
    // arrived; the marker is left out. A barrier for "nothing was sent" without a fixed wait.
    QList<QByteArray> requestsBefore(const QByteArray &marker, int timeoutMs) const;
    void record(const QByteArray &request);
    void runThread(std::function<void()> loop);
    void stopThread();

    std::atomic<bool> stopping{false};
    PeerScript script;

private:
    mutable QMutex mutex;
    QList<QByteArray> received;
    std::thread thread;
};

// A UDP device on 127.0.0.1 (an ephemeral port), with a second socket on another port and a
// third on 127.0.0.2 for answers from other senders.
class UdpPeer : public PeerBase
{
public:
    explicit UdpPeer(PeerScript script);
    ~UdpPeer();

    quint16 port() const { return mainPort; }
    QString connectionString() const;
    // Sends a datagram to a port on 127.0.0.1 from the test thread.
    void sendTo(quint16 port, const QByteArray &data, PeerReply::From from = PeerReply::Same);
    // Every datagram the peer got before the call, once all of them have been taken: a marker
    // sent to it now on loopback queues behind them. Its answer goes to a socket nobody reads.
    QList<QByteArray> settledRequests(int timeoutMs = 5000);

private:
    void loop();
    int socketFor(PeerReply::From from) const;

    int fds[3] = {-1, -1, -1};
    quint16 mainPort = 0;
};

// The device end of a pseudo-terminal; the code under test opens slavePath() as its serial port.
class PtyPeer : public PeerBase
{
public:
    explicit PtyPeer(PeerScript script);
    ~PtyPeer();

    bool isOpen() const { return master >= 0; }
    QString slavePath() const { return path; }
    // Writes bytes towards the serial port from the test thread.
    void write(const QByteArray &data);
    // Every byte written to the serial end before the call, as requests, once all of them have
    // been taken: a marker written to that end now queues behind them. Its answer stays unread
    // in the serial end unless a port there takes it.
    QList<QByteArray> settledRequests(int timeoutMs = 5000);

private:
    void loop();
    void deliver(const PeerReply &reply);

    int master = -1;
    int slave = -1; // kept open so the master never sees a hang-up between opens
    QString path;
};
