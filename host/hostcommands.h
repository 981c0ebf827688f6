#pragma once

#include "CDriveBaseClass.h"

#include <QMap>
#include <QStringList>
#include <QTextStream>

// The words after a command: positional arguments, and --name value / --flag options.
struct CommandArgs
{
    QStringList positional;
    QMap<QString, QString> options;
    QString error; // set when the words do not parse

    static CommandArgs parse(const QStringList &words, const QStringList &valueOptions,
                             const QStringList &flags);
    bool has(const QString &name) const { return options.contains(name); }
    // The option as an integer within [low, high]; fallback when absent; sets error otherwise.
    int number(const QString &name, int fallback, int low, int high);
};

// The host program's commands, each driving one driver through the host interface only.
class HostCommands
{
public:
    struct Options
    {
        QString library;
        bool trace = false;
        bool json = false;
    };

    HostCommands(CDriveBaseClass *driver, const Options &options, QTextStream &out,
                 QTextStream &err);

    // Runs one command line (command name first); the result is the process exit status.
    int run(const QStringList &words);
    static QString usage();

private:
    int info(const QStringList &args);
    int connect(const QStringList &args);
    int read(const QStringList &args);
    int poll(const QStringList &args);
    int write(const QStringList &args);

    bool connectFirst(const QString &connection);
    int usageError(const QString &why);
    void print(const CLabelVariable &record);

    CDriveBaseClass *driver;
    Options options;
    QTextStream &out;
    QTextStream &err;
};

// Words for the outcome codes of ConnectDrive and DisConnectDrive.
QString connectOutcome(int code);
QString disconnectOutcome(int code);
