#include "brokerprocess.h"
#include "scrape.h"
#include "simprocess.h"
#include "sparkplugtext.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <functional>

#include <sys/stat.h>

// The gateway as a service runs: against a real mosquitto broker and the simulator, checked by
// what subscribers receive.
class GatewayTest : public QObject
{
    Q_OBJECT

private slots:
    void checkOnly_data();
    void checkOnly();
    void valuesRetainedDeadbandMaxAge();
    void mergedAndSingleAgree();
    void scanMessagesAndStats();
    void writes_data();
    void writes();
    void retainedWriteIgnored();
    void writeFloodRefused();
    void silentControllerAlone();
    void serialHangUpAndBack();
    void brokerRestarted();
    void stalledBrokerGetsLatest();
    void historyAcrossOutage();
    void historyKeptAcrossKill();
    void storeCapDropsOldest();
    void sessionTakenOver();
    void nothingFreshAfterKill();
    void reloadAndStop();
    void reloadToAnotherBroker();
    void tls();
    void describedTags();
    void logLevelsAndEpisodes();
    void brokerNodeLost();
    void standbyTakesOver();
    void sparkplugBirthsAndData();
    void sparkplugCommands();
    void sparkplugDeathsAndHistory();
    void metricsEndpoint();
    void metricsPortTaken();
};

namespace {

// The gateway process with a configuration file of its own.
class GatewayRun
{
public:
    GatewayRun()
    {
        process.setProcessChannelMode(QProcess::SeparateChannels);
        // Its store goes where a service's would, in a folder of its own.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("STATE_DIRECTORY"), dir.path());
        process.setProcessEnvironment(env);
    }
    ~GatewayRun()
    {
        process.kill();
        process.waitForFinished(3000);
    }

    QString configure(const QByteArray &text)
    {
        QFile f(dir.filePath(QStringLiteral("gateway.conf")));
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(text);
        return f.fileName();
    }
    bool start(const QByteArray &config)
    {
        process.start(QStringLiteral(TARVIK_GATEWAY_PATH), {configure(config)});
        return process.waitForStarted(3000);
    }
    // Only ever to the gateway: a process that is gone has no id, and kill(0) would reach the
    // whole process group.
    void signal(int number)
    {
        if (process.processId() > 0)
            ::kill(pid_t(process.processId()), number);
    }
    // Waits for a log line matching the expression.
    bool logged(const QString &expression, int timeoutMs)
    {
        const QRegularExpression re(expression);
        QDeadlineTimer deadline(timeoutMs);
        while (!re.match(log).hasMatch()) {
            if (deadline.hasExpired())
                return false;
            process.waitForReadyRead(50);
            log += QString::fromUtf8(process.readAllStandardError());
        }
        return true;
    }

    QProcess process;
    QTemporaryDir dir;
    QString log;
};

QByteArray broker(quint16 port, const QByteArray &more = {})
{
    return "[broker]\nport = " + QByteArray::number(port) + "\nprefix = t\nclient_id = gw-test\n" +
           (TestBroker::mqtt5() ? "" : "protocol = 3.1.1\n") + more;
}

// A line of a file broker() begins, after its own lines: a 3.1.1 run adds one.
QString confLine(int line)
{
    return QString::number(line + (TestBroker::mqtt5() ? 0 : 1));
}

// A subscriber's session the broker keeps while it is away (MQTT 5 needs an expiry for it).
QStringList historianSession()
{
    return QStringList{"-c", "-i", "historian", "-q", "1"} +
           (TestBroker::mqtt5() ? QStringList{"-x", "600"} : QStringList());
}

// A test of what only MQTT 5 carries is left out in a 3.1.1 run.
#define NEEDS_MQTT5(what)                                                                          \
    if (!TestBroker::mqtt5())                                                                      \
    QSKIP(what " needs MQTT 5")

QByteArray controller(const QString &name, const QString &connection, const QByteArray &body)
{
    return "\n[controller " + name.toUtf8() + "]\nconnection = " + connection.toUtf8() + "\n" +
           body;
}

// The value part of a tag message line "TOPIC RETAIN CORRELATION PAYLOAD".
QString valueOf(const QString &line)
{
    return QRegularExpression(QStringLiteral("\"value\":(.*),\"ts\"")).match(line).captured(1);
}

// `input`: the messages, a line each, for "-l".
bool mosquittoPub(quint16 port, const QStringList &args, const QByteArray &input = {})
{
    QProcess pub;
    pub.start(QStringLiteral("mosquitto_pub"),
              TestBroker::versionArguments() +
                  QStringList{"-h", "127.0.0.1", "-p", QString::number(port)} + args);
    if (!input.isEmpty() && pub.waitForStarted(3000)) {
        pub.write(input);
        pub.closeWriteChannel();
    }
    if (!pub.waitForFinished(30000)) {
        pub.kill();
        pub.waitForFinished(3000);
        return false;
    }
    return pub.exitStatus() == QProcess::NormalExit && pub.exitCode() == 0;
}

// Tags t1..tN on the first AI points, read every intervalMs.
QByteArray aiTags(int count, int intervalMs)
{
    QByteArray lines = "interval = " + QByteArray::number(intervalMs) + '\n';
    for (int i = 1; i <= count; ++i)
        lines += QStringLiteral("tag = t%1 AI%1 Int16\n").arg(i).toUtf8();
    return lines;
}

// Puts the values into the first AI points: a tag of Int16 is the first two bytes of a four-byte
// point.
bool pokeAi(SimProcess &sim, const QVector<int> &values)
{
    QByteArray points;
    for (const int v : values)
        points += QByteArray(1, char(v & 0xff)) + char((v >> 8) & 0xff) + QByteArray(2, '\0');
    return sim.control(QStringLiteral("poke AI 0 ") + QString::fromLatin1(points.toHex())) ==
           QLatin1String("ok");
}

// Pokes the values and waits until the gateway has read them: the simulator has had a scan under
// way at the poke, whole scans of `perScan` requests after it, and one request more.
bool pokeAndRead(SimProcess &sim, const QVector<int> &values, int perScan = 1)
{
    if (!pokeAi(sim, values))
        return false;
    const int read = sim.requestsSeen() + 2 * perScan + 1;
    QDeadlineTimer deadline(30000);
    while (sim.requestsSeen() < read && !deadline.hasExpired())
        QThread::msleep(20);
    return !deadline.hasExpired();
}

// A tag's values in the history messages among the lines, in the order they came.
QStringList historyValues(const QStringList &lines, const QString &tag)
{
    QStringList values;
    for (const QString &line : lines) {
        if (!line.startsWith(QLatin1String("t/c/history ")))
            continue;
        const QJsonDocument doc =
            QJsonDocument::fromJson(line.section(QLatin1Char(' '), 3).toUtf8());
        for (const QJsonValue &record : doc.array()) {
            if (record[QLatin1String("tag")].toString() == tag)
                values << record[QLatin1String("value")].toVariant().toString();
        }
    }
    return values;
}

// A tag's history from the outage on: a value read before the broker went that was not yet
// acknowledged then comes as history too (QoS 1 is "at least once"), and only such a value may
// stand before the outage's first.
QStringList outageHistory(const QStringList &lines, const QString &tag, const QString &before)
{
    QStringList values = historyValues(lines, tag);
    while (!values.isEmpty() && values.first() == before)
        values.removeFirst();
    return values;
}

QStringList counting(int from, int to)
{
    QStringList numbers;
    for (int n = from; n <= to; ++n)
        numbers << QString::number(n);
    return numbers;
}

// ---- The Sparkplug node, as a consumer decodes it: with protoc, from the schema alone.

// Each message a line "TOPIC HEX", for payloads that are not text.
const QStringList hexPayloads{"-F", "%t %x"};

QByteArray sparkplugBroker(quint16 port, const QByteArray &more = {})
{
    return broker(port, "output = sparkplug\nsparkplug_group = g\nsparkplug_node = n\n" + more);
}

// Tags of five types on the simulator's pattern; a and f take writes.
const QByteArray sparkplugTags = "interval = 100\ntag = a AI1 Int16 writable\ntag = big LA2 Int64\n"
                                 "tag = p DI1 Bool count=4\ntag = f AO1 Float writable\n"
                                 "tag = s SI1 String\n";

// A program the tests read the gateway's output with: "" under a cross build's emulation when the
// build machine lacks it (the test is then skipped); natively its absence ends the run, naming the
// package to install.
QString neededTool(const QString &path, const char *program, const char *package)
{
#ifndef TARVIK_CROSS_TEST
    if (path.isEmpty())
        qFatal("%s is missing: install %s", program, package);
#else
    Q_UNUSED(program)
    Q_UNUSED(package)
#endif
    return path;
}

QString protocOrSkip()
{
    return neededTool(protocPath(), "protoc", "protobuf-compiler");
}

// The payload of a subscriber's line, decoded.
QByteArray decodedLine(const QString &protoc, const QString &line)
{
    return decodedText(protoc, QByteArray::fromHex(line.section(QLatin1Char(' '), 1).toLatin1()));
}

// The metric of a decoded payload whose own field `key` reads `value`; "" if none.
QString metricWhere(const QByteArray &text, const QString &key, const QString &value)
{
    for (const QString &m : metricsOf(text)) {
        if (fieldOf(m, key) == value)
            return m;
    }
    return QString();
}

// Each tag's first value as `tarvik-host read` gives it.
QMap<QString, QString> hostRead(const QString &connection, const QByteArray &csv)
{
    QTemporaryDir dir;
    QFile tags(dir.filePath(QStringLiteral("tags.csv")));
    if (!tags.open(QIODevice::WriteOnly) || tags.write(csv) != csv.size())
        return {};
    tags.close();
    QProcess host;
    host.start(QStringLiteral(TARVIK_HOST_PATH),
               {"read", "--tags", tags.fileName(), "--connect", connection, "--json"});
    if (!host.waitForFinished(30000))
        return {};
    QMap<QString, QString> values;
    for (const QByteArray &line : host.readAllStandardOutput().split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        const QJsonValue first = o.value(QStringLiteral("values")).toArray().first();
        // 64-bit integers keep every digit only in the text.
        const QString text = QRegularExpression(QStringLiteral("\"values\":\\[([^],]*)"))
                                 .match(QString::fromUtf8(line))
                                 .captured(1);
        values.insert(o.value(QStringLiteral("tag")).toString(),
                      first.isString() ? first.toString() : text);
    }
    return values;
}

// A value as protoc shows the field of its datatype: integers in the unsigned field's two's
// complement, texts quoted.
QString protocValue(int datatype, const QString &text)
{
    switch (datatype) {
    case 2:
        return QString::number(quint32(qint32(text.toInt())));
    case 4:
        return QString::number(quint64(text.toLongLong()));
    case 12:
        return QLatin1Char('"') + text + QLatin1Char('"');
    }
    return text;
}

// The seq of every node message from the first NBIRTH on, deaths aside (they carry none).
QVector<int> sparkplugSeqs(const QString &protoc, const QStringList &lines)
{
    QVector<int> seqs;
    for (const QString &line : lines) {
        if (seqs.isEmpty() && !line.startsWith(QLatin1String("spBv1.0/g/NBIRTH/")))
            continue;
        if (line.startsWith(QLatin1String("spBv1.0/g/")) && !line.contains(QLatin1String("DEATH")))
            seqs << fieldOf(QString::fromUtf8(decodedLine(protoc, line)), QStringLiteral("seq"))
                        .toInt();
    }
    return seqs;
}

// The first metric with the alias in the device's data from line `from` on; "" if none comes.
QString dataMetric(SubscriberProcess &sub, const QString &protoc, const QString &alias, int from)
{
    const QDeadlineTimer deadline(15000);
    for (int at = from; !deadline.hasExpired();) {
        const QString line =
            sub.waitFor(QStringLiteral("^spBv1.0/g/DDATA/n/c "), int(deadline.remainingTime()), at);
        if (line.isEmpty())
            return QString();
        at = int(sub.lines().indexOf(line, at)) + 1;
        const QString m = metricWhere(decodedLine(protoc, line), QStringLiteral("alias"), alias);
        if (!m.isEmpty())
            return m;
    }
    return QString();
}

// A node on a broker of its own, reading the simulator's pattern (tags of controller c), with a
// subscriber to what it says; its births as protoc decodes them.
class SparkplugRun
{
public:
    SparkplugRun() : protoc(protocOrSkip()) {}

