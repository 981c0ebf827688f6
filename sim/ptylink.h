#pragma once

#include "seriallink.h"

class QSocketNotifier;

namespace sim {

// A pseudo-terminal: the driver opens the slave by its path, the simulator reads and writes the
// master. The simulator keeps a slave descriptor of its own, so the master does not fail with EIO
// each time the driver closes its side, and so the raw line settings survive between opens.
class PtyLink : public SerialLink
{
    Q_OBJECT

public:
    explicit PtyLink(QObject *parent = nullptr);
    ~PtyLink() override;

    bool open(QString *why);
    void write(const QByteArray &bytes) override;
    qint64 offer(const QByteArray &bytes) override;
    void setWantRoom(bool on) override;
    // Master and slave: the driver's side sees the line hang up.
    void close() override;

private:
    void readMaster();
    void flushPending();
    void writable();

    int master_ = -1;
    int slave_ = -1;
    QByteArray pending_; // what the master did not take yet
    bool wantRoom_ = false;
    QSocketNotifier *readNotifier_ = nullptr;
    QSocketNotifier *writeNotifier_ = nullptr;
};

} // namespace sim
