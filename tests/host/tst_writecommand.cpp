#include "libtarvik.h"
#include "simprocess.h"
#include "writecommand.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <QUdpSocket>

// The host program's write command against the simulator: values parsed per type, what the
// controller then holds, the result in numbers and words, and the exit status.
class WriteCommandTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void run_data();
    void run();
    void hostProgram();

private:
    SimProcess sim;
    QUdpSocket deaf; // bound, never answers
};

void WriteCommandTest::initTestCase()
{
    QVERIFY(sim.start());
    QVERIFY(deaf.bind(QHostAddress(QHostAddress::LocalHost), 0));
}

void WriteCommandTest::init()
{
    QCOMPARE(sim.control(QStringLiteral("reset")), QStringLiteral("ok"));
}

void WriteCommandTest::run_data()
{
    QTest::addColumn<QString>("args"); // split at blanks; %udp and %deaf are filled in
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("output"); // a pattern standard output or, with status 2, the
                                         // error output must match
    QTest::addColumn<QString>("stored"); // AREA OFFSET HEX the controller holds afterwards

    const QString ok = QStringLiteral("result   0 \\(success\\)");
    QTest::newRow("Int16 513 -1 -> 01 02 ff ff")
        << "AI1 --type Int16 513 -1 --connect %udp" << 0 << ok << "AI 0 0102ffff";
    QTest::newRow("int16 by name in any case, 0x7fff -> ff 7f")
        << "AI1 --type int16 0x7fff --connect %udp" << 0 << ok << "AI 0 ff7f";
    QTest::newRow("type 4 by number") << "AI1 --type 4 1 --connect %udp" << 0 << ok << "AI 0 0100";
    QTest::newRow("Bool true 0 TRUE -> 01 00 01")
        << "DO_F1 --type Bool true 0 TRUE --connect %udp" << 0 << ok << "DO_F 0 010001";
    QTest::newRow("Int8 -128 127 1 2 -> 80 7f 01 02")
        << "AI1 --type Int8 -128 127 1 2 --connect %udp" << 0 << ok << "AI 0 807f0102";
    QTest::newRow("UInt32 0xdeadbeef -> ef be ad de")
        << "LW1 --type UInt32 0xdeadbeef --connect %udp" << 0 << ok << "LW 0 efbeadde";
    QTest::newRow("UInt64 18446744073709551615 -> ff x 8")
        << "NAI1 --type UInt64 18446744073709551615 --connect %udp" << 0 << ok
        << "NAI 0 ffffffffffffffff";
    QTest::newRow("Float -2.5 -> 00 00 20 c0")
        << "AO1 --type Float -2.5 --connect %udp" << 0 << ok << "AO 0 000020c0";
    QTest::newRow("String hi -> 02 68 69")
        << "SI1 --type String hi --connect %udp" << 0 << ok << "SI 0 026869";
    QTest::newRow("--json") << "AI1 --type Int16 7 --json --connect %udp" << 0
                            << "^\\{\"address\":\"AI1\".*\"result\":0,.*\"values\":\\[7\\]\\}\n$"
                            << "AI 0 0700";
    // Refused by the driver: exit 1 with the result in words.
    QTest::newRow("Float to AI -> 2")
        << "AI1 --type Float 1 --connect %udp" << 1 << "result   2 \\(type refused"
        << "AI 0 0000";
    QTest::newRow("ai1 -> 3") << "ai1 --type Int16 1 --connect %udp" << 1
                              << "result   3 \\(no area, or no usable point"
                              << "AI 0 0000";
    QTest::newRow("type 13 -> 4") << "AI1 --type 13 1 --connect %udp" << 1
                                  << "result   4 \\(bad count"
                                  << "AI 0 0000";
    QTest::newRow("300-character text -> 4")
        << "SI1 --type String " + QString(300, 'a') + " --connect %udp" << 1
        << "result   4 \\(bad count"
        << "SI 0 00";
    QTest::newRow("no --connect -> 9")
        << "AI1 --type Int16 1" << 1 << "result   9 \\(link not open\\)"
        << "AI 0 0000";
    QTest::newRow("connect, nobody answers -> 1")
        << "AI1 --type Int16 1 --connect %deaf" << 1 << "^$"
        << "AI 0 0000";
    // Values out of range or not of the type, and words that do not parse: nothing is sent.
    const QString range = QStringLiteral("out of range.*takes %1");
    QTest::newRow("Int8 128") << "AI1 --type Int8 128 --connect %udp" << 2
                              << range.arg("-128 to 127") << "";
    QTest::newRow("UInt8 -1") << "SA1 --type UInt8 -1 --connect %udp" << 2 << range.arg("0 to 255")
                              << "";
    QTest::newRow("Int16 32768") << "AI1 --type Int16 1 32768 --connect %udp" << 2
                                 << "Int16 32768 is " + range.arg("-32768 to 32767") << "";
    QTest::newRow("UInt16 65536") << "AI1 --type UInt16 65536 --connect %udp" << 2
                                  << range.arg("0 to 65535") << "";
    QTest::newRow("Int32 2147483648") << "LW1 --type Int32 2147483648 --connect %udp" << 2
                                      << range.arg("-2147483648 to 2147483647") << "";
    QTest::newRow("UInt32 4294967296")
        << "LW1 --type UInt32 4294967296 --connect %udp" << 2 << range.arg("0 to 4294967295") << "";
    QTest::newRow("Int64 9223372036854775808")
        << "LW1 --type Int64 9223372036854775808 --connect %udp" << 2
        << range.arg("-9223372036854775808 to 9223372036854775807") << "";
    QTest::newRow("UInt64 -1") << "LW1 --type UInt64 -1 --connect %udp" << 2
                               << range.arg("0 to 18446744073709551615") << "";
    QTest::newRow("Float 1e39") << "AO1 --type Float 1e39 --connect %udp" << 2
                                << range.arg("a number") << "";
    QTest::newRow("Bool 2") << "DO1 --type Bool 2 --connect %udp" << 2
                            << range.arg("true, false, 1 or 0") << "";
    QTest::newRow("Int16 abc") << "AI1 --type Int16 abc --connect %udp" << 2 << "abc is"
                               << "";
    QTest::newRow("no value") << "AI1 --type Int16 --connect %udp" << 2 << "at least one VALUE"
                              << "";
    QTest::newRow("no --type") << "AI1 1 --connect %udp" << 2 << "--type TYPE"
                               << "";
    QTest::newRow("unknown type Int9")
        << "AI1 --type Int9 1 --connect %udp" << 2 << "unknown type Int9; types are Bool, Int8"
        << "";
    QTest::newRow("unknown option") << "AI1 --type Int16 1 --force" << 2 << "unknown option --force"
                                    << "";
}

