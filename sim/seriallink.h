#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

namespace sim {

// Noise on a line: 01 is how a read answer starts, the likeliest byte to be mistaken for one.
constexpr char kNoiseByte = 0x01;

// A byte stream to the driver: the master side of a pseudo-terminal, or a real serial device.
class SerialLink : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Answers: every byte is kept until the line takes it.
    virtual void write(const QByteArray &bytes) = 0;
    // Line noise: writes what the line takes now, behind nothing still waiting, and drops the
    // rest, as a line with nobody reading loses it. Returns how many bytes went.
    virtual qint64 offer(const QByteArray &bytes) = 0;
    // While on, room() says each time the line can take more noise; off, the link waits for
    // nothing but its own answers.
    virtual void setWantRoom(bool on) = 0;
    // Ends the line for good, as a pulled cable does.
    virtual void close() = 0;
    // What the driver opens: the slave's path or the device's.
    QString path() const { return path_; }

signals:
    void received(const QByteArray &bytes);
    void room();

protected:
    QString path_;
};

} // namespace sim
