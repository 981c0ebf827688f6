#include "hostcommands.h"

#include "connection.h"
#include "diagnose.h"
#include "interrupts.h"
#include "pollviews.h"
#include "recordformat.h"
#include "tagaddress.h"
#include "writecommand.h"

#include <unistd.h>

namespace {

// The exit statuses the help text promises.
enum ExitStatus { Succeeded = 0, Failed = 1, UsageError = 2, LibraryMissing = 3 };

constexpr int defaultIntervalMs = 1000;
constexpr int largestInterval = 86400000;

struct Command
{
    const char *name;
    const char *synopsis;
    const char *help;
    QStringList valueOptions;
    QStringList flags; // beside the ones every command takes
};

const QStringList commonFlags = {"--json", "--trace", "--csv", "--table", "--help"};

const Command commands[] = {
    {"info", "info", "name, version and build of the driver, and the library file loaded", {}, {}},
    {"connect",
     "connect CONNECTION",
     "connect, report the outcome (and on failure why), disconnect",
     {},
     {}},
    {"read",
     "read ADDRESS --type TYPE [--count N] --connect CONNECTION\n"
     "  read --tags FILE --connect CONNECTION",
     "read a tag, or each tag of a list, once",
     {"--type", "--count", "--connect", "--tags"},
     {}},
    {"poll",
     "poll ADDRESS --type TYPE [--count N] --connect CONNECTION [--interval MS]\n"
     "       [--times N] [--changes] [--gap N | --no-merge] [--no-reconnect]\n"
     "  poll --tags FILE --connect CONNECTION [--interval MS] [--times N] [--changes]\n"
     "       [--gap N | --no-merge] [--no-reconnect]",
     "read a tag, or the tags of a list in turn, every MS milliseconds (default 1000; a list\n"
     "may give each tag its own), N times or until Ctrl-C, then print the counts per tag. On a\n"
     "terminal a table refreshed in place; otherwise, or with --json or --csv, one record per\n"
     "read with its time stamp. --changes prints only reads whose values or outcome changed.\n"
     "A tag the driver refuses for good (result 2, 3 or 4) stops with a message.\n"
     "Tags of one area and type with the same interval are read in one request when at most\n"
     "--gap N elements (default 16) lie between them; --no-merge reads each tag alone. After 3\n"
     "failed reads in a row, or when a serial device goes away, the link is connected again,\n"
     "0.5 s later and then twice as long each time up to 30 s; --no-reconnect keeps it as is.",
     {"--type", "--count", "--connect", "--tags", "--interval", "--times", "--gap"},
     {"--changes", "--no-merge", "--no-reconnect"}},
    {"write",
     "write ADDRESS --type TYPE --connect CONNECTION VALUE...",
     "write values to a tag, one element per VALUE",
     {"--type", "--connect"},
     {}},
    {"diagnose",
     "diagnose CONNECTION [--tag ADDRESS] [--type TYPE] [--reads N] [--interval MS]",
     "connect, read a known tag N times (default AI1 as Int16, 20 reads, 100 ms apart), and\n"
     "tell what was seen: the link check's time, latency percentiles, failures by outcome,\n"
     "the driver's warnings, and what they mean",
     {"--tag", "--type", "--reads", "--interval"},
     {}},
};

const Command *commandNamed(const QString &name)
{
    for (const Command &c : commands) {
        if (name == QLatin1String(c.name))
            return &c;
    }
    return nullptr;
}

const char notes[] =
    "CONNECTION is ADDRESS:PORT for UDP (127.0.0.1:700; an IPv4 address, no names) or\n"
    "PORT,BAUD,DATABITS,STOPBITS for a serial line (/dev/ttyS1,9600,8,1; baud 1200, 2400,\n"
    "4800, 9600, 19200, 38400, 57600 or 115200, data bits 5 to 8, stop bits 1, 1.5 or 2).\n"
    "TYPE is Bool, Int8, UInt8, Int16, UInt16, Int32, UInt32, Float, Int64, UInt64, Double or\n"
    "String (any letter case), or a type number, which goes to the driver as it is.\n"
    "ADDRESS is an area name and a point number from 1: AI_F12, DI3, SI1.\n"
    "--count N counts elements of TYPE, not points: a point of AI holds two Int16, so AI1 to\n"
    "AI3 are --type Int16 --count 6.\n"
    "A tag list FILE holds CSV lines name,address,type[,count[,interval ms]] or a JSON array\n"
    "of objects with those keys.\n"
    "--json, --csv, --trace and --table may also follow the command.\n"
    "Exit status: 0 success, 1 a connect or a read or write failed, 2 usage error (nothing\n"
    "sent), 3 the driver library cannot be loaded.\n";

OutputForm formFor(const HostCommands::Options &o, bool live)
{
    if (o.csv)
        return OutputForm::Csv;
    if (o.json)
        return OutputForm::Json;
    if (live && (o.table || ::isatty(STDOUT_FILENO)))
        return OutputForm::Table;
    return OutputForm::Text;
}

} // namespace

