#include "libtarvik.h"
#include "messagelog.h"
#include "payload.h"
#include "simprocess.h"

#include <QTest>

// ReadVariable end to end against the simulator, over UDP and over its pseudo-terminal: the
// values it returns, every outcome code, the record's fields, and that nothing is sent for a
// tag the host did not name.
class ReadPathTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void values_data();
    void values();
    void siInt8DropsBlockLeaders();
    void refusals_data();
    void refusals();
    void failures_data();
    void failures();
    void closedLink();
    void lateAnswerIsNotTheNextValue();
    void stampFollowsZone_data();
    void stampFollowsZone();

private:
    LibTarvik *driverFor(const QString &link);

    SimProcess sim;
    LibTarvik udp;
    LibTarvik serial;
};

void ReadPathTest::initTestCase()
{
    QVERIFY(sim.start({QStringLiteral("--pty")}));
    QCOMPARE(udp.ConnectDrive(sim.udpConnectionString()), 0);
    QCOMPARE(serial.ConnectDrive(sim.serialConnectionString(9600)), 0);
}

void ReadPathTest::init()
{
    QCOMPARE(sim.control(QStringLiteral("faults")), QStringLiteral("ok"));
    QCOMPARE(sim.control(QStringLiteral("reset")), QStringLiteral("ok"));
}

LibTarvik *ReadPathTest::driverFor(const QString &link)
{
    return link == QLatin1String("udp") ? &udp : &serial;
}

void ReadPathTest::values_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("poke"); // AREA OFFSET HEX
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("count");
    QTest::addColumn<QStringList>("values");

    struct Row
    {
        const char *name, *poke, *address;
        int type, count;
        QStringList values;
    };
    const Row rows[] = {
        {"AI_F12 Int16 x3", "AI_F 44 0102ffff3930", "AI_F12", Int16, 3, {"513", "-1", "12345"}},
        {"AI1 UInt16 x2", "AI 0 ffff0100", "AI1", UInt16, 2, {"65535", "1"}},
        {"LW5 Int32 x2", "LW 16 78563412ffffffff", "LW5", Int32, 2, {"305419896", "-1"}},
        {"LW1 UInt32", "LW 0 ffffffff", "LW1", UInt32, 1, {"4294967295"}},
        {"AO1 Float x2", "AO 0 0000803f000020c0", "AO1", Float, 2, {"1", "-2.5"}},
        {"NAI3 Double", "NAI 8 000000000000f03f", "NAI3", Double, 1, {"1"}},
        {"LA1 Int64, most significant byte first",
         "LA 0 0102030405060708",
         "LA1",
         Int64,
         1,
         {"72623859790382856"}},
        {"LA1 UInt64", "LA 0 ffffffffffffffff", "LA1", UInt64, 1, {"18446744073709551615"}},
        {"DI1 Bool x10",
         "DI 0 00010001ff0000000001",
         "DI1",
         Bool,
         10,
         {"false", "true", "false", "true", "true", "false", "false", "false", "false", "true"}},
        {"DO_F3 UInt8 x2, bits packed",
         "DO_F 2 01000000000000010101010101010101",
         "DO_F3",
         UInt8,
         2,
         {"129", "255"}},
        {"AI1 Int8 x5 reads 4", "AI 0 fc7f8001", "AI1", Int8, 5, {"252", "127", "128", "1"}},
        {"SA2 Int16", "SA 2 3412", "SA2", Int16, 1, {"4660"}},
        {"Custom10 Int16", "Custom 9 ff7f", "Custom10", Int16, 1, {"32767"}},
        {"SI1 String x2", "SI 0 03616263", "SI1", String, 2, {"'abc'", "''"}},
        {"SI2 String", "SI 256 0568656c6c6f", "SI2", String, 1, {"'hello'"}},
        {"SI1 String UTF-8", "SI 0 0363c3a9", "SI1", String, 1, {QStringLiteral("'cé'")}},
        {"SI1 String Latin-1", "SI 0 0363e9e8", "SI1", String, 1, {QStringLiteral("'céè'")}},
    };
    for (const char *link : {"udp", "pty"}) {
        for (const Row &r : rows) {
            QTest::newRow(qPrintable(QStringLiteral("%1 %2").arg(link, r.name)))
                << QString(link) << QString(r.poke) << QString(r.address) << r.type << r.count
                << r.values;
        }
    }
}

