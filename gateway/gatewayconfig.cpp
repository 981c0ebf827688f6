#include "gatewayconfig.h"

#include "arguments.h"
#include "boundedfile.h"
#include "driverlibrary.h"
#include "mqttclient.h"
#include "mqtttopics.h"
#include "recordformat.h"
#include "sparkplugtopics.h"
#include "writevalues.h"

#include "TarvikOutcome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

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

// A size in bytes, or in KiB, MiB or GiB with k, M or G after the number.
QString byteSize(const QString &value, qint64 low, qint64 high, qint64 *out)
{
    static const QRegularExpression form(QStringLiteral("^([0-9]{1,13})([kMG]?)$"));
    const QRegularExpressionMatch m = form.match(value);
    const int shift =
        m.captured(2).isEmpty() ? 0 : 10 * (1 + QStringLiteral("kMG").indexOf(m.captured(2)));
    const qint64 bytes = m.hasMatch() ? m.captured(1).toLongLong() << shift : -1;
    if (bytes < low || bytes > high)
        return QStringLiteral("takes a size from %1k to %2G (bytes, or a number with k, M or G "
                              "after it), not '%3'")
            .arg(low >> 10)
            .arg(high >> 30)
            .arg(value);
    *out = bytes;
    return QString();
}

QString storePlace(const QString &value, BrokerSettings *broker)
{
    broker->storeOn = value != QLatin1String("off");
    broker->storePath = broker->storeOn ? value : QString();
    if (broker->storeOn && !QFileInfo(value).isAbsolute())
        return QStringLiteral("takes an absolute path or off, not '%1'").arg(value);
    return QString();
}

QString protocolVersion(const QString &value, bool *mqtt5)
{
    if (value != QLatin1String("5") && value != QLatin1String("3.1.1"))
        return QStringLiteral("takes 5 or 3.1.1, not '%1'").arg(value);
    *mqtt5 = value == QLatin1String("5");
    return QString();
}

// `output = json`, `sparkplug` or both, in any order.
QString outputForms(const QString &value, BrokerSettings *broker)
{
    broker->jsonOutput = broker->sparkplugOutput = false;
    for (const QString &form :
         value.split(QRegularExpression(QStringLiteral("[ ,]+")), Qt::SkipEmptyParts)) {
        if (form == QLatin1String("json"))
            broker->jsonOutput = true;
        else if (form == QLatin1String("sparkplug"))
            broker->sparkplugOutput = true;
        else
            return QStringLiteral("takes json, sparkplug or both, not '%1'").arg(form);
    }
    if (!broker->jsonOutput && !broker->sparkplugOutput)
        return QStringLiteral("takes json, sparkplug or both");
    return QString();
}

// `metrics = ADDRESS:PORT` (an IPv6 address in brackets), `PORT` alone on 127.0.0.1, or off. An
// address rather than a name: where the figures are open is not left to a resolver.
QString metricsPlace(const QString &value, BrokerSettings *broker)
{
    broker->metricsAddress.clear();
    broker->metricsPort = 0;
    if (value == QLatin1String("off"))
        return QString();
    const int colon = value.lastIndexOf(QLatin1Char(':'));
    QString host = colon < 0 ? QStringLiteral("127.0.0.1") : value.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    else if (host.contains(QLatin1Char(':')))
        host.clear(); // IPv6 without brackets: where its port begins would be a guess
    bool portOk = false;
    const int port = value.mid(colon + 1).toInt(&portOk);
    QHostAddress address;
    if (host.isEmpty() || !address.setAddress(host) || !portOk || port < 1 || port > 65535)
        return QStringLiteral("takes ADDRESS:PORT with an IPv4 or IPv6 address ([::1]:9480), PORT "
                              "alone for 127.0.0.1, or off; not '%1'")
            .arg(value);
    broker->metricsAddress = address.toString();
    broker->metricsPort = port;
    return QString();
}

// The figures are open to whoever reaches the address: beyond this machine only when said so.
QString metricsExposure(const BrokerSettings &broker)
{
    if (broker.metricsPort == 0 || broker.metricsRemote ||
        QHostAddress(broker.metricsAddress).isLoopback())
        return QString();
    return QStringLiteral("%1 is not a loopback address: the metrics would be open to the network; "
                          "metrics_remote = on says that is meant")
        .arg(broker.metricsAddress);
}

