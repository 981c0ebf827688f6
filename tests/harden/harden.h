#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

// What the hardening tests share: the process's own descriptor and memory figures, and a
// control command sent from another thread while the test thread waits inside the driver.
namespace harden {

inline int openDescriptors()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size();
}

// Resident memory in KiB.
inline qint64 residentKiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toLongLong() * (sysconf(_SC_PAGESIZE) / 1024) : -1;
}

// Sends one datagram to 127.0.0.1:port after delayMs, from a thread of its own; joined on
// destruction. The reply is not read.
class DelayedCommand
{
public:
    DelayedCommand(quint16 port, const QByteArray &command, int delayMs)
        : thread([port, command, delayMs] {
              std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
              const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
              if (fd < 0)
                  return;
              sockaddr_in to{};
              to.sin_family = AF_INET;
              to.sin_port = htons(port);
              ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
              ::sendto(fd, command.constData(), size_t(command.size()), 0,
                       reinterpret_cast<sockaddr *>(&to), sizeof to);
              ::close(fd);
          })
    {
    }
    ~DelayedCommand() { thread.join(); }

private:
    std::thread thread;
};

} // namespace harden
