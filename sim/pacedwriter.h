#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <deque>
#include <functional>

namespace sim {

// Hands answers to a serial link the way a real line would: a byte every 10 bit times, or a chunk
// of bytes at a time as a UART FIFO or a USB adapter passes them on. Answers queue behind each
// other, so two of them never interleave.
class PacedWriter : public QObject
{
    Q_OBJECT

public:
    using Sink = std::function<void(const QByteArray &)>;
    // sink takes answers whole, however long the line needs; noiseSink takes line noise, which a
    // line that cannot carry it now may lose.
    PacedWriter(Sink sink, Sink noiseSink, QObject *parent = nullptr);

    // baud 0: at once (behind whatever is still queued). Otherwise chunk bytes at a time, each
    // chunk when its last byte would have crossed the line.
    void send(const QByteArray &bytes, int baud, int chunk);
    // count bytes of noise at baud, right behind whatever is queued: a millisecond's worth at a
    // time, made as they fall due, so a long run costs no memory.
    void sendNoise(char byte, qint64 count, int baud);

    bool isIdle() const { return queue_.empty(); }
    // Forgets everything not written yet.
    void clear();

signals:
    // The last queued byte has been handed to the link.
    void drained();

private:
    struct Piece
    {
        qint64 dueNs;
        QByteArray bytes;
        bool noise = false;
        qint64 repeats = 1; // the same bytes again every stepNs
        qint64 stepNs = 0;
    };

    void push(const Piece &piece);
    void writeDue();
    void arm();

    Sink sink_;
    Sink noiseSink_;
    QElapsedTimer clock_;
    QTimer timer_;
    std::deque<Piece> queue_;
    qint64 tailNs_ = 0; // when the last queued byte has crossed the line
};

} // namespace sim
