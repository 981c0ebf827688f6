#include "log.h"
#include "settings.h"
#include "signalwatcher.h"
#include "simulator.h"
#include "tarvikversion.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarvik-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TARVIK_VERSION));

    sim::Settings settings;
    QString message;
    switch (sim::parseSettings(QCoreApplication::arguments(), &settings, &message)) {
    case sim::ParseResult::Help:
        std::fputs(message.toLocal8Bit().constData(), stdout);
        return 0;
    case sim::ParseResult::Error:
        sim::warn(message + QStringLiteral(" (see --help)"));
        return 2;
    case sim::ParseResult::Run:
        break;
    }

    sim::SignalWatcher signalWatcher;
    if (!signalWatcher.watch(&message)) {
        sim::warn(message);
        return 1;
    }
    QObject::connect(&signalWatcher, &sim::SignalWatcher::caught, &app,
                     [] { QCoreApplication::exit(0); });

    sim::Simulator simulator(settings);
    if (!simulator.start(&message)) {
        sim::warn(message);
        return 1;
    }
    // Tests wait for "ready": everything before it is bound and open.
    for (const QString &line : simulator.announcements())
        std::printf("%s\n", line.toLocal8Bit().constData());
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
