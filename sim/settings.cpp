#include "settings.h"

#include "areatable.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>

namespace sim {

namespace {

QList<QCommandLineOption> ownOptions()
{
    return {
        {QStringLiteral("address"),
         QStringLiteral("Loopback address to serve on: 127.0.0.0/8 or ::1 (default 127.0.0.1)."),
         QStringLiteral("addr"), QStringLiteral("127.0.0.1")},
        {QStringLiteral("port"),
         QStringLiteral("UDP port of the controller (default 700); 0 = any free port."),
         QStringLiteral("n"), QStringLiteral("700")},
        {QStringLiteral("control-port"),
         QStringLiteral("UDP port of the control commands; 0 (default) = any free port."),
         QStringLiteral("n"), QStringLiteral("0")},
        {QStringLiteral("no-udp"), QStringLiteral("Serve no UDP requests.")},
        {QStringLiteral("udp-ports"),
         QStringLiteral("Answer on n UDP ports (default 1): --port, then free ones, all one "
                        "controller's memory, as many controllers would be polled (1 to 2000)."),
         QStringLiteral("n"), QStringLiteral("1")},
        {QStringLiteral("pty"), QStringLiteral("Serve requests on a new pseudo-terminal.")},
        {QStringLiteral("device"), QStringLiteral("Serve requests on an existing serial device."),
         QStringLiteral("path")},
        {QStringLiteral("device-baud"), QStringLiteral("Baud rate of --device (default 9600)."),
         QStringLiteral("baud"), QStringLiteral("9600")},
        {QStringLiteral("pattern"),
         QStringLiteral("Fill the first 32768 bytes of every area: bit i of a bit area is 1 when "
                        "(i + code) % 3 == 0, byte i of a byte area is 1 + (code * 37 + i * 11) "
                        "% 255, string slot k holds \"SI<k+1>\".")},
        {QStringLiteral("poke"),
         QStringLiteral("Store bytes: AREA:OFFSET=HEX, AREA a name or code, OFFSET a byte offset "
                        "(decimal or 0x...). Repeatable."),
         QStringLiteral("AREA:OFFSET=HEX")},
        {QStringLiteral("load"),
         QStringLiteral("Store the AREA:OFFSET=HEX lines of a file ('#' starts a comment)."),
         QStringLiteral("file")},
        {QStringLiteral("verbose"), QStringLiteral("Log every frame in hex on stderr.")},
    };
}

bool readPort(const QCommandLineParser &parser, const QString &name, quint16 *port, QString *why)
{
    bool ok = false;
    const uint value = parser.value(name).toUInt(&ok);
    if (!ok || value > 65535) {
        *why = QStringLiteral("--%1 takes a port number from 0 to 65535").arg(name);
        return false;
    }
    *port = quint16(value);
    return true;
}

bool readUdpPorts(const QCommandLineParser &parser, int *count, QString *why)
{
    bool ok = false;
    const int value = parser.value(QStringLiteral("udp-ports")).toInt(&ok);
    if (!ok || value < 1 || value > 2000) {
        *why = QStringLiteral("--udp-ports takes a number from 1 to 2000");
        return false;
    }
    *count = value;
    return true;
}

bool readAddress(const QCommandLineParser &parser, QHostAddress *address, QString *why)
{
    const QString text = parser.value(QStringLiteral("address"));
    // Nothing of this program may be reachable from outside the machine.
    if (!address->setAddress(text) || !address->isLoopback()) {
        *why = QStringLiteral("--address must be a loopback address (127.0.0.0/8 or ::1), not '%1'")
                   .arg(text);
        return false;
    }
    return true;
}

bool readPokes(const QCommandLineParser &parser, QVector<Poke> *pokes, QString *why)
{
    for (const QString &path : parser.values(QStringLiteral("load"))) {
        if (!loadPokes(path, pokes, why))
            return false;
    }
    for (const QString &text : parser.values(QStringLiteral("poke"))) {
        const std::optional<Poke> poke = parsePoke(text, why);
        if (!poke) {
            *why = QStringLiteral("--poke: %1").arg(*why);
            return false;
        }
        pokes->append(*poke);
    }
    return true;
}

bool readSerial(const QCommandLineParser &parser, Settings *settings, QString *why)
{
    settings->pty = parser.isSet(QStringLiteral("pty"));
    settings->device = parser.value(QStringLiteral("device"));
    // Options that would change nothing are refused rather than silently ignored.
    if (parser.isSet(QStringLiteral("device-baud")) && settings->device.isEmpty()) {
        *why = QStringLiteral("--device-baud needs --device");
        return false;
    }
    if (!settings->udp && !settings->pty && settings->device.isEmpty()) {
        *why = QStringLiteral("--no-udp needs --pty or --device: there would be nothing to serve");
        return false;
    }
    bool ok = false;
    settings->deviceBaud = parser.value(QStringLiteral("device-baud")).toInt(&ok);
    if (!ok || settings->deviceBaud <= 0) {
        *why = QStringLiteral("--device-baud takes a positive baud rate");
        return false;
    }
    return true;
}

bool readSettings(const QCommandLineParser &parser, Settings *settings, QString *why)
{
    if (!parser.positionalArguments().isEmpty()) {
        *why = QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first());
        return false;
    }
    settings->udp = !parser.isSet(QStringLiteral("no-udp"));
    settings->pattern = parser.isSet(QStringLiteral("pattern"));
    settings->verbose = parser.isSet(QStringLiteral("verbose"));
    return readAddress(parser, &settings->address, why) &&
           readPort(parser, QStringLiteral("port"), &settings->port, why) &&
           readPort(parser, QStringLiteral("control-port"), &settings->controlPort, why) &&
           readUdpPorts(parser, &settings->udpPorts, why) && readSerial(parser, settings, why) &&
           readPokes(parser, &settings->pokes, why) && readFaults(parser, &settings->faults, why);
}

} // namespace

ParseResult parseSettings(const QStringList &arguments, Settings *settings, QString *message)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Controller simulator: answers the driver's read, write and link check "
                       "frames over UDP and serial lines, and misbehaves on request.\n"
                       "Prints 'udp ADDR:PORT', 'control ADDR:PORT', 'pty PATH', 'serial PATH' "
                       "and 'ready' on stdout once it serves.\n"
                       "Control commands, one per datagram to the control port: faults [fault "
                       "options], poke AREA OFFSET HEX, peek AREA OFFSET LEN, stats, reset, "
                       "close-pty, open-pty, quit.\nAreas: ") +
        areaNames());
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addOptions(ownOptions());
    parser.addOptions(faultOptions());
    if (!parser.parse(arguments)) {
        *message = parser.errorText();
        return ParseResult::Error;
    }
    if (parser.isSet(help)) {
        // Named as the program is installed, not by the path it was started with.
        *message = parser.helpText().replace(QRegularExpression(QStringLiteral("^Usage: \\S+")),
                                             QStringLiteral("Usage: tarvik-sim"));
        return ParseResult::Help;
    }
    if (parser.isSet(version)) {
        *message = QStringLiteral("tarvik-sim %1\n").arg(QCoreApplication::applicationVersion());
        return ParseResult::Help;
    }
    return readSettings(parser, settings, message) ? ParseResult::Run : ParseResult::Error;
}

} // namespace sim