QString largeIntegers(const QString &value, bool *asText)
{
    if (value != QLatin1String("number") && value != QLatin1String("text"))
        return QStringLiteral("takes number or text, not '%1'").arg(value);
    *asText = value == QLatin1String("text");
    return QString();
}

// The words of a `tag` line: blanks part them, except within double quotes
// (description="Boiler inlet"), which go.
QString tagWords(const QString &value, QStringList *words)
{
    QString word;
    bool quoted = false, any = false;
    for (const QChar c : value) {
        if (c == QLatin1Char('"'))
            quoted = !quoted, any = true;
        else if (c == QLatin1Char(' ') && !quoted) {
            if (any || !word.isEmpty())
                *words << word;
            word.clear();
            any = false;
        } else
            word += c;
    }
    if (quoted)
        return QStringLiteral("a quote is not closed");
    if (any || !word.isEmpty())
        *words << word;
    return QString();
}

// The options of a `tag` line after NAME ADDRESS TYPE, each with what it sets.
struct TagOption
{
    const char *name;
    const char *form;
    const char *words;
    QString (*set)(const QString &value, GatewayTag &t);
};
const std::array<TagOption, 8> tagOptions = {{
    {"count", "N", "elements, 1 by default",
     [](const QString &v, GatewayTag &t) { return checks::count(v, &t.tag.count); }},
    {"interval", "MS", "this tag's interval",
     [](const QString &v, GatewayTag &t) {
         return wholeNumber(v, 1, largestInterval, &t.tag.intervalMs);
     }},
    {"deadband", "X", "this tag's deadband, in its published units",
     [](const QString &v, GatewayTag &t) { return nonNegative(v, &t.deadband); }},
    {"scale", "X", "published value = raw value x scale + offset",
     [](const QString &v, GatewayTag &t) { return scaleProblem(v, &t.tag.scale); }},
    {"offset", "X", "added after the scale",
     [](const QString &v, GatewayTag &t) { return offsetProblem(v, &t.tag.offset); }},
    {"unit", "TEXT", "the unit of the published value",
     [](const QString &v, GatewayTag &t) { return t.tag.unit = v, unitProblem(v); }},
    {"description", "TEXT", "what the tag is, in words (in double quotes when it holds blanks)",
     [](const QString &v, GatewayTag &t) { return t.tag.description = v, descriptionProblem(v); }},
    {"writable", "", "the tag takes writes",
     [](const QString &v, GatewayTag &t) {
         return v.isNull() ? (t.writable = true, QString())
                           : QStringLiteral("writable takes no value");
     }},
}};

QString tagOptionNames()
{
    QStringList names;
    for (const TagOption &o : tagOptions)
        names << QLatin1String(o.name);
    return names.join(QStringLiteral(", "));
}

// `tag = NAME ADDRESS TYPE [OPTION=VALUE]... [writable]`
QString inlineTag(const QString &value, GatewayTag *t)
{
    QStringList words;
    QString why = tagWords(value, &words);
    if (why.isEmpty() && words.size() < 3)
        why = QStringLiteral("takes NAME ADDRESS TYPE and options: %1").arg(tagOptionNames());
    if (!why.isEmpty())
        return why;
    t->tag.name = words[0];
    t->tag.address = words[1];
    why = checks::type(words[2], &t->tag.type);
    for (int i = 3; why.isEmpty() && i < words.size(); ++i) {
        const int eq = words[i].indexOf(QLatin1Char('='));
        const QString option = eq < 0 ? words[i] : words[i].left(eq);
        const QString v = eq < 0 ? QString() : words[i].mid(eq + 1);
        const auto known =
            std::find_if(tagOptions.begin(), tagOptions.end(),
                         [&](const TagOption &o) { return option == QLatin1String(o.name); });
        why = known != tagOptions.end() ? known->set(v, *t)
                                        : QStringLiteral("unknown tag option '%1'; options are %2")
                                              .arg(words[i], tagOptionNames());
    }
    if (why.isEmpty())
        why = tagProblem(t->tag);
    return why;
}

