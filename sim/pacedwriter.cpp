#include "pacedwriter.h"

namespace sim {

namespace {
constexpr qint64 kBitsPerByte = 10; // start bit, 8 data bits, stop bit
}

PacedWriter::PacedWriter(Sink sink, QObject *parent) : QObject(parent), sink_(std::move(sink))
{
    clock_.start();
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &PacedWriter::writeDue);
}

void PacedWriter::send(const QByteArray &bytes, int baud, int chunk)
{
    const qint64 now = clock_.nsecsElapsed();
    qint64 start = queue_.empty() ? now : qMax(now, queue_.back().dueNs);
    if (baud <= 0 || chunk <= 0) {
        queue_.push_back({start, bytes});
    } else {
        const qint64 byteNs = kBitsPerByte * 1000000000 / baud;
        for (int at = 0; at < bytes.size(); at += chunk) {
            const QByteArray piece = bytes.mid(at, chunk);
            start += byteNs * piece.size();
            queue_.push_back({start, piece});
        }
    }
    writeDue();
}

void PacedWriter::writeDue()
{
    const qint64 now = clock_.nsecsElapsed();
    while (!queue_.empty() && queue_.front().dueNs <= now) {
        const QByteArray bytes = queue_.front().bytes;
        queue_.pop_front();
        sink_(bytes);
    }
    arm();
}

void PacedWriter::arm()
{
    if (queue_.empty())
        return;
    const qint64 waitNs = queue_.front().dueNs - clock_.nsecsElapsed();
    // Round up: a chunk must never leave before its time.
    timer_.start(int(qMax<qint64>(0, (waitNs + 999999) / 1000000)));
}

} // namespace sim
