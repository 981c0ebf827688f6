#include "peers.h"

#include "loopbacksocket.h"

#include <QMutexLocker>

#include <arpa/inet.h>
#include <chrono>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

void sleepMs(int ms)
{
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace

PeerScript answerAlways(const QByteArray &data, int delayMs)
{
    return [data, delayMs](const QByteArray &) {
        PeerReply r;
        r.data = data;
        r.delayMs = delayMs;
        return QVector<PeerReply>{r};
    };
}

// The relay's own socket, closed with the last copy of its script.
class RelaySocket
{
public:
    RelaySocket() : fd(loopback::boundUdpSocket("127.0.0.1", nullptr)) {}
    ~RelaySocket()
    {
        if (fd >= 0)
            ::close(fd);
    }
    RelaySocket(const RelaySocket &) = delete;
    RelaySocket &operator=(const RelaySocket &) = delete;

    const int fd;
};

PeerScript relayTo(quint16 port, int waitMs)
{
    const auto relay = std::make_shared<RelaySocket>();
    return [relay, port, waitMs](const QByteArray &request) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
        ::sendto(relay->fd, request.constData(), size_t(request.size()), 0,
                 reinterpret_cast<sockaddr *>(&to), sizeof to);
        if (!loopback::readable(relay->fd, waitMs))
            return QVector<PeerReply>();
        QByteArray answer(65536, '\0');
        const ssize_t n = ::recv(relay->fd, answer.data(), size_t(answer.size()), 0);
        if (n <= 0)
            return QVector<PeerReply>();
        PeerReply r;
        r.data = answer.left(int(n));
        return QVector<PeerReply>{r};
    };
}

QList<QByteArray> PeerBase::requests() const
{
    QMutexLocker lock(&mutex);
    return received;
}

QList<QByteArray> PeerBase::takeRequests()
{
    QMutexLocker lock(&mutex);
    QList<QByteArray> taken;
    taken.swap(received);
    return taken;
}

int PeerBase::requestCount() const
{
    QMutexLocker lock(&mutex);
    return received.size();
}

QList<QByteArray> PeerBase::requestsBefore(const QByteArray &marker, int timeoutMs) const
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        QList<QByteArray> got = requests();
        // A serial marker may arrive in one burst with bytes written just before it.
        if (!got.isEmpty() && got.last().endsWith(marker)) {
            got.last().chop(marker.size());
            if (got.last().isEmpty())
                got.removeLast();
            return got;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return {"the marker never arrived"};
        sleepMs(2);
    }
}

void PeerBase::record(const QByteArray &request)
{
    QMutexLocker lock(&mutex);
    received.append(request);
}

void PeerBase::runThread(std::function<void()> loop)
{
    thread = std::thread(std::move(loop));
}

qint64 cpuMicroseconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000000LL + u.ru_utime.tv_usec +
           u.ru_stime.tv_usec;
}

void PeerBase::stopThread()
{
    stopping = true;
    if (thread.joinable())
        thread.join();
}

// ---------------------------------------------------------------------------------------------

UdpPeer::UdpPeer(PeerScript s)
{
    script = std::move(s);
    fds[PeerReply::Same] = loopback::boundUdpSocket("127.0.0.1", &mainPort);
    fds[PeerReply::OtherPort] = loopback::boundUdpSocket("127.0.0.1", nullptr);
    fds[PeerReply::OtherAddress] = loopback::boundUdpSocket("127.0.0.2", nullptr);
    runThread([this] { loop(); });
}

UdpPeer::~UdpPeer()
{
    stopThread();
    for (int fd : fds) {
        if (fd >= 0)
            ::close(fd);
    }
}

QString UdpPeer::connectionString() const
{
    return QStringLiteral("127.0.0.1:%1").arg(mainPort);
}

int UdpPeer::socketFor(PeerReply::From from) const
{
    return fds[from];
}

void UdpPeer::sendTo(quint16 port, const QByteArray &data, PeerReply::From from)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    ::sendto(socketFor(from), data.constData(), size_t(data.size()), 0,
             reinterpret_cast<sockaddr *>(&to), sizeof to);
}

QList<QByteArray> UdpPeer::settledRequests(int timeoutMs)
{
    const QByteArray marker = QByteArrayLiteral("<settled udp>");
    sendTo(mainPort, marker, PeerReply::OtherPort);
    return requestsBefore(marker, timeoutMs);
}

void UdpPeer::loop()
{
    char buffer[65536];
    while (!stopping) {
        if (!loopback::readable(fds[PeerReply::Same], 20))
            continue;
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(fds[PeerReply::Same], buffer, sizeof buffer, 0,
                                     reinterpret_cast<sockaddr *>(&from), &len);
        if (n < 0)
            continue;
        const QByteArray request(buffer, int(n));
        record(request);
        for (const PeerReply &reply : script(request)) {
            sleepMs(reply.delayMs);
            ::sendto(socketFor(reply.from), reply.data.constData(), size_t(reply.data.size()), 0,
                     reinterpret_cast<sockaddr *>(&from), len);
        }
    }
}

// ---------------------------------------------------------------------------------------------

PtyPeer::PtyPeer(PeerScript s)
{
    script = std::move(s);
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0)
        return;
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        ::close(master);
        master = -1;
        return;
    }
    path = QString::fromLocal8Bit(::ptsname(master));
    slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    if (slave >= 0 && ::tcgetattr(slave, &raw) == 0) {
        ::cfmakeraw(&raw);
        ::tcsetattr(slave, TCSANOW, &raw);
    }
    runThread([this] { loop(); });
}

PtyPeer::~PtyPeer()
{
    stopThread();
    if (slave >= 0)
        ::close(slave);
    if (master >= 0)
        ::close(master);
}

void PtyPeer::write(const QByteArray &data)
{
    if (::write(master, data.constData(), size_t(data.size())) < 0)
        return;
}

QList<QByteArray> PtyPeer::settledRequests(int timeoutMs)
{
    const QByteArray marker = QByteArrayLiteral("<settled pty>");
    if (slave < 0 || ::write(slave, marker.constData(), size_t(marker.size())) < 0)
        return {"the marker could not be written"};
    return requestsBefore(marker, timeoutMs);
}

void PtyPeer::deliver(const PeerReply &reply)
{
    sleepMs(reply.delayMs);
    const int chunk = reply.chunkSize > 0 ? reply.chunkSize : reply.data.size();
    for (int at = 0; at < reply.data.size() && !stopping; at += chunk) {
        if (at > 0)
            sleepMs(reply.chunkGapMs);
        write(reply.data.mid(at, chunk));
    }
}

void PtyPeer::loop()
{
    char buffer[4096];
    while (!stopping && master >= 0) {
        if (!loopback::readable(master, 20))
            continue;
        // A request is the burst of bytes that arrives without a 5-ms pause.
        QByteArray request;
        do {
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0)
                break;
            request.append(buffer, int(n));
        } while (loopback::readable(master, 5) && request.size() < (1 << 20));
        if (request.isEmpty())
            continue;
        record(request);
        for (const PeerReply &reply : script(request))
            deliver(reply);
    }
}
