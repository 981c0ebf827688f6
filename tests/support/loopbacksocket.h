#pragma once

#include <QtGlobal>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

// Plain sockets for in-process peers on loopback, shared by the tests and the fuzz targets.
namespace loopback {

// A UDP socket bound to address and a free port (stored in *port when given); -1 on failure.
inline int boundUdpSocket(const char *address, quint16 *port)
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

// Waits at most timeoutMs for fd to become readable.
inline bool readable(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN);
}

} // namespace loopback
