#pragma once

#include "CDriveBaseClass.h"

#include <QString>
#include <QTextStream>

// Connecting a driver as the host's commands do, and saying why a connect failed.
namespace connection {

// Words for the outcome codes of ConnectDrive and DisConnectDrive.
QString connectOutcome(int code);
QString disconnectOutcome(int code);
// "connect CONNECTION: CODE (words)", as every command reports a connect.
QString outcomeLine(const QString &connection, int code);

struct Result
{
    int code = 0;
    qint64 ms = 0; // how long the connect took: the link check's round trip over UDP
};

// Connects to a connection string that passed checks::connection. With trace on, the driver's
// traces are switched on first and the link check is traced with its time.
Result open(CDriveBaseClass *driver, const QString &connection, bool trace);
// As open; when the connect fails, its outcome and why go to err, and the answer is false.
bool openOrExplain(CDriveBaseClass *driver, const QString &connection, bool trace,
                   QTextStream &err);

// Why the connect failed and what to do, in one or more lines.
QString whyFailed(const QString &connection, int code);

// The state of a serial device in words when the driver could not open it: missing, not a
// character device, not accessible (with the group to join), or held by another process.
QString serialProblem(const QString &port);
// What to do about a device this user may not read and write, from its mode bits: join its
// group where the group may read and write it, otherwise a udev rule or the device's owner.
QString permissionAdvice(const QString &path, unsigned mode, const QString &owner,
                         const QString &group);

} // namespace connection
