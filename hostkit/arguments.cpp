#include "arguments.h"

#include "connectionform.h"
#include "recordformat.h"
#include "tagaddress.h"

#include <QHostAddress>
#include <QRegularExpression>

#include <array>

CommandArgs CommandArgs::parse(const QStringList &words, const QStringList &valueOptions,
                               const QStringList &flagOptions)
{
    CommandArgs a;
    for (int i = 0; i < words.size(); ++i) {
        const QString &w = words.at(i);
        if (valueOptions.contains(w)) {
            if (i + 1 >= words.size() || words.at(i + 1).startsWith(QLatin1String("--"))) {
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

namespace checks {
namespace {

// Serial line settings the port can take, as the connection string names them and as the
// driver receives them (1.5 stop bits are its 3).
struct Setting
{
    const char *text;
    const char *forDriver;
};
constexpr std::array<Setting, 4> dataBitSettings = {
    {{"5", "5"}, {"6", "6"}, {"7", "7"}, {"8", "8"}}};
constexpr std::array<Setting, 4> stopBitSettings = {
    {{"1", "1"}, {"1.5", "3"}, {"3", "3"}, {"2", "2"}}};
// The rates the driver sets on the port; with any other it answers "connected" and the port
// keeps the rate it had, so the host refuses the others instead of talking at the wrong speed.
constexpr std::array<Setting, 8> baudSettings = {{{"1200", "1200"},
                                                  {"2400", "2400"},
                                                  {"4800", "4800"},
                                                  {"9600", "9600"},
                                                  {"19200", "19200"},
                                                  {"38400", "38400"},
                                                  {"57600", "57600"},
                                                  {"115200", "115200"}}};

template <size_t N> QString settingTexts(const std::array<Setting, N> &table)
{
    QStringList texts;
    for (const Setting &s : table)
        texts << QLatin1String(s.text);
    const QString last = texts.takeLast();
    return texts.join(QLatin1String(", ")) + QLatin1String(" or ") + last;
}

template <size_t N> const char *settingFor(const std::array<Setting, N> &table, const QString &text)
{
    for (const Setting &s : table) {
        if (text == QLatin1String(s.text))
            return s.forDriver;
    }
    return nullptr;
}

bool digitsOnly(const QString &text)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]+$"));
    return digits.match(text).hasMatch();
}

QString udp(const QStringList &parts, QString *normalized)
{
    QHostAddress host;
    if (!host.setAddress(parts[0]) || parts[0].contains(QLatin1Char('%')))
        return QStringLiteral("%1 is not a numeric IP address (the driver looks up no names)")
            .arg(parts[0]);
    const uint port = digitsOnly(parts[1]) ? parts[1].toUInt() : 0;
    if (port < 1 || port > 65535)
        return QStringLiteral("the UDP port takes 1 to 65535, not '%1'").arg(parts[1]);
    *normalized = parts.join(QLatin1Char(':'));
    return QString();
}

QString serial(QStringList parts, QString *normalized)
{
    if (parts[0].isEmpty())
        return QStringLiteral("the serial port name is empty");
    if (!settingFor(baudSettings, parts[1]))
        return QStringLiteral("the driver sets the baud rates %1, not '%2'")
            .arg(settingTexts(baudSettings), parts[1]);
    const char *dataBits = settingFor(dataBitSettings, parts[2]);
    if (!dataBits)
        return QStringLiteral("data bits take 5, 6, 7 or 8, not '%1'").arg(parts[2]);
    const char *stopBits = settingFor(stopBitSettings, parts[3]);
    if (!stopBits)
        return QStringLiteral("stop bits take 1, 1.5 or 2, not '%1'").arg(parts[3]);
    parts[2] = QLatin1String(dataBits);
    parts[3] = QLatin1String(stopBits);
    *normalized = parts.join(QLatin1Char(','));
    return QString();
}

} // namespace

QString type(const QString &text, int *type)
{
    if (recordformat::typeNamed(text, type))
        return QString();
    return QStringLiteral("unknown type %1; types are %2 or their numbers")
        .arg(text, recordformat::typeNames().join(QStringLiteral(", ")));
}

QString count(const QString &text, int *count)
{
    const int n = digitsOnly(text) && text.size() < 6 ? text.toInt() : 0;
    if (n < 1 || n > tarvik::largestTransfer)
        return QStringLiteral("the count takes a whole number from 1 to %1, not '%2'")
            .arg(tarvik::largestTransfer)
            .arg(text);
    *count = n;
    return QString();
}

QString address(const QString &text)
{
    // An address that begins with no area name is the driver's to refuse (result 3): it sends
    // nothing for it and cannot mistake it for another point.
    const int area = tarvik::areaCode(text);
    if (area == 0)
        return QString();
    const QString name = tarvik::areaName(area);
    if (digitsOnly(text.mid(name.size())))
        return QString();
    const int index = tarvik::pointIndex(text);
    const QString reading = index >= 0 ? QStringLiteral("as %1%2").arg(name).arg(qint64(index) + 1)
                                       : QStringLiteral("as no point at all");
    return QStringLiteral("%1 is not an area name followed by a point number; the driver would "
                          "read it %2")
        .arg(recordformat::escaped(text), reading);
}

QString connection(const QString &text, QString *normalized)
{
    const tarvik::ConnectionForm c = tarvik::connectionForm(text);
    if (c.form == tarvik::LinkForm::Udp)
        return udp(c.fields, normalized);
    if (c.form == tarvik::LinkForm::Serial)
        return serial(c.fields, normalized);
    return QStringLiteral("%1 is neither ADDRESS:PORT (UDP, an IPv4 address) nor "
                          "PORT,BAUD,DATABITS,STOPBITS (serial)")
        .arg(text);
}

QString tag(const CommandArgs &args, const QString &address, int *type, int *count)
{
    QString why = checks::type(args.value(QStringLiteral("--type")), type);
    if (why.isEmpty() && args.has(QStringLiteral("--count")))
        why = checks::count(args.value(QStringLiteral("--count")), count);
    return why.isEmpty() ? checks::address(address) : why;
}

QString connectOption(const CommandArgs &args, bool required, QString *normalized)
{
    const QString option = QStringLiteral("--connect");
    if (!args.has(option))
        return required ? QStringLiteral("needs --connect CONNECTION") : QString();
    return checks::connection(args.value(option), normalized);
}

} // namespace checks
