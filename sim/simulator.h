#pragma once

#include "faults.h"
#include "memoryimage.h"
#include "pokes.h"
#include "settings.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

namespace sim {

class ControlChannel;
class SerialEndpoint;
class UdpEndpoint;

struct Stats
{
    quint64 requests = 0;   // frames accepted as requests
    quint64 answered = 0;   // answers sent
    quint64 faulted = 0;    // answers some fault touched
    quint64 repeatsDue = 0; // repeated answers planned and not sent yet
    quint64 writes = 0;     // write requests among them
};

// The controller: its memory image, its faults and the endpoints that reach it.
class Simulator : public QObject
{
    Q_OBJECT

public:
    explicit Simulator(const Settings &settings);
    ~Simulator() override;

    // Opens every endpoint the settings ask for; false with the reason when one cannot be had.
    bool start(QString *why);
    // The lines announced on stdout once serving, without the final "ready".
    QStringList announcements() const;

    // The endpoints' way in: nullopt for a frame the controller refuses.
    std::optional<Delivery> respond(const QByteArray &frame, Transport transport,
                                    const QString &from);
    void countAnswered() { ++stats_.answered; }
    void repeatPlanned() { ++stats_.repeatsDue; }
    void repeatSent() { stats_.repeatsDue -= stats_.repeatsDue > 0 ? 1 : 0; }

    // What the control port can do.
    bool setFaults(const FaultSet &faults, QString *why);
    bool poke(const Poke &poke, QString *why);
    QByteArray peek(int area, quint32 offset, quint32 length) const;
    const Stats &stats() const { return stats_; }
    // The clients (UDP endpoints, serial lines) whose requests came within the last `ms`: two
    // hosts polling one controller at once show as two.
    int clientsWithin(qint64 ms) const;
    void reset();
    bool openPty(QString *pathOrWhy);
    bool closePty(QString *why);

private:
    void fillMemory();
    void applyLineFaults();
    void forgetWhenHungUp(std::unique_ptr<SerialEndpoint> &line);
    void noteClient(const QString &from);

    Settings settings_;
    MemoryImage image_;
    FaultInjector faults_;
    Stats stats_;
    QElapsedTimer clock_;
    QHash<QString, qint64> lastRequestMs_; // by client, on clock_
    std::vector<std::unique_ptr<UdpEndpoint>> udp_;
    std::unique_ptr<ControlChannel> control_;
    std::unique_ptr<SerialEndpoint> pty_;
    std::unique_ptr<SerialEndpoint> device_;
};

} // namespace sim
