#include "driverlibrary.h"
#include "hostcommands.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarvik-host"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Loads libLibTarvik.so.1 as a host runtime does and drives it.\n\n") +
        HostCommands::usage());
    parser.addHelpOption();
    const QCommandLineOption libraryOption(QStringLiteral("library"),
                                           QStringLiteral("The driver library to load."),
                                           QStringLiteral("path"), DriverLibrary::defaultPath());
    const QCommandLineOption traceOption(QStringLiteral("trace"),
                                         QStringLiteral("Switch the driver's protocol traces on."));
    const QCommandLineOption jsonOption(QStringLiteral("json"),
                                        QStringLiteral("Print records as JSON, one per line."));
    parser.addOption(libraryOption);
    parser.addOption(traceOption);
    parser.addOption(jsonOption);
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("What to do."),
                                 QStringLiteral("command [arguments...]"));
    parser.process(app);

    QTextStream out(stdout);
    QTextStream err(stderr);
    DriverLibrary library;
    HostCommands::Options options;
    options.library = parser.value(libraryOption);
    options.trace = parser.isSet(traceOption);
    options.json = parser.isSet(jsonOption);
    QString error;
    if (!library.load(options.library, &error)) {
        err << "cannot load the driver: " << error << "\n";
        return 3;
    }
    CDriveBaseClass *driver = library.create();
    const int status = HostCommands(driver, options, out, err).run(parser.positionalArguments());
    out.flush();
    err.flush();
    DriverLibrary::dispose(driver);
    return status;
}