// The outcome with which a driver without a link refuses the tag for good: a read's result, or a
// write's as a negative number (a writable tag is tried with zeros); 0 when it refuses neither.
int driverRefuses(CDriveBaseClass *driver, const GatewayTag &t)
{
    const DataType type = DataType(t.tag.type);
    const CLabelVariable read = driver->ReadVariable(t.tag.address, type, t.tag.count);
    if (tarvik::refusedForGood(read.result))
        return read.result;
    if (!t.writable)
        return 0;
    QVariant payload;
    const QString zero = type == String ? QString() : QStringLiteral("0");
    if (!writePayload(type, QStringList(QVector<QString>(t.tag.count, zero).toList()), &payload)
             .isEmpty())
        return 0;
    CLabelVariable record;
    record.value = payload;
    record.count = t.tag.count;
    const CLabelVariable written = driver->WriteVariable(t.tag.address, type, record);
    return tarvik::refusedForGood(written.result) ? -written.result : 0;
}

class Reader
{
public:
    Reader(const QString &path, GatewayConfig *config, const DriverLibrary *library)
        : path(path), config(config), library(library)
    {
    }

    bool read(QString *error);

    // A section's keys, each with the form of its value, what it sets, and whether a section may
    // give it more than once.
    struct Key
    {
        const char *name;
        const char *form;
        const char *words;
        bool repeats;
        QString (*set)(Reader &reader, const QString &value);
    };
    static const std::vector<Key> &brokerKeys();
    static const std::vector<Key> &controllerKeys();

private:
    QString line(const QString &text);
    QString section(const QString &header);
    QString keyValue(const std::vector<Key> &keys, const QString &value);
    QString finishController();
    QString tagFault(const GatewayTag &t, const QString &why);
    QString check();
    QString driverRefusal();
    QString passwordFrom(const QString &file);
    QString shared(const QString &text);
    void shareTexts(Tag *tag);
    QVector<GatewayTag> sharedList(const QVector<GatewayTag> &tags);
    BrokerSettings &broker() { return config->broker; }
    ControllerSettings &controller() { return *current; }

    QString path;
    GatewayConfig *config;
    const DriverLibrary *library;
    ControllerSettings *current = nullptr;
    bool inBroker = false;
    int brokerLine = 0;
    int metricsLine = 0;
    QMap<QString, int> controllerLines;
    QMap<QString, int> keyLines; // the keys of the section read so far, at their lines
    QVector<QPair<QString, int>> writableNames;
    Fault fault;
    QSet<QString> texts;                   // each text the tags have given so far, once
    QVector<QVector<GatewayTag>> tagLists; // each controller's list of tags, once
};

