#include "hostcommands.h"

#include "recordformat.h"
#include "writecommand.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <array>
#include <atomic>
#include <csignal>

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

std::atomic<bool> interrupted{false};

void onInterrupt(int)
{
    interrupted = true;
}

// Waits up to ms milliseconds, handling events, unless interrupted first.
void pause(int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!interrupted && clock.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(qBound<qint64>(0, qMin<qint64>(5, ms - clock.elapsed()), 5));
    }
}

const QStringList readOptions = {"--type", "--count", "--connect"};
const QStringList pollOptions = {"--type", "--count", "--connect", "--interval", "--times"};
const QStringList flags = {"--json", "--trace"};

} // namespace

QString connectOutcome(int code)
{
    return outcomeWords(connectOutcomes, code);
}

QString disconnectOutcome(int code)
{
    return outcomeWords(disconnectOutcomes, code);
}

CommandArgs CommandArgs::parse(const QStringList &words, const QStringList &valueOptions,
                               const QStringList &flagOptions)
{
    CommandArgs a;
    for (int i = 0; i < words.size(); ++i) {
        const QString &w = words.at(i);
        if (valueOptions.contains(w)) {
            if (i + 1 >= words.size()) {
                a.error = QStringLiteral("%1 needs a value").arg(w);
                return a;
            }
            a.options.insert(w, words.at(++i));
        } else if (flagOptions.contains(w)) {
            a.options.insert(w, QString());
        } else if (w.startsWith(QLatin1String("--")) && w.size() > 2) {
            a.error = QStringLiteral("unknown option %1").arg(w);
            return a;
        } else {
            a.positional << w;
        }
    }
    return a;
}

int CommandArgs::number(const QString &name, int fallback, int low, int high)
{
    if (!has(name))
        return fallback;
    bool ok = false;
    const qlonglong v = options.value(name).toLongLong(&ok);
    if (!ok || v < low || v > high) {
        error =
            QStringLiteral("%1 takes a whole number from %2 to %3").arg(name).arg(low).arg(high);
        return fallback;
    }
    return int(v);
}

HostCommands::HostCommands(CDriveBaseClass *driver, const Options &options, QTextStream &out,
                           QTextStream &err)
    : driver(driver), options(options), out(out), err(err)
{
}

QString HostCommands::usage()
{
    return QStringLiteral(
        "Commands:\n"
        "  info                                   name, version and build of the driver\n"
        "  connect CONNECTION                     connect, report the outcome, disconnect\n"
        "  read ADDRESS --type TYPE [--count N] --connect CONNECTION\n"
        "                                         read a tag once\n"
        "  poll ADDRESS --type TYPE [--count N] --connect CONNECTION\n"
        "       [--interval MS] [--times N]       read a tag every MS milliseconds (default\n"
        "                                         1000), N times or until interrupted\n"
        "  write ADDRESS --type TYPE --connect CONNECTION VALUE...\n"
        "                                         write values to a tag\n"
        "Options after the command: --json (one JSON object per record), --trace (the\n"
        "driver's protocol traces on the log).\n"
        "\n"
        "CONNECTION is ADDRESS:PORT for UDP (127.0.0.1:700) or\n"
        "PORT,BAUD,DATABITS,STOPBITS for a serial line (/dev/ttyS1,9600,8,1).\n"
        "TYPE is Bool, Int8, UInt8, Int16, UInt16, Int32, UInt32, Float, Int64, UInt64,\n"
        "Double or String. ADDRESS is an area name and a point number: AI_F12, DI3, SI1.\n");
}

int HostCommands::run(const QStringList &words)
{
    if (words.isEmpty())
        return usageError(QStringLiteral("no command given"));
    using Command = int (HostCommands::*)(const QStringList &);
    struct Entry
    {
        const char *name;
        Command command;
    };
    static const Entry commands[] = {{"info", &HostCommands::info},
                                     {"connect", &HostCommands::connect},
                                     {"read", &HostCommands::read},
                                     {"poll", &HostCommands::poll},
                                     {"write", &HostCommands::write}};
    for (const Entry &e : commands) {
        if (words.first() == QLatin1String(e.name))
            return (this->*e.command)(words.mid(1));
    }
    return usageError(QStringLiteral("unknown command: %1").arg(words.first()));
}

int HostCommands::usageError(const QString &why)
{
    err << why << "\n\n" << usage();
    return 2;
}

