#include "gatewayconfig.h"

#include "arguments.h"
#include "boundedfile.h"
#include "mqttclient.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include <array>
#include <cmath>

namespace {

constexpr int largestInterval = 86400000;

// A fault found on one line.
struct Fault
{
    int line = 0;
    QString key;
    QString why;
};

QString wholeNumber(const QString &value, int low, int high, int *out)
{
    bool ok = false;
    const int v = value.toInt(&ok);
    if (!ok || v < low || v > high)
        return QStringLiteral("takes a whole number from %1 to %2, not '%3'")
            .arg(low)
            .arg(high)
            .arg(value);
    *out = v;
    return QString();
}

QString onOff(const QString &value, bool *out)
{
    static const QStringList on = {"on", "yes", "true", "1"}, off = {"off", "no", "false", "0"};
    if (!on.contains(value) && !off.contains(value))
        return QStringLiteral("takes on or off, not '%1'").arg(value);
    *out = on.contains(value);
    return QString();
}

QString nonNegative(const QString &value, double *out)
{
    bool ok = false;
    const double v = value.toDouble(&ok);
    if (!ok || !std::isfinite(v) || v < 0)
        return QStringLiteral("takes a number of 0 or more, not '%1'").arg(value);
    *out = v;
    return QString();
}

// Topic levels come from names: none may hold what MQTT gives a meaning to, or what a line or a
// terminal would take as control.
QString topicName(const QString &name)
{
    static const QRegularExpression bad(QStringLiteral("[/+#\\x00-\\x1f\\x7f]"));
    if (name.isEmpty() || name.size() > 64 || name.contains(bad))
        return QStringLiteral("'%1' cannot be a topic level: 1 to 64 characters, none of / + # "
                              "or control characters")
            .arg(name);
    return QString();
}

// A client id goes to the broker as one UTF-8 string of at most 65535 bytes; an empty one would
// ask the broker to make one up, and the gateway's will and status belong to one known session.
QString clientIdProblem(const QString &id)
{
    static const QRegularExpression control(QStringLiteral("[\\x00-\\x1f\\x7f]"));
    if (id.isEmpty() || id.toUtf8().size() > 65535 || id.contains(control))
        return QStringLiteral("takes 1 to 65535 bytes of text without control characters");
    return QString();
}

// A file the broker session reads itself (TLS): a regular file within bounds, which the session
// can open without waiting on it.
QString readable(const QString &path)
{
    QByteArray bytes;
    const QString why = readBoundedFile(path, largestInputFile, &bytes);
    return why.isEmpty() ? QString() : QStringLiteral("cannot read %1: %2").arg(path, why);
}

// Broker keys, each with what it sets.
using BrokerKey = QString (*)(const QString &value, BrokerSettings &b);

const QMap<QString, BrokerKey> &brokerKeys()
{
    static const QMap<QString, BrokerKey> keys = {
        {"host", [](const QString &v, BrokerSettings &b) { return b.host = v, QString(); }},
        {"port",
         [](const QString &v, BrokerSettings &b) { return wholeNumber(v, 1, 65535, &b.port); }},
        {"client_id",
         [](const QString &v, BrokerSettings &b) { return b.clientId = v, clientIdProblem(v); }},
        {"username", [](const QString &v, BrokerSettings &b) { return b.username = v, QString(); }},
        {"password", [](const QString &v, BrokerSettings &b) { return b.password = v, QString(); }},
        {"ca_file", [](const QString &v, BrokerSettings &b) { return b.caFile = v, readable(v); }},
        {"cert_file",
         [](const QString &v, BrokerSettings &b) { return b.certFile = v, readable(v); }},
        {"key_file",
         [](const QString &v, BrokerSettings &b) { return b.keyFile = v, readable(v); }},
        {"keepalive", [](const QString &v,
                         BrokerSettings &b) { return wholeNumber(v, 5, 65535, &b.keepaliveS); }},
        {"qos", [](const QString &v, BrokerSettings &b) { return wholeNumber(v, 0, 2, &b.qos); }},
        {"prefix", [](const QString &v, BrokerSettings &b) { return b.prefix = v, topicName(v); }},
        {"stats_interval",
         [](const QString &v, BrokerSettings &b) {
             return wholeNumber(v, 1, 86400, &b.statsIntervalS);
         }},
        {"queue_limit",
         [](const QString &v, BrokerSettings &b) {
             return wholeNumber(v, 10, 10000000, &b.queueLimit);
         }},
    };
    return keys;
}

// Controller keys that set one value each.
using ControllerKey = QString (*)(const QString &value, ControllerSettings &c);

const QMap<QString, ControllerKey> &controllerKeys()
{
    using C = ControllerSettings;
    static const QMap<QString, ControllerKey> keys = {
        {"interval",
         [](const QString &v, C &c) { return wholeNumber(v, 1, largestInterval, &c.intervalMs); }},
        {"deadband", [](const QString &v, C &c) { return nonNegative(v, &c.deadband); }},
        {"max_age", [](const QString &v, C &c) { return wholeNumber(v, 1, 604800, &c.maxAgeS); }},
        {"tag_messages", [](const QString &v, C &c) { return onOff(v, &c.tagMessages); }},
        {"scan_messages", [](const QString &v, C &c) { return onOff(v, &c.scanMessages); }},
        {"merge", [](const QString &v, C &c) { return onOff(v, &c.merge.merge); }},
        {"gap", [](const QString &v, C &c) { return wholeNumber(v, 0, 1467, &c.merge.gapFill); }},
        {"reconnect", [](const QString &v, C &c) { return onOff(v, &c.reconnect.enabled); }},
        {"failures", [](const QString &v,
                        C &c) { return wholeNumber(v, 1, 1000, &c.reconnect.failuresInRow); }},
        {"backoff", [](const QString &v,
                       C &c) { return wholeNumber(v, 10, 3600000, &c.reconnect.firstBackoffMs); }},
        {"backoff_max",
         [](const QString &v, C &c) {
             return wholeNumber(v, 10, 3600000, &c.reconnect.longestBackoffMs);
         }},
    };
    return keys;
}

// `tag = NAME ADDRESS TYPE [count=N] [interval=MS] [deadband=X] [writable]`
QString inlineTag(const QString &value, GatewayTag *t)
{
    const QStringList words = value.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.size() < 3)
        return QStringLiteral("takes NAME ADDRESS TYPE [count=N] [interval=MS] [deadband=X] "
                              "[writable]");
    t->tag.name = words[0];
    t->tag.address = words[1];
    QString why = checks::type(words[2], &t->tag.type);
    for (int i = 3; why.isEmpty() && i < words.size(); ++i) {
        const QString option = words[i].section(QLatin1Char('='), 0, 0);
        const QString v = words[i].section(QLatin1Char('='), 1);
        if (words[i] == QLatin1String("writable"))
            t->writable = true;
        else if (option == QLatin1String("count"))
            why = checks::count(v, &t->tag.count);
        else if (option == QLatin1String("interval"))
            why = wholeNumber(v, 1, largestInterval, &t->tag.intervalMs);
        else if (option == QLatin1String("deadband"))
            why = nonNegative(v, &t->deadband);
        else
            why = QStringLiteral("unknown tag option '%1'").arg(words[i]);
    }
    if (why.isEmpty())
        why = tagProblem(t->tag);
    return why;
}

