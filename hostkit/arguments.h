#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

// The words after a command: positional arguments, and --name value / --flag options.
struct CommandArgs
{
    QStringList positional;
    QMap<QString, QString> options;
    QString error; // set when the words do not parse

    // A value option followed by nothing, or by another option, is missing its value.
    static CommandArgs parse(const QStringList &words, const QStringList &valueOptions,
                             const QStringList &flags);
    bool has(const QString &name) const { return options.contains(name); }
    QString value(const QString &name) const { return options.value(name); }
    // The option as an integer within [low, high]; fallback when absent; sets error otherwise.
    int number(const QString &name, int fallback, int low, int high);
};

// What the programs check before anything is sent, so that a mistyped argument is a usage error
// rather than a request for something the user did not mean. Each answers "" when the text is
// good, and otherwise says what is wrong in words.
namespace checks {

QString type(const QString &text, int *type);
QString count(const QString &text, int *count);
// An area name followed by nothing but the digits of the point number: the driver reads AO1.5,
// AI1AI2, "AI 1" or AI1x as another point (it joins every digit of the text).
QString address(const QString &text);
// ADDRESS:PORT with a numeric IP address and a port from 1 to 65535, or
// PORT,BAUD,DATABITS,STOPBITS with a positive baud, 5 to 8 data bits and 1, 1.5 or 2 stop bits.
// *normalized is the string for the driver: stop bits 1.5 are sent as 3.
QString connection(const QString &text, QString *normalized);

// The tag a read, poll or write names: ADDRESS with --type TYPE and, where given, --count N,
// checked in the order a user reads them (type, count, address).
QString tag(const CommandArgs &args, const QString &address, int *type, int *count);
// --connect CONNECTION; its absence is a usage error only where the command needs a link.
QString connectOption(const CommandArgs &args, bool required, QString *normalized);

} // namespace checks
