#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

namespace sim {

// A byte stream to the driver: the master side of a pseudo-terminal, or a real serial device.
class SerialLink : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual void write(const QByteArray &bytes) = 0;
    // What the driver opens: the slave's path or the device's.
    virtual QString path() const = 0;

signals:
    void received(const QByteArray &bytes);
};

} // namespace sim
