#pragma once

#include "brokersettings.h"
#include "linkkeeper.h"
#include "scanplan.h"
#include "taglist.h"

#include <QString>
#include <QStringList>
#include <QVector>

struct GatewayTag
{
    Tag tag;
    double deadband = -1; // -1: the controller's
    bool writable = false;
    int line = 0; // of the file, where the tag is given
};

struct ControllerSettings
{
    QString name;
    QString connection; // as the driver takes it
    QVector<GatewayTag> tags;
    int intervalMs = 1000;
    double deadband = 0;
    int maxAgeS = 60;
    bool tagMessages = true;   // PREFIX/CONTROLLER/TAG per tag
    bool scanMessages = false; // PREFIX/CONTROLLER/scan per scan
    MergeRules merge;
    ReconnectRules reconnect;
    bool largeIntegersAsText = false; // the broker section's large_integers
};

struct GatewayConfig
{
    BrokerSettings broker;
    QVector<ControllerSettings> controllers;
    QStringList warnings; // things that work but should not stay so
};

class DriverLibrary;

// Reads and checks the whole file. On a fault, *error names the file, the line, the key and the
// reason ("gateway.conf:12: interval: ...") and the answer is false. With a library, each tag is
// also put to a driver of it, which refuses what it would refuse once running.
bool loadGatewayConfig(const QString &path, GatewayConfig *config, QString *error,
                       const DriverLibrary *library = nullptr);

// The keys the file takes, as the checker knows them: for --help and the manual page.
struct ConfigurationKey
{
    QString section; // "broker", "controller NAME", "tag option"
    QString name;
    QString form;
    QString words;
};
QVector<ConfigurationKey> configurationKeys();
