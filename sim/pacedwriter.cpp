#include "pacedwriter.h"

namespace sim {

namespace {
constexpr qint64 kBitsPerByte = 10; // start bit, 8 data bits, stop bit
constexpr qint64 kNsPerSecond = 1000000000;

qint64 byteNsAt(int baud)
{
    return kBitsPerByte * kNsPerSecond / baud;
}
} // namespace

PacedWriter::PacedWriter(Sink sink, Sink noiseSink, QObject *parent)
    : QObject(parent), sink_(std::move(sink)), noiseSink_(std::move(noiseSink))
{
    clock_.start();
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &PacedWriter::writeDue);
}

void PacedWriter::send(const QByteArray &bytes, int baud, int chunk)
{
    qint64 start = qMax(clock_.nsecsElapsed(), tailNs_);
    if (baud <= 0 || chunk <= 0) {
        push({start, bytes});
    } else {
        const qint64 byteNs = byteNsAt(baud);
        for (int at = 0; at < bytes.size(); at += chunk) {
            const QByteArray piece = bytes.mid(at, chunk);
            start += byteNs * piece.size();
            push({start, piece});
        }
    }
    writeDue();
}

void PacedWriter::sendNoise(char byte, qint64 count, int baud)
{
    if (count <= 0 || baud <= 0)
        return;
    const qint64 byteNs = byteNsAt(baud);
    const qint64 perMs = qMax<qint64>(1, baud / (kBitsPerByte * 1000));
    const qint64 now = clock_.nsecsElapsed();
    // No gap: the first noise byte follows the last byte ahead of it on the line.
    const qint64 start = qMax(now, tailNs_);
    const qint64 whole = count / perMs;
    const qint64 rest = count % perMs;
    const qint64 stepNs = perMs * byteNs;
    if (whole > 0)
        push({start + stepNs, QByteArray(int(perMs), byte), true, whole, stepNs});
    if (rest > 0)
        push({start + whole * stepNs + rest * byteNs, QByteArray(int(rest), byte), true});
    writeDue();
}

void PacedWriter::clear()
{
    queue_.clear();
    timer_.stop();
}

void PacedWriter::push(const Piece &piece)
{
    queue_.push_back(piece);
    tailNs_ = piece.dueNs + (piece.repeats - 1) * piece.stepNs;
}

void PacedWriter::writeDue()
{
    const qint64 now = clock_.nsecsElapsed();
    bool wrote = false;
    while (!queue_.empty() && queue_.front().dueNs <= now) {
        Piece &front = queue_.front();
        const QByteArray bytes = front.bytes;
        const bool noise = front.noise;
        if (--front.repeats > 0)
            front.dueNs += front.stepNs;
        else
            queue_.pop_front();
        (noise ? noiseSink_ : sink_)(bytes);
        wrote = true;
    }
    arm();
    if (wrote && queue_.empty())
        emit drained();
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