    // False when a part does not start or the births do not come. The subscriber's pattern names
    // what it sees (the node's births only with spBv1.0/#).
    bool start(const QByteArray &tags, const QString &pattern = QStringLiteral("spBv1.0/#"),
               const QStringList &options = hexPayloads)
    {
        if (!mqtt.start() || !sim.start({QStringLiteral("--pattern")}) ||
            !sub.start(mqtt.port(), pattern, options) ||
            !gw.start(sparkplugBroker(mqtt.port()) +
                      controller("c", sim.udpConnectionString(), tags)))
            return false;
        if (pattern == QLatin1String("spBv1.0/#"))
            nbirth =
                decodedLine(protoc, sub.waitFor(QStringLiteral("^spBv1.0/g/NBIRTH/n "), 15000));
        dbirth = decodedLine(protoc, sub.waitFor(QStringLiteral("^spBv1.0/g/DBIRTH/n/c "), 15000));
        return !metricsOf(dbirth).isEmpty();
    }
    // A metric of the births, by its name.
    QString born(const QByteArray &birth, const char *name) const
    {
        return metricWhere(birth, QStringLiteral("name"),
                           QLatin1Char('"') + QLatin1String(name) + QLatin1Char('"'));
    }
    QString aliasOf(const char *tag) const { return fieldOf(born(dbirth, tag), "alias"); }
    QString bdSeqOf(const QByteArray &text) const
    {
        return fieldOf(born(text, "bdSeq"), QStringLiteral("long_value"));
    }

    const QString protoc;
    BrokerProcess mqtt;
    SimProcess sim;
    SubscriberProcess sub;
    GatewayRun gw;
    QByteArray nbirth, dbirth;
};

// Every Sparkplug topic begins spBv1.0, and nats-server's MQTT takes no '.' in a topic.
#define SKIP_WITHOUT_SPARKPLUG(run)                                                                \
    if (TestBroker::nats())                                                                        \
        QSKIP("nats-server takes no '.' in an MQTT topic, and Sparkplug's begin spBv1.0");         \
    if ((run).protoc.isEmpty())                                                                    \
    QSKIP("protoc (package protobuf-compiler) is not on the build machine")

bool publishPayload(quint16 port, const QString &topic, const QString &protoc,
                    const QByteArray &text)
{
    QTemporaryDir dir;
    QFile f(dir.filePath(QStringLiteral("payload")));
    const QByteArray bytes = encodedText(protoc, text);
    if (bytes.startsWith("protoc") || !f.open(QIODevice::WriteOnly) ||
        f.write(bytes) != bytes.size())
        return false;
    f.close();
    return mosquittoPub(port, {"-t", topic, "-q", "1", "-f", f.fileName()});
}

// ---- The metrics endpoint, as a scraper reads it.

const QByteArray scrapeRequest = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

QString promtoolOrSkip()
{
    return neededTool(promtoolPath(), "promtool", "prometheus");
}

// Starts the gateway with the configuration made for its metrics port, a free one, and tries
// another should it be taken before the gateway binds it. The port, or 0.
quint16 startWithMetrics(GatewayRun &gw, const std::function<QByteArray(quint16)> &config)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        const quint16 port = freeLoopbackPort();
        if (!gw.start(config(port)))
            return 0;
        if (gw.logged(QStringLiteral("metrics: http://127.0.0.1:%1/metrics").arg(port), 10000))
            return port;
        gw.process.waitForFinished(5000);
    }
    return 0;
}

// The endpoint's answer once it holds `expected`; "" when it does not within 15 s.
QByteArray scrapeUntil(quint16 port, const QByteArray &expected)
{
    const QDeadlineTimer deadline(15000);
    while (!deadline.hasExpired()) {
        bool closed = false;
        const QByteArray answer = httpExchange(port, scrapeRequest, 5000, &closed);
        if (closed && answer.contains(expected))
            return answer;
        QThread::msleep(100);
    }
    return QByteArray();
}

} // namespace

void GatewayTest::checkOnly_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("output");
    QTest::newRow("good") << broker(1883) + controller("c", "127.0.0.1:700", "tag = a AI1 Int16\n")
                          << 0 << "good: 1 controllers, 1 tags";
    QTest::newRow("bad line") << broker(1883) + controller("c", "127.0.0.1:700", "tag = a AI1\n")
                              << 2
                              << "gateway.conf:" + confLine(8) + ": tag: takes NAME ADDRESS TYPE";
    // What the start would refuse, --check refuses; a file that is no regular file is never read.
    QTest::newRow("empty client_id") << broker(1883).replace("client_id = gw-test", "client_id =") +
                                            controller("c", "127.0.0.1:700", "tag = a AI1 Int16\n")
                                     << 2 << "gateway.conf:4: client_id: takes 1 to 65535 bytes";
    QTest::newRow("tags from a FIFO")
        << broker(1883) + controller("c", "127.0.0.1:700", "tags = fifo\n") << 2 << "regular file";
    QTest::newRow("tags from /dev/zero")
        << broker(1883) + controller("c", "127.0.0.1:700", "tags = /dev/zero\n") << 2
        << "regular file";
    // The driver's own rules, at the tag's line, and a key given twice.
    QTest::newRow("a tag the driver refuses")
        << broker(1883) +
               controller("c", "127.0.0.1:700", "tag = a AI1 Int16\ntag = big LW5000000 Int64\n")
        << 2
        << "<3>" + QStringLiteral("%1") + "gateway.conf:" + confLine(9) +
               ": tag big: the driver refuses reads";
    QTest::newRow("a key given twice")
        << broker(1883) + controller("c", "127.0.0.1:700",
                                     "interval = 100\ntag = a AI1 Int16\ninterval = 200\n")
        << 2
        << "gateway.conf:" + confLine(10) +
               ": interval: is given twice in this section (first on line " + confLine(8) + ")";
    QTest::newRow("metrics open to the network")
        << broker(1883, "metrics = 0.0.0.0:9480\n") +
               controller("c", "127.0.0.1:700", "tag = a AI1 Int16\n")
        << 2 << "gateway.conf:" + confLine(5) + ": metrics: 0.0.0.0 is not a loopback address";
}

void GatewayTest::checkOnly()
{
    QFETCH(QByteArray, config);
    QFETCH(int, status);
    QFETCH(QString, output);
    GatewayRun gw;
    QVERIFY(::mkfifo(QFile::encodeName(gw.dir.filePath(QStringLiteral("fifo"))).constData(),
                     0600) == 0);
    gw.process.start(QStringLiteral(TARVIK_GATEWAY_PATH),
                     {QStringLiteral("--check"), gw.configure(config)});
    QVERIFY(gw.process.waitForFinished(15000));
    QCOMPARE(gw.process.exitCode(), status);
    const QString all = QString::fromUtf8(gw.process.readAll() + gw.process.readAllStandardError());
    // An error line carries its level, before the file's path.
    const QString path = gw.dir.path() + QLatin1Char('/');
    QVERIFY2(all.contains(output.contains(QLatin1String("%1")) ? output.arg(path) : output),
             qPrintable(all));
}

// Values arrive retained, every digit kept; a move within the deadband is not published, one
// beyond it is; an unchanged value comes again after the max-age.
void GatewayTest::valuesRetainedDeadbandMaxAge()
{
    BrokerProcess mqtt;
    SimProcess sim;
    QVERIFY(mqtt.start() && sim.start({QStringLiteral("--pattern")}));
    GatewayRun gw;
    QVERIFY(gw.start(broker(mqtt.port()) +
                     controller("c", sim.udpConnectionString(),
                                "interval = 100\nmax_age = 4\ntag = a AI1 Int16 deadband=100\n"
                                "tag = big AI3 Int64\ntag = f AI5 Float\n")));
    SubscriberProcess sub;
    QVERIFY(sub.start(mqtt.port(), QStringLiteral("t/#")));
    QVERIFY(!sub.waitFor(QStringLiteral("^t/c/status \\d  online$"), 15000).isEmpty());
    QCOMPARE(valueOf(sub.waitFor(QStringLiteral("^t/c/a "), 15000)), QStringLiteral("4101"));
    QCOMPARE(valueOf(sub.waitFor(QStringLiteral("^t/c/big "), 15000)),
             QStringLiteral("6730756630416498602"));
    SubscriberProcess late;
    QVERIFY(late.start(mqtt.port(), QStringLiteral("t/c/big")));
    QVERIFY(!late.waitFor(QStringLiteral("^t/c/big 1  "), 15000).isEmpty());
    QVERIFY(
        !sub.waitFor(QStringLiteral("^t/c/f \\d  \\{\"value\":-1.12014265e\\+14,\"ts\":\"[-0-9T:.]+"
                                    "[+-]\\d\\d:\\d\\d\",\"result\":0\\}$"),
                     15000)
             .isEmpty());

    // 4101 + 50 stays within the deadband; 4101 + 500 does not.
    int seen = sub.lines().size();
    QCOMPARE(sim.control(QStringLiteral("poke AI 0 3710")), QStringLiteral("ok"));
    QVERIFY(sub.waitFor(QStringLiteral("^t/c/a .*\"value\":4151,"), 1000, seen).isEmpty());
    QCOMPARE(sim.control(QStringLiteral("poke AI 0 f911")), QStringLiteral("ok"));
    QCOMPARE(valueOf(sub.waitFor(QStringLiteral("^t/c/a "), 15000, seen)), QStringLiteral("4601"));
    seen = sub.lines().size();
    QCOMPARE(valueOf(sub.waitFor(QStringLiteral("^t/c/a "), 15000, seen)), QStringLiteral("4601"));
}

void GatewayTest::mergedAndSingleAgree()
{
    BrokerProcess mqtt;
    SimProcess sim;
    QVERIFY(mqtt.start() && sim.start({QStringLiteral("--pattern")}));
    const QByteArray tags = "interval = 200\ntag = a AI1 Int16 count=3\ntag = b AI2 UInt32\n"
                            "tag = c AI4 Double\ntag = d DI_F1 Bool count=2\ntag = e DI_F3 Bool\n"
                            "tag = s SI1 String\ntag = u SI2 String count=2\n";
    GatewayRun gw;
    QVERIFY(gw.start(broker(mqtt.port()) + controller("m", sim.udpConnectionString(), tags) +
                     controller("s", sim.udpConnectionString(), tags + "merge = off\n")));
    SubscriberProcess sub;
    QVERIFY(sub.start(mqtt.port(), QStringLiteral("t/#")));
    for (const char *tag : {"a", "b", "c", "d", "e", "s", "u"}) {
        const QString merged = valueOf(sub.waitFor(QStringLiteral("^t/m/%1 ").arg(tag), 15000));
        QVERIFY(!merged.isEmpty());
        QCOMPARE(valueOf(sub.waitFor(QStringLiteral("^t/s/%1 ").arg(tag), 15000)), merged);
    }
    QVERIFY(gw.logged(QStringLiteral("controller m: online"), 10000));
}

// With scan messages on, one message per scan carries every tag published in it; the gateway's
// counters come every stats interval.
void GatewayTest::scanMessagesAndStats()
{
    BrokerProcess mqtt;
    SimProcess sim;
    QVERIFY(mqtt.start() && sim.start({QStringLiteral("--pattern")}));
    // Scan messages are not retained: the subscriber is there before the first one.
    SubscriberProcess sub;
    QVERIFY(sub.start(mqtt.port(), QStringLiteral("t/#")));
    GatewayRun gw;
    QVERIFY(gw.start(broker(mqtt.port(), "stats_interval = 1\n") +
                     controller("c", sim.udpConnectionString(),
                                "interval = 100\ntag_messages = off\nscan_messages = on\n"
                                "tag = a AI1 Int16\ntag = s SI2 String\n")));
    QVERIFY(!sub.waitFor(QStringLiteral("^t/c/scan 0  \\{\"a\":\\{\"value\":4101,\"ts\":\"[^\"]+\","
                                        "\"result\":0\\},\"s\":\\{\"value\":\"SI2\","),
                         15000)
                 .isEmpty());
    QVERIFY(sub.waitFor(QStringLiteral("^t/c/a "), 500).isEmpty());
    QVERIFY(!sub.waitFor(QStringLiteral("^t/gateway/stats 0  \\{\"reads_per_s\":[1-9][0-9.]*,"
                                        "\"failures\":\\{\\},\"exchanges_per_scan\":2\\.0,"),
                         15000)
                 .isEmpty());
}

