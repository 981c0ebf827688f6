#pragma once

#include "arguments.h"
#include "driverlibrary.h"
#include "taglist.h"

#include <QStringList>
#include <QTextStream>

// The host program's commands, each driving one driver through the host interface only. The
// words of a command are checked before the library is loaded: a usage error sends nothing.
class HostCommands
{
public:
    struct Options
    {
        bool trace = false;
        bool json = false;
        bool csv = false;
        bool table = false; // the live table even when the output is no terminal
    };

    HostCommands(LazyDriver &driver, const Options &options, QTextStream &out, QTextStream &err);

    // Runs one command line (command name first); the result is the process exit status.
    int run(const QStringList &words);
    static QString usage();
    // The help of one command, or "" when there is no such command.
    static QString commandHelp(const QString &name);

private:
    int info(const CommandArgs &args);
    int connect(const CommandArgs &args);
    int read(const CommandArgs &args);
    int poll(const CommandArgs &args);
    int diagnose(const CommandArgs &args);
    int write(const QStringList &words);

    // The tags a read or poll names: --tags FILE, or ADDRESS with --type and --count.
    bool tagsOf(CommandArgs &args, QVector<Tag> *tags, QString *why);
    CDriveBaseClass *loadedDriver();
    bool connectFirst(CDriveBaseClass *driver, const QString &connection);
    int usageError(const QString &command, const QString &why);

    LazyDriver &lazy;
    Options options;
    QTextStream &out;
    QTextStream &err;
    int loadFailure = 0; // 3 once the library failed to load
};