void ReadPathTest::values()
{
    QFETCH(QString, link);
    QFETCH(QString, poke);
    QFETCH(QString, address);
    QFETCH(int, type);
    QFETCH(int, count);
    QFETCH(QStringList, values);

    QCOMPARE(sim.control("poke " + poke), QStringLiteral("ok"));
    const QDateTime before = QDateTime::currentDateTime();
    CLabelVariable r = driverFor(link)->ReadVariable(address, DataType(type), count);
    QCOMPARE(r.result, 0);
    QCOMPARE(r.address, address);
    QCOMPARE(r.count, count);
    QCOMPARE(int(r.type), type);
    QCOMPARE(r.accessStatus, 1);
    QVERIFY(r.time >= before && r.time <= QDateTime::currentDateTime());
    QCOMPARE(recordTexts(r), values);
}

// An Int8 read of SI drops the first byte of every 256-byte block; UInt8 keeps them.
void ReadPathTest::siInt8DropsBlockLeaders()
{
    QByteArray image;
    for (int i = 0; i < 512; ++i)
        image.append(char(i & 0xFF));
    QCOMPARE(sim.control("poke SI 0 " + image.toHex()), QStringLiteral("ok"));
    CLabelVariable i8 = udp.ReadVariable(QStringLiteral("SI1"), Int8, 512);
    QCOMPARE(i8.result, 0);
    const QStringList got = recordTexts(i8);
    QCOMPARE(got.size(), 510);
    QCOMPARE(got.first(), QStringLiteral("1"));
    QCOMPARE(got.at(254), QStringLiteral("255"));
    QCOMPARE(got.at(255), QStringLiteral("1")); // byte 256 (a 0) is gone, byte 257 follows
    CLabelVariable u8 = udp.ReadVariable(QStringLiteral("SI1"), UInt8, 512);
    QCOMPARE(recordTexts(u8).size(), 512);
}

void ReadPathTest::refusals_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("result");

    // Refusals before the transfer is sized carry the moment of the call; a length refused by
    // the sizing, like a failed request, carries no time.
    QTest::newRow("XX1 -> 3") << "XX1" << int(Int16) << 1 << 3;
    QTest::newRow("ai1 -> 3") << "ai1" << int(Int16) << 1 << 3;
    QTest::newRow("leading blank -> 3") << " AI1" << int(Int16) << 1 << 3;
    QTest::newRow("XX1 type 0 -> 3") << "XX1" << 0 << 1 << 3;
    QTest::newRow("AI1 count 0 -> 4") << "AI1" << int(Int16) << 0 << 4;
    QTest::newRow("AI1 count -5 -> 4") << "AI1" << int(Int16) << -5 << 4;
    QTest::newRow("AI1 type 0 -> 2") << "AI1" << 0 << 1 << 2;
    QTest::newRow("AI1 type 13 -> 4") << "AI1" << 13 << 1 << 4;
    QTest::newRow("AI1 type -1 -> 4") << "AI1" << -1 << 1 << 4;
    QTest::newRow("AI1 Int8 x3 -> 4") << "AI1" << int(Int8) << 3 << 4;
    QTest::newRow("AO_F1 Int8 x4 -> 4") << "AO_F1" << int(Int8) << 4 << 4;
    QTest::newRow("AI1 Double x184 -> 4") << "AI1" << int(Double) << 184 << 4;
    QTest::newRow("DI1 Int16 -> 4, a bit area holds no 16-bit values")
        << "DI1" << int(Int16) << 1 << 4;
    QTest::newRow("DO_F1 Double x8 -> 4") << "DO_F1" << int(Double) << 8 << 4;
    QTest::newRow("SD1 UInt32 x2 -> 4") << "SD1" << int(UInt32) << 2 << 4;
    QTest::newRow("DI Int8 x1 (bits 8) -> no digits, 3") << "DI" << int(Int8) << 1 << 3;
    QTest::newRow("DI0 -> 3") << "DI0" << int(Bool) << 1 << 3;
    QTest::newRow("DI0 x0 -> 3 before the count") << "DI0" << int(Bool) << 0 << 3;
    QTest::newRow("DI4294967296 -> 3") << "DI4294967296" << int(Bool) << 1 << 3;
    QTest::newRow("DI2147483649 (index 2^31) -> 3") << "DI2147483649" << int(Bool) << 1 << 3;
    QTest::newRow("AI4194305 Int16 (address 2^24) -> 3") << "AI4194305" << int(Int16) << 1 << 3;
    QTest::newRow("SI65537 String (address 2^24) -> 3") << "SI65537" << int(String) << 1 << 3;
    QTest::newRow("DI16777217 Bool (address 2^24) -> 3") << "DI16777217" << int(Bool) << 1 << 3;
    QTest::newRow("AI4194304 Int16 (address 2^24-4) -> sent")
        << "AI4194304" << int(Int16) << 1 << 0;
    QTest::newRow("SI65536 String -> sent") << "SI65536" << int(String) << 1 << 0;
    QTest::newRow("DI16777216 Bool -> sent") << "DI16777216" << int(Bool) << 1 << 0;
    QTest::newRow("AI1 Double x183 -> sent") << "AI1" << int(Double) << 183 << 0;
    QTest::newRow("DI1 Bool x1467 -> sent") << "DI1" << int(Bool) << 1467 << 0;
}

