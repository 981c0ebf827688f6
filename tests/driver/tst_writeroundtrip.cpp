#include "libtarvik.h"
#include "payload.h"
#include "simprocess.h"

#include <QTest>

// Every type written through the simulator over UDP and over its pseudo-terminal: what the
// controller stored, and what reading the tag back gives.
class WriteRoundTripTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void roundTrip_data();
    void roundTrip();
    void refusedWriteLeavesMemory_data();
    void refusedWriteLeavesMemory();

private:
    SimProcess sim;
    LibTarvik udp;
    LibTarvik serial;
};

void WriteRoundTripTest::initTestCase()
{
    QVERIFY(sim.start({QStringLiteral("--pty")}));
    QCOMPARE(udp.ConnectDrive(sim.udpConnectionString()), 0);
    QCOMPARE(serial.ConnectDrive(sim.serialConnectionString(9600)), 0);
}

void WriteRoundTripTest::init()
{
    QCOMPARE(sim.control(QStringLiteral("reset")), QStringLiteral("ok"));
}

void WriteRoundTripTest::roundTrip_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("type");
    QTest::addColumn<QVariant>("written");
    QTest::addColumn<QStringList>("stored"); // AREA OFFSET HEX, as the controller holds them
    QTest::addColumn<QVariant>("readBack");

    struct Row
    {
        const char *name, *address;
        int type;
        QVariant written;
        QStringList stored;
        QVariant readBack = {}; // none: what was written
    };
    const QVariant int8s = payload<char>({char(-1), 2, 127, char(-128)});
    const Row rows[] = {
        {"DO_F2 Bool 1,0,1 -> 01 00 01",
         "DO_F2",
         Bool,
         payload<bool>({true, false, true}),
         {"DO_F 1 010001"}},
        {"AI2 Int8 -1,2,127,-128 -> ff 02 7f 80", "AI2", Int8, int8s, {"AI 4 ff027f80"}},
        {"DO3 Int8 0x81 -> bits 01 00.. 01",
         "DO3",
         Int8,
         payload<char>({char(0x81)}),
         {"DO 2 0100000000000001"}},
        {"SA2 UInt8 ab,cd -> ab cd",
         "SA2",
         UInt8,
         payload<unsigned char>({0xab, 0xcd}),
         {"SA 2 abcd"}},
        {"AI3 Int16 513,-1 -> 01 02 ff ff",
         "AI3",
         Int16,
         payload<short>({513, -1}),
         {"AI 8 0102ffff"}},
        {"AO1 UInt16 65535,1 -> ff ff 01 00",
         "AO1",
         UInt16,
         payload<unsigned short>({65535, 1}),
         {"AO 0 ffff0100"}},
        {"LW2 Int32 0x12345678,-2 -> 78 56 34 12 fe ff ff ff",
         "LW2",
         Int32,
         payload<int>({0x12345678, -2}),
         {"LW 4 78563412feffffff"}},
        {"LW3 UInt32 0xdeadbeef -> ef be ad de",
         "LW3",
         UInt32,
         payload<unsigned>({0xdeadbeefu}),
         {"LW 8 efbeadde"}},
        {"NAO2 Float -2.5,1 -> 00 00 20 c0 00 00 80 3f",
         "NAO2",
         Float,
         payload<float>({-2.5f, 1.0f}),
         {"NAO 4 000020c00000803f"}},
        {"LA3 Double 1,-0.5",
         "LA3",
         Double,
         payload<double>({1.0, -0.5}),
         {"LA 8 000000000000f03f000000000000e0bf"}},
        // Written least significant byte first, read most significant byte first: a round trip
        // through the controller reverses the bytes of a 64-bit integer.
        {"NAI1 Int64 0x0102030405060708 -> reads 0x0807060504030201",
         "NAI1",
         Int64,
         payload<long long>({0x0102030405060708ll}),
         {"NAI 0 0807060504030201"},
         payload<long long>({0x0807060504030201ll})},
        {"HAI2 UInt64 0xff -> reads 0xff00000000000000",
         "HAI2",
         UInt64,
         payload<unsigned long long>({0xffull}),
         {"HAI 4 ff00000000000000"},
         payload<unsigned long long>({0xff00000000000000ull})},
        {"SI2 String abc,'' -> slots 03 61 62 63, 00",
         "SI2",
         String,
         payload<QString>({"abc", ""}),
         {"SI 256 03616263", "SI 512 00"}},
        // Texts go out in Latin-1; bytes that are no UTF-8 read back as Latin-1.
        {"SI1 String é -> 01 e9, reads é",
         "SI1",
         String,
         payload<QString>({QString::fromUtf8("é")}),
         {"SI 0 01e9"}},
    };
    for (const char *link : {"udp", "pty"}) {
        for (const Row &r : rows) {
            QTest::newRow(qPrintable(QStringLiteral("%1 %2").arg(link, QString::fromUtf8(r.name))))
                << QString(link) << QString(r.address) << r.type << r.written << r.stored
                << (r.readBack.isValid() ? r.readBack : r.written);
        }
    }
}

