#pragma once

#include "CDriveBaseClass.h"
#include "latency.h"

#include <QMap>
#include <QString>
#include <QTextStream>

// What a diagnosis of a connection saw.
struct Diagnosis
{
    QString connection;
    QString tag;
    int type = 0;
    int connectCode = 0;
    qint64 connectMs = 0;
    int reads = 0;
    int answers = 0;
    QMap<int, int> failures; // by result
    Latencies latency;
    QMap<QString, int> warnings; // by kind
};

// Connects, reads one tag `reads` times at an interval, and tells what it saw: the link check's
// time, the latency percentiles, the failures by outcome, the driver's warnings by kind, and a
// verdict in words.
Diagnosis diagnose(CDriveBaseClass *driver, const QString &connection, const QString &tag, int type,
                   int reads, int intervalMs, bool trace);

QString diagnosisText(const Diagnosis &d);
QString diagnosisJson(const Diagnosis &d);
// What the figures mean and what to do, in a few sentences.
QString verdict(const Diagnosis &d);
