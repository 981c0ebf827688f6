#include "devicelink.h"

#include <QTimer>

namespace sim {

namespace {
// Noise the port's own buffer may hold: enough to keep a fast line busy between two turns of the
// event loop, small enough that a line nobody reads costs no memory.
constexpr qint64 kMaxNoiseBuffered = 4096;
} // namespace

DeviceLink::DeviceLink(QObject *parent) : SerialLink(parent)
{
    connect(&port_, &QSerialPort::readyRead, this, [this] { emit received(port_.readAll()); });
    connect(&port_, &QSerialPort::bytesWritten, this, [this] {
        if (wantRoom_ && port_.bytesToWrite() < kMaxNoiseBuffered)
            emit room();
    });
}

bool DeviceLink::open(const QString &path, qint32 baud, QString *why)
{
    path_ = path;
    port_.setPortName(path);
    if (!port_.open(QIODevice::ReadWrite)) {
        *why = QStringLiteral("cannot open %1: %2").arg(path, port_.errorString());
        return false;
    }
    const bool configured = port_.setBaudRate(baud) && port_.setDataBits(QSerialPort::Data8) &&
                            port_.setParity(QSerialPort::NoParity) &&
                            port_.setStopBits(QSerialPort::OneStop) &&
                            port_.setFlowControl(QSerialPort::NoFlowControl);
    if (!configured) {
        *why = QStringLiteral("cannot configure %1 for %2 baud: %3")
                   .arg(path)
                   .arg(baud)
                   .arg(port_.errorString());
        port_.close();
        return false;
    }
    return true;
}

void DeviceLink::write(const QByteArray &bytes)
{
    if (port_.isOpen())
        port_.write(bytes);
}

qint64 DeviceLink::offer(const QByteArray &bytes)
{
    if (!port_.isOpen())
        return 0;
    const qint64 room = kMaxNoiseBuffered - port_.bytesToWrite();
    return room > 0 ? port_.write(bytes.left(int(qMin<qint64>(room, bytes.size())))) : 0;
}

void DeviceLink::setWantRoom(bool on)
{
    wantRoom_ = on;
    // The port says nothing until it has written something: start the round once.
    if (on)
        QTimer::singleShot(0, this, [this] {
            if (wantRoom_)
                emit room();
        });
}

void DeviceLink::close()
{
    wantRoom_ = false;
    port_.close();
}

} // namespace sim
