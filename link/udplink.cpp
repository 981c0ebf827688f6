#include "udplink.h"

#include "CmdTarvik.h"

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
    return face.udpSocket;
}

// A closed UDP socket still counts: datagrams need no connection.
bool UdpLink::usable() const
{
    return face.udpSocket;
}

// The socket exists (the face creates it on first use, with its signals on the face's slots).
int UdpLink::open(const QString &address, int port)
{
    QUdpSocket *socket = face.udpSocket;
    // A port beyond 16 bits would be cut to another port, a device nobody named: the refused
    // string leaves no peer at all, so nothing ever goes out to it.
    if (port < 0 || port > 0xFFFF) {
        face.remoteAddress.clear();
        face.remotePort = 0;
        return CmdTarvik::OpenRefused;
    }
    face.remotePort = port;
    if (!face.remoteAddress.setAddress(address))
        return CmdTarvik::OpenRefused;
    // A socket still bound from an earlier connect is released so the bind below can take the
    // new address.
    if (socket->state() != QAbstractSocket::UnconnectedState)
        socket->close();
    // The bind mostly fails (the device's address is rarely one of ours); the first datagram
    // then binds an ephemeral port, and the link check decides either way.
    bindError = socket->bind(face.remoteAddress, linklimits::localUdpPort)
                    ? QAbstractSocket::UnknownSocketError
                    : socket->error();
    return CmdTarvik::Opened;
}

int UdpLink::close()
{
    QUdpSocket *socket = face.udpSocket;
    if (!socket)
        return CmdTarvik::Closed;
    socket->close();
    if (socket->state() != QAbstractSocket::UnconnectedState)
        socket->waitForDisconnected(30000);
    return CmdTarvik::Closed;
}

int UdpLink::deleteSocket()
{
    if (QUdpSocket *socket = face.udpSocket) {
        // Its connected, disconnected and readyRead signals: all it sends to the face.
        QObject::disconnect(socket, nullptr, &face, nullptr);
        delete socket;
        face.udpSocket = nullptr;
    }
    face.outstanding.clear();
    return 0;
}

int UdpLink::release()
{
    if (!face.udpSocket)
        return 1;
    if (face.udpSocket->state() != QAbstractSocket::UnconnectedState)
        close();
    deleteSocket();
    return 0;
}

void UdpLink::disconnected()
{
    // A failed bind is expected and no fault of the link, and a read that found nothing waiting
    // leaves a temporary error behind: neither is worth a warning.
    const QUdpSocket *socket = face.udpSocket;
    if (!socket || socket->error() == QAbstractSocket::UnknownSocketError ||
        socket->error() == QAbstractSocket::TemporaryError || socket->error() == bindError)
        return;
    protocollog::warnLine(protocollog::peerHead(face.remoteAddress, face.remotePort),
                          socket->error());
}

// Takes every waiting datagram off the socket. Reading through the socket object (not only
// straight from its descriptor) keeps it announcing the next datagram.
void UdpLink::readPending()
{
    if (datagram.size() != linklimits::datagramCapacity)
        datagram.resize(linklimits::datagramCapacity);
    while (face.udpSocket && face.udpSocket->state() == QAbstractSocket::BoundState) {
        quint16 senderPort = 0;
        const qint64 n = face.udpSocket->readDatagram(datagram.data(), datagram.size(),
                                                      &senderAddress, &senderPort);
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
    if (!sender.isEqual(face.remoteAddress, QHostAddress::TolerantConversion)) {
        warnForeign(sender, senderPort, size);
        return;
    }
    if (size == 0)
        return;
    const QByteArray bytes = QByteArray::fromRawData(data, size);
    if (face.settleAnswer(linklimits::shapeOf(bytes)) && !face.answerReady) {
        face.recvBuffer = QByteArray(data, size);
        face.answerArrived();
        return;
    }
    face.dropped += quint64(size);
}

void UdpLink::warnForeign(const QHostAddress &sender, quint16 senderPort, qint64 size)
{
    if (!foreignWarnings.allow())
        return;
    if (const quint64 held = foreignWarnings.takeSuppressed())
        protocollog::warnLine(QString::fromUtf8(foreignSummaryFormat)
                                  .arg(face.remoteAddress.toString())
                                  .arg(face.remotePort)
                                  .arg(held));
    protocollog::warnLine(QString::fromUtf8(foreignFormat)
                              .arg(face.remoteAddress.toString())
                              .arg(face.remotePort)
                              .arg(sender.toString())
                              .arg(senderPort)
                              .arg(size));
}

int UdpLink::exchange(const QByteArray &frame, int length, QByteArray &reply, int timeoutMs,
                      int expectedLength)
{
    // No peer (a refused address): nothing goes out.
    if (face.remoteAddress.isNull())
        return CmdTarvik::NoAnswer;
    if (!face.noteSent(linklimits::exchangeKind(expectedLength), expectedLength))
        return CmdTarvik::NoAnswer;
    const int size = qBound(0, length, frame.size());
    face.udpSocket->writeDatagram(frame.constData(), size, face.remoteAddress,
                                  quint16(face.remotePort));
    // A request nobody waits for stays outstanding: its answer, whenever it comes, is no other's.
    if (timeoutMs < 1 || !await(Awaiting::Answer, linklimits::udpReadyWaitMs + timeoutMs)) {
        face.resyncNeeded = true;
        return CmdTarvik::NoAnswer;
    }
    reply.append(face.recvBuffer);
    face.recvBuffer.clear();
    return CmdTarvik::LinkOk;
}

bool UdpLink::checkLink(const QByteArray &probe)
{
    if (face.remoteAddress.isNull() || !face.noteSent(Outstanding::Kind::LinkCheck, probe.size()))
        return false;
    if (face.udpSocket->writeDatagram(probe, face.remoteAddress, quint16(face.remotePort)) < 0)
        return false;
    await(Awaiting::LinkCheck, linklimits::udpReadyWaitMs + linklimits::linkCheckBudgetMs);
    return true;
}

// Datagrams that came while nobody waited settle what they answer and are dropped.
void UdpLink::discardStale()
{
    if (!face.udpSocket || face.udpSocket->state() != QAbstractSocket::BoundState)
        return;
    const int fd = int(face.udpSocket->socketDescriptor());
    while (receiveDatagram(fd)) {
    }
}

// Waits for the datagram the exchange is after: first straight on the socket for a moment, as
// a nearby device answers at once, then in the event loop.
bool UdpLink::await(Awaiting what, qint64 ms)
{
    face.await(what);
    const int fd = int(face.udpSocket->socketDescriptor());
    if (fd >= 0 && readable(fd, linklimits::quickAnswerMs)) {
        while (!face.answerReady && receiveDatagram(fd)) {
        }
    }
    if (!face.answerReady) {
        // Reading through the socket object once re-arms its announcements, whatever the quick
        // path took straight off the descriptor.
        readPending();
    }
    const bool answered = face.answerReady || face.waitForAnswer(ms);
    face.awaiting = Awaiting::Nothing;
    return answered;
}
