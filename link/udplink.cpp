#include "udplink.h"

#include "linklimits.h"
#include "protocollog.h"

#include <QUdpSocket>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace {

constexpr const char *foreignFormat = protocollog::foreignFormat.data();
constexpr const char *foreignSummaryFormat = protocollog::foreignSummaryFormat.data();

quint16 senderPortOf(const sockaddr_storage &from)
{
    if (from.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in &>(from).sin_port);
    if (from.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 &>(from).sin6_port);
    return 0;
}

bool readable(int fd, int waitMs)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, waitMs) > 0 && (p.revents & POLLIN);
}

} // namespace

bool UdpLink::exists() const
{
    return socket;
}

// A closed UDP socket still counts: datagrams need no connection.
bool UdpLink::usable() const
{
    return socket;
}

// The socket exists (the face creates it on first use, with its signals on the face's slots).
int UdpLink::open(const QString &address, int port)
{
    // A port beyond 16 bits would be cut to another port, a device nobody named: the refused
    // string leaves no peer at all, so nothing ever goes out to it.
    if (port < 0 || port > 0xFFFF) {
        peer.clear();
        peerPort = 0;
        return LinkCodes::OpenRefused;
    }
    peerPort = port;
    if (!peer.setAddress(address))
        return LinkCodes::OpenRefused;
    // A socket still bound from an earlier connect is released so the bind below can take the
    // new address.
    if (socket->state() != QAbstractSocket::UnconnectedState)
        socket->close();
    // The bind mostly fails (the device's address is rarely one of ours); the first datagram
    // then binds an ephemeral port, and the link check decides either way.
    bindError = socket->bind(peer, linklimits::localUdpPort) ? QAbstractSocket::UnknownSocketError
                                                             : socket->error();
    return LinkCodes::Opened;
}

int UdpLink::close()
{
    if (!socket)
        return LinkCodes::Closed;
    socket->close();
    if (socket->state() != QAbstractSocket::UnconnectedState)
        socket->waitForDisconnected(30000);
    return LinkCodes::Closed;
}

int UdpLink::deleteSocket()
{
    if (socket) {
        // Its connected, disconnected and readyRead signals: all it sends to the face.
        QObject::disconnect(socket, nullptr, nullptr, nullptr);
        delete socket;
        socket = nullptr;
    }
    wait.outstanding.clear();
    return 0;
}

int UdpLink::release()
{
    if (!socket)
        return 1;
    if (socket->state() != QAbstractSocket::UnconnectedState)
        close();
    deleteSocket();
    return 0;
}

void UdpLink::disconnected()
{
    // A failed bind is expected and no fault of the link, and a read that found nothing waiting
    // leaves a temporary error behind: neither is worth a warning.
    if (!socket || socket->error() == QAbstractSocket::UnknownSocketError ||
        socket->error() == QAbstractSocket::TemporaryError || socket->error() == bindError)
        return;
    protocollog::warnLine(protocollog::peerHead(peer, peerPort), socket->error());
}

// Takes every waiting datagram off the socket. Reading through the socket object (not only
// straight from its descriptor) keeps it announcing the next datagram.
void UdpLink::readPending()
{
    if (datagram.size() != linklimits::datagramCapacity)
        datagram.resize(linklimits::datagramCapacity);
    while (socket && socket->state() == QAbstractSocket::BoundState) {
        quint16 senderPort = 0;
        const qint64 n =
            socket->readDatagram(datagram.data(), datagram.size(), &senderAddress, &senderPort);
        if (n < 0)
            return;
        sortDatagram(senderAddress, senderPort, datagram.constData(), int(n));
    }
}

// Reads one datagram straight from the socket, without waiting: the exchange's own quick path.
// False when nothing was waiting.
bool UdpLink::receiveDatagram(int fd)
{
    if (datagram.size() != linklimits::datagramCapacity)
        datagram.resize(linklimits::datagramCapacity);
    sockaddr_storage from{};
    socklen_t length = sizeof from;
    const ssize_t n = ::recvfrom(fd, datagram.data(), size_t(datagram.size()), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr *>(&from), &length);
    if (n < 0)
        return false;
    senderAddress.setAddress(reinterpret_cast<const sockaddr *>(&from));
    sortDatagram(senderAddress, senderPortOf(from), datagram.constData(), int(n));
    return true;
}

