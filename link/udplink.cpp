#include "CmdTarvik.h"

#include "linklimits.h"
#include "protocollog.h"

#include <QUdpSocket>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace {

constexpr char foreignFormat[] = "lib[Tarvik]%1:%2  datagram from %3:%4 dropped len = %5";
constexpr char foreignSummaryFormat[] = "lib[Tarvik]%1:%2  %3 more datagrams from other senders "
                                        "dropped";

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

// Creates the socket on first use, takes the peer and binds the local port the controller
// expects; the link check is the caller's.
int CmdTarvik::udpOpen(const QString &address, int port)
{
    if (!udpSocket) {
        udpSocket = new QUdpSocket(this);
        connect(udpSocket, &QUdpSocket::readyRead, this, &CmdTarvik::myreadyRead);
        connect(udpSocket, &QUdpSocket::connected, this, &CmdTarvik::myconnected);
        connect(udpSocket, &QUdpSocket::disconnected, this, &CmdTarvik::mydisconnected);
    }
    // A port beyond 16 bits would be cut to another port, a device nobody named: the refused
    // string leaves no peer at all, so nothing ever goes out to it.
    if (port < 0 || port > 0xFFFF) {
        remoteAddress.clear();
        remotePort = 0;
        return OpenRefused;
    }
    remotePort = port;
    if (!remoteAddress.setAddress(address))
        return OpenRefused;
    // A socket still bound from an earlier connect is released so the bind below can take the
    // new address.
    if (udpSocket->state() != QAbstractSocket::UnconnectedState)
        udpSocket->close();
    // The bind mostly fails (the device's address is rarely one of ours); the first datagram
    // then binds an ephemeral port, and the link check decides either way.
    bindError = udpSocket->bind(remoteAddress, linklimits::localUdpPort)
                    ? QAbstractSocket::UnknownSocketError
                    : udpSocket->error();
    return Opened;
}

int CmdTarvik::UDPConnectDrive()
{
    if (!udpSocket)
        return Closed;
    udpSocket->close();
    if (udpSocket->state() != QAbstractSocket::UnconnectedState)
        udpSocket->waitForDisconnected(30000);
    return Closed;
}

void CmdTarvik::myconnected() {}

void CmdTarvik::mydisconnected()
{
    // A failed bind is expected and no fault of the link, and a read that found nothing waiting
    // leaves a temporary error behind: neither is worth a warning.
    if (!udpSocket || udpSocket->error() == QAbstractSocket::UnknownSocketError ||
        udpSocket->error() == QAbstractSocket::TemporaryError || udpSocket->error() == bindError)
        return;
    protocollog::warnLine(protocollog::peerHead(remoteAddress, remotePort), udpSocket->error());
}

// Takes every waiting datagram off the socket. Reading through the socket object (not only
// straight from its descriptor) keeps it announcing the next datagram.
void CmdTarvik::myreadyRead()
{
    if (datagram.size() != linklimits::datagramCapacity)
        datagram.resize(linklimits::datagramCapacity);
    while (udpSocket && udpSocket->state() == QAbstractSocket::BoundState) {
        quint16 senderPort = 0;
        const qint64 n =
            udpSocket->readDatagram(datagram.data(), datagram.size(), &senderAddress, &senderPort);
        if (n < 0)
            return;
        sortDatagram(senderAddress, senderPort, datagram.constData(), int(n));
    }
}

// Reads one datagram straight from the socket, without waiting: the exchange's own quick path.
// False when nothing was waiting.
bool CmdTarvik::receiveDatagram(int fd)
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
void CmdTarvik::sortDatagram(const QHostAddress &sender, quint16 senderPort, const char *data,
                             int size)
{
    if (!sender.isEqual(remoteAddress, QHostAddress::TolerantConversion)) {
        warnForeign(sender, senderPort, size);
        return;
    }
    if (size == 0)
        return;
    const QByteArray bytes = QByteArray::fromRawData(data, size);
    const Outstanding::Kind kind = linklimits::isLinkCheckAnswer(bytes)
                                       ? Outstanding::Kind::LinkCheck
                                       : Outstanding::Kind::Exchange;
    if (settleAnswer(kind) && !answerReady) {
        recvBuffer = QByteArray(data, size);
        answerArrived();
        return;
    }
    dropped += quint64(size);
}

void CmdTarvik::warnForeign(const QHostAddress &sender, quint16 senderPort, qint64 size)
{
    if (!foreignWarnings.allow())
        return;
    if (const quint64 held = foreignWarnings.takeSuppressed())
        protocollog::warnLine(QString::fromUtf8(foreignSummaryFormat)
                                  .arg(remoteAddress.toString())
                                  .arg(remotePort)
                                  .arg(held));
    protocollog::warnLine(QString::fromUtf8(foreignFormat)
                              .arg(remoteAddress.toString())
                              .arg(remotePort)
                              .arg(sender.toString())
                              .arg(senderPort)
                              .arg(size));
}

int CmdTarvik::udpExchange(const QByteArray &frame, int length, QByteArray &reply, int timeoutMs,
                           int expectedLength)
{
    // No peer (a refused address): nothing goes out.
    if (remoteAddress.isNull())
        return NoAnswer;
    if (!noteSent(Outstanding::Kind::Exchange, expectedLength))
        return NoAnswer;
    const int size = qBound(0, length, frame.size());
    udpSocket->writeDatagram(frame.constData(), size, remoteAddress, quint16(remotePort));
    // A request nobody waits for stays outstanding: its answer, whenever it comes, is no other's.
    if (timeoutMs < 1 || !udpAwait(Awaiting::Answer, linklimits::udpReadyWaitMs + timeoutMs)) {
        resyncNeeded = true;
        return NoAnswer;
    }
    reply.append(recvBuffer);
    recvBuffer.clear();
    return LinkOk;
}

// Waits for the datagram the exchange is after: first straight on the socket for a moment, as
// a nearby device answers at once, then in the event loop.
bool CmdTarvik::udpAwait(Awaiting what, qint64 ms)
{
    await(what);
    const int fd = int(udpSocket->socketDescriptor());
    if (fd >= 0 && readable(fd, linklimits::quickAnswerMs)) {
        while (!answerReady && receiveDatagram(fd)) {
        }
    }
    if (!answerReady) {
        // Reading through the socket object once re-arms its announcements, whatever the quick
        // path took straight off the descriptor.
        myreadyRead();
    }
    const bool answered = answerReady || waitForAnswer(ms);
    awaiting = Awaiting::Nothing;
    return answered;
}