HostCommands::HostCommands(LazyDriver &driver, const Options &options, QTextStream &out,
                           QTextStream &err)
    : lazy(driver), options(options), out(out), err(err)
{
}

QString HostCommands::usage()
{
    QString text = QStringLiteral("Commands:\n");
    for (const Command &c : commands)
        text +=
            QStringLiteral("  %1\n      %2\n")
                .arg(QLatin1String(c.synopsis), QString::fromLatin1(c.help).replace(
                                                    QLatin1Char('\n'), QLatin1String("\n      ")));
    return text + QLatin1Char('\n') + QLatin1String(notes);
}

QString HostCommands::commandHelp(const QString &name)
{
    const Command *c = commandNamed(name);
    if (!c)
        return QString();
    return QStringLiteral("usage: tarvik-host [--library PATH] %1\n\n%2\n\n%3")
        .arg(QLatin1String(c->synopsis), QLatin1String(c->help), QLatin1String(notes));
}

int HostCommands::run(const QStringList &words)
{
    if (words.isEmpty())
        return usageError(QString(), QStringLiteral("no command given"));
    const Command *c = commandNamed(words.first());
    if (!c)
        return usageError(QString(), QStringLiteral("unknown command: %1").arg(words.first()));
    const QStringList rest = words.mid(1);
    if (rest.contains(QLatin1String("--help"))) {
        out << commandHelp(words.first());
        return Succeeded;
    }
    CommandArgs args = CommandArgs::parse(rest, c->valueOptions, commonFlags + c->flags);
    if (!args.error.isEmpty())
        return usageError(words.first(), args.error);
    options.json |= args.has(QStringLiteral("--json"));
    options.trace |= args.has(QStringLiteral("--trace"));
    options.csv |= args.has(QStringLiteral("--csv"));
    options.table |= args.has(QStringLiteral("--table"));
    using Handler = int (HostCommands::*)(const CommandArgs &);
    static const QMap<QString, Handler> handlers = {
        {"info", &HostCommands::describeDriver}, {"connect", &HostCommands::tryConnection},
        {"read", &HostCommands::readOnce},       {"poll", &HostCommands::pollTags},
        {"write", &HostCommands::writeValues},   {"diagnose", &HostCommands::diagnoseLink}};
    return (this->*handlers.value(words.first()))(args);
}

int HostCommands::usageError(const QString &command, const QString &why)
{
    err << "tarvik-host: " << (command.isEmpty() ? QString() : command + QLatin1String(": ")) << why
        << "\n";
    const Command *c = commandNamed(command);
    err << (c ? QStringLiteral("usage: tarvik-host %1\n(tarvik-host %2 --help tells more)\n")
                    .arg(QLatin1String(c->synopsis), command)
              : QStringLiteral("(tarvik-host --help lists the commands)\n"));
    return UsageError;
}

CDriveBaseClass *HostCommands::loadedDriver()
{
    CDriveBaseClass *driver = lazy.get();
    if (!driver)
        err << "cannot load the driver: " << lazy.error() << "\n";
    return driver;
}

