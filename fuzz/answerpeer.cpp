#include "answerpeer.h"

#include "loopbacksocket.h"

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

} // namespace

AnswerPeer::AnswerPeer()
{
    fds[0] = loopback::boundUdpSocket("127.0.0.1", &mainPort);
    fds[1] = loopback::boundUdpSocket("127.0.0.2", nullptr);
    fds[2] = loopback::boundUdpSocket("127.0.0.1", nullptr);
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
    if (!loopback::readable(fds[2], relayWaitMs))
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
        if (!loopback::readable(fds[0], pollSliceMs))
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