void GatewayTest::writes_data()
{
    QTest::addColumn<QString>("tag");
    QTest::addColumn<QString>("payload");
    QTest::addColumn<QString>("response"); // the request's MQTT 5 response topic
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("peek");     // "AREA OFFSET LEN" of the simulator, when sent
    QTest::addColumn<QString>("memory");   // what the peek answers
    QTest::addColumn<QString>("readBack"); // the value published after the write

    const QString reply = QStringLiteral("reply/1");
    QTest::newRow("written, read back") << "w"
                                        << "[-2,300]" << reply << "\"result\":0"
                                        << "AI 0 4"
                                        << "ok feff2c01"
                                        << "\\[-2,300\\]";
    // Every digit of a 64-bit value, as a number or as a text. The controller takes 64-bit values
    // least significant byte first and hands them out most significant byte first: what is read
    // back is the same bytes in the other order.
    QTest::newRow("Int64 beyond 2^53") << "q"
                                       << "9007199254740993" << reply << "\"result\":0"
                                       << "AI 40 8"
                                       << "ok 0100000000002000"
                                       << "72057594037936128";
    QTest::newRow("largest Int64") << "q"
                                   << "9223372036854775807" << reply << "\"result\":0"
                                   << "AI 40 8"
                                   << "ok ffffffffffffff7f"
                                   << "-129";
    QTest::newRow("largest UInt64 as text") << "u"
                                            << "\"18446744073709551615\"" << reply << "\"result\":0"
                                            << "AI 56 8"
                                            << "ok ffffffffffffffff"
                                            << "18446744073709551615";
    // Values as the gateway publishes them are taken back.
    QTest::newRow("Float FLT_MAX as published") << "f"
                                                << "3.4028235e+38" << reply << "\"result\":0"
                                                << "AO 8 4"
                                                << "ok ffff7f7f"
                                                << "3.4028235e\\+38";
    QTest::newRow("Float Infinity as published") << "f"
                                                 << "\"Infinity\"" << reply << "\"result\":0"
                                                 << "AO 8 4"
                                                 << "ok 0000807f"
                                                 << "\"Infinity\"";
    // The value read back is published even when it did not move beyond the deadband.
    QTest::newRow("within the deadband, confirmed") << "d"
                                                    << "5" << reply << "\"result\":0"
                                                    << "AI 80 2"
                                                    << "ok 0500"
                                                    << "5";
    // A scaled tag takes values in its own units; the controller gets the raw value.
    QTest::newRow("scaled, raw written") << "k"
                                         << "21.5" << reply << "\"result\":0"
                                         << "AI 88 2"
                                         << "ok 6702"
                                         << "21.5";
    QTest::newRow("scaled, between two raw steps")
        << "k"
        << "21.55" << reply << "\"result\":-1.*615.5 in the controller's units"
        << ""
        << ""
        << "";
    QTest::newRow("scaled, beyond the raw type") << "k"
                                                 << "4000" << reply << "\"result\":-1.*32767"
                                                 << ""
                                                 << ""
                                                 << "";
    QTest::newRow("not writable") << "r"
                                  << "5" << reply << "\"result\":-1.*not writable"
                                  << ""
                                  << ""
                                  << "";
    QTest::newRow("no such tag") << "x"
                                 << "5" << reply << "\"result\":-1.*no such"
                                 << ""
                                 << ""
                                 << "";
    QTest::newRow("bad JSON") << "w"
                              << "[1," << reply << "\"result\":-1.*not one JSON"
                              << ""
                              << ""
                              << "";
    QTest::newRow("wrong type") << "w"
                                << "[\"a\",1]" << reply << "\"result\":-1.*out of range"
                                << ""
                                << ""
                                << "";
    QTest::newRow("out of range") << "w"
                                  << "[1,40000]" << reply << "\"result\":-1.*-32768 to 32767"
                                  << ""
                                  << ""
                                  << "";
    QTest::newRow("wrong count") << "w"
                                 << "7" << reply << "\"result\":-1.*takes 2 elements, not 1"
                                 << ""
                                 << ""
                                 << "";
    QTest::newRow("over the size limit")
        << "w" << QString(70000, QLatin1Char(' ')) + "[1,2]" << reply << "\"result\":-1.*too long"
        << ""
        << ""
        << "";
    QTest::newRow("text the controller cannot hold") << "s"
                                                     << "\"a\\u0000b\"" << reply << "\"result\":-1"
                                                     << ""
                                                     << ""
                                                     << "";
    // A reply is never published under the gateway's prefix, nor to a topic beyond a length.
    QTest::newRow("response topic under the prefix") << "w"
                                                     << "[1,2]"
                                                     << "t/gateway/status"
                                                     << "\"result\":-1.*response topic"
                                                     << ""
                                                     << ""
                                                     << "";
    QTest::newRow("response topic too long")
        << "w"
        << "[1,2]"
        << "reply/" + QString(300, QLatin1Char('x')) << "\"result\":-1.*response topic"
        << ""
        << ""
        << "";
}

// A write is checked before anything is sent; its result comes on TAG/set/result and on the
// response topic with the correlation data; a write that was sent is read back.
void GatewayTest::writes()
{
    QFETCH(QString, tag);
    QFETCH(QString, payload);
    QFETCH(QString, response);
    QFETCH(QString, result);
    // What a response topic does needs MQTT 5; a 3.1.1 run makes the other writes without one.
    if (result.contains(QLatin1String("response topic")))
        NEEDS_MQTT5("a response topic");
    if (!TestBroker::mqtt5())
        response.clear();
    QFETCH(QString, peek);
    QFETCH(QString, memory);
    QFETCH(QString, readBack);
    BrokerProcess mqtt;
    SimProcess sim;
    QVERIFY(mqtt.start() && sim.start({QStringLiteral("--pattern")}));
    GatewayRun gw;
    // Read once an hour: after the first read only a write sends anything.
    QVERIFY(gw.start(broker(mqtt.port()) +
                     controller("c", sim.udpConnectionString(),
                                "interval = 3600000\ntag = w AI1 Int16 count=2 writable\n"
                                "tag = r AI9 Int16\ntag = q AI11 Int64 writable\n"
                                "tag = u AI15 UInt64 writable\ntag = f AO3 Float writable\n"
                                "tag = d AI21 Int16 deadband=100000 writable\n"
                                "tag = s SI3 String writable\n"
                                "tag = k AI23 Int16 scale=0.1 offset=-40 writable\n")));
    SubscriberProcess sub;
    QVERIFY(sub.start(mqtt.port(), QStringLiteral("#")));
    for (const char *t : {"w", "r", "q", "u", "f", "d", "s", "k"})
        QVERIFY(!sub.waitFor(QStringLiteral("^t/c/%1 ").arg(QLatin1String(t)), 15000).isEmpty());
    const int requests = sim.requestsSeen();
    const int seen = sub.lines().size();
    const QStringList replyTo = response.isEmpty()
                                    ? QStringList()
                                    : QStringList{"-D", "publish", "response-topic",   response,
                                                  "-D", "publish", "correlation-data", "k42"};
    QVERIFY(mosquittoPub(mqtt.port(),
                         QStringList{"-t", "t/c/" + tag + "/set", "-m", payload} + replyTo));
    QVERIFY(!sub.waitFor("^t/c/" + tag + "/set/result 0  \\{" + result, 15000, seen).isEmpty());
    const bool replied = response == QLatin1String("reply/1");
    QCOMPARE(!sub.waitFor("^" + QRegularExpression::escape(response) + " 0 k42 ",
                          replied ? 15000 : 500, seen)
                  .isEmpty(),
             replied);
    if (peek.isEmpty()) {
        QCOMPARE(sim.requestsSeen(), requests);
        return;
    }
    QCOMPARE(sim.control(QStringLiteral("peek ") + peek), memory);
    // The read back publishes what was written; the first value may still arrive after `seen`.
    QVERIFY2(!sub.waitFor("^t/c/" + tag + " .*\"value\":" + readBack + ",", 15000, seen).isEmpty(),
             qPrintable(sub.lines().mid(seen).join(QLatin1Char('\n'))));
    QCOMPARE(sim.requestsSeen(), requests + 2);
}

// A retained write request is an old one the broker hands over again at every subscribe: it is
// refused and not written, whether it was there before the gateway subscribed or came after. A
// later request sent live is written.
void GatewayTest::retainedWriteIgnored()
{
    BrokerProcess mqtt;
    SimProcess sim;
    QVERIFY(mqtt.start() && sim.start({QStringLiteral("--pattern")}));
    QVERIFY(mosquittoPub(mqtt.port(), {"-t", "t/c/w/set", "-m", "[1,2]", "-r"}));
    SubscriberProcess sub;
    QVERIFY(sub.start(mqtt.port(), QStringLiteral("t/c/#")));
    GatewayRun gw;
    QVERIFY(gw.start(broker(mqtt.port()) +
                     controller("c", sim.udpConnectionString(),
                                "interval = 3600000\ntag = w AI1 Int16 count=2 writable\n")));
    QVERIFY(!sub.waitFor(QStringLiteral("^t/c/w \\d "), 15000).isEmpty());
    const QString refused = QStringLiteral("^t/c/w/set/result 0  \\{\"result\":-1,.*retained");
    QVERIFY(!sub.waitFor(refused, 15000).isEmpty());
    int seen = sub.lines().size();
    QVERIFY(mosquittoPub(mqtt.port(), {"-t", "t/c/w/set", "-m", "[3,4]", "-r"}));
    // MQTT 3.1.1 marks as retained only what the broker replays at a subscribe: there a retained
    // request that comes while the gateway is subscribed is a live one, and written.
    QVERIFY(!sub.waitFor(TestBroker::mqtt5()
                             ? refused
                             : QStringLiteral("^t/c/w/set/result 0  \\{\"result\":0"),
                         15000, seen)
                 .isEmpty());
    // Requests reach the gateway in the order the broker took them: the retained ones came first.
    seen = sub.lines().size();
    QVERIFY(mosquittoPub(mqtt.port(), {"-t", "t/c/w/set", "-m", "[-2,300]"}));
    QVERIFY(!sub.waitFor(QStringLiteral("^t/c/w/set/result 0  \\{\"result\":0"), 15000, seen)
                 .isEmpty());
    QCOMPARE(sub.lines().filter(QRegularExpression(QStringLiteral("^t/c/w/set/result "))).size(),
             3);
    QCOMPARE(sim.control(QStringLiteral("peek AI 0 4")), QStringLiteral("ok feff2c01"));
}

// Writes to a controller that does not answer wait their turn, up to a limit: beyond it each
// request is refused at once, and a stop answers the ones still waiting.
void GatewayTest::writeFloodRefused()
{
    BrokerProcess mqtt;
    SimProcess sim;
    QVERIFY(mqtt.start() && sim.start({QStringLiteral("--pattern")}));
    GatewayRun gw;
    QVERIFY(gw.start(broker(mqtt.port()) + controller("c", sim.udpConnectionString(),
                                                      "interval = 3600000\nfailures = 1000\n"
                                                      "tag = w AI1 Int16 writable\n")));
    SubscriberProcess sub;
    QVERIFY(sub.start(mqtt.port(), QStringLiteral("t/c/#")));
    QVERIFY(!sub.waitFor(QStringLiteral("^t/c/w \\d "), 15000).isEmpty());
    QCOMPARE(sim.control(QStringLiteral("faults --silent")), QStringLiteral("ok"));
    // Each write now waits for the answer about 350 ms: the requests come far faster.
    QByteArray flood;
    for (int i = 0; i < 1200; ++i)
        flood += QByteArray::number(i) + '\n';
    QVERIFY(mosquittoPub(mqtt.port(), {"-t", "t/c/w/set", "-l"}, flood));
    QVERIFY(!sub.waitFor(QStringLiteral("^t/c/w/set/result 0  \\{\"result\":-1,.*"
                                        "1000 writes are waiting"),
                         15000)
                 .isEmpty());
    gw.signal(SIGTERM);
    QVERIFY(gw.process.waitForFinished(15000));
    QVERIFY(!sub.waitFor(QStringLiteral("^t/c/w/set/result 0  \\{\"result\":9,"), 15000).isEmpty());
}

