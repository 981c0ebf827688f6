#include "udpendpoint.h"

#include "faults.h"
#include "log.h"
#include "simulator.h"
#include "wire.h"

#include <QNetworkDatagram>
#include <QTimer>

namespace sim {

QString endpointText(const QHostAddress &address, quint16 port)
{
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(address.toString())
                             : address.toString();
    return QStringLiteral("%1:%2").arg(host).arg(port);
}

UdpEndpoint::UdpEndpoint(Simulator &simulator) : simulator_(simulator)
{
    connect(&socket_, &QUdpSocket::readyRead, this, &UdpEndpoint::readDatagrams);
}

bool UdpEndpoint::bind(const QHostAddress &address, quint16 port, QString *why)
{
    if (!socket_.bind(address, port)) {
        *why = QStringLiteral("cannot bind UDP %1: %2")
                   .arg(endpointText(address, port), socket_.errorString());
        return false;
    }
    return true;
}

QHostAddress UdpEndpoint::foreignAddress(const QHostAddress &own)
{
    const QHostAddress second(QStringLiteral("127.0.0.2"));
    return own == second ? QHostAddress(QStringLiteral("127.0.0.3")) : second;
}

void UdpEndpoint::readDatagrams()
{
    while (socket_.hasPendingDatagrams()) {
        const QNetworkDatagram datagram = socket_.receiveDatagram();
        const QHostAddress peer = datagram.senderAddress();
        const quint16 peerPort = quint16(datagram.senderPort());
        const QString from = endpointText(peer, peerPort);
        note(QStringLiteral("udp %1 <- %2").arg(from, hexText(datagram.data())));
        const std::optional<Delivery> delivery =
            simulator_.respond(datagram.data(), Transport::Udp, from);
        if (!delivery || !delivery->send)
            continue;
        const Delivery planned = *delivery;
        answers_.push(planned.delayMs,
                      [this, planned, peer, peerPort] { deliver(planned, peer, peerPort); });
    }
}

void UdpEndpoint::deliver(const Delivery &delivery, const QHostAddress &peer, quint16 peerPort)
{
    if (!delivery.decoy.isEmpty())
        sendFrom(foreignSocket(), delivery.decoy, peer, peerPort);
    sendFrom(sourceFor(delivery.sender), delivery.bytes, peer, peerPort);
    simulator_.countAnswered();
    if (delivery.repeatAfterMs >= 0) {
        const QByteArray bytes = delivery.bytes;
        const Sender sender = delivery.sender;
        simulator_.repeatPlanned();
        QTimer::singleShot(delivery.repeatAfterMs, this, [this, bytes, sender, peer, peerPort] {
            sendFrom(sourceFor(sender), bytes, peer, peerPort);
            simulator_.repeatSent();
        });
    }
}

QUdpSocket *UdpEndpoint::sourceFor(Sender sender)
{
    switch (sender) {
    case Sender::Main:
        return &socket_;
    case Sender::Foreign:
        return foreignSocket();
    case Sender::OtherPort:
        return otherPortSocket();
    }
    return &socket_;
}

void UdpEndpoint::sendFrom(QUdpSocket *socket, const QByteArray &bytes, const QHostAddress &peer,
                           quint16 peerPort)
{
    if (!socket)
        return;
    note(QStringLiteral("udp %1 -> %2 from %3")
             .arg(endpointText(peer, peerPort), hexText(bytes),
                  endpointText(socket->localAddress(), socket->localPort())));
    if (socket->writeDatagram(bytes, peer, peerPort) != bytes.size())
        warn(QStringLiteral("udp: cannot send to %1: %2")
                 .arg(endpointText(peer, peerPort), socket->errorString()));
}

QUdpSocket *UdpEndpoint::foreignSocket()
{
    if (foreign_)
        return foreign_.get();
    const QHostAddress address = foreignAddress(socket_.localAddress());
    auto socket = std::make_unique<QUdpSocket>();
    // The same port on another address looks most like a second controller; any port will do.
    if (!socket->bind(address, socket_.localPort()) && !socket->bind(address, 0)) {
        warn(QStringLiteral("udp: cannot bind the foreign sender %1: %2")
                 .arg(address.toString(), socket->errorString()));
        return nullptr;
    }
    foreign_ = std::move(socket);
    return foreign_.get();
}

QUdpSocket *UdpEndpoint::otherPortSocket()
{
    if (otherPort_)
        return otherPort_.get();
    auto socket = std::make_unique<QUdpSocket>();
    if (!socket->bind(socket_.localAddress(), 0)) {
        warn(QStringLiteral("udp: cannot bind a second port: %1").arg(socket->errorString()));
        return nullptr;
    }
    otherPort_ = std::move(socket);
    return otherPort_.get();
}

} // namespace sim
