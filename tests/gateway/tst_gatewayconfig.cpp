#include "driverlibrary.h"
#include "gatewayconfig.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// A configuration file is checked whole: each fault named with the file, the line, the key and
// the reason; a good one read as written.
class GatewayConfigTest : public QObject
{
    Q_OBJECT

private slots:
    void refused_data();
    void refused();
    void read();
    void equalTagsShared();
    void passwordFileOthersCanRead();
    void examples_data();
    void examples();

private:
    QString write(const QString &name, const QByteArray &text, QFile::Permissions p = {});
    QTemporaryDir dir;
};

namespace {

const QByteArray good = "[broker]\nport = 1884\nprefix = plant\n\n"
                        "[controller boiler]\nconnection = 127.0.0.1:700\ninterval = 250\n"
                        "tag = temp AI1 Int16 deadband=0.5\n"
                        "tag = setpoint AO1 Float writable interval=1000\n";

} // namespace

QString GatewayConfigTest::write(const QString &name, const QByteArray &text, QFile::Permissions p)
{
    QFile f(dir.filePath(name));
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    f.write(text);
    f.close();
    if (p)
        f.setPermissions(p);
    return f.fileName();
}

void GatewayConfigTest::refused_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("error"); // after "FILE:"

    QTest::newRow("unknown key") << good + "colour = red\n"
                                 << "10: colour: no such key";
    QTest::newRow("port out of range")
        << QByteArray("[broker]\nport = 70000\n") + good.mid(9) << "2: port: takes a whole number";
    QTest::newRow("bad type") << good + "tag = x AI2 Int17\n"
                              << "10: tag: unknown type Int17";
    QTest::newRow("address the driver reads as another point") << good + "tag = x AI2.5 Int16\n"
                                                               << "10: tag: ";
    QTest::newRow("bad connection") << good + "connection = 127.0.0.1\n"
                                    << "10: connection: ";
    QTest::newRow("no controller")
        << QByteArray("[broker]\nport = 1884\n") << " names no controller";
    // Each fault at the line that holds it; a section as a whole at its header.
    QTest::newRow("tag name with a wildcard") << good + "tag = a/b AI2 Int16\n"
                                              << "10: tag a/b: 'a/b' cannot be a topic level";
    QTest::newRow("tag named twice")
        << good + "tag = temp AI2 Int16\n"
        << "10: tag temp: the tag name is given twice (first on line 8)";
    QTest::newRow("tag list names a tag twice")
        << good + "tags = twice.csv\n"
        << "10: tag temp: the tag name is given twice (first on line 8)";
    QTest::newRow("writable names no tag") << good + "writable = nothing\n"
                                           << "10: writable: names nothing, which is no tag";
    QTest::newRow("no connection") << QByteArray("[controller c]\ntag = t AI1 Int16\n")
                                   << "1: controller c: has no connection";
    QTest::newRow("backoff_max below backoff") << good + "backoff = 2000\nbackoff_max = 1000\n"
                                               << "11: backoff_max is below backoff";
    QTest::newRow("controller key twice") << good + "interval = 500\n"
                                          << "10: interval: is given twice in this section (first "
                                             "on line 7)";
    QTest::newRow("broker key twice")
        << "[broker]\nhost = a\nhost = b\n" + good.mid(9) << "3: host: is given twice";
    QTest::newRow("broker section twice") << good + "[broker]\n"
                                          << "10: [broker] is given twice";
    QTest::newRow("prefix with an empty level")
        << "[broker]\nprefix = plant//line\n" + good.mid(9) << "2: prefix: level";
    QTest::newRow("prefix with a wildcard")
        << "[broker]\nprefix = plant/+\n" + good.mid(9) << "2: prefix: level";
    QTest::newRow("prefix of the broker's own")
        << "[broker]\nprefix = $SYS/x\n" + good.mid(9) << "2: prefix: '$SYS/x' begins with $";
    QTest::newRow("large_integers") << "[broker]\nlarge_integers = string\n" + good.mid(9)
                                    << "2: large_integers: takes number or text";
    QTest::newRow("output of another form")
        << "[broker]\noutput = json xml\n" + good.mid(9)
        << "2: output: takes json, sparkplug or both, not 'xml'";
    QTest::newRow("sparkplug without its ids")
        << "[broker]\noutput = sparkplug\nsparkplug_node = n\n" + good.mid(9)
        << " [broker]: output = sparkplug needs sparkplug_group and sparkplug_node";
    QTest::newRow("standby beside a Sparkplug node")
        << "[broker]\nstandby = on\noutput = sparkplug\nsparkplug_group = g\nsparkplug_node = n\n" +
               good.mid(9)
        << " [broker]: standby = on takes output = json";
    QTest::newRow("sparkplug group with a wildcard")
        << "[broker]\nsparkplug_group = a+b\n" + good.mid(9)
        << "2: sparkplug_group: 'a+b' cannot be a topic level";
    QTest::newRow("store at a relative path") << "[broker]\nstore = history.sqlite\n" + good.mid(9)
                                              << "2: store: takes an absolute path or off";
    QTest::newRow("store_size below the least")
        << "[broker]\nstore_size = 16k\n" + good.mid(9) << "2: store_size: takes a size from";
    QTest::newRow("store_size in an unknown unit")
        << "[broker]\nstore_size = 5T\n" + good.mid(9) << "2: store_size: takes a size from";
    QTest::newRow("tag named as the history topic") << good + "tag = history AI2 Int16\n"
                                                    << "10: tag history: 'history' names one";
    QTest::newRow("unknown tag option") << good + "tag = x AI2 Int16 units=C\n"
                                        << "10: tag: unknown tag option 'units=C'";
    QTest::newRow("quote not closed") << good + "tag = x AI2 Int16 description=\"a b\n"
                                      << "10: tag: a quote is not closed";
    QTest::newRow("scale of 0") << good + "tag = x AI2 Int16 scale=0\n"
                                << "10: tag: the scale takes a number other than 0";
    QTest::newRow("offset not a number") << good + "tag = x AI2 Int16 offset=inf\n"
                                         << "10: tag: the offset takes a number";
    QTest::newRow("scaled text") << good + "tag = x SI1 String scale=2\n"
                                 << "10: tag: scale and offset apply to number types";
    QTest::newRow("unit with a control character") << good + "tag = x AI2 Int16 unit=\x1b[2J\n"
                                                   << "10: tag: the unit holds a control";
    // What the driver refuses once running is refused here, at the tag's line.
    QTest::newRow("driver: no such point") << good + "tag = big LW5000000 Int64\n"
                                           << "10: tag big: the driver refuses reads of "
                                              "LW5000000 as Int64 of 1: result 3";
    QTest::newRow("driver: type the area does not take")
        << good + "tag = flags DI1 Float\n"
        << "10: tag flags: the driver refuses reads";
    QTest::newRow("driver: count beyond one transfer") << good + "tag = long AI1 Int16 count=1400\n"
                                                       << "10: tag long: the driver refuses";
    QTest::newRow("line outside a section") << "port = 1\n" + good << "1: port: belongs in";
    QTest::newRow("tag list file missing") << good + "tags = none.csv\n"
                                           << "10: tags: cannot read";
    // What the broker session would refuse at the start is refused here.
    QTest::newRow("empty client_id")
        << "[broker]\nclient_id =\n" + good.mid(9) << "2: client_id: takes 1 to 65535 bytes";
    QTest::newRow("client_id with a control character")
        << "[broker]\nclient_id = gw\x01\n" + good.mid(9) << "2: client_id: takes 1 to 65535";
    QTest::newRow("password file that is a folder")
        << "[broker]\npassword_file = /\n" + good.mid(9) << "2: password_file: ";
    QTest::newRow("CA file that is a folder")
        << "[broker]\nca_file = /\n" + good.mid(9) << "2: ca_file: ";
    // The metrics are open beyond loopback only when said so, at an address and not a name.
    QTest::newRow("metrics open to the network")
        << "[broker]\nmetrics = 192.0.2.7:9480\nmetrics_remote = off\n" + good.mid(9)
        << "2: metrics: 192.0.2.7 is not a loopback address: the metrics would be open to the "
           "network; metrics_remote = on";
    QTest::newRow("metrics on every address")
        << "[broker]\nmetrics = [::]:9480\n" + good.mid(9) << "2: metrics: :: is not a loopback";
    QTest::newRow("metrics at a name")
        << "[broker]\nmetrics = localhost:9480\n" + good.mid(9)
        << "2: metrics: takes ADDRESS:PORT with an IPv4 or IPv6 address";
    QTest::newRow("metrics at IPv6 without brackets")
        << "[broker]\nmetrics = ::1:9480\n" + good.mid(9) << "2: metrics: takes ADDRESS:PORT";
    QTest::newRow("metrics port out of range")
        << "[broker]\nmetrics = 127.0.0.1:65536\n" + good.mid(9)
        << "2: metrics: takes ADDRESS:PORT";
}