// A controller that falls silent goes offline within its budget and comes back with values;
// meanwhile a healthy controller's reads keep their pace.
void GatewayTest::silentControllerAlone()
{
    BrokerProcess mqtt;
    SimProcess healthy, silent;
    QVERIFY(mqtt.start() && healthy.start({QStringLiteral("--pattern")}) &&
            silent.start({QStringLiteral("--pattern")}));
    GatewayRun gw;
    QVERIFY(gw.start(
        broker(mqtt.port()) +
        controller("h", healthy.udpConnectionString(), "interval = 100\ntag = a AI1 Int16\n") +
        controller("s", silent.udpConnectionString(),
                   "interval = 100\nbackoff = 200\nbackoff_max = 200\n"
                   "tag = a AI1 Int16\ntag = slow AI2 Int16 interval=3600000\n")));
    SubscriberProcess sub;
    QVERIFY(sub.start(mqtt.port(), QStringLiteral("t/#")));
    QVERIFY(!sub.waitFor(QStringLiteral("^t/s/a "), 15000).isEmpty());
    // How long the healthy controller takes for `count` more reads; -1 when they do not come
    // within a minute.
    const auto timeForReads = [&healthy](int count) -> qint64 {
        const qint64 budgetMs = 60000;
        const QDeadlineTimer deadline(budgetMs);
        const int target = healthy.requestsSeen() + count;
        while (healthy.requestsSeen() < target) {
            if (deadline.hasExpired())
                return -1;
            QThread::msleep(20);
        }
        return budgetMs - deadline.remainingTime();
    };
    // The healthy controller's pace on this machine, under its present load.
    const int reads = 20;
    const qint64 alone = timeForReads(reads);
    QVERIFY(alone > 0);
    // What the subscriber has read lags what the broker sent it: a marker through the broker
    // puts everything published so far ahead of `seen`, the first online status included.
    QVERIFY(mosquittoPub(mqtt.port(), {"-t", "t/test/marker", "-m", "silent"}));
    QVERIFY(!sub.waitFor(QStringLiteral("^t/test/marker "), 15000).isEmpty());
    int seen = sub.lines().size();
    // Link checks are still answered, reads are not: the link connects, but it is no controller
    // that works, and it is never said to be online until a read succeeds.
    QCOMPARE(silent.control(QStringLiteral("faults --silent")), QStringLiteral("ok"));
    // Three failed reads of about 350 ms each, then offline.
    QVERIFY(!sub.waitFor(QStringLiteral("^t/s/status \\d  offline$"), 15000, seen).isEmpty());
    QVERIFY(!sub.waitFor(QStringLiteral("^t/s/a .*\"result\":8,.*\"stale\":true"), 10000, seen)
                 .isEmpty());

    // A thread shared with the silent controller, whose connect attempts wait about 350 ms each
    // with 200 ms between them, would leave the healthy one about a third of its pace, taking
    // three times as long for as many reads. Less than twice as long shows the healthy one was
    // not held up, whatever the machine's speed.
    const qint64 beside = timeForReads(reads);
    qInfo("healthy controller: %d reads in %lld ms beside a silent one, in %lld ms alone", reads,
          beside, alone);
    QVERIFY(beside > 0);
    QVERIFY(beside < 2 * alone);
    QVERIFY2(sub.waitFor(QStringLiteral("^t/s/status \\d  online$"), 10, seen).isEmpty(),
             qPrintable(sub.lines().mid(seen).join(QLatin1Char('\n'))));

    seen = sub.lines().size();
    QCOMPARE(silent.control(QStringLiteral("faults")), QStringLiteral("ok"));
    QVERIFY(!sub.waitFor(QStringLiteral("^t/s/status \\d  online$"), 15000, seen).isEmpty());
    QCOMPARE(valueOf(sub.waitFor(QStringLiteral("^t/s/a .*\"result\":0"), 15000, seen)),
             QStringLiteral("4101"));
    // Back, every tag is read at once, the one read hourly too.
    QVERIFY(!sub.waitFor(QStringLiteral("^t/s/slow .*\"result\":0"), 15000, seen).isEmpty());
}

void GatewayTest::serialHangUpAndBack()
{
    BrokerProcess mqtt;
    SimProcess sim;
    QVERIFY(mqtt.start() && sim.start({"--pattern", "--pty", "--no-udp"}));
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("ttyPlant"));
    QVERIFY(QFile::link(sim.ptyPath(), link));
    GatewayRun gw;
    QVERIFY(gw.start(broker(mqtt.port()) +
                     controller("p", link + ",9600,8,1",
                                "interval = 100\nbackoff = 200\nbackoff_max = 800\n"
                                "tag = a AI1 Int16\n")));
    SubscriberProcess sub;
    QVERIFY(sub.start(mqtt.port(), QStringLiteral("t/p/#")));
    QVERIFY(!sub.waitFor(QStringLiteral("^t/p/a "), 15000).isEmpty());
    int seen = sub.lines().size();
    QCOMPARE(sim.control(QStringLiteral("faults --hangup")), QStringLiteral("ok"));
    QVERIFY(!sub.waitFor(QStringLiteral("^t/p/status \\d  offline$"), 15000, seen).isEmpty());
    seen = sub.lines().size();
    const QString fresh = sim.control(QStringLiteral("open-pty")).section(QLatin1Char(' '), 1);
    QVERIFY(QFile::remove(link) && QFile::link(fresh, link));
    QVERIFY(!sub.waitFor(QStringLiteral("^t/p/status \\d  online$"), 15000, seen).isEmpty());
    QVERIFY(!sub.waitFor(QStringLiteral("^t/p/a .*\"result\":0"), 15000, seen).isEmpty());
}

// A broker that restarts has lost everything (no persistence): the gateway connects again and
// publishes its statuses and last values anew, and what it said only once as it started (what
// a tag is) as it said it then.
void GatewayTest::brokerRestarted()
{
    BrokerProcess mqtt;
    SimProcess sim;
    QVERIFY(mqtt.start() && sim.start({QStringLiteral("--pattern")}));
    GatewayRun gw;
    QVERIFY(gw.start(broker(mqtt.port()) + controller("c", sim.udpConnectionString(),
                                                      "interval = 100\ntag = a AI1 Int16\n")));
    QVERIFY(gw.logged(QStringLiteral("broker: connected"), 5000));
    SubscriberProcess before;
    QVERIFY(before.start(mqtt.port(), QStringLiteral("t/c/a/meta"),
                         {QStringLiteral("--retained-only")}));
    const QString meta = before.waitFor(QStringLiteral("^t/c/a/meta 1  \\{\"type\":"), 10000);
    QVERIFY(!meta.isEmpty());
    mqtt.stop();
    QVERIFY(gw.logged(QStringLiteral("broker: lost"), 5000));
    QVERIFY(mqtt.start({}, true));
    QVERIFY(gw.logged(QStringLiteral("broker: connected.*\n(.*\n)*.*broker: connected"), 10000));
    SubscriberProcess fresh;
    QVERIFY(fresh.start(mqtt.port(), QStringLiteral("t/c/a")));
    QVERIFY(!fresh.waitFor(QStringLiteral("^t/c/a "), 10000).isEmpty());
    SubscriberProcess sub;
    QVERIFY(sub.start(mqtt.port(), QStringLiteral("t/#"), {QStringLiteral("--retained-only")}));
    QVERIFY(!sub.waitFor(QStringLiteral("^t/gateway/status 1  online$"), 10000).isEmpty());
    QVERIFY(!sub.waitFor(QStringLiteral("^t/c/status 1  online$"), 10000).isEmpty());
    QCOMPARE(valueOf(sub.waitFor(QStringLiteral("^t/c/a 1 "), 10000)), QStringLiteral("4101"));
    QCOMPARE(sub.waitFor(QStringLiteral("^t/c/a/meta 1 "), 10000), meta);
}

// A broker that stalls without dropping the session (stopped, then let go on): what waits
// meanwhile is the newest of each tag, and once the broker takes messages again every tag's
// retained value is its latest; the values replaced meanwhile are counted.
void GatewayTest::stalledBrokerGetsLatest()
{
    BrokerProcess mqtt;
    SimProcess sim;
    QVERIFY(mqtt.start() && sim.start({QStringLiteral("--pattern")}));
    GatewayRun gw;
    QVERIFY(gw.start(broker(mqtt.port(), "queue_limit = 10\nstats_interval = 1\n") +
                     controller("c", sim.udpConnectionString(), aiTags(40, 100))));
    SubscriberProcess sub;
    QVERIFY(sub.start(mqtt.port(), QStringLiteral("t/#")));
    QVERIFY(!sub.waitFor(QStringLiteral("^t/c/t40 "), 15000).isEmpty());
    // The requests one scan takes, as the gateway's counters say, whole.
    const QString stats =
        sub.waitFor(QStringLiteral("^t/gateway/stats .*\"exchanges_per_scan\":[1-9]"), 15000);
    const double exchanges = QRegularExpression(QStringLiteral("\"exchanges_per_scan\":([0-9.]+)"))
                                 .match(stats)
                                 .captured(1)
                                 .toDouble();
    QVERIFY2(exchanges >= 1, qPrintable(stats));
    const int perScan = int(exchanges) + (int(exchanges) < exchanges ? 1 : 0);
    const int seen = sub.lines().size();
    QVERIFY(::kill(pid_t(mqtt.processId()), SIGSTOP) == 0);
    // Every tag moves three times while the broker takes nothing: 1000 + i, 2000 + i, 3000 + i.
    for (int round = 1; round <= 3; ++round) {
        QVector<int> values;
        for (int i = 1; i <= 40; ++i)
            values << round * 1000 + i;
        QVERIFY(pokeAndRead(sim, values, perScan));
    }
    QVERIFY(::kill(pid_t(mqtt.processId()), SIGCONT) == 0);
    for (int i = 1; i <= 40; ++i)
        QVERIFY2(!sub.waitFor(QStringLiteral("^t/c/t%1 .*\"value\":%2,").arg(i).arg(3000 + i),
                              15000, seen)
                      .isEmpty(),
                 qPrintable(QStringLiteral("t%1").arg(i)));
    SubscriberProcess late;
    QVERIFY(late.start(mqtt.port(), QStringLiteral("t/c/+"), {QStringLiteral("--retained-only")}));
    for (int i = 1; i <= 40; ++i)
        QCOMPARE(valueOf(late.waitFor(QStringLiteral("^t/c/t%1 1 ").arg(i), 10000)),
                 QString::number(3000 + i));
    QVERIFY(!sub.waitFor(QStringLiteral("^t/gateway/stats .*\"replaced\":[1-9]"), 15000, seen)
                 .isEmpty());
    // None of them is lost: a value replaced while it waited comes as history.
    const auto missing = [&] {
        const QStringList lines = sub.lines();
        QStringList absent;
        for (int i = 1; i <= 40; ++i) {
            const QStringList history = historyValues(lines, QStringLiteral("t%1").arg(i));
            for (int round = 1; round <= 3; ++round) {
                const QString v = QString::number(round * 1000 + i);
                const QRegularExpression live(
                    QStringLiteral("^t/c/t%1 .*\"value\":%2,").arg(i).arg(v));
                if (!history.contains(v) &&
                    std::none_of(lines.begin(), lines.end(),
                                 [&](const QString &l) { return live.match(l).hasMatch(); }))
                    absent << v;
            }
        }
        return absent;
    };
    QTRY_COMPARE_WITH_TIMEOUT(missing(), QStringList(), 15000);
}