class Reader
{
public:
    Reader(const QString &path, GatewayConfig *config) : path(path), config(config) {}

    bool read(QString *error);

private:
    QString line(const QString &text);
    QString section(const QString &header);
    QString controllerKey(const QString &key, const QString &value);
    QString connectionKey(const QString &value);
    QString tagKey(const QString &value);
    QString tagsKey(const QString &value);
    QString writableKey(const QString &value);
    QString finishController();
    QString check();
    QString passwordFrom(const QString &file);

    QString path;
    GatewayConfig *config;
    ControllerSettings *current = nullptr;
    bool inBroker = false;
    QMap<QString, int> controllerLines;
    QStringList writableNames;
    Fault fault;
};

bool Reader::read(QString *error)
{
    QByteArray text;
    if (const QString why = readBoundedFile(path, largestInputFile, &text); !why.isEmpty()) {
        *error = QStringLiteral("%1: cannot read: %2").arg(path, why);
        return false;
    }
    const QStringList lines = QString::fromUtf8(text).split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size() && fault.why.isEmpty(); ++i) {
        fault.line = i + 1;
        fault.why = line(lines[i].trimmed());
    }
    if (fault.why.isEmpty()) {
        fault.why = finishController();
        if (fault.why.isEmpty())
            fault = {0, QString(), check()};
    }
    if (fault.why.isEmpty())
        return true;
    const QString where = fault.line > 0 ? QStringLiteral("%1:%2").arg(path).arg(fault.line) : path;
    *error = fault.key.isEmpty() ? QStringLiteral("%1: %2").arg(where, fault.why)
                                 : QStringLiteral("%1: %2: %3").arg(where, fault.key, fault.why);
    return false;
}