int HostCommands::describeDriver(const CommandArgs &args)
{
    if (!args.positional.isEmpty())
        return usageError(QStringLiteral("info"), QStringLiteral("takes no arguments"));
    CDriveBaseClass *driver = loadedDriver();
    if (!driver)
        return LibraryMissing;
    out << "name     " << driver->getDriveName() << "\n"
        << "version  " << driver->getversion_number() << "\n"
        << "build    " << driver->DebugCmd(DebugBuildInfo) << "\n"
        << "library  " << lazy.libraryPath() << "\n";
    return Succeeded;
}

int HostCommands::tryConnection(const CommandArgs &args)
{
    QString connection;
    if (args.positional.size() != 1)
        return usageError(QStringLiteral("connect"), QStringLiteral("takes one CONNECTION"));
    const QString why = checks::connection(args.positional.first(), &connection);
    if (!why.isEmpty())
        return usageError(QStringLiteral("connect"), why);
    CDriveBaseClass *driver = loadedDriver();
    if (!driver)
        return LibraryMissing;
    const connection::Result r = connection::open(driver, connection, options.trace);
    out << connection::outcomeLine(connection, r.code) << "\n";
    if (r.code != 0) {
        err << connection::whyFailed(connection, r.code) << "\n";
        return Failed;
    }
    const int closed = driver->DisConnectDrive();
    out << "disconnect: " << closed << " (" << connection::disconnectOutcome(closed) << ")\n";
    return Succeeded;
}

bool HostCommands::tagsOf(CommandArgs &a, QVector<Tag> *tags, QString *why)
{
    if (a.has(QStringLiteral("--tags"))) {
        if (!a.positional.isEmpty() || a.has(QStringLiteral("--type")) ||
            a.has(QStringLiteral("--count"))) {
            *why = QStringLiteral("--tags takes the place of ADDRESS, --type and --count");
            return false;
        }
        *tags = loadTagList(a.value(QStringLiteral("--tags")), why);
        return !tags->isEmpty();
    }
    if (a.positional.size() != 1 || !a.has(QStringLiteral("--type"))) {
        *why = QStringLiteral("takes ADDRESS and --type TYPE, or --tags FILE");
        return false;
    }
    Tag tag;
    tag.name = tag.address = a.positional.first();
    *why = checks::tag(a, tag.address, &tag.type, &tag.count);
    tags->append(tag);
    return why->isEmpty();
}

int HostCommands::openForTags(const QString &command, CommandArgs &args, QVector<Tag> *tags,
                              CDriveBaseClass **driver, QString *opened)
{
    QString why = args.error, connection;
    if (why.isEmpty() && tagsOf(args, tags, &why))
        why = checks::connectOption(args, true, &connection);
    if (!why.isEmpty())
        return usageError(command, why);
    *driver = loadedDriver();
    if (!*driver)
        return LibraryMissing;
    if (opened)
        *opened = connection;
    return connection::openOrExplain(*driver, connection, options.trace, err) ? Succeeded : Failed;
}

int HostCommands::readOnce(const CommandArgs &args)
{
    CommandArgs a = args;
    QVector<Tag> tags;
    CDriveBaseClass *driver = nullptr;
    if (const int status = openForTags(QStringLiteral("read"), a, &tags, &driver))
        return status;
    // One read per tag, through the poll's own bookkeeping, printed as blocks or records.
    PollSession session(driver, tags, 0, 1);
    session.setMerge({false, 0}); // blocks in the order of the list, each read on its own
    const OutputForm form = formFor(options, false);
    struct Blocks : PollView
    {
        QTextStream &out;
        explicit Blocks(QTextStream &o) : out(o) {}
        void read(const TagState &state, const CLabelVariable &r, double, bool) override
        {
            out << recordformat::asText(r);
            if (const QString meaning = meaningText(state.tag, r); !meaning.isEmpty())
                out << "meaning " << meaning.mid(2) << '\n';
            out.flush();
        }
        void stopped(const TagState &) override {}
        void finish(const QVector<TagState> &) override {}
    } blocks(out);
    struct Quiet : RecordStream
    {
        using RecordStream::RecordStream;
        void stopped(const TagState &) override {}
        void finish(const QVector<TagState> &) override {}
    } quiet(form, false, out, err);
    session.run(form == OutputForm::Text ? static_cast<PollView &>(blocks)
                                         : static_cast<PollView &>(quiet));
    driver->DisConnectDrive();
    return session.exitStatus();
}