void GatewayConfigTest::refused()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, error);
    const QString path = write(QStringLiteral("gw.conf"), text);
    write(QStringLiteral("twice.csv"), "temp,AI3,Int16\n");
    DriverLibrary library;
    QString why;
    QVERIFY2(library.load(QStringLiteral(TARVIK_LIBRARY_PATH), &why), qPrintable(why));
    GatewayConfig config;
    QVERIFY(!loadGatewayConfig(path, &config, &why, &library));
    QVERIFY2(why.startsWith(path + QLatin1Char(':') + error), qPrintable(why));
}

void GatewayConfigTest::read()
{
    const QString list = write(QStringLiteral("tags.csv"), "name,address,type\nlevel,AI9,UInt16\n");
    GatewayConfig config;
    QString why;
    DriverLibrary library;
    QVERIFY2(library.load(QStringLiteral(TARVIK_LIBRARY_PATH), &why), qPrintable(why));
    QVERIFY2(loadGatewayConfig(
                 write(QStringLiteral("gw.conf"),
                       QByteArray(good).replace("prefix = plant", "prefix = plant/site-a/line-3\n"
                                                                  "large_integers = text\n"
                                                                  "store_size = 2M\n"
                                                                  "metrics = [::]:9480\n"
                                                                  "metrics_remote = on\n"
                                                                  "client_id = gw 1/a") +
                           "tags = tags.csv\nwritable = level\n"
                           "tag = flow AI7 Int16 unit=l/min description=\"Inlet flow, main\" "
                           "scale=0.1 offset=-5\n"
                           // Another controller gives the same texts, for other fields of
                           // other tags: each tag keeps its own.
                           "[controller kiln]\nconnection = 127.0.0.1:701\n"
                           "tag = flow AI9 Int16 unit=AI7\ntag = level AI7 UInt16\n"),
                 &config, &why, &library),
             qPrintable(why));
    QCOMPARE(config.broker.prefix, QStringLiteral("plant/site-a/line-3"));
    QCOMPARE(config.broker.storeCapBytes, qint64(2) << 20);
    QCOMPARE(config.broker.metricsAddress, QStringLiteral("::"));
    QCOMPARE(config.broker.metricsPort, 9480);
    // The store's default place: the service's state directory, a file named after the client id.
    qputenv("STATE_DIRECTORY", "/var/lib/gw:/var/lib/other");
    QCOMPARE(storePathOf(config.broker), QStringLiteral("/var/lib/gw/history-gw_1_a.sqlite"));
    qunsetenv("STATE_DIRECTORY");
    QCOMPARE(config.controllers.size(), 2);
    const ControllerSettings &c = config.controllers.first();
    QCOMPARE(c.tags.size(), 4);
    QVERIFY(c.largeIntegersAsText);
    const Tag &flow = c.tags[3].tag;
    QCOMPARE(flow.unit, QStringLiteral("l/min"));
    QCOMPARE(flow.description, QStringLiteral("Inlet flow, main"));
    QCOMPARE(flow.scale, 0.1);
    QCOMPARE(flow.offset, -5.0);
    QCOMPARE(c.tags[0].deadband, 0.5);
    QCOMPARE(c.tags[0].tag.intervalMs, 250);
    QCOMPARE(c.tags[1].tag.intervalMs, 1000);
    QVERIFY(!c.tags[0].writable && c.tags[1].writable && c.tags[2].writable);
    QCOMPARE(c.tags[2].tag.address, QStringLiteral("AI9"));
    const QVector<GatewayTag> &kiln = config.controllers[1].tags;
    QCOMPARE(kiln[0].tag.name, QStringLiteral("flow"));
    QCOMPARE(kiln[0].tag.address, QStringLiteral("AI9"));
    QCOMPARE(kiln[0].tag.unit, QStringLiteral("AI7"));
    QCOMPARE(kiln[0].tag.description, QString());
    QCOMPARE(kiln[1].tag.name, QStringLiteral("level"));
    QCOMPARE(kiln[1].tag.address, QStringLiteral("AI7"));
    QCOMPARE(kiln[1].tag.unit, QString());
    QVERIFY(list.endsWith(QLatin1String("tags.csv")));
}