QString Reader::line(const QString &text)
{
    fault.key.clear();
    if (text.isEmpty() || text.startsWith(QLatin1Char('#')))
        return QString();
    if (text.startsWith(QLatin1Char('[')))
        return section(text);
    const int eq = text.indexOf(QLatin1Char('='));
    if (eq < 1)
        return QStringLiteral("takes KEY = VALUE, [broker] or [controller NAME]");
    fault.key = text.left(eq).trimmed();
    const QString value = text.mid(eq + 1).trimmed();
    if (inBroker) {
        const BrokerKey set = brokerKeys().value(fault.key);
        if (fault.key == QLatin1String("password_file"))
            return passwordFrom(value);
        return set ? set(value, config->broker)
                   : QStringLiteral("no such key in [broker]; keys are %1, password_file")
                         .arg(brokerKeys().keys().join(QStringLiteral(", ")));
    }
    if (!current)
        return QStringLiteral("belongs in a [broker] or [controller NAME] section");
    return controllerKey(fault.key, value);
}

QString Reader::section(const QString &header)
{
    if (!header.endsWith(QLatin1Char(']')))
        return QStringLiteral("a section header ends with ]");
    QString why = finishController();
    if (!why.isEmpty())
        return why;
    const QString inner = header.mid(1, header.size() - 2).trimmed();
    inBroker = inner == QLatin1String("broker");
    if (inBroker)
        return QString();
    if (!inner.startsWith(QLatin1String("controller ")))
        return QStringLiteral("sections are [broker] and [controller NAME], not %1").arg(header);
    const QString name = inner.mid(11).trimmed();
    why = topicName(name);
    if (why.isEmpty() && name == QLatin1String("gateway"))
        why = QStringLiteral("'gateway' names the gateway's own topics");
    if (why.isEmpty() && controllerLines.contains(name))
        why = QStringLiteral("controller %1 is named twice (first on line %2)")
                  .arg(name)
                  .arg(controllerLines.value(name));
    if (!why.isEmpty())
        return why;
    controllerLines.insert(name, fault.line);
    config->controllers.append(ControllerSettings());
    current = &config->controllers.last();
    current->name = name;
    writableNames.clear();
    return QString();
}

QString Reader::controllerKey(const QString &key, const QString &value)
{
    using OwnKey = QString (Reader::*)(const QString &);
    static const QMap<QString, OwnKey> own = {{"connection", &Reader::connectionKey},
                                              {"tag", &Reader::tagKey},
                                              {"tags", &Reader::tagsKey},
                                              {"writable", &Reader::writableKey}};
    if (const OwnKey k = own.value(key))
        return (this->*k)(value);
    if (const ControllerKey set = controllerKeys().value(key))
        return set(value, *current);
    return QStringLiteral("no such key in [controller]; keys are %1, %2")
        .arg(QStringList(own.keys()).join(QStringLiteral(", ")),
             QStringList(controllerKeys().keys()).join(QStringLiteral(", ")));
}

