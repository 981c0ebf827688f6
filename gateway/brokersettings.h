#pragma once

#include <QString>

// The broker and how the gateway talks to it.
struct BrokerSettings
{
    QString host = QStringLiteral("127.0.0.1");
    int port = 1883;
    QString clientId = QStringLiteral("tarvik-gateway");
    QString username;
    QString password; // from `password` or the first line of `password_file`
    QString caFile, certFile, keyFile;
    int keepaliveS = 60;
    int qos = 1;
    QString prefix = QStringLiteral("tarvik");
    int statsIntervalS = 10;
    int queueLimit = 10000;           // waiting messages besides the latest of each retained topic
    bool largeIntegersAsText = false; // integers beyond 2^53 as JSON strings
};
