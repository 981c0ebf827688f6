#pragma once

#include "answerqueue.h"

#include <QHostAddress>
#include <QObject>
#include <QUdpSocket>

#include <memory>

namespace sim {

// "127.0.0.1:700", "[::1]:700".
QString endpointText(const QHostAddress &address, quint16 port);

class Simulator;
struct Delivery;
enum class Sender;

// Answers requests that arrive as datagrams, each to its sender. The faults that play with the
// answer's source get sockets of their own, opened when first needed.
class UdpEndpoint : public QObject
{
    Q_OBJECT

public:
    explicit UdpEndpoint(Simulator &simulator);

    bool bind(const QHostAddress &address, quint16 port, QString *why);
    quint16 port() const { return socket_.localPort(); }

    // Another loopback address for the foreign sender: 127.0.0.2, or 127.0.0.3 if we are .2.
    static QHostAddress foreignAddress(const QHostAddress &own);

private:
    void readDatagrams();
    void deliver(const Delivery &delivery, const QHostAddress &peer, quint16 peerPort);
    void sendFrom(QUdpSocket *socket, const QByteArray &bytes, const QHostAddress &peer,
                  quint16 peerPort);
    QUdpSocket *sourceFor(Sender sender);
    QUdpSocket *foreignSocket();
    QUdpSocket *otherPortSocket();

    Simulator &simulator_;
    QUdpSocket socket_;
    AnswerQueue answers_; // one socket, one controller: answers leave in request order
    std::unique_ptr<QUdpSocket> foreign_;
    std::unique_ptr<QUdpSocket> otherPort_;
};

} // namespace sim