const std::vector<Reader::Key> &Reader::brokerKeys()
{
    using R = Reader;
    static const std::vector<Key> keys = {
        {"host", "HOST[:PORT][, HOST[:PORT]...]",
         "the broker, or the nodes of a cluster tried in turn (127.0.0.1)", false,
         [](R &r, const QString &v) {
             QString why;
             r.broker().host = v;
             brokerAddresses(r.broker(), &why);
             return why;
         }},
        {"port", "PORT", "the broker's port (1883)", false,
         [](R &r, const QString &v) { return wholeNumber(v, 1, 65535, &r.broker().port); }},
        {"protocol", "5|3.1.1", "the MQTT version (5)", false,
         [](R &r, const QString &v) { return protocolVersion(v, &r.broker().mqtt5); }},
        {"client_id", "ID", "the session's client id (tarvik-gateway); one gateway per id", false,
         [](R &r, const QString &v) { return r.broker().clientId = v, clientIdProblem(v); }},
        {"username", "NAME", "the user the broker knows", false,
         [](R &r, const QString &v) { return r.broker().username = v, QString(); }},
        {"password", "TEXT", "the user's password", false,
         [](R &r, const QString &v) { return r.broker().password = v, QString(); }},
        {"password_file", "FILE", "the password as the file's first line", false,
         [](R &r, const QString &v) { return r.passwordFrom(v); }},
        {"ca_file", "FILE", "TLS: the CA that signed the broker's certificate", false,
         [](R &r, const QString &v) { return r.broker().caFile = v, readable(v); }},
        {"cert_file", "FILE", "TLS: the gateway's client certificate", false,
         [](R &r, const QString &v) { return r.broker().certFile = v, readable(v); }},
        {"key_file", "FILE", "TLS: the client certificate's key", false,
         [](R &r, const QString &v) { return r.broker().keyFile = v, readable(v); }},
        {"keepalive", "S", "seconds between the session's signs of life (60)", false,
         [](R &r, const QString &v) { return wholeNumber(v, 5, 65535, &r.broker().keepaliveS); }},
        {"qos", "0|1|2", "of every message and subscription (1)", false,
         [](R &r, const QString &v) { return wholeNumber(v, 0, 2, &r.broker().qos); }},
        {"prefix", "LEVEL[/LEVEL...]", "the first topic levels (tarvik)", false,
         [](R &r, const QString &v) { return r.broker().prefix = v, mqttjson::prefixProblem(v); }},
        {"stats_interval", "S", "seconds between PREFIX/gateway/stats (10)", false,
         [](R &r, const QString &v) {
             return wholeNumber(v, 1, 86400, &r.broker().statsIntervalS);
         }},
        {"queue_limit", "N",
         "messages held while the broker is away or slow, besides the latest of each retained "
         "topic (10000)",
         false,
         [](R &r, const QString &v) {
             return wholeNumber(v, 10, 10000000, &r.broker().queueLimit);
         }},
        {"store", "PATH|off",
         "the file that keeps values the broker could not take, until they are delivered as "
         "history (STATE_DIRECTORY/history-CLIENT_ID.sqlite)",
         false, [](R &r, const QString &v) { return storePlace(v, &r.broker()); }},
        {"store_size", "BYTES[k|M|G]",
         "the store's cap; past it the oldest history gives way (256M)", false,
         [](R &r, const QString &v) {
             return byteSize(v, 64LL << 10, 1LL << 40, &r.broker().storeCapBytes);
         }},
        {"history_rate", "N", "values of history delivered per second at most (100000)", false,
         [](R &r, const QString &v) {
             return wholeNumber(v, 100, 10000000, &r.broker().historyRate);
         }},
        {"large_integers", "number|text",
         "integers beyond 2^53 as JSON numbers, or as strings for consumers that read numbers as "
         "doubles (number)",
         false,
         [](R &r, const QString &v) { return largeIntegers(v, &r.broker().largeIntegersAsText); }},
        {"standby", "on|off",
         "two gateways of this configuration, one reading the controllers, the other ready to "
         "take over (off)",
         false, [](R &r, const QString &v) { return onOff(v, &r.broker().standby); }},
        {"output", "json|sparkplug|json, sparkplug",
         "the JSON topics under the prefix, a Sparkplug B edge node, or both (json)", false,
         [](R &r, const QString &v) { return outputForms(v, &r.broker()); }},
        {"sparkplug_group", "GROUP", "the Sparkplug group id (needed for output = sparkplug)",
         false,
         [](R &r, const QString &v) {
             return r.broker().sparkplugGroup = v, sparkplug::idProblem(v);
         }},
        {"sparkplug_node", "NODE", "the Sparkplug edge node id (needed for output = sparkplug)",
         false,
         [](R &r, const QString &v) {
             return r.broker().sparkplugNode = v, sparkplug::idProblem(v);
         }},
        {"sparkplug_host", "HOST_ID",
         "a primary host: births wait for its STATE to say online (none)", false,
         [](R &r, const QString &v) {
             return r.broker().sparkplugHost = v, sparkplug::idProblem(v);
         }},
        {"metrics", "ADDRESS:PORT|PORT|off",
         "HTTP GET /metrics with the gateway's figures for a scraper; a loopback address unless "
         "metrics_remote is on, PORT alone for 127.0.0.1 (off)",
         false,
         [](R &r, const QString &v) {
             r.metricsLine = r.fault.line;
             return metricsPlace(v, &r.broker());
         }},
        {"metrics_remote", "on|off",
         "let metrics listen on an address other than loopback, open to the network (off)", false,
         [](R &r, const QString &v) { return onOff(v, &r.broker().metricsRemote); }},
    };
    return keys;
}

