#pragma once

#include <QByteArray>
#include <QMutex>

#include <atomic>
#include <thread>

// A controller on loopback UDP for the fuzz targets, answering from a thread of its own while
// the link under test waits on the main thread. It answers every request with the datagram it
// was given, after an optional decoy from 127.0.0.2; or it relays each request to a real
// controller and hands back that one's answer. Link checks are always answered, so a link opens.
class AnswerPeer
{
public:
    AnswerPeer();
    ~AnswerPeer();
    AnswerPeer(const AnswerPeer &) = delete;
    AnswerPeer &operator=(const AnswerPeer &) = delete;

    bool isOpen() const { return fds[0] >= 0 && fds[1] >= 0 && fds[2] >= 0; }
    quint16 port() const { return mainPort; }

    void answerWith(const QByteArray &answer, const QByteArray &decoy = QByteArray());
    // Relays to the controller on 127.0.0.1:port (0: back to answering).
    void relayTo(quint16 port);

    QByteArray lastRequest() const;
    QByteArray lastAnswer() const;

private:
    void loop();
    void sendFrom(int fd, const QByteArray &data, const void *to, unsigned toLength);
    QByteArray relay(const QByteArray &request);

    int fds[3] = {-1, -1, -1}; // serving socket, decoy socket on 127.0.0.2, relay socket
    quint16 mainPort = 0;
    quint16 relayPort = 0;
    mutable QMutex mutex;
    QByteArray answer;
    QByteArray decoy;
    QByteArray request;
    QByteArray answered;
    std::atomic<bool> stopping{false};
    std::thread thread;
};
