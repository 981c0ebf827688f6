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
    void passwordFileOthersCanRead();

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
    QTest::newRow("tag name with a wildcard")
        << good + "tag = a/b AI2 Int16\n"
        << "5: controller boiler: 'a/b' cannot be a topic level";
    QTest::newRow("tag named twice") << good + "tag = temp AI2 Int16\n"
                                     << "5: controller boiler: the tag name temp is given twice";
    QTest::newRow("writable names no tag") << good + "writable = nothing\n"
                                           << "5: controller boiler: writable names nothing";
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
}

void GatewayConfigTest::refused()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, error);
    const QString path = write(QStringLiteral("gw.conf"), text);
    GatewayConfig config;
    QString why;
    QVERIFY(!loadGatewayConfig(path, &config, &why));
    QVERIFY2(why.startsWith(path + QLatin1Char(':') + error), qPrintable(why));
}

void GatewayConfigTest::read()
{
    const QString list = write(QStringLiteral("tags.csv"), "name,address,type\nlevel,AI9,UInt16\n");
    GatewayConfig config;
    QString why;
    QVERIFY2(loadGatewayConfig(write(QStringLiteral("gw.conf"), good + "tags = tags.csv\n"
                                                                       "writable = level\n"),
                               &config, &why),
             qPrintable(why));
    QCOMPARE(config.broker.port, 1884);
    QCOMPARE(config.controllers.size(), 1);
    const ControllerSettings &c = config.controllers.first();
    QCOMPARE(c.tags.size(), 3);
    QCOMPARE(c.tags[0].deadband, 0.5);
    QCOMPARE(c.tags[0].tag.intervalMs, 250);
    QCOMPARE(c.tags[1].tag.intervalMs, 1000);
    QVERIFY(!c.tags[0].writable && c.tags[1].writable && c.tags[2].writable);
    QCOMPARE(c.tags[2].tag.address, QStringLiteral("AI9"));
    QVERIFY(list.endsWith(QLatin1String("tags.csv")));
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

QTEST_GUILESS_MAIN(GatewayConfigTest)
#include "tst_gatewayconfig.moc"
