#pragma once

#include <QElapsedTimer>
#include <QMap>
#include <QString>

// The gateway logs one line per event on standard error, each with its level in the form
// journald reads (`<3>` error ... `<7>` debug); journald adds the time.
enum class LogLevel { Error = 3, Warning = 4, Notice = 5, Info = 6, Debug = 7 };

void logLine(LogLevel level, const QString &line);

// Where a thread's driver lines go: a controller's worker takes those of its own driver.
class DriverLineSink
{
public:
    virtual ~DriverLineSink() = default;
    virtual void driverSaid(LogLevel level, const QString &line) = 0;
};

namespace gatewaylog {

// Takes the lines the driver library writes through Qt's message handler. On a thread with a
// sink they go to it; elsewhere they are logged as they come, in English beside the original.
void install();
void setThreadSink(DriverLineSink *sink);
// The library's line with the English beneath it put beside it: "LINE (in English: ...)".
QString withEnglish(const QString &line, const QString &serialPort);

} // namespace gatewaylog

// A driver line that comes every scan while a fault lasts is said once, when it first comes;
// the others of its kind are counted until the episode ends (a read succeeds, the link comes
// up, the controller stops), and the count is said then.
class LineEpisodes
{
public:
    // True when the line opens an episode of its kind: it is to be logged.
    bool opens(const QString &line);
    // The episodes open, ended: one line each for those that saw repeats ("KIND: N more times
    // in S s").
    QStringList endAll();
    bool anyOpen() const { return !episodes.isEmpty(); }

private:
    struct Episode
    {
        int repeats = 0;
        QElapsedTimer since;
    };
    QMap<QString, Episode> episodes; // by kind
};
