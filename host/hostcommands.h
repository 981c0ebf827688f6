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
    // One handler per command, each given the words after the command's name.
    int describeDriver(const CommandArgs &args);
    int tryConnection(const CommandArgs &args);
    int readOnce(const CommandArgs &args);
    int pollTags(const CommandArgs &args);
    int diagnoseLink(const CommandArgs &args);
    int writeValues(const CommandArgs &args);

    // What read and poll do before the first read: the words checked (a usage error sends
    // nothing), the driver loaded and connected (to *opened, when given). 0, or the exit status
    // to end with.
    int openForTags(const QString &command, CommandArgs &args, QVector<Tag> *tags,
                    CDriveBaseClass **driver, QString *opened = nullptr);
    // The tags a read or poll names: --tags FILE, or ADDRESS with --type and --count.
    bool tagsOf(CommandArgs &args, QVector<Tag> *tags, QString *why);
    CDriveBaseClass *loadedDriver();
    int usageError(const QString &command, const QString &why);

    LazyDriver &lazy;
    Options options;
    QTextStream &out;
    QTextStream &err;
};
