#include "driverlibrary.h"
#include "gateway.h"
#include "gatewayconfig.h"
#include "signalpipe.h"
#include "tarvikversion.h"

#include <QCoreApplication>
#include <QTextStream>

#include <mosquitto.h>

namespace {

enum ExitStatus { Succeeded = 0, Failed = 1, BadConfiguration = 2, LibraryMissing = 3 };

struct Words
{
    QString library = DriverLibrary::defaultPath();
    QString file;
    bool check = false;
    bool help = false;
    bool version = false;
    QString error;
};

Words parse(const QStringList &args)
{
    Words w;
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        if (a == QLatin1String("--library") && i + 1 < args.size())
            w.library = args[++i];
        else if (a == QLatin1String("--check"))
            w.check = true;
        else if (a == QLatin1String("--help") || a == QLatin1String("-h"))
            w.help = true;
        else if (a == QLatin1String("--version"))
            w.version = true;
        else if (a.startsWith(QLatin1Char('-')) || !w.file.isEmpty())
            w.error = QStringLiteral("unexpected %1").arg(a);
        else
            w.file = a;
    }
    if (w.error.isEmpty() && w.file.isEmpty() && !w.help && !w.version)
        w.error = QStringLiteral("no configuration FILE given");
    return w;
}

const char usage[] =
    "Usage: tarvik-gateway [--library PATH] FILE\n"
    "  or:  tarvik-gateway [--library PATH] --check FILE\n"
    "  or:  tarvik-gateway --help | --version\n\n"
    "Polls the tags of the controllers FILE names and publishes their values to an MQTT broker;\n"
    "takes writes from PREFIX/CONTROLLER/TAG/set. Runs in the foreground and logs one line per\n"
    "event on standard error, each with its level as journald reads it (<3> to <7>). SIGHUP\n"
    "reads FILE again (a bad file is refused and the running configuration stays); SIGTERM ends\n"
    "cleanly.\n\n"
    "Options:\n"
    "  --library PATH  the driver library (by default beside the program's installation, then\n"
    "                  the dynamic loader's search path)\n"
    "  --check FILE    check the file as the start checks it (each tag is also put to the\n"
    "                  driver, which refuses what it would refuse once running); connect nothing\n"
    "  -h, --help      this text, with every configuration key\n"
    "  --version       the program's version\n\n"
    "Exit status: 0 stopped cleanly or the file is good, 1 the start failed (the store, the\n"
    "metrics endpoint or the broker session could not be set up), 2 a bad configuration file,\n"
    "3 the driver library cannot be loaded.\n";

// The keys the checker takes, from its own table.
QString keysHelp()
{
    QString text;
    QString section;
    for (const ConfigurationKey &k : configurationKeys()) {
        if (k.section != section)
            text += k.section == QLatin1String("tag option")
                        ? QStringLiteral("\nOptions of a tag line (OPTION=VALUE):\n")
                        : QStringLiteral("\nKeys of [%1]:\n").arg(k.section);
        section = k.section;
        const QString key = k.section == QLatin1String("tag option")
                                ? (k.form.isEmpty() ? k.name : k.name + QLatin1Char('=') + k.form)
                                : k.name + QStringLiteral(" = ") + k.form;
        // The words beside the key, at least two blanks apart, as help2man takes a term.
        text += QStringLiteral("  %1  %2\n").arg(key.leftJustified(22), k.words);
    }
    return text;
}

int tally(const GatewayConfig &config)
{
    int tags = 0;
    for (const ControllerSettings &c : config.controllers)
        tags += c.tags.size();
    return tags;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarvik-gateway"));
    qRegisterMetaType<MqttMessage>();
    qRegisterMetaType<QVector<MqttMessage>>();
    qRegisterMetaType<ControllerCounters>();
    QTextStream out(stdout);
    const Words w = parse(QCoreApplication::arguments().mid(1));
    if (!w.error.isEmpty()) {
        logLine(LogLevel::Error,
                QStringLiteral("tarvik-gateway: %1\n%2").arg(w.error, QLatin1String(usage)));
        return BadConfiguration;
    }
    if (w.help || w.version) {
        out << (w.version ? QStringLiteral("tarvik-gateway %1\n").arg(TARVIK_VERSION)
                          : QString::fromLatin1(usage) + keysHelp());
        return Succeeded;
    }
    gatewaylog::install();
    QString error;
    DriverLibrary library;
    if (!library.load(w.library, &error)) {
        logLine(LogLevel::Error, QStringLiteral("cannot load the driver: ") + error);
        return LibraryMissing;
    }
    GatewayConfig config;
    if (!loadGatewayConfig(w.file, &config, &error, &library)) {
        logLine(LogLevel::Error, error);
        return BadConfiguration;
    }
    if (w.check) {
        for (const QString &warning : qAsConst(config.warnings))
            logLine(LogLevel::Warning, QStringLiteral("warning: ") + warning);
        out << QStringLiteral("%1: good: %2 controllers, %3 tags\n")
                   .arg(w.file)
                   .arg(config.controllers.size())
                   .arg(tally(config));
        return Succeeded;
    }
    mosquitto_lib_init();
    int status = Succeeded;
    {
        Gateway gateway(w.file, library);
        SignalPipe signals_;
        signals_.install();
        QObject::connect(&signals_, &SignalPipe::terminate, &gateway, &Gateway::stop);
        QObject::connect(&signals_, &SignalPipe::reload, &gateway, &Gateway::reload);
        QObject::connect(&gateway, &Gateway::finished, &app, &QCoreApplication::quit);
        if (gateway.start(config, &error))
            QCoreApplication::exec();
        else
            status = (logLine(LogLevel::Error, error), Failed);
    }
    mosquitto_lib_cleanup();
    return status;
}
