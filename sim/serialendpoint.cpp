#include "serialendpoint.h"

#include "log.h"
#include "seriallink.h"
#include "simulator.h"
#include "wire.h"

namespace sim {

namespace {
// A frame comes in one write; bytes of the same frame follow each other within a few byte times
// even at low rates and through USB adapters.
constexpr int kSettleMs = 20;
// A partial frame with no new byte for this long will never complete: drop it and resynchronise.
constexpr int kStaleMs = 100;
// A 2-wire line echoes a request as it goes out; the device answers once it has turned around.
constexpr int kEchoTurnaroundMs = 3;

qint64 noiseBytes(int ms, int baud)
{
    return qint64(ms) * baud / 10000; // 10 bit times a byte
}
} // namespace

SerialEndpoint::SerialEndpoint(Simulator &simulator, std::unique_ptr<SerialLink> link)
    : simulator_(simulator), link_(std::move(link)),
      writer_([this](const QByteArray &bytes) { link_->write(bytes); },
              [this](const QByteArray &bytes) { link_->offer(bytes); }),
      stream_(*link_)
{
    settleTimer_.setSingleShot(true);
    settleTimer_.setInterval(kSettleMs);
    staleTimer_.setSingleShot(true);
    staleTimer_.setInterval(kStaleMs);
    connect(&settleTimer_, &QTimer::timeout, this, [this] { takeFrames(true); });
    connect(&staleTimer_, &QTimer::timeout, this, &SerialEndpoint::dropStale);
    connect(link_.get(), &SerialLink::received, this, &SerialEndpoint::receive);
    connect(&writer_, &PacedWriter::drained, this, &SerialEndpoint::resumeStreamIfIdle);
}

SerialEndpoint::~SerialEndpoint() = default;

QString SerialEndpoint::path() const
{
    return link_->path();
}

void SerialEndpoint::setStream(int baud, bool full)
{
    stream_.setRate(baud, full);
}

void SerialEndpoint::receive(const QByteArray &bytes)
{
    stream_.pause();
    note(QStringLiteral("%1 <- %2").arg(path(), hexText(bytes)));
    splitter_.append(bytes);
    takeFrames(false);
    // Both clocks run from the latest byte.
    if (splitter_.hasPartial()) {
        settleTimer_.start();
        staleTimer_.start();
    }
}

void SerialEndpoint::takeFrames(bool lineQuiet)
{
    for (;;) {
        QString dropped;
        const std::optional<QByteArray> frame = splitter_.next(lineQuiet, &dropped);
        if (!dropped.isEmpty())
            note(QStringLiteral("%1: dropped %2").arg(path(), dropped));
        if (!frame)
            break;
        answer(*frame);
    }
    if (!splitter_.hasPartial()) {
        settleTimer_.stop();
        staleTimer_.stop();
    }
    resumeStreamIfIdle();
}

void SerialEndpoint::dropStale()
{
    if (splitter_.hasPartial())
        note(QStringLiteral("%1: dropped incomplete %2").arg(path(), hexText(splitter_.discard())));
    resumeStreamIfIdle();
}

// Whatever was still to be sent goes with the line, as with a device that is switched off.
void SerialEndpoint::hangUp()
{
    note(QStringLiteral("%1: hanging up").arg(path()));
    closed_ = true;
    answers_.clear();
    writer_.clear();
    stream_.pause();
    settleTimer_.stop();
    staleTimer_.stop();
    link_->close();
    emit hungUp();
}

// Idle: no request half in, no answer waiting or still on its way out.
void SerialEndpoint::resumeStreamIfIdle()
{
    if (!closed_ && !splitter_.hasPartial() && answers_.isEmpty() && writer_.isIdle())
        stream_.resumeSoon();
}

void SerialEndpoint::answer(const QByteArray &frame)
{
    if (closed_)
        return;
    const std::optional<Delivery> delivery = simulator_.respond(frame, Transport::Serial, path());
    if (delivery && delivery->hangUp)
        hangUp();
    if (!delivery)
        return;
    if (delivery->echo && !closed_) {
        note(QStringLiteral("%1 -> %2 (echo)").arg(path(), hexText(frame)));
        writer_.send(frame, 0, 0);
    }
    if (!delivery->send)
        return;
    const Delivery planned = *delivery;
    const int turnaround = planned.echo ? kEchoTurnaroundMs : 0;
    answers_.push(planned.delayMs + turnaround, [this, planned] { deliver(planned); });
}

void SerialEndpoint::deliver(const Delivery &delivery)
{
    note(QStringLiteral("%1 -> %2").arg(path(), hexText(delivery.bytes)));
    simulator_.countAnswered();
    writer_.send(delivery.bytes, delivery.paceBaud, delivery.chunk);
    if (delivery.babbleMs > 0)
        writer_.sendNoise(kNoiseByte, noiseBytes(delivery.babbleMs, delivery.babbleBaud),
                          delivery.babbleBaud);
    if (delivery.repeatAfterMs >= 0) {
        const QByteArray bytes = delivery.bytes;
        simulator_.repeatPlanned();
        QTimer::singleShot(delivery.repeatAfterMs, this, [this, bytes] {
            simulator_.repeatSent();
            if (closed_)
                return;
            note(QStringLiteral("%1 -> %2 (repeated)").arg(path(), hexText(bytes)));
            writer_.send(bytes, 0, 0);
        });
    }
}

} // namespace sim
