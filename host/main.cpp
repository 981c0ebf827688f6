#include "driverlibrary.h"
#include "hostcommands.h"
#include "messagelog.h"
#include "tarvikversion.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

namespace {

// The options before the command; the command and its words are the rest.
struct Global
{
    QString library = DriverLibrary::defaultPath();
    HostCommands::Options options;
    QStringList command;
    QString error;
    bool help = false;
    bool version = false;
};

Global parseGlobal(const QStringList &words)
{
    Global g;
    const QMap<QString, bool HostCommands::Options::*> flags = {
        {"--trace", &HostCommands::Options::trace},
        {"--json", &HostCommands::Options::json},
        {"--csv", &HostCommands::Options::csv},
        {"--table", &HostCommands::Options::table}};
    for (int i = 0; i < words.size(); ++i) {
        const QString &w = words.at(i);
        if (w == QLatin1String("--library")) {
            if (i + 1 >= words.size() || words.at(i + 1).startsWith(QLatin1String("--"))) {
                g.error = QStringLiteral("--library needs a value");
                return g;
            }
            g.library = words.at(++i);
        } else if (flags.contains(w)) {
            g.options.*flags.value(w) = true;
        } else if (w == QLatin1String("--help") || w == QLatin1String("-h")) {
            g.help = true;
        } else if (w == QLatin1String("--version") || w == QLatin1String("-v")) {
            g.version = true;
        } else if (w.startsWith(QLatin1Char('-'))) {
            g.error = QStringLiteral("unknown option %1").arg(w);
            return g;
        } else {
            g.command = words.mid(i);
            return g;
        }
    }
    return g;
}

QString help()
{
    return QStringLiteral(
               "Usage: tarvik-host [--library PATH] [--trace] [--json | --csv] [--table] COMMAND "
               "[ARGUMENTS...]\n"
               "  or:  tarvik-host COMMAND --help\n"
               "  or:  tarvik-host --help | --version\n"
               "Loads libLibTarvik.so.1 as a host runtime does and drives it.\n\n"
               "Options:\n"
               "  --library PATH   the driver library (by default the one beside the program's "
               "lib\n"
               "                   folder, else the installation's; info names the file loaded)\n"
               "  --trace          the driver's protocol lines, time-stamped, on standard error\n"
               "  --json           records as JSON objects, one per line\n"
               "  --csv            records as CSV rows under a header (read, poll)\n"
               "  --table          the live table of poll even when the output is no terminal\n"
               "  -h, --help       this help (COMMAND --help: that command's)\n"
               "  -v, --version    the program's version\n\n") +
           HostCommands::usage();
}

// Output that could not be written (a full disk, a closed pipe reader gone to /dev/full) is a
// failure of the command: said on the error stream, and never exit status 0.
int withOutputChecked(QTextStream &out, QTextStream &err, int status)
{
    out.flush();
    if (out.status() == QTextStream::Ok)
        return status;
    err << "tarvik-host: cannot write the output: "
        << (out.device() ? out.device()->errorString() : QStringLiteral("write failed")) << "\n";
    err.flush();
    return status == 0 ? 1 : status;
}

int runCommandLine(const Global &g, QTextStream &out, QTextStream &err)
{
    if (!g.error.isEmpty()) {
        err << "tarvik-host: " << g.error << "\n(tarvik-host --help lists the options)\n";
        return 2;
    }
    if (g.version) {
        out << "tarvik-host " << TARVIK_VERSION << "\n";
        return 0;
    }
    if (g.help && g.command.isEmpty()) {
        out << help();
        return 0;
    }
    LazyDriver driver(g.library);
    QStringList command = g.command;
    if (g.help)
        command << QStringLiteral("--help");
    return HostCommands(driver, g.options, out, err).run(command);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarvik-host"));
    messagelog::install();

    QTextStream out(stdout);
    QTextStream err(stderr);
    const Global g = parseGlobal(QCoreApplication::arguments().mid(1));
    const int status = withOutputChecked(out, err, runCommandLine(g, out, err));
    err.flush();
    return status;
}