const std::vector<Reader::Key> &Reader::controllerKeys()
{
    using R = Reader;
    static const std::vector<Key> keys = {
        {"connection", "ADDRESS:PORT|PORT,BAUD,DATABITS,STOPBITS", "the controller's link", false,
         [](R &r, const QString &v) { return checks::connection(v, &r.controller().connection); }},
        {"tag", "NAME ADDRESS TYPE [OPTION=VALUE]... [writable]",
         "a tag, with the options of a tag line below; repeatable", true,
         [](R &r, const QString &v) {
             GatewayTag t;
             t.line = r.fault.line;
             const QString why = inlineTag(v, &t);
             r.controller().tags.append(t);
             return why;
         }},
        {"tags", "FILE", "a tag list in the CSV or JSON form of tarvik-host --tags", true,
         [](R &r, const QString &v) {
             // Found beside this file when its path is relative.
             QString why;
             const QString file = QFileInfo(QFileInfo(r.path).dir(), v).filePath();
             for (const Tag &tag : loadTagList(file, &why))
                 r.controller().tags.append({tag, -1, false, r.fault.line});
             return why;
         }},
        {"writable", "NAME...", "tags that take writes", true,
         [](R &r, const QString &v) {
             // Checked once the section is complete: the names may come before their tags.
             for (const QString &name : v.split(QLatin1Char(' '), Qt::SkipEmptyParts))
                 r.writableNames.append({name, r.fault.line});
             return QString();
         }},
        {"interval", "MS", "for tags that give none (1000)", false,
         [](R &r, const QString &v) {
             return wholeNumber(v, 1, largestInterval, &r.controller().intervalMs);
         }},
        {"deadband", "X",
         "for tags that give none: a value is published when an element moves by more (0)", false,
         [](R &r, const QString &v) { return nonNegative(v, &r.controller().deadband); }},
        {"max_age", "S", "an unchanged value is published again at least this often (60)", false,
         [](R &r, const QString &v) { return wholeNumber(v, 1, 604800, &r.controller().maxAgeS); }},
        {"tag_messages", "on|off", "one message per tag (on)", false,
         [](R &r, const QString &v) { return onOff(v, &r.controller().tagMessages); }},
        {"scan_messages", "on|off", "one message per scan (off)", false,
         [](R &r, const QString &v) { return onOff(v, &r.controller().scanMessages); }},
        {"merge", "on|off", "neighbouring tags in one request (on)", false,
         [](R &r, const QString &v) { return onOff(v, &r.controller().merge.merge); }},
        {"gap", "N", "at most so many unread elements between merged tags (16)", false,
         [](R &r, const QString &v) {
             return wholeNumber(v, 0, 1467, &r.controller().merge.gapFill);
         }},
        {"reconnect", "on|off", "drop and connect the link again after failed reads (on)", false,
         [](R &r, const QString &v) { return onOff(v, &r.controller().reconnect.enabled); }},
        {"failures", "N", "failed reads in a row that drop the link (3)", false,
         [](R &r, const QString &v) {
             return wholeNumber(v, 1, 1000, &r.controller().reconnect.failuresInRow);
         }},
        {"backoff", "MS", "before the first connect attempt, doubling (500)", false,
         [](R &r, const QString &v) {
             return wholeNumber(v, 10, 3600000, &r.controller().reconnect.firstBackoffMs);
         }},
        {"backoff_max", "MS", "the cap of the doubling (30000)", false,
         [](R &r, const QString &v) {
             return wholeNumber(v, 10, 3600000, &r.controller().reconnect.longestBackoffMs);
         }},
    };
    return keys;
}

QString keyNames(const std::vector<Reader::Key> &keys)
{
    QStringList names;
    for (const Reader::Key &k : keys)
        names << QLatin1String(k.name);
    return names.join(QStringLiteral(", "));
}

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
    if (fault.why.isEmpty())
        fault.why = finishController();
    if (fault.why.isEmpty()) {
        fault = Fault();
        fault.why = check(); // which may name a line
    }
    if (fault.why.isEmpty())
        fault.why = driverRefusal();
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
    if (inBroker)
        return keyValue(brokerKeys(), value);
    if (!current)
        return QStringLiteral("belongs in a [broker] or [controller NAME] section");
    return keyValue(controllerKeys(), value);
}

QString Reader::keyValue(const std::vector<Key> &keys, const QString &value)
{
    const auto key = std::find_if(keys.begin(), keys.end(),
                                  [&](const Key &k) { return fault.key == QLatin1String(k.name); });
    if (key == keys.end())
        return QStringLiteral("no such key in [%1]; keys are %2")
            .arg(inBroker ? QStringLiteral("broker") : QStringLiteral("controller"),
                 keyNames(keys));
    // A second value would silently win over the first: which one was meant is not for the
    // gateway to guess.
    if (!key->repeats && keyLines.contains(fault.key))
        return QStringLiteral("is given twice in this section (first on line %1)")
            .arg(keyLines.value(fault.key));
    keyLines.insert(fault.key, fault.line);
    return key->set(*this, value);
}

