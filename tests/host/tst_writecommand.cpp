#include "libtarvik.h"
#include "recordformat.h"
#include "simprocess.h"
#include "writecommand.h"
#include "writevalues.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <QUdpSocket>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>

// The host program's write command against the simulator: values parsed per type, what the
// controller then holds, the result in numbers and words, and the exit status. Floating point
// and text payloads exact or refused, and every value the programs print read back to its bits.
class WriteCommandTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void run_data();
    void run();
    void payload_data();
    void payload();
    void printedReadsBack_data();
    void printedReadsBack();
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
    QTest::newRow("Float 3.4028235e+38 -> ff ff 7f 7f")
        << "AO1 --type Float 3.4028235e+38 --connect %udp" << 0 << ok << "AO 0 ffff7f7f";
    QTest::newRow("Double -Infinity -> 00 x 6 f0 ff")
        << "NAI1 --type Double -Infinity --connect %udp" << 0 << ok << "NAI 0 000000000000f0ff";
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
    QTest::newRow("Float 3.5e38") << "AO1 --type Float 3.5e38 --connect %udp" << 2
                                  << range.arg("a number from -3.40282347e\\+38 to") << "";
    QTest::newRow("Double 1e400") << "NAI1 --type Double 1e400 --connect %udp" << 2
                                  << range.arg("a number from -1.7976931348623157e\\+308 to") << "";
    QTest::newRow("300-character text")
        << "SI1 --type String " + QString(300, 'a') + " --connect %udp" << 2
        << "String value 1 has more than 255 characters"
        << "";
    QTest::newRow("text with a zero character")
        << "SI1 --type String ok a" + QString(QChar(0)) + "b --connect %udp" << 2
        << "String value 2 holds a zero character \\(U\\+0000\\): the controller ends a text"
        << "";
    QTest::newRow("text outside Latin-1")
        << QStringLiteral("SI1 --type String \u03a9 --connect %udp") << 2
        << "String value 1 holds a character outside Latin-1 \\(ISO 8859-1\\)"
        << "";
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

void WriteCommandTest::payload_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("bits"); // Float, Double: the element's bits in hex
    QTest::addColumn<QString>("why");  // a pattern of the refusal, or "": taken

    // Long texts are named by their size.
    const auto name = [](int type, const QString &text) {
        return recordformat::typeName(type) + " '" +
               (text.size() > 12 ? QString::number(text.size()) + " characters"
                                 : recordformat::escaped(text)) +
               "'";
    };
    const auto taken = [&](int type, const QString &text, const char *bits) {
        QTest::addRow("%s -> %s", qPrintable(name(type, text)), bits)
            << type << text << bits << QString();
    };
    const auto refused = [&](int type, const QString &text, const QString &why) {
        QTest::addRow("%s refused", qPrintable(name(type, text)))
            << type << text << QString() << why;
    };
    for (const char *t : {"NaN", "nan", "NAN", "+nan"})
        taken(Float, t, "7fc00000");
    for (const char *t : {"Infinity", "inf", "INF", "infinity", "+Infinity"})
        taken(Float, t, "7f800000");
    for (const char *t : {"-Infinity", "-inf", "-INFINITY"})
        taken(Float, t, "ff800000");
    taken(Float, "3.4028235e+38", "7f7fffff");  // FLT_MAX, shortest
    taken(Float, "3.40282347e+38", "7f7fffff"); // FLT_MAX, nine digits
    taken(Float, "-3.4028235e+38", "ff7fffff");
    taken(Float, "1.17549435e-38", "00800000"); // FLT_MIN
    taken(Float, "1e-45", "00000001");          // the smallest denormal
    taken(Float, "0.1", "3dcccccd");
    taken(Float, " +1.5 ", "3fc00000");
    taken(Float, ".5", "3f000000");
    taken(Float, "-0", "80000000");
    taken(Double, "1.7976931348623157e+308", "7fefffffffffffff");
    taken(Double, "5e-324", "0000000000000001");
    taken(Double, "0.1", "3fb999999999999a");
    taken(Double, "-Infinity", "fff0000000000000");
    const QString floatRange = QStringLiteral("takes a number from -3.40282347e\\+38 to "
                                              "3.40282347e\\+38, NaN, Infinity or -Infinity");
    for (const char *t : {"3.5e38", "-3.5e38", "3.40282357e+38", "1e-50", "-nan", "nan(1)", "1e",
                          "0x10", "+-1", "--1", "1,5", "", " ", "infinit", "1.5x", "in f", "1 2"})
        refused(Float, t, floatRange);
    refused(Float, QStringLiteral("\uff11"), floatRange); // a full-width digit one
    refused(Float, QStringLiteral("1") + QChar(0), floatRange);
    for (const char *t : {"1e400", "-1e400", "1e-400"})
        refused(Double, t, "takes a number from -1.7976931348623157e\\+308 to");

    taken(String, QString(255, 'a'), "");
    taken(String, QStringLiteral("\u00e9t\u00e9 \u00ff"), ""); // Latin-1 letters
    taken(String, QString(), "");
    refused(String, QString(256, 'a'),
            "value 1 has more than 255 characters, the most a text item");
    refused(String, QStringLiteral("a") + QChar(0),
            "value 1 holds a zero character \\(U\\+0000\\)");
    refused(String, QStringLiteral("\u20ac"), "value 1 holds a character outside Latin-1");
    refused(String, QStringLiteral("\U0001F600"), "value 1 holds a character outside Latin-1");
}

