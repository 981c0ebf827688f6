#include "gatewaylog.h"

#include "driverwarnings.h"
#include "recordformat.h"

#include <QRegularExpression>

#include <cstdio>

void logLine(LogLevel level, const QString &line)
{
    // Each line of a text with several gets the level: journald reads every line on its own.
    QString text;
    for (const QString &part : line.split(QLatin1Char('\n')))
        text += QStringLiteral("<%1>").arg(int(level)) + recordformat::escaped(part) +
                QLatin1Char('\n');
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

namespace gatewaylog {
namespace {

thread_local DriverLineSink *threadSink = nullptr;

LogLevel levelOf(QtMsgType type)
{
    switch (type) {
    case QtFatalMsg:
    case QtCriticalMsg:
        return LogLevel::Error;
    case QtWarningMsg:
        return LogLevel::Warning;
    case QtInfoMsg:
        return LogLevel::Info;
    default:
        return LogLevel::Debug;
    }
}

void handle(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (threadSink)
        threadSink->driverSaid(levelOf(type), message);
    else
        logLine(levelOf(type), withEnglish(message, QString()));
}

} // namespace

void install()
{
    qInstallMessageHandler(handle);
}

void setThreadSink(DriverLineSink *sink)
{
    threadSink = sink;
}

QString withEnglish(const QString &line, const QString &serialPort)
{
    const QString english = driverwarnings::english(line, serialPort);
    return english.isEmpty() ? line : QStringLiteral("%1 (in English: %2)").arg(line, english);
}

} // namespace gatewaylog

bool LineEpisodes::opens(const QString &line)
{
    // Lines of a kind the log does not know are told apart by their words, not their numbers.
    QString kind = driverwarnings::kindOf(line);
    if (kind == driverwarnings::kindOf(QString())) {
        static const QRegularExpression digits(QStringLiteral("[0-9]+"));
        kind = QString(line).replace(digits, QStringLiteral("#"));
    }
    auto open = episodes.find(kind);
    if (open != episodes.end()) {
        ++open->repeats;
        return false;
    }
    episodes[kind].since.start();
    return true;
}

QStringList LineEpisodes::endAll()
{
    QStringList lines;
    for (auto e = episodes.cbegin(); e != episodes.cend(); ++e) {
        if (e->repeats > 0)
            lines << QStringLiteral("%1: %2 more times in %3 s, now ended")
                         .arg(e.key())
                         .arg(e->repeats)
                         .arg(QString::number(double(e->since.elapsed()) / 1000.0, 'f', 1));
    }
    episodes.clear();
    return lines;
}