QString Reader::section(const QString &header)
{
    if (!header.endsWith(QLatin1Char(']')))
        return QStringLiteral("a section header ends with ]");
    QString why = finishController();
    if (!why.isEmpty())
        return why;
    const QString inner = header.mid(1, header.size() - 2).trimmed();
    if (inner == QLatin1String("broker") && brokerLine > 0)
        return QStringLiteral("[broker] is given twice (first on line %1)").arg(brokerLine);
    keyLines.clear();
    inBroker = inner == QLatin1String("broker");
    if (inBroker) {
        brokerLine = fault.line;
        return QString();
    }
    if (!inner.startsWith(QLatin1String("controller ")))
        return QStringLiteral("sections are [broker] and [controller NAME], not %1").arg(header);
    const QString name = inner.mid(11).trimmed();
    why = mqttjson::controllerNameProblem(name);
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

// A tag's fault is told at the line that gave the tag.
QString Reader::tagFault(const GatewayTag &t, const QString &why)
{
    fault.line = t.line;
    fault.key = QStringLiteral("tag %1").arg(t.tag.name);
    return why;
}

// What a controller's section must hold once it is complete.
// The copy of an equal text given before, or this one, kept for the next.
QString Reader::shared(const QString &text)
{
    const auto given = texts.constFind(text);
    if (given != texts.constEnd())
        return *given;
    texts.insert(text);
    return text;
}

// Controllers of one kind give the same addresses, and often the same names, units and
// descriptions: each text is held once for all of them, not once per controller (a hundred
// controllers of 1,000 tags would hold 100,000 names and addresses for the 2,000 they give).
void Reader::shareTexts(Tag *tag)
{
    tag->name = shared(tag->name);
    tag->address = shared(tag->address);
    tag->unit = shared(tag->unit);
    tag->description = shared(tag->description);
}

namespace {

// Equal as the gateway uses them: where in the file each was given does not count.
bool sameTags(const QVector<GatewayTag> &a, const QVector<GatewayTag> &b)
{
    return std::equal(
        a.begin(), a.end(), b.begin(), b.end(), [](const GatewayTag &x, const GatewayTag &y) {
            const Tag &s = x.tag, &t = y.tag;
            return s.name == t.name && s.address == t.address && s.type == t.type &&
                   s.count == t.count && s.intervalMs == t.intervalMs && s.unit == t.unit &&
                   s.description == t.description && s.scale == t.scale && s.offset == t.offset &&
                   x.deadband == y.deadband && x.writable == y.writable;
        });
}

} // namespace

// Controllers of one kind often have the same tags (a hundred machines alike): an equal list is
// held once for all of them. It is read only once loaded, so none of them ever copies it.
QVector<GatewayTag> Reader::sharedList(const QVector<GatewayTag> &tags)
{
    for (const QVector<GatewayTag> &given : qAsConst(tagLists)) {
        if (sameTags(given, tags))
            return given;
    }
    tagLists.append(tags);
    return tags;
}

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
    // The list is kept as long as the gateway runs: without the room its growth left.
    c.tags.squeeze();
    QMap<QString, int> names;
    for (GatewayTag &t : c.tags) {
        QString why = mqttjson::tagNameProblem(t.tag.name);
        if (why.isEmpty() && names.contains(t.tag.name))
            why = QStringLiteral("the tag name is given twice (first on line %1)")
                      .arg(names.value(t.tag.name));
        if (!why.isEmpty())
            return tagFault(t, why);
        names.insert(t.tag.name, t.line);
        shareTexts(&t.tag);
        if (t.tag.intervalMs < 0)
            t.tag.intervalMs = c.intervalMs;
        if (t.deadband < 0)
            t.deadband = c.deadband;
    }
    for (const QPair<QString, int> &named : qAsConst(writableNames)) {
        auto tag = std::find_if(c.tags.begin(), c.tags.end(),
                                [&](const GatewayTag &t) { return t.tag.name == named.first; });
        if (tag == c.tags.end()) {
            fault.line = named.second;
            fault.key = QStringLiteral("writable");
            return QStringLiteral("names %1, which is no tag of controller %2")
                .arg(named.first, c.name);
        }
        tag->writable = true;
    }
    if (c.reconnect.longestBackoffMs < c.reconnect.firstBackoffMs) {
        fault.line = qMax(keyLines.value(QStringLiteral("backoff")),
                          keyLines.value(QStringLiteral("backoff_max")));
        fault.key.clear();
        return QStringLiteral("backoff_max is below backoff");
    }
    c.tags = sharedList(c.tags);
    return QString();
}

