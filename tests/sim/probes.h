#pragma once

// The driver's side of the simulator's links, stripped to what the tests look at: what arrived,
// from where and when. Every wait is bounded.

#include "simprocess.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QString>
#include <QUdpSocket>
#include <QVector>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

struct Arrival
{
    QByteArray bytes;
    QHostAddress sender;
    quint16 senderPort = 0;
    qint64 atMs = 0; // since the last send
};

class UdpProbe
{
public:
    explicit UdpProbe(const QHostAddress &host = QHostAddress(QHostAddress::LocalHost))
        : host_(host)
    {
        socket_.bind(host, 0);
    }

    void send(const QByteArray &frame, quint16 port)
    {
        clock_.start();
        socket_.writeDatagram(frame, host_, port);
    }

    // What arrives within windowMs, stopping early once count datagrams are in.
    QVector<Arrival> collect(int count, int windowMs)
    {
        QVector<Arrival> arrivals;
        QDeadlineTimer deadline(windowMs);
        while (arrivals.size() < count && !deadline.hasExpired()) {
            if (!socket_.hasPendingDatagrams()) {
                socket_.waitForReadyRead(int(qBound<qint64>(1, deadline.remainingTime(), 50)));
                continue;
            }
            Arrival arrival;
            arrival.bytes.resize(int(qMax<qint64>(0, socket_.pendingDatagramSize())));
            socket_.readDatagram(arrival.bytes.data(), arrival.bytes.size(), &arrival.sender,
                                 &arrival.senderPort);
            arrival.atMs = clock_.elapsed();
            arrivals << arrival;
        }
        return arrivals;
    }

    // One request, its first answer; an empty Arrival when none came.
    Arrival exchange(const QByteArray &frame, quint16 port, int timeoutMs = 2000)
    {
        send(frame, port);
        const QVector<Arrival> arrivals = collect(1, timeoutMs);
        return arrivals.isEmpty() ? Arrival() : arrivals.first();
    }

private:
    QHostAddress host_;
    QUdpSocket socket_;
    QElapsedTimer clock_;
};

// Opens a serial device path (a pseudo-terminal's slave) the way a driver would, in raw mode.
class PtyProbe
{
public:
    explicit PtyProbe(const QString &path)
    {
        fd_ = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios settings;
        if (fd_ >= 0 && tcgetattr(fd_, &settings) == 0) {
            cfmakeraw(&settings);
            tcsetattr(fd_, TCSANOW, &settings);
        }
    }
    ~PtyProbe()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    PtyProbe(const PtyProbe &) = delete;
    PtyProbe &operator=(const PtyProbe &) = delete;

    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    bool send(const QByteArray &bytes)
    {
        clock_.start();
        return ::write(fd_, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }

    // One Arrival per read(): a burst of bytes the line delivered together. Stops once bytes are
    // in, when windowMs has passed, or when the line hangs up.
    QVector<Arrival> collect(int bytes, int windowMs)
    {
        QVector<Arrival> bursts;
        int total = 0;
        QDeadlineTimer deadline(windowMs);
        while (total < bytes && !deadline.hasExpired()) {
            pollfd waitFor{fd_, POLLIN, 0};
            if (::poll(&waitFor, 1, int(qBound<qint64>(1, deadline.remainingTime(), 50))) <= 0)
                continue;
            char buffer[4096];
            const ssize_t got = ::read(fd_, buffer, sizeof buffer);
            if (got < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (got <= 0) {
                hungUp_ = true;
                break;
            }
            bursts << Arrival{QByteArray(buffer, int(got)), {}, 0, clock_.elapsed()};
            total += int(got);
        }
        return bursts;
    }

    bool hungUp() const { return hungUp_; }

    static QByteArray joined(const QVector<Arrival> &arrivals)
    {
        QByteArray all;
        for (const Arrival &arrival : arrivals)
            all += arrival.bytes;
        return all;
    }

private:
    int fd_ = -1;
    bool hungUp_ = false;
    QElapsedTimer clock_;
};

// Waits until the simulator has taken count requests. It serves its sockets in no fixed order, so
// a control command sent right after a request may otherwise overtake it.
inline bool awaitRequests(SimProcess &sim, int count, int timeoutMs = 3000)
{
    const QString wanted = QStringLiteral("requests=%1 ").arg(count);
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (sim.control(QStringLiteral("stats")).contains(wanted))
            return true;
        usleep(5000);
    }
    return false;
}