// The broker away while values change: every value read meanwhile comes afterwards as history,
// once and in order, and each tag's retained value is its latest. The historian's session
// (persistent, on a broker that keeps its state) takes what is published before it is back.
void GatewayTest::historyAcrossOutage()
{
    BrokerProcess mqtt;
    mqtt.keepState(true);
    SimProcess sim;
    QVERIFY(mqtt.start() && sim.start({QStringLiteral("--pattern")}));
    const QStringList historian = historianSession();
    SubscriberProcess history;
    QVERIFY(history.start(mqtt.port(), QStringLiteral("t/c/history"), historian));
    history.stop();
    GatewayRun gw;
    QVERIFY(gw.start(broker(mqtt.port(), "stats_interval = 1\n") +
                     controller("c", sim.udpConnectionString(),
                                "interval = 100\ntag = a AI1 Int16\ntag = b AI2 Int16\n")));
    SubscriberProcess live;
    QVERIFY(live.start(mqtt.port(), QStringLiteral("t/c/+")));
    const QString a = valueOf(live.waitFor(QStringLiteral("^t/c/a "), 15000));
    const QString b = valueOf(live.waitFor(QStringLiteral("^t/c/b "), 15000));
    QVERIFY(!a.isEmpty() && !b.isEmpty());
    mqtt.stop();
    QVERIFY(gw.logged(QStringLiteral("broker: lost"), 10000));
    for (int k = 1; k <= 12; ++k)
        QVERIFY(pokeAndRead(sim, {100 + k, 200 + k}));
    QVERIFY(mqtt.start({}, true));
    QVERIFY(history.start(mqtt.port(), QStringLiteral("t/c/history"), historian));
    QVERIFY(!history.waitFor(QStringLiteral("\"tag\":\"b\",\"value\":212,"), 20000).isEmpty());
    QCOMPARE(outageHistory(history.lines(), QStringLiteral("a"), a), counting(101, 112));
    QCOMPARE(outageHistory(history.lines(), QStringLiteral("b"), b), counting(201, 212));
    SubscriberProcess latest;
    QVERIFY(latest.start(mqtt.port(), QStringLiteral("t/#"), {QStringLiteral("--retained-only")}));
    QCOMPARE(valueOf(latest.waitFor(QStringLiteral("^t/c/a 1 "), 10000)), QStringLiteral("112"));
    QVERIFY(latest.waitFor(QStringLiteral("^t/c/history"), 2000).isEmpty());
    // The store counts as delivered what the historian took: the 24 values of the outage, and
    // any read before it that the broker had not acknowledged when it went.
    const int delivered = int(historyValues(history.lines(), QStringLiteral("a")).size() +
                              historyValues(history.lines(), QStringLiteral("b")).size());
    QVERIFY(delivered >= 24);
    SubscriberProcess stats;
    QVERIFY(stats.start(mqtt.port(), QStringLiteral("t/gateway/stats")));
    QVERIFY(!stats
                 .waitFor(QStringLiteral("\"store\":\\{\"held\":0,.*\"delivered\":%1,\"dropped\":0")
                              .arg(delivered),
                          10000)
                 .isEmpty());
}

// Killed while the broker is away, the gateway delivers what it had read once it runs again:
// everything but what came in its last second (here nothing did).
void GatewayTest::historyKeptAcrossKill()
{
    BrokerProcess mqtt;
    SimProcess sim;
    QVERIFY(mqtt.start() && sim.start({QStringLiteral("--pattern")}));
    const QByteArray config =
        broker(mqtt.port()) +
        controller("c", sim.udpConnectionString(), "interval = 100\ntag = a AI1 Int16\n");
    GatewayRun gw;
    QVERIFY(gw.start(config));
    SubscriberProcess live;
    QVERIFY(live.start(mqtt.port(), QStringLiteral("t/c/a")));
    const QString before = valueOf(live.waitFor(QStringLiteral("^t/c/a "), 15000));
    QVERIFY(!before.isEmpty());
    mqtt.stop();
    QVERIFY(gw.logged(QStringLiteral("broker: lost"), 10000));
    for (int k = 1; k <= 10; ++k)
        QVERIFY(pokeAndRead(sim, {100 + k}));
    QTest::qWait(1500);
    gw.process.kill();
    QVERIFY(gw.process.waitForFinished(5000));
    QVERIFY(mqtt.start({}, true));
    SubscriberProcess history;
    QVERIFY(history.start(mqtt.port(), QStringLiteral("t/c/history")));
    QVERIFY(gw.start(config)); // the same folder, so the same store
    QVERIFY(!history.waitFor(QStringLiteral("\"value\":110,"), 20000).isEmpty());
    // The new run reads while its session is still being set up, and a reading made then is
    // history too: 110 may come again after the outage's own.
    QStringList values = outageHistory(history.lines(), QStringLiteral("a"), before);
    while (values.size() > 1 && values.last() == values.at(values.size() - 2))
        values.removeLast();
    QCOMPARE(values, counting(101, 110));
}

// A store at its cap while the broker is away: the oldest history gives way, counted for its
// controller and said once in the log; the live values are the latest all the same.
void GatewayTest::storeCapDropsOldest()
{
    BrokerProcess mqtt;
    SimProcess sim;
    QVERIFY(mqtt.start() && sim.start({QStringLiteral("--pattern")}));
    GatewayRun gw;
    QVERIFY(gw.start(broker(mqtt.port(), "store_size = 64k\nstats_interval = 1\n") +
                     controller("c", sim.udpConnectionString(), aiTags(200, 20))));
    QVERIFY(gw.logged(QStringLiteral("broker: connected"), 10000));
    mqtt.stop();
    QVERIFY(gw.logged(QStringLiteral("broker: lost"), 10000));
    // Values that do not compress, every 50 ms, until the store has reached its cap.
    QVector<int> values(200);
    QDeadlineTimer deadline(60000);
    while (!gw.logged(QStringLiteral("store: .* is at its cap of 65536 bytes"), 50) &&
           !deadline.hasExpired()) {
        for (int &v : values)
            v = int(QRandomGenerator::global()->bounded(30000));
        QVERIFY(pokeAi(sim, values));
    }
    QVERIFY2(!deadline.hasExpired(), qPrintable(gw.log));
    QVERIFY(pokeAndRead(sim, {4242}, 4));
    QVERIFY(mqtt.start({}, true));
    SubscriberProcess sub;
    QVERIFY(sub.start(mqtt.port(), QStringLiteral("t/#")));
    QCOMPARE(valueOf(sub.waitFor(QStringLiteral("^t/c/t1 "), 30000)), QStringLiteral("4242"));
    const QString stats = sub.waitFor(
        QStringLiteral("^t/gateway/stats .*\"dropped\":[1-9][0-9]*,\"dropped_by_controller\":"
                       "\\{\"c\":[1-9]"),
        15000);
    QVERIFY2(!stats.isEmpty(), qPrintable(sub.lines().join(QLatin1Char('\n'))));
    QCOMPARE(gw.log.count(QStringLiteral("is at its cap")), 1);
}

// Another client takes the gateway's session over with the same client id: the log says so
// (this broker closes the session without a reason code: the gateway says what it may be), and
// the gateway connects again after its backoff.
void GatewayTest::sessionTakenOver()
{
    BrokerProcess mqtt;
    SimProcess sim;
    QVERIFY(mqtt.start() && sim.start({QStringLiteral("--pattern")}));
    GatewayRun gw;
    QVERIFY(gw.start(broker(mqtt.port()) +
                     controller("c", sim.udpConnectionString(), "tag = a AI1 Int16\n")));
    QVERIFY(gw.logged(QStringLiteral("broker: connected"), 10000));
    SubscriberProcess other;
    QVERIFY(other.start(mqtt.port(), QStringLiteral("x/#"), {"-i", "gw-test"}));
    QVERIFY2(gw.logged(QStringLiteral("broker: lost \\(disconnected: .*another client with "
                                      "(the same client_id took the session over|client_id "
                                      "gw-test may be taking it over)\\)"),
                       10000),
             qPrintable(gw.log));
    QVERIFY(gw.logged(QStringLiteral("broker: connected again"), 10000));
}

// Killed, the gateway leaves its will on its status. The values and statuses it published as
// current expire soon after (max_age 1 s, interval 0.1 s: 7 s), so a consumer that subscribes
// later finds no value with result 0 and no controller online.
void GatewayTest::nothingFreshAfterKill()
{
    NEEDS_MQTT5("a message expiry");
    BrokerProcess mqtt;
    SimProcess sim;
    QVERIFY(mqtt.start() && sim.start({QStringLiteral("--pattern")}));
    GatewayRun gw;
    QVERIFY(gw.start(broker(mqtt.port()) + controller("c", sim.udpConnectionString(),
                                                      "interval = 100\nmax_age = 1\n"
                                                      "tag = a AI1 Int16\n")));
    SubscriberProcess sub;
    QVERIFY(sub.start(mqtt.port(), QStringLiteral("t/#")));
    QVERIFY(!sub.waitFor(QStringLiteral("^t/gateway/status \\d  online$"), 15000).isEmpty());
    // Retained by now: a subscriber that comes later is handed them.
    QVERIFY(!sub.waitFor(QStringLiteral("^t/c/status \\d  online$"), 15000).isEmpty());
    QVERIFY(!sub.waitFor(QStringLiteral("^t/c/a .*\"result\":0"), 15000).isEmpty());
    const QString current = QStringLiteral("^t/c/(a .*\"result\":0|status .*online)");
    {
        SubscriberProcess before;
        QVERIFY(before.start(mqtt.port(), QStringLiteral("t/c/#"), {"--retained-only"}));
        QVERIFY(!before.waitFor(current, 15000).isEmpty());
    }
    gw.signal(SIGKILL);
    QVERIFY(!sub.waitFor(QStringLiteral("^t/gateway/status \\d  offline$"), 15000).isEmpty());
    bool gone = false;
    for (QDeadlineTimer deadline(30000); !gone && !deadline.hasExpired();) {
        SubscriberProcess later;
        QVERIFY(later.start(mqtt.port(), QStringLiteral("t/c/#"), {"--retained-only"}));
        gone = later.waitFor(current, 1000).isEmpty();
    }
    QVERIFY(gone);
}

