#pragma once

#include "controllerworker.h"
#include "driverlibrary.h"
#include "gatewayconfig.h"
#include "gatewaylog.h"
#include "historystore.h"
#include "metricsendpoint.h"
#include "metricsexposition.h"
#include "mqttclient.h"
#include "sparkplugnode.h"
#include "standbyrole.h"

#include <QMap>
#include <QObject>
#include <QTimer>

#include <memory>

class QThread;

// The gateway's main thread: the configuration, the broker session, a worker thread per
// controller, the counters and the signals. It never calls a driver, and it reads no file on a
// reload (a thread of its own does), so the broker and the signals are served whatever a
// controller or a file does.
class Gateway : public QObject
{
    Q_OBJECT

public:
    Gateway(const QString &configPath, DriverLibrary &library);
    ~Gateway() override;

    // Starts with the checked configuration.
    bool start(const GatewayConfig &config, QString *error);
    // SIGHUP: the file read again; a bad one is refused and the running configuration stays, as
    // it does when a new broker session does not come up.
    void reload();
    // SIGTERM: values stale, statuses offline, workers stopped, drivers closed and freed, the
    // session ended.
    void stop();
    // Whether this gateway reads the controllers and publishes; one standing by would not.
    bool pollsControllers() const { return !role || role->isActive(); }

signals:
    void finished();

private:
    struct Loaded
    {
        bool ok = false;
        GatewayConfig config;
        QString error;
    };

    void attach(MqttClient *client);
    // With standby = on: the role of this instance, which starts and stops the workers.
    void takeRole();
    void becameActive();
    void stoodDown();
    // The session's Sparkplug node, when the settings have one; made before the session starts,
    // whose will it sets.
    std::unique_ptr<SparkplugNode> nodeFor(MqttClient *client, const GatewayConfig &settings,
                                           bool active);
    void sparkplugWrite(const QString &controller, int tag, const QVariant &value, int count);
    void messageTaken(const QByteArray &topic, const QByteArray &payload,
                      const QByteArray &responseTopic, const QByteArray &correlation, bool tooLong,
                      bool retained);
    void startWorkers();
    void stopWorkers();
    void takeMessages(const QVector<MqttMessage> &batch);
    void takeCounters(const ControllerCounters &c);
    void brokerChanged(bool up, const QString &why);
    void setRequest(const QByteArray &topic, const QByteArray &payload,
                    const QByteArray &responseTopic, const QByteArray &correlation, bool tooLong,
                    bool retained);
    void refuseWrite(const QByteArray &topic, const QString &why, const QVariant &ticket);
    void publishStats();
    void loaded(const Loaded &fresh);
    void replaceControllers(const GatewayConfig &fresh);
    void tryBroker(const GatewayConfig &fresh);
    void candidateChanged(bool up, const QString &why);
    void switchBroker();
    void keepRunning(const QString &why);
    void dropCandidate();
    void reloadDone();
    QString replaceStore(const BrokerSettings &fresh);
    void keepHistoryOf(MqttClient *client);
    void storeTick();
    void replayHistory();
    void batchDelivered(qint64 id);
    bool metricsMoves(const BrokerSettings &fresh) const;
    std::unique_ptr<MetricsEndpoint> listenMetrics(const BrokerSettings &fresh, QString *error);
    void useMetrics(std::unique_ptr<MetricsEndpoint> next);
    GatewayFigures metricsFigures() const;
    ControllerFigures controllerFigures(const ControllerSettings &c) const;

    QString configPath;
    DriverLibrary &library;
    GatewayConfig config;
    std::unique_ptr<MqttClient> mqtt;
    std::unique_ptr<SparkplugNode> node; // of mqtt's session
    std::unique_ptr<StandbyRole> role;   // of mqtt's session, with standby = on
    QVector<ControllerWorker *> workers;
    QVector<QThread *> threads;
    QMap<QString, ControllerCounters> latest;
    QMap<QString, ControllerCounters> previous; // the counts before the latest, for rates
    QTimer statsTimer;
    bool everConnected = false;
    // A reload under way: the file read on its own thread, then perhaps a new broker session
    // on trial while the running one goes on.
    QThread *loader = nullptr;
    std::unique_ptr<MqttClient> candidate;
    std::unique_ptr<SparkplugNode> candidateNode;
    GatewayConfig candidateConfig;
    QTimer candidateTimer;
    bool reloadAgain = false;
    // Values the broker could not take, delivered as history once it can; none when off.
    std::unique_ptr<HistoryStore> store;
    QString storePath;
    QTimer storeTimer;
    qint64 replayedUpTo = 0; // the last batch handed to this session
    struct Replaying
    {
        int values = 0;
        int messages = 0; // not yet acknowledged
    };
    QHash<qint64, Replaying> replaying; // by batch id, until the broker has all its messages
    QVector<HeldBatch> nextBatches;     // read from the store, not yet handed over
    qint64 historyAllowance = 0;        // values the rate still lets go in this tick
    // Last, so that it goes first: its requests read everything above.
    std::unique_ptr<MetricsEndpoint> metrics;
};
