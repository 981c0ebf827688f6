#pragma once

#include "CDriveBaseClass.h"
#include "arguments.h"

#include <QStringList>
#include <QTextStream>
#include <QVariant>

// The host program's write command: ADDRESS, --type TYPE and one VALUE per element, optionally
// --connect CONNECTION (otherwise the driver's current link carries the write), --json and
// --trace.
struct WriteRequest
{
    QString address;
    int type = 0;
    int count = 0;
    QVariant payload;
    QString connection; // normalized; empty: the driver's current link
    bool json = false;
    bool trace = false;
};

// The request the parsed words describe, or the usage error in words (then nothing is to be
// sent): values out of range for the type are refused here, before anything is loaded.
QString writeRequestFrom(const CommandArgs &args, WriteRequest *request);

// Prints the record the driver returns, its result as a number and in words. Exit status:
// 0 written, 1 refused by the driver or the link.
int executeWrite(CDriveBaseClass *driver, const WriteRequest &request, QTextStream &out,
                 QTextStream &err);

// The words after "write" parsed, checked and written; 2 for words that do not parse or values
// out of range for the type.
int runWrite(CDriveBaseClass *driver, const QStringList &args, QTextStream &out, QTextStream &err);