int HostCommands::pollTags(const CommandArgs &args)
{
    CommandArgs a = args;
    const int interval =
        a.number(QStringLiteral("--interval"), defaultIntervalMs, 0, largestInterval);
    const int times = a.number(QStringLiteral("--times"), 0, 0, INT_MAX);
    MergeRules merge;
    merge.gapFill = a.number(QStringLiteral("--gap"), merge.gapFill, 0, tarvik::largestTransfer);
    merge.merge = !a.has(QStringLiteral("--no-merge"));
    QVector<Tag> tags;
    CDriveBaseClass *driver = nullptr;
    QString connection;
    if (const int status = openForTags(QStringLiteral("poll"), a, &tags, &driver, &connection))
        return status;

    watchInterrupts();
    PollSession session(driver, tags, interval, times);
    session.setMerge(merge);
    if (!a.has(QStringLiteral("--no-reconnect")))
        session.keepLink(connection, ReconnectRules());
    const OutputForm form = formFor(options, true);
    if (form == OutputForm::Table) {
        LiveTable table(out);
        table.setStates(&session.states());
        session.run(table);
    } else {
        RecordStream records(form, a.has(QStringLiteral("--changes")), out, err);
        session.run(records);
    }
    driver->DisConnectDrive();
    return session.exitStatus();
}

int HostCommands::diagnoseLink(const CommandArgs &args)
{
    CommandArgs a = args;
    const int reads = a.number(QStringLiteral("--reads"), 20, 1, 100000);
    const int interval = a.number(QStringLiteral("--interval"), 100, 0, largestInterval);
    QString why = a.error, connection;
    int type = Int16;
    const QString tag =
        a.has(QStringLiteral("--tag")) ? a.value(QStringLiteral("--tag")) : QStringLiteral("AI1");
    if (why.isEmpty() && a.positional.size() != 1)
        why = QStringLiteral("takes one CONNECTION");
    if (why.isEmpty() && a.has(QStringLiteral("--type")))
        why = checks::type(a.value(QStringLiteral("--type")), &type);
    if (why.isEmpty())
        why = checks::address(tag);
    if (why.isEmpty())
        why = checks::connection(a.positional.first(), &connection);
    if (!why.isEmpty())
        return usageError(QStringLiteral("diagnose"), why);
    CDriveBaseClass *driver = loadedDriver();
    if (!driver)
        return LibraryMissing;
    watchInterrupts();
    const Diagnosis d = ::diagnose(driver, connection, tag, type, reads, interval, options.trace);
    out << (options.json ? diagnosisJson(d) + QLatin1Char('\n') : diagnosisText(d));
    return d.connectCode == 0 && d.reads > 0 && d.answers == d.reads ? Succeeded : Failed;
}

int HostCommands::writeValues(const CommandArgs &args)
{
    WriteRequest request;
    QString why = writeRequestFrom(args, &request);
    // A new process has no link of its own: without --connect the driver could only answer
    // "link not open", so this is the same usage error as a read without it.
    if (why.isEmpty() && request.connection.isEmpty())
        why = QStringLiteral("needs --connect CONNECTION");
    if (!why.isEmpty())
        return usageError(QStringLiteral("write"), why);
    request.json |= options.json;
    request.trace |= options.trace;
    CDriveBaseClass *driver = loadedDriver();
    if (!driver)
        return LibraryMissing;
    return executeWrite(driver, request, out, err);
}
