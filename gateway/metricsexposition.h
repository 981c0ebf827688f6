#pragma once

#include "historystore.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QVector>

// One controller's figures as the metrics endpoint shows them.
struct ControllerFigures
{
    QString name;
    bool online = false;
    int tags = 0;
    qint64 tagReads = 0;
    qint64 requests = 0;
    QMap<int, qint64> failures; // tag reads by failed result
    double exchangesPerScan = 0;
    double lastReadLatencyS = -1; // -1: no read made yet
};

// The gateway's figures at the moment of a scrape.
struct GatewayFigures
{
    QString broker; // HOST:PORT of the session's broker
    bool brokerConnected = false;
    bool active = true;
    qint64 queue = 0;
    qint64 published = 0;
    qint64 dropped = 0;
    qint64 replaced = 0;
    bool storeOn = false;
    StoreFigures store;
    QVector<ControllerFigures> controllers;
};

namespace metricsexposition {

// The figures in the text exposition format, version 0.0.4: every family with its HELP and
// TYPE lines and its samples together, label values escaped.
QByteArray text(const GatewayFigures &figures);

// A label value as the format writes it between double quotes.
QByteArray escapedLabel(const QString &value);

} // namespace metricsexposition
