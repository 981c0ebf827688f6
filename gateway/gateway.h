#pragma once

#include "controllerworker.h"
#include "driverlibrary.h"
#include "gatewayconfig.h"
#include "mqttclient.h"

#include <QMap>
#include <QObject>
#include <QTimer>

class QThread;

// The gateway's main thread: the configuration, the broker session, a worker thread per
// controller, the counters and the signals. It never calls a driver, so the broker is served
// however long a controller's read takes.
class Gateway : public QObject
{
    Q_OBJECT

public:
    Gateway(const QString &configPath, DriverLibrary &library);
    ~Gateway() override;

    // Starts with the checked configuration.
    bool start(const GatewayConfig &config, QString *error);
    // SIGHUP: the file read again; a bad one is refused and the running configuration stays.
    void reload();
    // SIGTERM: statuses offline, workers stopped, drivers closed and freed, the session ended.
    void stop();

signals:
    void finished();

private:
    void startWorkers();
    void stopWorkers();
    void takeMessages(const QVector<MqttMessage> &batch);
    void takeCounters(const ControllerCounters &c);
    void brokerChanged(bool up, const QString &why);
    void setRequest(const QByteArray &topic, const QByteArray &payload,
                    const QByteArray &responseTopic, const QByteArray &correlation, bool tooLong);
    void refuseWrite(const QByteArray &topic, const QString &why, const QByteArray &responseTopic,
                     const QByteArray &correlation);
    void publishStats();
    void publishControllersOffline();

    QString configPath;
    DriverLibrary &library;
    GatewayConfig config;
    std::unique_ptr<MqttClient> mqtt;
    QVector<ControllerWorker *> workers;
    QVector<QThread *> threads;
    QMap<QString, ControllerCounters> latest;
    QMap<QString, ControllerCounters> previous; // the counts before the latest, for rates
    QTimer statsTimer;
    bool everConnected = false;
};

// One line on standard error per event; journald adds the time.
void logLine(const QString &line);