void ReadPathTest::refusals()
{
    QFETCH(QString, address);
    QFETCH(int, type);
    QFETCH(int, count);
    QFETCH(int, result);

    const int before = sim.requestsSeen();
    const QDateTime called = QDateTime::currentDateTime();
    CLabelVariable r = udp.ReadVariable(address, DataType(type), count);
    QCOMPARE(r.result, result);
    // The link check is answered only once every request sent before it has been taken.
    QCOMPARE(udp.link.connections(), 0);
    QCOMPARE(sim.requestsSeen() - before, (result == 0 ? 1 : 0) + 1);
    QCOMPARE(r.address, address);
    QCOMPARE(r.count, count);
    QCOMPARE(int(r.type), type);
    const bool sizedAway = result == 4 && count > 0;
    QCOMPARE(r.time.isValid(), !sizedAway);
    if (r.time.isValid())
        QVERIFY(r.time >= called);
    QCOMPARE(r.value.isValid(), result == 0);
}

void ReadPathTest::failures_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("faults");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("warning");

    for (const char *link : {"udp", "pty"}) {
        auto row = [link](const char *name, const char *faults, int result, const char *warn) {
            QTest::newRow(qPrintable(QStringLiteral("%1 %2").arg(link, name)))
                << QString(link) << QString(faults) << result << QString::fromUtf8(warn);
        };
        row("silent -> 8", "--silent", 8, "返回的报文长度为0");
        row("wrong sequence -> 8", "--wrong-seq", 8, "返回的序号错误");
        row("one byte short -> 8", "--short 1", 8, "返回的报文长度不足");
        row("header only -> 8", "--short 6", 8, "返回的报文长度不足");
        // Over the serial line the surplus comes right behind the answer: it is not trusted.
        if (QLatin1String(link) == QLatin1String("udp"))
            row("oversized -> values", "--oversize 40", 0, "");
        else
            row("oversized -> 8", "--oversize 40", 8, "answer followed by more bytes");
        row("late within the wait -> values", "--late 100", 0, "");
    }
    QTest::newRow("udp stranger first -> values") << "udp"
                                                  << "--decoy" << 0 << "dropped";
    QTest::newRow("udp stranger only -> 8") << "udp"
                                            << "--foreign" << 8 << "返回的报文长度为0";
    QTest::newRow("udp device, another port -> values") << "udp"
                                                        << "--other-port" << 0 << "";
    QTest::newRow("pty paced at 9600 -> values") << "pty"
                                                 << "--pace 9600" << 0 << "";
    QTest::newRow("pty FIFO chunks -> values") << "pty"
                                               << "--pace 9600 --chunk 8" << 0 << "";
}

void ReadPathTest::failures()
{
    QFETCH(QString, link);
    QFETCH(QString, faults);
    QFETCH(int, result);
    QFETCH(QString, warning);

    QCOMPARE(sim.control(QStringLiteral("poke AI 0 0102ffff")), QStringLiteral("ok"));
    QCOMPARE(sim.control("faults " + faults), QStringLiteral("ok"));
    MessageLog log;
    CLabelVariable r = driverFor(link)->ReadVariable(QStringLiteral("AI1"), Int16, 2);
    QCOMPARE(r.result, result);
    QCOMPARE(r.address, QStringLiteral("AI1"));
    QCOMPARE(r.count, 2);
    QCOMPARE(int(r.type), int(Int16));
    if (result == 0) {
        QCOMPARE(recordTexts(r), QStringList({"513", "-1"}));
    } else {
        QVERIFY(!r.time.isValid());
        QVERIFY(!r.value.isValid());
    }
    if (warning.isEmpty())
        QCOMPARE(log.warnings(), QStringList());
    else
        QVERIFY2(log.count(QtWarningMsg, warning) == 1, qPrintable(log.warnings().join('\n')));
}

