#pragma once

#include "controlleroutput.h"
#include "gatewayconfig.h"
#include "gatewaylog.h"
#include "scanengine.h"

#include <QObject>
#include <QTimer>

#include <memory>

class DriverLibrary;

// A controller's counters as the gateway's stats report them.
struct ControllerCounters
{
    QString name;
    qint64 atMs = 0; // when the counts were taken, ms since the epoch
    qint64 requests = 0;
    qint64 tagReads = 0;
    int tags = 0;
    QMap<int, qint64> failures;
    bool online = false;
    double lastReadMs = -1;       // how long the last read took; -1 before the first
    qint64 statusPublishedAt = 0; // ms on the engine's clock
};
Q_DECLARE_METATYPE(ControllerCounters)

// One controller, on a thread of its own with its own event loop: its driver (made, connected,
// closed and freed on that thread), its scan engine, and what its reads become as messages.
// Every driver call blocks only this thread. Slots that arrive while a read waits (the driver
// runs this thread's events then) only queue their work: writes wait for the gap between reads,
// and a stop for the end of the scan turn.
class ControllerWorker : public QObject, private ScanSink, private DriverLineSink
{
    Q_OBJECT

public:
    // The output takes what the worker says, on the worker's thread.
    ControllerWorker(const ControllerSettings &settings, std::unique_ptr<ControllerOutput> output,
                     const DriverLibrary *library);
    ~ControllerWorker() override;

    const ControllerSettings &settings() const { return config; }
    // The index of the tag whose topic level is `name`, or -1.
    int tagNamed(const QString &name) const;

public slots:
    void start();
    void stop();
    // The ticket goes back to the output with the write's outcome.
    void write(int tag, const QVariant &payload, int count, const QVariant &ticket);

signals:
    void counters(const ControllerCounters &counters);
    void logged(int level, const QString &line); // a LogLevel
    void stopped();

private:
    void tick();
    // Counters for the stats, and the online status said again before it expires.
    void everySecond();
    void arm(qint64 dueAt);
    void finish();
    void tagRead(int tag, const CLabelVariable &record, double ms) override;
    void publishRead(int tag, const CLabelVariable &record);
    void tagDropped(int tag, const CLabelVariable &record) override;
    void linkChanged(bool up, const QString &why) override;
    void written(const ScanWrite &write, const CLabelVariable &record) override;
    void answerWrite(const ScanWrite &write, int resultCode, const QString &words);
    // The driver's lines on this thread: each kind once per episode.
    void driverSaid(LogLevel level, const QString &line) override;
    void endEpisodes();
    void log(LogLevel level, const QString &line);
    void publishStatus(bool online);
    void markAllStale();

    // Const, as each copy of the settings is: a copy shares the configuration's tags until it is
    // written, and a non-const look at a tag counts as a write (the tags copied whole, per copy).
    const ControllerSettings config;
    const DriverLibrary *library;
    CDriveBaseClass *driver = nullptr;
    std::unique_ptr<ScanEngine> engine;
    std::unique_ptr<ControllerOutput> output;
    QVector<TagMemory> memory;
    QTimer timer;
    QTimer countersTimer;
    bool inScan = false;
    bool stopAsked = false;
    bool online = false;
    qint64 statusPublishedAt = 0; // ms on the engine's clock
    double lastReadMs = -1;
    LineEpisodes episodes;
    qint64 lastDriverLine = 0; // ms on the engine's clock
    qint64 episodeQuietMs = 0; // without a line of its kind for this long, an episode ends
    QString serialPort;        // the port of a serial link: the driver's lines name none
};
