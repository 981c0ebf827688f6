#pragma once

#include "seriallink.h"

#include <QSerialPort>

namespace sim {

// A serial device the driver reaches over a cable or a pair of linked ports.
class DeviceLink : public SerialLink
{
    Q_OBJECT

public:
    explicit DeviceLink(QObject *parent = nullptr);

    bool open(const QString &path, qint32 baud, QString *why);
    void write(const QByteArray &bytes) override;
    qint64 offer(const QByteArray &bytes) override;
    void setWantRoom(bool on) override;
    void close() override;

private:
    QSerialPort port_;
    bool wantRoom_ = false;
};

} // namespace sim