// writePayload alone, as the write command and the gateway call it: the element's bits exactly,
// or the refusal in words.
void WriteCommandTest::payload()
{
    QFETCH(int, type);
    QFETCH(QString, text);
    QFETCH(QString, bits);
    QFETCH(QString, why);
    QVariant payload;
    const QString error = writePayload(type, {text}, &payload);
    if (!why.isEmpty()) {
        QVERIFY2(QRegularExpression(why).match(error).hasMatch(), qPrintable(error));
        return;
    }
    QCOMPARE(error, QString());
    if (type == String) {
        QCOMPARE(payload.value<QList<QString>>(), QList<QString>{text});
    } else if (type == Float) {
        const float f = payload.value<QList<float>>().value(0);
        quint32 u;
        std::memcpy(&u, &f, sizeof u);
        QCOMPARE(QString::number(u, 16).rightJustified(8, '0'), bits);
    } else {
        const double d = payload.value<QList<double>>().value(0);
        quint64 u;
        std::memcpy(&u, &d, sizeof u);
        QCOMPARE(QString::number(u, 16).rightJustified(16, '0'), bits);
    }
}

void WriteCommandTest::printedReadsBack_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<double>("value"); // for Float, made a float

    using F = std::numeric_limits<float>;
    using D = std::numeric_limits<double>;
    const QVector<QPair<const char *, double>> floats = {
        {"FLT_MAX", FLT_MAX},
        {"-FLT_MAX", -FLT_MAX},
        {"FLT_MIN", FLT_MIN},
        {"denormal min", F::denorm_min()},
        {"NaN", F::quiet_NaN()},
        {"Infinity", F::infinity()},
        {"-Infinity", -F::infinity()},
        {"0.1", double(0.1f)},
        {"-0", -0.0},
    };
    for (const auto &f : floats)
        QTest::addRow("Float %s", f.first) << int(Float) << f.second;
    const QVector<QPair<const char *, double>> doubles = {
        {"DBL_MAX", DBL_MAX},
        {"-DBL_MAX", -DBL_MAX},
        {"DBL_MIN", DBL_MIN},
        {"5e-324", D::denorm_min()},
        {"NaN", D::quiet_NaN()},
        {"Infinity", D::infinity()},
        {"-Infinity", -D::infinity()},
        {"0.1", 0.1},
        {"-0", -0.0},
    };
    for (const auto &d : doubles)
        QTest::addRow("Double %s", d.first) << int(Double) << d.second;
}

// What the programs print of a value (host/recordformat.cpp) written back: the same bits.
void WriteCommandTest::printedReadsBack()
{
    QFETCH(int, type);
    QFETCH(double, value);
    CLabelVariable record;
    record.type = DataType(type);
    record.count = 1;
    const float f = float(value);
    record.value = type == Float ? QVariant::fromValue(QList<float>{f})
                                 : QVariant::fromValue(QList<double>{value});
    const QStringList printed = recordformat::values(record);
    QVariant payload;
    QCOMPARE(writePayload(type, printed, &payload), QString());
    if (type == Float) {
        const float back = payload.value<QList<float>>().value(0);
        QVERIFY2(std::memcmp(&back, &f, sizeof f) == 0, qPrintable(printed.join(' ')));
    } else {
        const double back = payload.value<QList<double>>().value(0);
        QVERIFY2(std::memcmp(&back, &value, sizeof value) == 0, qPrintable(printed.join(' ')));
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