// Controllers alike hold one list of tags; one that differs in anything the gateway uses keeps
// its own.
void GatewayConfigTest::equalTagsShared()
{
    const QByteArray tags = "tag = temp AI1 Int16\ntag = setpoint AO1 Float\n";
    const auto section = [&](const char *name, int port, const QByteArray &extra) {
        return "[controller " + QByteArray(name) +
               "]\nconnection = 127.0.0.1:" + QByteArray::number(port) + "\n" + extra + tags;
    };
    GatewayConfig config;
    QString why;
    QVERIFY2(
        loadGatewayConfig(
            write(QStringLiteral("alike.conf"),
                  "[broker]\nport = 1884\n" + section("a", 700, "") + section("b", 701, "") +
                      section("c", 702, "writable = setpoint\n") +
                      section("d", 703, "deadband = 2\n") + section("e", 704, "interval = 500\n")),
            &config, &why),
        qPrintable(why));
    const auto list = [&](int i) { return config.controllers[i].tags.constData(); };
    QCOMPARE(list(1), list(0));
    for (int i = 2; i < 5; ++i)
        QVERIFY2(list(i) != list(0), qPrintable(config.controllers[i].name));
    QVERIFY(!config.controllers[0].tags[1].writable && config.controllers[2].tags[1].writable);
    QCOMPARE(config.controllers[3].tags[0].deadband, 2.0);
    QCOMPARE(config.controllers[4].tags[0].tag.intervalMs, 500);
}

