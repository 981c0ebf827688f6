#include "answerpeer.h"

#include <QMutexLocker>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int pollSliceMs = 50;   // how soon the thread notices it is to stop
constexpr int relayWaitMs = 2000; // a relayed controller answers well within this
const QByteArray linkCheck("\x04\x01", 2);

int boundSocket(const char *address, quint16 *port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &sa.sin_addr);
    socklen_t length = sizeof sa;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &length) != 0) {
        ::close(fd);
        return -1;
    }
    if (port)
        *port = ntohs(sa.sin_port);
    return fd;
}

bool readable(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN);
}

} // namespace

AnswerPeer::AnswerPeer()
{
    fds[0] = boundSocket("127.0.0.1", &mainPort);
    fds[1] = boundSocket("127.0.0.2", nullptr);
    fds[2] = boundSocket("127.0.0.1", nullptr);
    if (isOpen())
        thread = std::thread([this] { loop(); });
}

AnswerPeer::~AnswerPeer()
{
    stopping = true;
    if (thread.joinable())
        thread.join();
    for (int fd : fds) {
        if (fd >= 0)
            ::close(fd);
    }
}

void AnswerPeer::answerWith(const QByteArray &a, const QByteArray &d)
{
    QMutexLocker lock(&mutex);
    answer = a;
    decoy = d;
}

void AnswerPeer::relayTo(quint16 port)
{
    QMutexLocker lock(&mutex);
    relayPort = port;
}

QByteArray AnswerPeer::lastRequest() const
{
    QMutexLocker lock(&mutex);
    return request;
}

QByteArray AnswerPeer::lastAnswer() const
{
    QMutexLocker lock(&mutex);
    return answered;
}

void AnswerPeer::sendFrom(int fd, const QByteArray &data, const void *to, unsigned toLength)
{
    ::sendto(fd, data.constData(), size_t(data.size()), 0, static_cast<const sockaddr *>(to),
             socklen_t(toLength));
}

QByteArray AnswerPeer::relay(const QByteArray &frame)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(relayPort);
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    sendFrom(fds[2], frame, &to, sizeof to);
    if (!readable(fds[2], relayWaitMs))
        return QByteArray();
    QByteArray reply(65536, '\0');
    const ssize_t n = ::recv(fds[2], reply.data(), size_t(reply.size()), 0);
    reply.resize(n > 0 ? int(n) : 0);
    return reply;
}

void AnswerPeer::loop()
{
    QByteArray buffer(65536, '\0');
    while (!stopping) {
        if (!readable(fds[0], pollSliceMs))
            continue;
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = ::recvfrom(fds[0], buffer.data(), size_t(buffer.size()), 0,
                                     reinterpret_cast<sockaddr *>(&from), &fromLength);
        if (n < 0)
            continue;
        const QByteArray frame = buffer.left(int(n));
        QMutexLocker lock(&mutex);
        request = frame;
        if (frame == linkCheck) {
            sendFrom(fds[0], linkCheck, &from, fromLength);
            continue;
        }
        if (relayPort != 0) {
            answered = relay(frame);
            if (!answered.isEmpty())
                sendFrom(fds[0], answered, &from, fromLength);
            continue;
        }
        if (!decoy.isEmpty())
            sendFrom(fds[1], decoy, &from, fromLength);
        answered = answer;
        sendFrom(fds[0], answer, &from, fromLength);
    }
}