QString Reader::connectionKey(const QString &value)
{
    return checks::connection(value, &current->connection);
}

QString Reader::tagKey(const QString &value)
{
    GatewayTag t;
    const QString why = inlineTag(value, &t);
    current->tags.append(t);
    return why;
}

// A tag list file in the host's forms, found beside this file when its path is relative.
QString Reader::tagsKey(const QString &value)
{
    QString why;
    const QString file = QFileInfo(QFileInfo(path).dir(), value).filePath();
    for (const Tag &tag : loadTagList(file, &why))
        current->tags.append({tag, -1, false});
    return why;
}

// Checked once the section is complete: the names may come before their tags.
QString Reader::writableKey(const QString &value)
{
    writableNames << value.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    return QString();
}

// What a controller's section must hold once it is complete.
QString Reader::finishController()
{
    if (!current)
        return QString();
    ControllerSettings &c = *current;
    current = nullptr;
    // A fault of the section as a whole is told at its header.
    const auto whole = [&](const QString &why) {
        fault.line = controllerLines.value(c.name);
        fault.key.clear();
        return QStringLiteral("controller %1: %2").arg(c.name, why);
    };
    if (c.connection.isEmpty())
        return whole(QStringLiteral("has no connection"));
    if (c.tags.isEmpty())
        return whole(QStringLiteral("has no tags"));
    QSet<QString> names;
    for (GatewayTag &t : c.tags) {
        QString why = topicName(t.tag.name);
        if (why.isEmpty() &&
            (t.tag.name == QLatin1String("status") || t.tag.name == QLatin1String("scan")))
            why = QStringLiteral("'%1' names one of the controller's own topics").arg(t.tag.name);
        if (why.isEmpty() && names.contains(t.tag.name))
            why = QStringLiteral("the tag name %1 is given twice").arg(t.tag.name);
        if (!why.isEmpty())
            return whole(why);
        names.insert(t.tag.name);
        if (t.tag.intervalMs < 0)
            t.tag.intervalMs = c.intervalMs;
        if (t.deadband < 0)
            t.deadband = c.deadband;
        t.writable = t.writable || writableNames.contains(t.tag.name);
    }
    for (const QString &name : qAsConst(writableNames)) {
        if (!names.contains(name))
            return whole(QStringLiteral("writable names %1, which is no tag").arg(name));
    }
    if (c.reconnect.longestBackoffMs < c.reconnect.firstBackoffMs)
        return whole(QStringLiteral("backoff_max is below backoff"));
    return QString();
}

QString Reader::check()
{
    if (config->controllers.isEmpty())
        return QStringLiteral("names no controller");
    const BrokerSettings &b = config->broker;
    if (b.certFile.isEmpty() != b.keyFile.isEmpty())
        return QStringLiteral("[broker]: cert_file and key_file go together");
    if (!b.certFile.isEmpty() && b.caFile.isEmpty())
        return QStringLiteral("[broker]: a client certificate needs ca_file");
    // The session is set up as the run sets it up, without connecting: what it would refuse is
    // refused here.
    const QString why = MqttClient::settingsProblem(b);
    return why.isEmpty() ? QString() : QStringLiteral("[broker]: ") + why;
}

QString Reader::passwordFrom(const QString &file)
{
    QByteArray secret;
    if (const QString why = readBoundedFile(file, largestInputFile, &secret); !why.isEmpty())
        return QStringLiteral("cannot read %1: %2").arg(file, why);
    if (QFileInfo(file).permissions() & (QFileDevice::ReadOther | QFileDevice::WriteOther))
        config->warnings << QStringLiteral("%1:%2: password_file: %3 is readable by every user; "
                                           "chmod 600 it")
                                .arg(path)
                                .arg(fault.line)
                                .arg(file);
    config->broker.password = QString::fromUtf8(secret.left(secret.indexOf('\n'))).trimmed();
    return QString();
}

} // namespace

bool loadGatewayConfig(const QString &path, GatewayConfig *config, QString *error)
{
    *config = GatewayConfig();
    Reader reader(path, config);
    return reader.read(error);
}