void GatewayConfigTest::passwordFileOthersCanRead()
{
    const QString secret = write(QStringLiteral("pw"), "s3cret\n",
                                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
    GatewayConfig config;
    QString why;
    QVERIFY(loadGatewayConfig(
        write(QStringLiteral("gw.conf"),
              "[broker]\nusername = gw\npassword_file = " + secret.toUtf8() + "\n" + good.mid(9)),
        &config, &why));
    QCOMPARE(config.broker.password, QStringLiteral("s3cret"));
    QCOMPARE(config.warnings.size(), 1);
    QVERIFY(config.warnings.first().contains(QLatin1String("readable by every user")));
}

// The configurations shipped as examples are good ones.
void GatewayConfigTest::examples_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("json");
    QTest::addColumn<bool>("sparkplug");
    QTest::newRow("gateway.conf") << "gateway.conf" << true << false;
    QTest::newRow("gateway-sparkplug.conf") << "gateway-sparkplug.conf" << true << true;
}

void GatewayConfigTest::examples()
{
    QFETCH(QString, file);
    QFETCH(bool, json);
    QFETCH(bool, sparkplug);
    DriverLibrary library;
    QString why;
    QVERIFY2(library.load(QStringLiteral(TARVIK_LIBRARY_PATH), &why), qPrintable(why));
    GatewayConfig config;
    QVERIFY2(
        loadGatewayConfig(QStringLiteral(TARVIK_EXAMPLES_DIR "/") + file, &config, &why, &library),
        qPrintable(why));
    QCOMPARE(config.broker.jsonOutput, json);
    QCOMPARE(config.broker.sparkplugOutput, sparkplug);
}

QTEST_GUILESS_MAIN(GatewayConfigTest)
#include "tst_gatewayconfig.moc"