// SIGHUP with a broken file keeps the running configuration; a good one replaces it, and a tag
// it no longer has is cleared from the broker. SIGTERM marks every value stale, then takes every
// status offline, and ends with 0.
void GatewayTest::reloadAndStop()
{
    BrokerProcess mqtt;
    SimProcess sim;
    QVERIFY(mqtt.start() && sim.start({QStringLiteral("--pattern")}));
    GatewayRun gw;
    const QByteArray config =
        broker(mqtt.port()) + controller("c", sim.udpConnectionString(), "tag = a AI1 Int16\n");
    QVERIFY(gw.start(config));
    QVERIFY(gw.logged(QStringLiteral("controller c: online"), 5000));
    gw.configure(config + "tag = broken\n");
    gw.signal(SIGHUP);
    QVERIFY(gw.logged(QStringLiteral("reload refused, the running configuration stays: "
                                     ".*gateway.conf:%1: tag: ")
                          .arg(confLine(9)),
                      5000));
    gw.configure(config + "tag = b AI2 Int16\n");
    gw.signal(SIGHUP);
    QVERIFY(gw.logged(QStringLiteral("controller c: 2 tags"), 5000));
    SubscriberProcess sub;
    QVERIFY(sub.start(mqtt.port(), QStringLiteral("t/#")));
    QVERIFY(!sub.waitFor(QStringLiteral("^t/c/b \\d "), 15000).isEmpty());
    QVERIFY(!sub.waitFor(QStringLiteral("^t/c/a \\d "), 15000).isEmpty());

    // A new broker that is not there: the running session goes on, as the next reload shows.
    gw.configure(broker(1) + controller("c", sim.udpConnectionString(), "tag = b AI2 Int16\n"));
    gw.signal(SIGHUP);
    QVERIFY(gw.logged(QStringLiteral("reload: the new broker session did not come up .*; the "
                                     "running configuration stays"),
                      20000));
    gw.configure(broker(mqtt.port()) +
                 controller("c", sim.udpConnectionString(), "tag = b AI2 Int16\n"));
    int seen = sub.lines().size();
    gw.signal(SIGHUP);
    QVERIFY(gw.logged(QStringLiteral("controller c: 1 tags"), 5000));
    QVERIFY(!sub.waitFor(QStringLiteral("^t/c/a 0$"), 15000, seen).isEmpty());
    QVERIFY(!sub.waitFor(QStringLiteral("^t/c/b .*\"result\":0"), 15000, seen).isEmpty());
    {
        SubscriberProcess retained;
        QVERIFY(retained.start(mqtt.port(), QStringLiteral("t/c/+"), {"--retained-only"}));
        QVERIFY(!retained.waitFor(QStringLiteral("^t/c/b 1 "), 10000).isEmpty());
        QVERIFY(retained.waitFor(QStringLiteral("^t/c/a "), 500).isEmpty());
    }

    seen = sub.lines().size();
    gw.signal(SIGTERM);
    QVERIFY(gw.process.waitForFinished(10000));
    QCOMPARE(gw.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(gw.process.exitCode(), 0);
    const QString stale =
        sub.waitFor(QStringLiteral("^t/c/b 0  .*\"result\":9,.*\"stale\":true"), 10000, seen);
    const QString offline = sub.waitFor(QStringLiteral("^t/c/status 0  offline$"), 10000, seen);
    QVERIFY(!stale.isEmpty() && !offline.isEmpty());
    QVERIFY(sub.lines().indexOf(stale, seen) < sub.lines().indexOf(offline, seen));
    QVERIFY(!sub.waitFor(QStringLiteral("^t/gateway/status 0  offline$"), 10000).isEmpty());
}

// A reload that names another broker: the new session comes up beside the running one, then
// takes over; the old broker is left with the gateway offline and no value. A reload that only
// changes a session setting takes the session over under the same client id, and the gateway
// stays online.
void GatewayTest::reloadToAnotherBroker()
{
    BrokerProcess first, second;
    SimProcess sim;
    QVERIFY(first.start() && second.start() && sim.start({QStringLiteral("--pattern")}));
    const QByteArray tags =
        controller("c", sim.udpConnectionString(), "interval = 100\ntag = a AI1 Int16\n");
    GatewayRun gw;
    QVERIFY(gw.start(broker(first.port()) + tags));
    SubscriberProcess sub;
    QVERIFY(sub.start(first.port(), QStringLiteral("t/#")));
    QVERIFY(!sub.waitFor(QStringLiteral("^t/c/a .*\"result\":0"), 15000).isEmpty());

    gw.configure(broker(second.port()) + tags);
    gw.signal(SIGHUP);
    QVERIFY(gw.logged(QStringLiteral("broker: connected to 127.0.0.1:%1 as gw-test; the old "
                                     "session has ended")
                          .arg(second.port()),
                      15000));
    {
        SubscriberProcess left;
        QVERIFY(left.start(first.port(), QStringLiteral("t/#"), {"--retained-only"}));
        QVERIFY(!left.waitFor(QStringLiteral("^t/gateway/status 1  offline$"), 10000).isEmpty());
        QVERIFY(left.waitFor(QStringLiteral("^t/c/a "), 500).isEmpty());
    }
    {
        SubscriberProcess now;
        QVERIFY(now.start(second.port(), QStringLiteral("t/#"), {"--retained-only"}));
        QVERIFY(!now.waitFor(QStringLiteral("^t/gateway/status 1  online$"), 10000).isEmpty());
        QVERIFY(!now.waitFor(QStringLiteral("^t/c/a 1 .*\"result\":0"), 10000).isEmpty());
    }

    gw.configure(broker(second.port(), "keepalive = 30\n") + tags);
    gw.signal(SIGHUP);
    QVERIFY(gw.logged(QStringLiteral("the old session has ended(.*\n)*.*the old session has ended"),
                      15000));
    SubscriberProcess now;
    QVERIFY(now.start(second.port(), QStringLiteral("t/#")));
    QVERIFY(!now.waitFor(QStringLiteral("^t/c/a .*\"result\":0"), 10000).isEmpty());
    QVERIFY(!now.waitFor(QStringLiteral("^t/gateway/status 1  online$"), 10000).isEmpty());
    QVERIFY(now.waitFor(QStringLiteral("^t/gateway/status \\d  offline$"), 1000).isEmpty());
}

// The broker speaks TLS with a certificate from a CA the test makes; the gateway checks it.
void GatewayTest::tls()
{
    if (TestBroker::nats())
        QSKIP("the test broker's TLS listener is mosquitto's");
    QTemporaryDir dir;
    const auto file = [&](const char *name) { return dir.filePath(QLatin1String(name)); };
    const QList<QStringList> steps = {
        {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=test CA",
         "-keyout", file("ca.key"), "-out", file("ca.crt")},
        {"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout",
         file("server.key"), "-out", file("server.csr")},
        {"x509", "-req", "-in", file("server.csr"), "-CA", file("ca.crt"), "-CAkey", file("ca.key"),
         "-CAcreateserial", "-days", "2", "-out", file("server.crt"), "-extfile", file("ext")},
    };
    QFile ext(file("ext"));
    QVERIFY(ext.open(QIODevice::WriteOnly));
    ext.write("subjectAltName=IP:127.0.0.1\n");
    ext.close();
    for (const QStringList &step : steps) {
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"), step);
        QVERIFY(openssl.waitForFinished(30000) && openssl.exitCode() == 0);
    }
    BrokerProcess mqtt;
    SimProcess sim;
    QVERIFY(mqtt.start({"cafile " + file("ca.crt"), "certfile " + file("server.crt"),
                        "keyfile " + file("server.key")}) &&
            sim.start({QStringLiteral("--pattern")}));
    GatewayRun gw;
    QVERIFY(gw.start(broker(mqtt.port(), "ca_file = " + file("ca.crt").toUtf8() + "\n") +
                     controller("c", sim.udpConnectionString(), "tag = a AI1 Int16\n")));
    QVERIFY2(gw.logged(QStringLiteral("broker: connected"), 10000), qPrintable(gw.log));
}

// Each tag is described on a retained TAG/meta, which goes when the tag goes, each controller's
// as it is there (another's equal tag may take no writes); a scaled tag is published and written
// in its own units; integers a double cannot hold come as texts on request; the prefix may have
// several levels.
void GatewayTest::describedTags()
{
    BrokerProcess mqtt;
    SimProcess sim;
    QVERIFY(mqtt.start() && sim.start({QStringLiteral("--pattern")}));
    const QByteArray described =
        "tag = temp AI1 Int16 unit=degC description=\"Inlet temperature\" scale=0.5 "
        "offset=-10 writable\n";
    const QByteArray config =
        broker(mqtt.port(), "large_integers = text\n")
            .replace("prefix = t", "prefix = t/site-a/line-3") +
        controller("c", sim.udpConnectionString(),
                   "interval = 200\ntag = big AI3 Int64\n" + described) +
        controller("d", sim.udpConnectionString(), QByteArray(described).replace(" writable", ""));
    GatewayRun gw;
    QVERIFY(gw.start(config));
    SubscriberProcess sub;
    QVERIFY(sub.start(mqtt.port(), QStringLiteral("t/#")));
    QVERIFY(!sub.waitFor(QStringLiteral("^t/site-a/line-3/c/temp/meta \\d  \\{\"type\":\"Int16\","
                                        "\"count\":1,\"address\":\"AI1\",\"unit\":\"degC\","
                                        "\"description\":\"Inlet temperature\",\"scale\":0.5,"
                                        "\"offset\":-10,\"writable\":true\\}$"),
                         15000)
                 .isEmpty());
    QVERIFY(!sub.waitFor(QStringLiteral("^t/site-a/line-3/d/temp/meta \\d  \\{\"type\":\"Int16\","
                                        ".*\"offset\":-10,\"writable\":false\\}$"),
                         15000)
                 .isEmpty());
    QVERIFY(!sub.waitFor(QStringLiteral("^t/site-a/line-3/c/big/meta \\d  .*\"writable\":false,"
                                        "\"large_integers\":\"text\"\\}$"),
                         15000)
                 .isEmpty());
    // 4101 raw, and a 64-bit value beyond 2^53 as its exact digits in a text.
    QCOMPARE(valueOf(sub.waitFor(QStringLiteral("^t/site-a/line-3/c/temp "), 15000)),
             QStringLiteral("2040.5"));
    QCOMPARE(valueOf(sub.waitFor(QStringLiteral("^t/site-a/line-3/c/big "), 15000)),
             QStringLiteral("\"6730756630416498602\""));
    const int seen = sub.lines().size();
    QVERIFY(mosquittoPub(mqtt.port(), {"-t", "t/site-a/line-3/c/temp/set", "-m", "20"}));
    QVERIFY(!sub.waitFor(QStringLiteral("^t/site-a/line-3/c/temp/set/result 0  \\{\"result\":0"),
                         15000, seen)
                 .isEmpty());
    QCOMPARE(sim.control(QStringLiteral("peek AI 0 2")), QStringLiteral("ok 3c00"));
    QCOMPARE(valueOf(sub.waitFor(QStringLiteral("^t/site-a/line-3/c/temp "), 15000, seen)),
             QStringLiteral("20"));

    // Without the tag, its value and its description are gone from the broker.
    gw.configure(QByteArray(config).replace(described, ""));
    gw.signal(SIGHUP);
    QVERIFY(gw.logged(QStringLiteral("reload: "), 10000));
    QVERIFY(gw.logged(QStringLiteral("controller c: online"), 15000));
    SubscriberProcess retained;
    QVERIFY(
        retained.start(mqtt.port(), QStringLiteral("t/#"), {QStringLiteral("--retained-only")}));
    QVERIFY(!retained.waitFor(QStringLiteral("^t/site-a/line-3/c/big/meta "), 15000).isEmpty());
    QVERIFY(retained.waitFor(QStringLiteral("^t/site-a/line-3/c/temp"), 1000).isEmpty());

    // A broker that restarts is told what each tag is now, and nothing of the tag that went.
    mqtt.stop();
    QVERIFY(gw.logged(QStringLiteral("broker: lost"), 5000));
    QVERIFY(mqtt.start({}, true));
    QVERIFY(gw.logged(QStringLiteral("reload: (.*\n)*.*broker: connected"), 10000));
    SubscriberProcess fresh;
    QVERIFY(fresh.start(mqtt.port(), QStringLiteral("t/site-a/line-3/c/big")));
    QVERIFY(!fresh.waitFor(QStringLiteral("^t/site-a/line-3/c/big "), 10000).isEmpty());
    SubscriberProcess again;
    QVERIFY(again.start(mqtt.port(), QStringLiteral("t/#"), {QStringLiteral("--retained-only")}));
    QVERIFY(!again
                 .waitFor(QStringLiteral("^t/site-a/line-3/c/big/meta \\d  .*\"writable\":false,"
                                         "\"large_integers\":\"text\"\\}$"),
                          15000)
                 .isEmpty());
    QVERIFY(!again.waitFor(QStringLiteral("^t/site-a/line-3/d/temp/meta "), 15000).isEmpty());
    QVERIFY(again.waitFor(QStringLiteral("^t/site-a/line-3/c/temp"), 1000).isEmpty());
}

// Every line carries its level as journald reads it; a driver line that comes with every read
// while a fault lasts is logged once, in English beside the original, and counted when it ends.
void GatewayTest::logLevelsAndEpisodes()
{
    BrokerProcess mqtt;
    SimProcess sim;
    QVERIFY(mqtt.start() && sim.start({QStringLiteral("--pattern")}));
    GatewayRun gw;
    QVERIFY(gw.start(broker(mqtt.port()) +
                     controller("c", sim.udpConnectionString(),
                                "interval = 100\nfailures = 1000\ntag = a AI1 Int16\n")));
    QVERIFY(gw.logged(QStringLiteral("<5>controller c: online"), 15000));
    QVERIFY(gw.logged(QStringLiteral("<5>broker: connected"), 15000));
    QCOMPARE(sim.control(QStringLiteral("faults --silent")), QStringLiteral("ok"));
    const QString noAnswer = QStringLiteral("<4>controller c: driver: .*\\(in English: the message "
                                            "returned has length 0");
    QVERIFY(gw.logged(noAnswer, 15000));
    // Several unanswered reads later, still one line.
    const int unanswered = sim.requestsSeen() + 4;
    QTRY_VERIFY_WITH_TIMEOUT(sim.requestsSeen() >= unanswered, 30000);
    QCOMPARE(sim.control(QStringLiteral("faults")), QStringLiteral("ok"));
    QVERIFY(gw.logged(QStringLiteral("<6>controller c: driver: no answer within the wait: "
                                     "[0-9]+ more times in [0-9.]+ s, now ended"),
                      30000));
    QCOMPARE(gw.log.count(QRegularExpression(noAnswer)), 1);
    for (const QString &line : gw.log.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        QVERIFY2(QRegularExpression(QStringLiteral("^<[3-7]>")).match(line).hasMatch(),
                 qPrintable(line));
}

// The cluster node the gateway is on killed while values change: the gateway goes on with the next
// node of its list, a subscriber on another node receives every change (live, or as history for
// what was read while no node took the gateway's messages), and the retained value is the latest.
void GatewayTest::brokerNodeLost()
{
    if (!TestBroker::mqtt5())
        QSKIP("it runs a cluster of its own, once");
    NatsCluster cluster;
    SimProcess sim;
    QVERIFY(cluster.start(3) && sim.start({QStringLiteral("--pattern")}));
    QStringList nodes;
    for (int i = 0; i < 3; ++i)
        nodes << QStringLiteral("127.0.0.1:%1").arg(cluster.mqttPort(i));
    const QStringList v311{"-V", "311"};
    SubscriberProcess sub;
    QVERIFY(sub.start(cluster.mqttPort(2), QStringLiteral("t/c/+"), v311));
    GatewayRun gw;
    QVERIFY(gw.start("[broker]\nhost = " + nodes.join(QStringLiteral(", ")).toUtf8() +
                     "\nprotocol = 3.1.1\nprefix = t\nclient_id = gw-test\n" +
                     controller("c", sim.udpConnectionString(), aiTags(1, 100))));
    QVERIFY(gw.logged(QStringLiteral("broker: connected to ") + nodes[0], 30000));
    QVERIFY(!sub.waitFor(QStringLiteral("^t/c/t1 "), 15000).isEmpty());
    for (int k = 1; k <= 12; ++k) {
        if (k == 5)
            cluster.kill(0);
        QVERIFY(pokeAndRead(sim, {100 + k}));
    }
    // A node may not take sessions until the cluster has chosen new leaders: the next may be any.
    QVERIFY2(gw.logged(QStringLiteral("broker: connected again to (%1|%2)").arg(nodes[1], nodes[2]),
                       30000),
             qPrintable(gw.log));
    // History comes after the live values, once no live message waits.
    const auto missing = [&sub] {
        QStringList values = historyValues(sub.lines(), QStringLiteral("t1"));
        for (const QString &line :
             sub.lines().filter(QRegularExpression(QStringLiteral("^t/c/t1 "))))
            values << valueOf(line);
        QStringList absent;
        for (const QString &value : counting(101, 112)) {
            if (!values.contains(value))
                absent << value;
        }
        return absent;
    };
    for (QDeadlineTimer deadline(30000); !missing().isEmpty();) {
        QVERIFY2(!deadline.hasExpired(), qPrintable(missing().join(QLatin1Char(' ')) +
                                                    QLatin1String(" missing\n") + gw.log));
        sub.waitFor(QStringLiteral("^t/c/history "), 200, int(sub.lines().size()));
    }
    // Read on the node the subscriber is on: one may still refuse sessions while the cluster
    // chooses new leaders.
    SubscriberProcess latest;
    QVERIFY(latest.start(cluster.mqttPort(2), QStringLiteral("t/c/t1"),
                         v311 + QStringList{QStringLiteral("--retained-only")}));
    QCOMPARE(valueOf(latest.waitFor(QStringLiteral("^t/c/t1 1 "), 10000)), QStringLiteral("112"));
}

// Two gateways of one configuration: one reads the controller, the other stands by without a link.
// The active one killed, the other takes over soon after the broker notices; a
// write sent meanwhile is made at most once; the first one, back, stands by.
void GatewayTest::standbyTakesOver()
{
    BrokerProcess mqtt;
    SimProcess sim;
    QVERIFY(mqtt.start() && sim.start({QStringLiteral("--pattern")}));
    SubscriberProcess sub;
    QVERIFY(sub.start(mqtt.port(), QStringLiteral("t/#")));
    const QByteArray config =
        broker(mqtt.port(), "standby = on\nkeepalive = 5\nstore = off\n") +
        controller("c", sim.udpConnectionString(), "interval = 100\ntag = w AI1 Int16 writable\n");
    GatewayRun first, second;
    QVERIFY(first.start(config));
    QVERIFY2(first.logged(QStringLiteral("standby: \\S+ is the active gateway"), 15000),
             qPrintable(first.log));
    QVERIFY(second.start(config));
    QVERIFY2(second.logged(QStringLiteral("stands by"), 15000), qPrintable(second.log));
    QVERIFY(!sub.waitFor(QStringLiteral("^t/c/w "), 15000).isEmpty());
    // Only one instance polls: the simulator never hears two clients at a time (on a slow
    // machine a half-second window may hold no poll at all, which is no fault).
    for (int i = 0; i < 5; ++i) {
        const QString clients = sim.control(QStringLiteral("clients 500"));
        QVERIFY2(clients == QLatin1String("ok 1") || clients == QLatin1String("ok 0"),
                 qPrintable(clients));
        QThread::msleep(200);
    }

    const int seen = sub.lines().size();
    QElapsedTimer took;
    took.start();
    first.signal(SIGKILL);
    // A write sent while the other one takes over is made at most once (by it, if it had taken
    // over when the request came).
    QVERIFY(mosquittoPub(mqtt.port(), {"-t", "t/c/w/set", "-m", "7"}));
    QVERIFY2(second.logged(QStringLiteral("is the active gateway"), 15000), qPrintable(second.log));
    QVERIFY(!sub.waitFor(QStringLiteral("^t/c/w "), 15000, seen).isEmpty());
    qInfo("the other instance published %lld ms after the kill", took.elapsed());
    const auto writes = [&sim] {
        return sim.control(QStringLiteral("writes")).section(QLatin1Char(' '), 1).toInt();
    };
    const int during = writes();
    QVERIFY2(during <= 1, qPrintable(QString::number(during)));
    const int later = sub.lines().size();
    QVERIFY(mosquittoPub(mqtt.port(), {"-t", "t/c/w/set", "-m", "8"}));
    QVERIFY(!sub.waitFor(QStringLiteral("^t/c/w/set/result 0  \\{\"result\":0"), 15000, later)
                 .isEmpty());
    QCOMPARE(writes(), during + 1);
    QCOMPARE(sim.control(QStringLiteral("clients 500")), QStringLiteral("ok 1"));

    GatewayRun again;
    QVERIFY(again.start(config));
    QVERIFY2(again.logged(QStringLiteral("stands by"), 15000), qPrintable(again.log));
    QCOMPARE(sim.control(QStringLiteral("clients 1000")), QStringLiteral("ok 1"));
}

// A node's births carry every tag with its datatype and the value `tarvik-host read` gives; data
// carry aliases only; seq never skips; a kill leaves NDEATH with the bdSeq of the birth.
void GatewayTest::sparkplugBirthsAndData()
{
    SparkplugRun run;
    SKIP_WITHOUT_SPARKPLUG(run);
    QVERIFY(run.start(sparkplugTags));
    QCOMPARE(fieldOf(QString::fromUtf8(run.nbirth), QStringLiteral("seq")), QStringLiteral("0"));
    QVERIFY(!run.born(run.nbirth, "Node Control/Rebirth").isEmpty());
    const QString bdSeq = run.bdSeqOf(run.nbirth);
    QVERIFY(!bdSeq.isEmpty());

    const QString connection = run.sim.udpConnectionString();
    const QMap<QString, QString> read =
        hostRead(connection, "a,AI1,Int16\nbig,LA2,Int64\nf,AO1,Float\ns,SI1,String\n");
    // Each tag: its datatype, the field protoc shows its value in; a list's packed bytes.
    const struct
    {
        const char *name;
        int datatype;
        const char *field;
    } births[] = {{"a", 2, "int_value"},
                  {"big", 4, "long_value"},
                  {"p", 32, "bytes_value"},
                  {"f", 9, "float_value"},
                  {"s", 12, "string_value"}};
    for (const auto &b : births) {
        const QString m = run.born(run.dbirth, b.name);
        QVERIFY2(m.contains(QLatin1String("keys: \"Quality\" values { type: 3 int_value: 192 }")),
                 qPrintable(m));
        QCOMPARE(fieldOf(m, QStringLiteral("datatype")).toInt(), b.datatype);
        const QString value = fieldOf(m, QLatin1String(b.field));
        if (b.datatype == 32) // 4 elements, then false false true false from the high bit
            QCOMPARE(value, QStringLiteral("\"\\004\\000\\000\\000 \""));
        else if (b.datatype == 9)
            QCOMPARE(value.toFloat(), read.value(QLatin1String(b.name)).toFloat());
        else
            QCOMPARE(value, protocValue(b.datatype, read.value(QLatin1String(b.name))));
    }

    // A change goes as data: the metric by its alias alone, the value `tarvik-host read` gives.
    const int seen = run.sub.lines().size();
    QVERIFY(pokeAi(run.sim, {-1234}));
    const QString data = dataMetric(run.sub, run.protoc, run.aliasOf("a"), seen);
    QCOMPARE(fieldOf(data, QStringLiteral("name")), QString());
    QCOMPARE(fieldOf(data, QStringLiteral("int_value")),
             protocValue(2, hostRead(connection, "a,AI1,Int16\n").value("a")));

    run.gw.signal(SIGKILL);
    const QByteArray ndeath =
        decodedLine(run.protoc, run.sub.waitFor(QStringLiteral("^spBv1.0/g/NDEATH/n "), 15000));
    QCOMPARE(run.bdSeqOf(ndeath), bdSeq);
    const QVector<int> seqs = sparkplugSeqs(run.protoc, run.sub.lines());
    QVERIFY(seqs.size() >= 3);
    for (int i = 1; i < seqs.size(); ++i)
        QCOMPARE(seqs[i], (seqs[i - 1] + 1) % 256);
}

// A DCMD to a writable tag writes it and the next data confirm it; one the tag does not take
// changes nothing. Rebirth repeats every birth; a clean stop says NDEATH itself.
void GatewayTest::sparkplugCommands()
{
    SparkplugRun run;
    SKIP_WITHOUT_SPARKPLUG(run);
    QVERIFY(run.start(sparkplugTags));
    // The command's metric, the simulator's memory it leaves (peek AREA OFFSET LEN: AI1 holds a,
    // AO1 f), and what the log says.
    const QByteArray tooLong =
        "name: \"s\" datatype: 12 string_value: \"" + QByteArray(70000, 'x') + '"';
    const struct
    {
        QByteArray metric;
        const char *peek;
        const char *memory;
        const char *log;
    } commands[] = {
        {"name: \"a\" datatype: 2 int_value: 321", "AI 0 2", "ok 4101", "write to a: result 0"},
        {"name: \"f\" datatype: 9 float_value: -2.5", "AO 0 4", "ok 000020c0",
         "write to f: result 0"},
        {"name: \"big\" datatype: 4 long_value: 5", "AI 0 2", "ok 4101",
         "\\(big\\): the tag is not writable"},
        {"name: \"a\" datatype: 3 int_value: 7", "AI 0 2", "ok 4101",
         "\\(a\\): the tag takes datatype 2, not 3"},
        {"name: \"a\" datatype: 2 int_value: 70000", "AI 0 2", "ok 4101",
         "metric 0 \\(a\\): its value does not fit its datatype 2"},
        {"alias: 9999 datatype: 2 int_value: 1", "AI 0 2", "ok 4101",
         "\\(alias 9999\\): no such metric"},
        {"name: \"f\" datatype: 9 float_value: 1 is_null: true", "AO 0 4", "ok 000020c0",
         "\\(f\\): it is null and has a value"},
        {tooLong, "AO 0 4", "ok 000020c0", "n/c: the payload is too long"},
    };
    for (const auto &c : commands) {
        QVERIFY(publishPayload(run.mqtt.port(), QStringLiteral("spBv1.0/g/DCMD/n/c"), run.protoc,
                               QByteArray("metrics { ") + c.metric + " }"));
        QVERIFY2(run.gw.logged(QLatin1String(c.log), 15000), c.metric.left(60).constData());
        QCOMPARE(run.sim.control(QStringLiteral("peek ") + QLatin1String(c.peek)),
                 QLatin1String(c.memory));
    }
    // The write's confirmation: the value read back, with good quality.
    const QString confirmed = dataMetric(run.sub, run.protoc, run.aliasOf("a"), 0);
    QCOMPARE(fieldOf(confirmed, QStringLiteral("int_value")), QStringLiteral("321"));
    QVERIFY(confirmed.contains(QLatin1String("int_value: 192")));

    const int seen = run.sub.lines().size();
    QVERIFY(publishPayload(run.mqtt.port(), QStringLiteral("spBv1.0/g/NCMD/n"), run.protoc,
                           "metrics { name: \"Node Control/Rebirth\" datatype: 11 "
                           "boolean_value: true }"));
    const QByteArray nbirth = decodedLine(
        run.protoc, run.sub.waitFor(QStringLiteral("^spBv1.0/g/NBIRTH/n "), 15000, seen));
    QCOMPARE(fieldOf(QString::fromUtf8(nbirth), QStringLiteral("seq")), QStringLiteral("0"));
    const QByteArray again = decodedLine(
        run.protoc, run.sub.waitFor(QStringLiteral("^spBv1.0/g/DBIRTH/n/c "), 15000, seen));
    QCOMPARE(metricsOf(again).size(), 5);
    QCOMPARE(fieldOf(run.born(again, "a"), "int_value"), QStringLiteral("321"));

    run.gw.signal(SIGTERM);
    const QByteArray ndeath = decodedLine(
        run.protoc, run.sub.waitFor(QStringLiteral("^spBv1.0/g/NDEATH/n "), 15000, seen));
    QCOMPARE(run.bdSeqOf(ndeath), run.bdSeqOf(run.nbirth));
    QVERIFY(run.gw.process.waitForFinished(15000));
}

// A controller that stops answering dies (DDEATH) and is born again once back. Values read while
// the broker was away come as historical data after the births of the new session, in order.
void GatewayTest::sparkplugDeathsAndHistory()
{
    SparkplugRun run;
    SKIP_WITHOUT_SPARKPLUG(run);
    run.mqtt.keepState(true);
    const QString device = QStringLiteral("spBv1.0/g/+/n/c");
    const QStringList historian = historianSession() + hexPayloads;
    QVERIFY(run.start("interval = 100\nbackoff = 200\nbackoff_max = 200\n"
                      "tag = a AI1 Int16\ntag = b AI2 Int16\n",
                      device, historian));
    SubscriberProcess &sub = run.sub;
    int seen = sub.lines().size();
    QCOMPARE(run.sim.control(QStringLiteral("faults --silent")), QStringLiteral("ok"));
    QVERIFY2(run.gw.logged(QStringLiteral("controller c: offline"), 15000), qPrintable(run.gw.log));
    QVERIFY2(!sub.waitFor(QStringLiteral("^spBv1.0/g/DDEATH/n/c "), 15000, seen).isEmpty(),
             qPrintable(run.gw.log + sub.lines().mid(seen).join(QLatin1Char('\n'))));
    seen = sub.lines().size();
    QCOMPARE(run.sim.control(QStringLiteral("faults")), QStringLiteral("ok"));
    QVERIFY2(!sub.waitFor(QStringLiteral("^spBv1.0/g/DBIRTH/n/c "), 15000, seen).isEmpty(),
             qPrintable(run.gw.log + sub.lines().mid(seen).join(QLatin1Char('\n'))));

    sub.stop(); // its session keeps what comes meanwhile
    run.mqtt.stop();
    QVERIFY(run.gw.logged(QStringLiteral("broker: lost"), 10000));
    for (int k = 1; k <= 12; ++k)
        QVERIFY(pokeAndRead(run.sim, {100 + k, 200 + k}));
    const quint64 restartedMs = quint64(QDateTime::currentMSecsSinceEpoch());
    QVERIFY(run.mqtt.start({}, true));
    QVERIFY(sub.start(run.mqtt.port(), device, historian));
    // Each message of the device once, in the order the historian has them.
    const QString aliasA = run.aliasOf("a");
    QStringList a, b;
    quint64 bornMs = 0;
    const QDeadlineTimer deadline(30000);
    for (int at = 0; !b.contains(QLatin1String("212"));) {
        const QString line = sub.waitFor(QStringLiteral("^spBv1.0/g/D(DATA|BIRTH)/n/c "),
                                         int(deadline.remainingTime()), at);
        QVERIFY2(!line.isEmpty(), qPrintable(b.join(QLatin1Char(' '))));
        at = int(sub.lines().indexOf(line, at)) + 1;
        const QByteArray text = decodedLine(run.protoc, line);
        if (line.startsWith(QLatin1String("spBv1.0/g/DBIRTH/")) && b.isEmpty())
            bornMs = fieldOf(QString::fromUtf8(text).section(QStringLiteral("metrics {"), 0, 0),
                             QStringLiteral("timestamp"))
                         .toULongLong();
        for (const QString &m : metricsOf(text)) {
            if (fieldOf(m, QStringLiteral("is_historical")) == QLatin1String("true"))
                (fieldOf(m, QStringLiteral("alias")) == aliasA ? a : b)
                    << QString::number(qint16(fieldOf(m, QStringLiteral("int_value")).toUInt()));
        }
    }
    // Births of the new session came before its history.
    QVERIFY(bornMs >= restartedMs);
    // What was read before the broker went may come again (QoS 1 is at least once).
    const auto before = [&run](const char *tag) {
        return QString::number(qint16(fieldOf(run.born(run.dbirth, tag), "int_value").toUInt()));
    };
    while (!a.isEmpty() && a.first() == before("a"))
        a.removeFirst();
    while (!b.isEmpty() && b.first() == before("b"))
        b.removeFirst();
    QCOMPARE(a, counting(101, 112));
    QCOMPARE(b, counting(201, 212));
}

// What a scraper gets: the exposition text promtool takes, with the controller's series (its name
// holds a quote and a backslash, which a topic level may) and the broker's; other paths, methods
// and malformed requests are answered, a header too large or never complete is closed, and so is
// a connection beyond the limit.
void GatewayTest::metricsEndpoint()
{
    const QString promtool = promtoolOrSkip();
    if (promtool.isEmpty())
        QSKIP("promtool (package prometheus) is not on the build machine");
    BrokerProcess mqtt;
    SimProcess sim;
    QVERIFY(mqtt.start() && sim.start({QStringLiteral("--pattern")}));
    GatewayRun gw;
    const quint16 port = startWithMetrics(gw, [&](quint16 metricsPort) {
        return broker(mqtt.port(),
                      "metrics = 127.0.0.1:" + QByteArray::number(metricsPort) + '\n') +
               controller(QStringLiteral("c\"1\\2"), sim.udpConnectionString(),
                          "interval = 100\ntag = a AI1 Int16\ntag = b AI2 Int16\n");
    });
    QVERIFY(port != 0);
    const QByteArray c = "{controller=\"c\\\"1\\\\2\"}";
    const QByteArray answer = scrapeUntil(port, "tarvik_controller_online" + c + " 1\n");
    QVERIFY(answer.startsWith("HTTP/1.1 200 OK\r\n"));
    QVERIFY(answer.contains("\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"));
    QVERIFY(answer.contains("\r\nConnection: close\r\n"));
    const QByteArray body = bodyOf(answer);
    QCOMPARE(promtoolProblems(promtool, body), QString());
    const QMap<QByteArray, double> samples = samplesOf(body);
    QCOMPARE(samples.value("tarvik_controller_tags" + c, -1), 2.0);
    QVERIFY(samples.value("tarvik_controller_reads_total" + c) > 0);
    QVERIFY(samples.value("tarvik_controller_requests_total" + c) > 0);
    QCOMPARE(samples.value("tarvik_controller_exchanges_per_scan" + c), 1.0); // a and b merged
    const double latency = samples.value("tarvik_controller_last_read_latency_seconds" + c, -1);
    QVERIFY2(latency > 0 && latency < 10, qPrintable(QString::number(latency)));
    QCOMPARE(samples.value("tarvik_gateway_broker_connected{broker=\"127.0.0.1:" +
                           QByteArray::number(mqtt.port()) + "\"}"),
             1.0);
    QCOMPARE(samples.value("tarvik_gateway_active"), 1.0);
    QVERIFY(samples.value("tarvik_gateway_published_total") > 0);
    QVERIFY(samples.contains("tarvik_gateway_store_held_values"));

    // Failed reads by result, with the outcome's words.
    QCOMPARE(sim.control(QStringLiteral("faults --silent")), QStringLiteral("ok"));
    const QByteArray failing = scrapeUntil(
        port, "tarvik_controller_read_failures_total{controller=\"c\\\"1\\\\2\",result=\"8\","
              "outcome=\"exchange failed: ");
    QVERIFY(!failing.isEmpty());
    QCOMPARE(promtoolProblems(promtool, bodyOf(failing)), QString());
    QCOMPARE(sim.control(QStringLiteral("faults")), QStringLiteral("ok"));

    // Each request, and the start of its answer: "" for a connection closed without one.
    const struct
    {
        QByteArray request;
        QByteArray answer;
    } requests[] = {
        {"GET /metrics?name[]=x HTTP/1.0\n\n", "HTTP/1.1 200 OK\r\n"},
        {"GET /other HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found\r\n"},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
         "HTTP/1.1 405 Method Not Allowed\r\nContent-Type: text/plain; charset=utf-8\r\n"
         "Content-Length: 21\r\nAllow: GET\r\n"},
        {"HEAD /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed\r\n"},
        {"GET /metrics\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"GET /metrics HTTP/1.1\r\nX-Pad: " + QByteArray(9000, 'x') + "\r\n\r\n", ""},
        {"GET /metrics HTTP/1.1\r\nX-Pad: never ends\r\n", ""}, // closed after 5 s
    };
    bool closed = false;
    for (const auto &r : requests) {
        const QByteArray got = httpExchange(port, r.request, 15000, &closed);
        QVERIFY2(closed && (r.answer.isEmpty() ? got.isEmpty() : got.startsWith(r.answer)),
                 qPrintable(r.request.left(40) + " answered " + got.left(120)));
    }

    // Connections beyond the limit are closed at once; those within it are answered.
    QTcpSocket held[16];
    for (QTcpSocket &s : held) {
        s.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(s.waitForConnected(5000));
    }
    QVERIFY(httpExchange(port, scrapeRequest, 15000, &closed).isEmpty() && closed);
    held[0].write(scrapeRequest);
    QVERIFY(held[0].waitForReadyRead(15000));
    QVERIFY(held[0].readAll().startsWith("HTTP/1.1 200 OK\r\n"));
}

// A port that cannot be bound: the start fails and says why; a reload keeps the running endpoint.
void GatewayTest::metricsPortTaken()
{
    const auto config = [](quint16 metricsPort) {
        return broker(1, "metrics = " + QByteArray::number(metricsPort) + '\n') +
               controller("c", "127.0.0.1:9", "tag = a AI1 Int16\n");
    };
    GatewayRun gw;
    const quint16 port = startWithMetrics(gw, config);
    QVERIFY(port != 0);
    GatewayRun second;
    QVERIFY(second.start(config(port)));
    QVERIFY(second.process.waitForFinished(15000));
    QCOMPARE(second.process.exitCode(), 1);
    QVERIFY2(second.logged(QStringLiteral("<3>metrics: cannot listen on 127.0.0.1:%1: ").arg(port),
                           5000),
             qPrintable(second.log));

    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
    gw.configure(config(taken.serverPort()));
    gw.signal(SIGHUP);
    QVERIFY(gw.logged(QStringLiteral("reload refused, the running configuration stays: metrics: "
                                     "cannot listen on 127.0.0.1:%1: ")
                          .arg(taken.serverPort()),
                      15000));
    bool closed = false;
    QVERIFY(httpExchange(port, scrapeRequest, 15000, &closed).startsWith("HTTP/1.1 200 OK\r\n"));
}

QTEST_GUILESS_MAIN(GatewayTest)
#include "tst_gateway.moc"
