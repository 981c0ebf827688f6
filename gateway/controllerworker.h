#pragma once

#include "gatewayconfig.h"
#include "gatewaylog.h"
#include "publishqueue.h"
#include "scanengine.h"
#include "tagmessages.h"

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
    ControllerWorker(const ControllerSettings &settings, const QString &prefix,
                     const DriverLibrary *library);
    ~ControllerWorker() override;

    const ControllerSettings &settings() const { return config; }
    // The index of the tag whose topic level is `name`, or -1.
    int tagNamed(const QString &name) const;

public slots:
    void start();
    void stop();
    void write(int tag, const QVariant &payload, int count, const QByteArray &responseTopic,
               const QByteArray &correlation);

signals:
    void messages(const QVector<MqttMessage> &batch);
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
    void tagDropped(int tag, const CLabelVariable &record) override;
    void linkChanged(bool up, const QString &why) override;
    void written(const ScanWrite &write, const CLabelVariable &record) override;
    // The result goes to TAG/set/result and to the request's response topic.
    void answerWrite(const ScanWrite &write, int resultCode, const QString &words);
    // The driver's lines on this thread: each kind once per episode.
    void driverSaid(LogLevel level, const QString &line) override;
    void endEpisodes();
    void log(LogLevel level, const QString &line);
    // What each tag is, retained beside its value.
    void publishMeta();
    void publishStatus(bool online);
    MqttMessage statusMessage(bool online);
    void markAllStale();
    // Hands what this scan publishes to the broker's thread, in one signal.
    void handOverPending();
    QByteArray topic(const QString &tail) const;

    ControllerSettings config;
    QString prefix;
    const DriverLibrary *library;
    CDriveBaseClass *driver = nullptr;
    std::unique_ptr<ScanEngine> engine;
    QVector<TagMemory> memory;
    QVector<MqttMessage> pending;
    QStringList scanParts; // the batch message's entries of this turn
    QTimer timer;
    QTimer countersTimer;
    bool inScan = false;
    bool stopAsked = false;
    bool online = false;
    qint64 statusPublishedAt = 0; // ms on the engine's clock
    LineEpisodes episodes;
    qint64 lastDriverLine = 0; // ms on the engine's clock
    qint64 episodeQuietMs = 0; // without a line of its kind for this long, an episode ends
    QString serialPort;        // the port of a serial link: the driver's lines name none
};