void WriteCommandTest::run()
{
    QFETCH(QString, args);
    QFETCH(int, status);
    QFETCH(QString, output);
    QFETCH(QString, stored);

    args.replace(QLatin1String("%udp"), sim.udpConnectionString());
    args.replace(QLatin1String("%deaf"), QStringLiteral("127.0.0.1:%1").arg(deaf.localPort()));
    const int requestsBefore = sim.requestsSeen();
    QString outText, errText;
    QTextStream out(&outText), err(&errText);
    LibTarvik driver;
    QCOMPARE(runWrite(&driver, args.split(' '), out, err), status);
    out.flush();
    err.flush();
    const QString shown = status == 2 ? errText : outText;
    QVERIFY2(QRegularExpression(output).match(shown).hasMatch(), qPrintable(shown));
    if (status == 2)
        QCOMPARE(sim.requestsSeen(), requestsBefore);
    if (!stored.isEmpty()) {
        const QStringList f = stored.split(' ');
        QCOMPARE(sim.control(QStringLiteral("peek %1 %2 %3").arg(f[0], f[1]).arg(f[2].size() / 2)),
                 "ok " + f[2]);
    }
}

// The same command through the host program, which loads the library by name.
void WriteCommandTest::hostProgram()
{
    const QString host = QStringLiteral(TARVIK_HOST_PATH);
    if (!QFileInfo::exists(host))
        QSKIP("the host program is not built");
    QProcess p;
    p.start(host, {"write", "AI2", "--type", "UInt16", "4660", "65535", "--connect",
                   sim.udpConnectionString()});
    QVERIFY(p.waitForFinished(10000));
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    QCOMPARE(p.exitCode(), 0);
    QVERIFY2(out.contains(QLatin1String("result   0 (success)")), qPrintable(out));
    QCOMPARE(sim.control(QStringLiteral("peek AI 4 4")), QStringLiteral("ok 3412ffff"));
}

QTEST_GUILESS_MAIN(WriteCommandTest)
#include "tst_writecommand.moc"
