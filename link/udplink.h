#pragma once

#include "linktransport.h"
#include "linkwait.h"
#include "warninglimiter.h"

#include <QHostAddress>

class QUdpSocket;

// The UDP link: one socket to the device at peer:peerPort, datagram by datagram. Only the
// device's address may answer; each of its datagrams is one answer. The socket, the peer and its
// port are the face's (udpSocket, remoteAddress, remotePort), which creates the socket.
class UdpLink : public LinkTransport
{
public:
    UdpLink(LinkWait &wait, QUdpSocket *&socket, QHostAddress &peer, int &peerPort)
        : wait(wait), socket(socket), peer(peer), peerPort(peerPort)
    {
    }

    bool exists() const override;
    bool usable() const override; // a closed socket still counts: datagrams need no connection
    int release() override;
    void discardStale() override; // settles what the datagrams waiting answer
    bool checkLink(const QByteArray &probe) override;
    int exchange(const QByteArray &frame, int length, QByteArray &reply, int timeoutMs,
                 int expectedLength) override;

    // Creates the socket on first use, takes the peer and binds the local port the controller
    // expects; the link check is the caller's.
    int open(const QString &address, int port);
    int close();
    int deleteSocket();

    // The socket's signals.
    void readPending();
    void disconnected();

private:
    bool await(Awaiting what, qint64 ms);
    bool receiveDatagram(int fd);
    void sortDatagram(const QHostAddress &sender, quint16 senderPort, const char *data, int size);
    void warnForeign(const QHostAddress &sender, quint16 senderPort, qint64 size);

    LinkWait &wait;
    QUdpSocket *&socket;
    QHostAddress &peer;
    int &peerPort;
    QByteArray datagram;        // receive scratch, kept to spare an allocation per answer
    QHostAddress senderAddress; // likewise for the sender of each datagram
    int bindError = -1;         // what the last bind to the local port failed with, if it did
    WarningLimiter foreignWarnings;
};
