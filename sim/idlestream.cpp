#include "idlestream.h"

#include "seriallink.h"

namespace sim {

namespace {
// Long enough for the driver to see the answer's end, short enough to catch its next request.
constexpr int kResumeMs = 20;
constexpr int kTickMs = 10;
// After a stall, at most this much is made up at once: a real line does not store its past.
constexpr qint64 kMaxCatchUpNs = 2 * kTickMs * 1000000LL;
constexpr qint64 kBitNsPerByte = 10 * 1000000000LL; // 10 bit times a byte
constexpr int kBlockSize = 65536;
} // namespace

IdleStream::IdleStream(SerialLink &link, QObject *parent) : QObject(parent), link_(link)
{
    resumeTimer_.setSingleShot(true);
    resumeTimer_.setInterval(kResumeMs);
    tickTimer_.setInterval(kTickMs);
    tickTimer_.setTimerType(Qt::PreciseTimer);
    connect(&resumeTimer_, &QTimer::timeout, this, [this] {
        paused_ = false;
        start();
    });
    connect(&tickTimer_, &QTimer::timeout, this, &IdleStream::tick);
    connect(&link_, &SerialLink::room, this, &IdleStream::fill);
    clock_.start();
}

void IdleStream::setRate(int baud, bool full)
{
    stop();
    baud_ = baud;
    full_ = full;
    if (!paused_)
        start();
}

void IdleStream::pause()
{
    paused_ = true;
    resumeTimer_.stop();
    stop();
}

void IdleStream::resumeSoon()
{
    if (paused_)
        resumeTimer_.start();
}

void IdleStream::start()
{
    if (!wanted())
        return;
    if (full_) {
        if (block_.isEmpty())
            block_ = QByteArray(kBlockSize, kNoiseByte);
        link_.setWantRoom(true);
        return;
    }
    lastNs_ = clock_.nsecsElapsed();
    credit_ = 0;
    tickTimer_.start();
}

void IdleStream::stop()
{
    tickTimer_.stop();
    link_.setWantRoom(false);
}

void IdleStream::tick()
{
    const qint64 now = clock_.nsecsElapsed();
    credit_ = qMin(credit_ + (now - lastNs_) * baud_, kMaxCatchUpNs * baud_);
    lastNs_ = now;
    const qint64 bytes = credit_ / kBitNsPerByte;
    if (bytes <= 0)
        return;
    credit_ -= bytes * kBitNsPerByte;
    link_.offer(QByteArray(int(bytes), kNoiseByte));
}

void IdleStream::fill()
{
    if (full_ && !paused_)
        link_.offer(block_);
}

} // namespace sim
