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
    explicit PacedWriter(Sink sink, QObject *parent = nullptr);

    // baud 0: at once (behind whatever is still queued). Otherwise chunk bytes at a time, each
    // chunk when its last byte would have crossed the line.
    void send(const QByteArray &bytes, int baud, int chunk);

private:
    struct Piece
    {
        qint64 dueNs;
        QByteArray bytes;
    };

    void writeDue();
    void arm();

    Sink sink_;
    QElapsedTimer clock_;
    QTimer timer_;
    std::deque<Piece> queue_;
};

} // namespace sim