// Only the device may answer, from any port of its own; anything else is dropped with a
// warning. Each of the device's datagrams is one answer: it settles what it answers, and the
// exchange waiting takes it only when it answers that exchange's request and nothing older.
// Every other one is dropped. An empty datagram is no answer at all.
void UdpLink::sortDatagram(const QHostAddress &sender, quint16 senderPort, const char *data,
                           int size)
{
    if (!sender.isEqual(peer, QHostAddress::TolerantConversion)) {
        warnForeign(sender, senderPort, size);
        return;
    }
    if (size == 0)
        return;
    if (wait.settleAnswer(linklimits::shapeOf(data, size)) && !wait.answerReady) {
        wait.received = QByteArray(data, size);
        wait.answerArrived();
        return;
    }
    wait.dropped += quint64(size);
}

void UdpLink::warnForeign(const QHostAddress &sender, quint16 senderPort, qint64 size)
{
    if (!foreignWarnings.allow())
        return;
    if (const quint64 held = foreignWarnings.takeSuppressed())
        protocollog::warnLine(
            QString::fromUtf8(foreignSummaryFormat).arg(peer.toString()).arg(peerPort).arg(held));
    protocollog::warnLine(QString::fromUtf8(foreignFormat)
                              .arg(peer.toString())
                              .arg(peerPort)
                              .arg(sender.toString())
                              .arg(senderPort)
                              .arg(size));
}

int UdpLink::exchange(const QByteArray &frame, int length, QByteArray &reply, int timeoutMs,
                      int expectedLength)
{
    // No peer (a refused address): nothing goes out.
    if (peer.isNull())
        return LinkCodes::NoAnswer;
    if (!wait.noteSent(linklimits::exchangeKind(expectedLength), expectedLength))
        return LinkCodes::NoAnswer;
    const int size = qBound(0, length, frame.size());
    socket->writeDatagram(frame.constData(), size, peer, quint16(peerPort));
    // A request nobody waits for stays outstanding: its answer, whenever it comes, is no other's.
    if (timeoutMs < 1 || !await(Awaiting::Answer, linklimits::udpReadyWaitMs + timeoutMs)) {
        wait.resyncNeeded = true;
        return LinkCodes::NoAnswer;
    }
    reply.append(wait.received);
    wait.received.clear();
    return LinkCodes::LinkOk;
}

bool UdpLink::checkLink(const QByteArray &probe)
{
    if (peer.isNull() || !wait.noteSent(Outstanding::Kind::LinkCheck, probe.size()))
        return false;
    if (socket->writeDatagram(probe, peer, quint16(peerPort)) < 0)
        return false;
    await(Awaiting::LinkCheck, linklimits::udpReadyWaitMs + linklimits::linkCheckBudgetMs);
    return true;
}

// Datagrams that came while nobody waited settle what they answer and are dropped.
void UdpLink::discardStale()
{
    if (!socket || socket->state() != QAbstractSocket::BoundState)
        return;
    const int fd = int(socket->socketDescriptor());
    while (receiveDatagram(fd)) {
    }
}

// Waits for the datagram the exchange is after: first straight on the socket for a moment, as
// a nearby device answers at once, then in the event loop.
bool UdpLink::await(Awaiting what, qint64 ms)
{
    wait.await(what);
    const int fd = int(socket->socketDescriptor());
    if (fd >= 0 && readable(fd, linklimits::quickAnswerMs)) {
        while (!wait.answerReady && receiveDatagram(fd)) {
        }
    }
    if (!wait.answerReady) {
        // Reading through the socket object once re-arms its announcements, whatever the quick
        // path took straight off the descriptor.
        readPending();
    }
    const bool answered = wait.answerReady || wait.waitForAnswer(ms);
    wait.awaiting = Awaiting::Nothing;
    return answered;
}
