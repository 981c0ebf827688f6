#include "hostcommands.h"

#include <array>

namespace {

struct Outcome
{
    int code;
    const char *words;
};

constexpr std::array<Outcome, 3> connectOutcomes = {{
    {0, "connected"},
    {-1, "refused: not a usable connection string, address or port, or the port cannot be opened"},
    {-2, "no answer to the link check"},
}};

constexpr std::array<Outcome, 2> disconnectOutcomes = {{
    {0, "closed"},
    {-1, "nothing to close"},
}};

template <size_t N> QString outcomeWords(const std::array<Outcome, N> &table, int code)
{
    for (const Outcome &o : table) {
        if (o.code == code)
            return QLatin1String(o.words);
    }
    return QStringLiteral("unknown outcome");
}

} // namespace

QString connectOutcome(int code)
{
    return outcomeWords(connectOutcomes, code);
}

QString disconnectOutcome(int code)
{
    return outcomeWords(disconnectOutcomes, code);
}

HostCommands::HostCommands(CDriveBaseClass *driver, const Options &options, QTextStream &out,
                           QTextStream &err)
    : driver(driver), options(options), out(out), err(err)
{
}

QString HostCommands::usage()
{
    return QStringLiteral("Commands:\n"
                          "  info                 name, version and build of the driver\n"
                          "  connect CONNECTION   connect, report the outcome, disconnect\n"
                          "\n"
                          "CONNECTION is ADDRESS:PORT for UDP (127.0.0.1:700) or\n"
                          "PORT,BAUD,DATABITS,STOPBITS for a serial line (/dev/ttyS1,9600,8,1).\n");
}

int HostCommands::run(const QStringList &words)
{
    if (words.isEmpty()) {
        err << "No command given.\n" << usage();
        return 2;
    }
    if (options.trace)
        driver->DebugCmd(DebugStart);
    const QString command = words.first();
    const QStringList args = words.mid(1);
    if (command == QLatin1String("info"))
        return info(args);
    if (command == QLatin1String("connect"))
        return connect(args);
    err << "Unknown command: " << command << "\n" << usage();
    return 2;
}

int HostCommands::info(const QStringList &args)
{
    if (!args.isEmpty()) {
        err << "info takes no arguments\n";
        return 2;
    }
    out << "name     " << driver->getDriveName() << "\n"
        << "version  " << driver->getversion_number() << "\n"
        << "build    " << driver->DebugCmd(DebugBuildInfo) << "\n"
        << "library  " << options.library << "\n";
    return 0;
}

int HostCommands::connect(const QStringList &args)
{
    if (args.size() != 1) {
        err << "connect takes one CONNECTION argument\n";
        return 2;
    }
    const int rc = driver->ConnectDrive(args.first());
    out << "connect " << args.first() << ": " << rc << " (" << connectOutcome(rc) << ")\n";
    if (rc == 0) {
        const int closed = driver->DisConnectDrive();
        out << "disconnect: " << closed << " (" << disconnectOutcome(closed) << ")\n";
    }
    return rc == 0 ? 0 : 1;
}