void ReadPathTest::closedLink()
{
    LibTarvik d;
    CLabelVariable r = d.ReadVariable(QStringLiteral("AI_F12"), Int16, 3);
    QCOMPARE(r.result, 9);
    QVERIFY(!r.time.isValid());
    QVERIFY(!r.value.isValid());
    QCOMPARE(r.address, QStringLiteral("AI_F12"));
    QCOMPARE(r.count, 3);
    QCOMPARE(int(r.type), int(Int16));

    QCOMPARE(serial.DisConnectDrive(), 0);
    const int before = sim.requestsSeen();
    QCOMPARE(serial.ReadVariable(QStringLiteral("AI1"), Int16).result, 9);
    QCOMPARE(sim.requestsSeen(), before);
    QCOMPARE(serial.ConnectDrive(sim.serialConnectionString(9600)), 0);
}

// An answer that comes after the read gave up belongs to that read, never to the next.
void ReadPathTest::lateAnswerIsNotTheNextValue()
{
    for (LibTarvik *d : {&udp, &serial}) {
        QCOMPARE(sim.control(QStringLiteral("poke AI 0 1111")), QStringLiteral("ok"));
        QCOMPARE(sim.control(QStringLiteral("faults --late 600")), QStringLiteral("ok"));
        MessageLog log;
        QCOMPARE(d->ReadVariable(QStringLiteral("AI1"), Int16).result, 8);
        QCOMPARE(sim.control(QStringLiteral("faults")), QStringLiteral("ok"));
        QCOMPARE(sim.control(QStringLiteral("poke AI 0 2222")), QStringLiteral("ok"));
        d->link.mysleep(500); // the late answer (1111) arrives while nobody waits
        CLabelVariable r = d->ReadVariable(QStringLiteral("AI1"), Int16);
        QCOMPARE(r.result, 0);
        QCOMPARE(recordTexts(r), QStringList{QString::number(0x2222)});
    }
}

void ReadPathTest::stampFollowsZone_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("address"); // a refused one is stamped too
    QTest::addColumn<int>("result");
    for (const char *link : {"udp", "pty"}) {
        QTest::newRow(qPrintable(QStringLiteral("%1 AI1").arg(link)))
            << QString(link) << QStringLiteral("AI1") << 0;
        QTest::newRow(qPrintable(QStringLiteral("%1 XX1 refused").arg(link)))
            << QString(link) << QStringLiteral("XX1") << 3;
    }
}

// A host that changes TZ gets its records stamped in the new zone from the next read on: the
// same local time, offset and flag as QDateTime::currentDateTime() around the read.
void ReadPathTest::stampFollowsZone()
{
    QFETCH(QString, link);
    QFETCH(QString, address);
    QFETCH(int, result);
    const bool had = qEnvironmentVariableIsSet("TZ");
    const QByteArray old = qgetenv("TZ");
    for (const char *tz : {"<+14>-14", "<-12>12", "UTC0", "<+05:45>-5:45"}) {
        qputenv("TZ", tz); // as a host would, without tzset()
        const QDateTime before = QDateTime::currentDateTime();
        const CLabelVariable r = driverFor(link)->ReadVariable(address, Int16);
        const QDateTime after = QDateTime::currentDateTime();
        QCOMPARE(r.result, result);
        QCOMPARE(r.time.timeSpec(), Qt::LocalTime);
        QCOMPARE(r.time.offsetFromUtc(), before.offsetFromUtc());
        QVERIFY2(before <= r.time && r.time <= after, tz);
        QVERIFY(before.toString(Qt::ISODateWithMs) <= r.time.toString(Qt::ISODateWithMs));
    }
    if (had)
        qputenv("TZ", old);
    else
        qunsetenv("TZ");
}

QTEST_GUILESS_MAIN(ReadPathTest)
#include "tst_readpath.moc"
