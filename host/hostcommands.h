#pragma once

#include "CDriveBaseClass.h"

#include <QStringList>
#include <QTextStream>

// The host program's commands, each driving one driver through the host interface only.
class HostCommands
{
public:
    struct Options
    {
        QString library;
        bool trace = false;
    };

    HostCommands(CDriveBaseClass *driver, const Options &options, QTextStream &out,
                 QTextStream &err);

    // Runs one command line (command name first); the result is the process exit status.
    int run(const QStringList &words);
    static QString usage();

private:
    int info(const QStringList &args);
    int connect(const QStringList &args);

    CDriveBaseClass *driver;
    Options options;
    QTextStream &out;
    QTextStream &err;
};

// Words for the outcome codes of ConnectDrive and DisConnectDrive.
QString connectOutcome(int code);
QString disconnectOutcome(int code);