void WriteRoundTripTest::roundTrip()
{
    QFETCH(QString, link);
    QFETCH(QString, address);
    QFETCH(int, type);
    QFETCH(QVariant, written);
    QFETCH(QStringList, stored);
    QFETCH(QVariant, readBack);

    LibTarvik &driver = link == QLatin1String("udp") ? udp : serial;
    const int count = payloadSize(written);
    const CLabelVariable w =
        driver.WriteVariable(address, DataType(type), record(type, written), count);
    QCOMPARE(w.result, 0);
    for (const QString &s : stored) {
        const QStringList f = s.split(' ');
        QCOMPARE(sim.control(QStringLiteral("peek %1 %2 %3").arg(f[0], f[1]).arg(f[2].size() / 2)),
                 "ok " + f[2]);
    }
    const CLabelVariable r = driver.ReadVariable(address, DataType(type), count);
    QCOMPARE(r.result, 0);
    QCOMPARE(describe(r.value), describe(readBack));
}

void WriteRoundTripTest::refusedWriteLeavesMemory_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("type");
    QTest::addColumn<QVariant>("written");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("result");

    QTest::newRow("DO1 Bool count 8 of 2 -> 4")
        << "DO1" << int(Bool) << payload<bool>({true, false}) << 8 << 4;
    QTest::newRow("DO1 UInt8 count 1 from an Int8 list -> 2")
        << "DO1" << int(UInt8) << payload<char>({0}) << 1 << 2;
    QTest::newRow("SI1 String of 300 chars -> 4")
        << "SI1" << int(String) << payload<QString>({QString(300, 'a')}) << 1 << 4;
    QTest::newRow("SI1 String \u20ac -> 4, no Latin-1 byte for it")
        << "SI1" << int(String) << payload<QString>({QString(QChar(0x20ac))}) << 1 << 4;
    QTest::newRow("AI1 String ab -> 2, texts only to SI")
        << "AI1" << int(String) << payload<QString>({"ab"}) << 1 << 2;
    QTest::newRow("AI1 Int8 count 5 -> 4, not whole words")
        << "AI1" << int(Int8) << payload<char>({1, 2, 3, 4, 5}) << 5 << 4;
}

// A write the host did not fully give clears nothing: the outputs stay as they were.
void WriteRoundTripTest::refusedWriteLeavesMemory()
{
    QFETCH(QString, address);
    QFETCH(int, type);
    QFETCH(QVariant, written);
    QFETCH(int, count);
    QFETCH(int, result);

    const QString area = address.left(address.size() - 1);
    const QString before = QStringLiteral("0101010101010101");
    QCOMPARE(sim.control(QStringLiteral("poke %1 0 %2").arg(area, before)), QStringLiteral("ok"));
    for (LibTarvik *driver : {&udp, &serial}) {
        CLabelVariable w =
            driver->WriteVariable(address, DataType(type), record(type, written), count);
        QCOMPARE(w.result, result);
    }
    QCOMPARE(sim.control(QStringLiteral("peek %1 0 8").arg(area)), "ok " + before);
}

QTEST_GUILESS_MAIN(WriteRoundTripTest)
#include "tst_writeroundtrip.moc"
