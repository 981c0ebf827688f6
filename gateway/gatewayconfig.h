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
};

struct GatewayConfig
{
    BrokerSettings broker;
    QVector<ControllerSettings> controllers;
    QStringList warnings; // things that work but should not stay so
};

// Reads and checks the whole file. On a fault, *error names the file, the line, the key and the
// reason ("gateway.conf:12: interval: ...") and the answer is false.
bool loadGatewayConfig(const QString &path, GatewayConfig *config, QString *error);