int HostCommands::info(const QStringList &args)
{
    if (!args.isEmpty())
        return usageError(QStringLiteral("info takes no arguments"));
    out << "name     " << driver->getDriveName() << "\n"
        << "version  " << driver->getversion_number() << "\n"
        << "build    " << driver->DebugCmd(DebugBuildInfo) << "\n"
        << "library  " << options.library << "\n";
    return 0;
}

int HostCommands::connect(const QStringList &args)
{
    if (args.size() != 1)
        return usageError(QStringLiteral("connect takes one CONNECTION argument"));
    const int rc = driver->ConnectDrive(args.first());
    out << "connect " << args.first() << ": " << rc << " (" << connectOutcome(rc) << ")\n";
    if (rc == 0) {
        const int closed = driver->DisConnectDrive();
        out << "disconnect: " << closed << " (" << disconnectOutcome(closed) << ")\n";
    }
    return rc == 0 ? 0 : 1;
}

bool HostCommands::connectFirst(const QString &connection)
{
    if (options.trace)
        driver->DebugCmd(DebugStart);
    const int rc = driver->ConnectDrive(connection);
    if (rc != 0) {
        err << "connect " << connection << ": " << rc << " (" << connectOutcome(rc) << ")\n";
        return false;
    }
    return true;
}

void HostCommands::print(const CLabelVariable &record)
{
    out << (options.json ? recordformat::asJson(record) + QLatin1Char('\n')
                         : recordformat::asText(record));
    out.flush();
}

int HostCommands::read(const QStringList &words)
{
    CommandArgs a = CommandArgs::parse(words, readOptions, flags);
    const int count = a.number(QStringLiteral("--count"), 1, INT_MIN, INT_MAX);
    if (!a.error.isEmpty())
        return usageError(a.error);
    if (a.positional.size() != 1 || !a.has(QStringLiteral("--type")) ||
        !a.has(QStringLiteral("--connect")))
        return usageError(QStringLiteral("read takes ADDRESS, --type TYPE and --connect"));
    const int type = recordformat::typeFromName(a.options.value(QStringLiteral("--type")));
    options.json |= a.has(QStringLiteral("--json"));
    options.trace |= a.has(QStringLiteral("--trace"));
    if (!connectFirst(a.options.value(QStringLiteral("--connect"))))
        return 1;
    const CLabelVariable record = driver->ReadVariable(a.positional.first(), DataType(type), count);
    print(record);
    driver->DisConnectDrive();
    return record.result == 0 ? 0 : 1;
}

int HostCommands::poll(const QStringList &words)
{
    CommandArgs a = CommandArgs::parse(words, pollOptions, flags);
    const int count = a.number(QStringLiteral("--count"), 1, INT_MIN, INT_MAX);
    const int interval = a.number(QStringLiteral("--interval"), 1000, 0, 86400000);
    const int times = a.number(QStringLiteral("--times"), 0, 0, INT_MAX);
    if (!a.error.isEmpty())
        return usageError(a.error);
    if (a.positional.size() != 1 || !a.has(QStringLiteral("--type")) ||
        !a.has(QStringLiteral("--connect")))
        return usageError(QStringLiteral("poll takes ADDRESS, --type TYPE and --connect"));
    const int type = recordformat::typeFromName(a.options.value(QStringLiteral("--type")));
    options.json |= a.has(QStringLiteral("--json"));
    options.trace |= a.has(QStringLiteral("--trace"));
    if (!connectFirst(a.options.value(QStringLiteral("--connect"))))
        return 1;

    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    int polls = 0, answers = 0;
    while (!interrupted && (times == 0 || polls < times)) {
        if (polls > 0)
            pause(interval);
        if (interrupted)
            break;
        const CLabelVariable record =
            driver->ReadVariable(a.positional.first(), DataType(type), count);
        ++polls;
        answers += record.result == 0 ? 1 : 0;
        print(record);
    }
    driver->DisConnectDrive();
    out << (options.json ? QStringLiteral("{\"polls\":%1,\"answers\":%2,\"failures\":%3}\n")
                         : QStringLiteral("polls %1, answers %2, failures %3\n"))
               .arg(polls)
               .arg(answers)
               .arg(polls - answers);
    return polls > 0 && answers == polls ? 0 : 1;
}

int HostCommands::write(const QStringList &words)
{
    QStringList args = words;
    if (options.json)
        args << QStringLiteral("--json");
    if (options.trace)
        args << QStringLiteral("--trace");
    return runWrite(driver, args, out, err);
}