QString Reader::check()
{
    if (config->controllers.isEmpty())
        return QStringLiteral("names no controller");
    const BrokerSettings &b = config->broker;
    for (ControllerSettings &c : config->controllers)
        c.largeIntegersAsText = b.largeIntegersAsText;
    if (b.certFile.isEmpty() != b.keyFile.isEmpty())
        return QStringLiteral("[broker]: cert_file and key_file go together");
    if (!b.certFile.isEmpty() && b.caFile.isEmpty())
        return QStringLiteral("[broker]: a client certificate needs ca_file");
    // A session has one will: beside a Sparkplug node's, the gateway's status can only expire.
    if (!b.mqtt5 && b.jsonOutput && b.sparkplugOutput)
        return QStringLiteral("[broker]: output = json, sparkplug needs protocol = 5: the will is "
                              "the node's death, and the gateway's status then ends by expiring, "
                              "which MQTT 3.1.1 cannot");
    if (b.standby && (!b.jsonOutput || b.sparkplugOutput))
        return QStringLiteral("[broker]: standby = on takes output = json: a standby watches the "
                              "active gateway's status, which the JSON form's will ends");
    if (b.sparkplugOutput && (b.sparkplugGroup.isEmpty() || b.sparkplugNode.isEmpty()))
        return QStringLiteral("[broker]: output = sparkplug needs sparkplug_group and "
                              "sparkplug_node");
    // Told at the metrics line: metrics_remote may come before it or after.
    if (const QString why = metricsExposure(b); !why.isEmpty()) {
        fault.line = metricsLine;
        fault.key = QStringLiteral("metrics");
        return why;
    }
    // The session is set up as the run sets it up, without connecting: what it would refuse is
    // refused here.
    const QString why = MqttClient::settingsProblem(b);
    return why.isEmpty() ? QString() : QStringLiteral("[broker]: ") + why;
}

// Each tag is put to a driver that has no link, as the run puts it to a connected one: the
// driver refuses a tag it will never read (or write) before it sends anything, and says so with
// the same outcome every time; a link that is not open is all the others hear.
QString Reader::driverRefusal()
{
    if (!library)
        return QString();
    CDriveBaseClass *driver = library->create();
    if (!driver)
        return QStringLiteral("the driver library made no driver");
    QString why;
    for (const ControllerSettings &c : qAsConst(config->controllers)) {
        for (const GatewayTag &t : c.tags) {
            const int refused = driverRefuses(driver, t);
            if (refused != 0) {
                why = tagFault(t, QStringLiteral("the driver refuses %1 %2 as %3 of %4: result %5 "
                                                 "(%6)")
                                      .arg(refused < 0 ? QStringLiteral("writes to")
                                                       : QStringLiteral("reads of"),
                                           t.tag.address, recordformat::typeName(t.tag.type))
                                      .arg(t.tag.count)
                                      .arg(std::abs(refused))
                                      .arg(recordformat::outcomeWords(std::abs(refused))));
                break;
            }
        }
        if (!why.isEmpty())
            break;
    }
    DriverLibrary::dispose(driver);
    return why;
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

bool loadGatewayConfig(const QString &path, GatewayConfig *config, QString *error,
                       const DriverLibrary *library)
{
    *config = GatewayConfig();
    Reader reader(path, config, library);
    return reader.read(error);
}

QVector<ConfigurationKey> configurationKeys()
{
    QVector<ConfigurationKey> keys;
    for (const Reader::Key &k : Reader::brokerKeys())
        keys.append({QStringLiteral("broker"), QLatin1String(k.name), QLatin1String(k.form),
                     QLatin1String(k.words)});
    for (const Reader::Key &k : Reader::controllerKeys())
        keys.append({QStringLiteral("controller NAME"), QLatin1String(k.name),
                     QLatin1String(k.form), QLatin1String(k.words)});
    for (const TagOption &o : tagOptions)
        keys.append({QStringLiteral("tag option"), QLatin1String(o.name), QLatin1String(o.form),
                     QLatin1String(o.words)});
    return keys;
}
