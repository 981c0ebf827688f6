#include "libtarvik.h"
#include "messagelog.h"
#include "payload.h"
#include "writesupport.h"

#include <QTest>

// WriteVariable against an in-test device on a real UDP socket: every outcome code, the request
// each accepted write becomes, and that a refused write sends nothing.
class WritePathTest : public QObject
{
    Q_OBJECT

private slots:
    void outcome_data();
    void outcome();
    void linkOutcomes_data();
    void linkOutcomes();
    void recordFields();
};

void WritePathTest::outcome_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("type");
    QTest::addColumn<QVariant>("payload");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("request"); // empty: nothing may be sent

    const QVariant one16 = payload<short>({513});
    const QVariant oneFloat = payload<float>({1.0f});
    const QVariant oneInt = payload<int>({0x12345678});
    const QByteArray none;

    // Type and area: Float only to AO, NAO, LA; Int32 and UInt32 only to LW.
    QTest::newRow("AO1 Float 1.0 -> 0, memory 0a 000000 000400")
        << "AO1" << int(Float) << oneFloat << 1 << 0 << hex("020101000a000000000400 0000803f");
    QTest::newRow("NAO2 Float -> 0, address 4")
        << "NAO2" << int(Float) << oneFloat << 1 << 0 << hex("0201010012000400000400 0000803f");
    QTest::newRow("LA1 Float -> 0")
        << "LA1" << int(Float) << oneFloat << 1 << 0 << hex("0201010017000000000400 0000803f");
    QTest::newRow("AI1 Float -> 2") << "AI1" << int(Float) << oneFloat << 1 << 2 << none;
    QTest::newRow("AO_F1 Float -> 2") << "AO_F1" << int(Float) << oneFloat << 1 << 2 << none;
    QTest::newRow("LW5 Int32 -> 0, address 16")
        << "LW5" << int(Int32) << oneInt << 1 << 0 << hex("0201010018001000000400 78563412");
    QTest::newRow("LW1 UInt32 -> 0") << "LW1" << int(UInt32) << payload<unsigned>({1}) << 1 << 0
                                     << hex("0201010018000000000400 01000000");
    QTest::newRow("AI1 Int32 -> 2") << "AI1" << int(Int32) << oneInt << 1 << 2 << none;
    QTest::newRow("LA1 UInt32 -> 2")
        << "LA1" << int(UInt32) << payload<unsigned>({1}) << 1 << 2 << none;
    QTest::newRow("AI1 Double -> 0, no area restriction")
        << "AI1" << int(Double) << payload<double>({1.0}) << 1 << 0
        << hex("0201010007000000000800 000000000000f03f");
    QTest::newRow("type 0 -> 2") << "AI1" << 0 << one16 << 1 << 2 << none;
    QTest::newRow("type 13 -> 4") << "AI1" << 13 << one16 << 1 << 4 << none;
    // Builder choice: Bool by type, then the SI area, then memory.
    QTest::newRow("SI1 Int16 -> 0, string request 1c 000000 000002")
        << "SI1" << int(Int16) << one16 << 1 << 0 << hex("020101001c000000000002 0102");
    QTest::newRow("SI1 Bool -> 0, bool request") << "SI1" << int(Bool) << payload<bool>({true}) << 1
                                                 << 0 << hex("020101001c000000000100 01");
    // Texts only to SI: elsewhere a memory write would carry count bytes of the items.
    QTest::newRow("HDS1 String -> 2")
        << "HDS1" << int(String) << payload<QString>({"ab"}) << 1 << 2 << none;
    QTest::newRow("AI1 String -> 2")
        << "AI1" << int(String) << payload<QString>({"ab"}) << 1 << 2 << none;
    QTest::newRow("DO1 Int16 -> 4, a bit area holds no 16-bit values")
        << "DO1" << int(Int16) << one16 << 1 << 4 << none;
    QTest::newRow("DO1 Double x2 -> 4")
        << "DO1" << int(Double) << payload<double>({1.0, 2.0}) << 2 << 4 << none;
    QTest::newRow("HDS1 Float -> 2, the type refusal comes first")
        << "HDS1" << int(Float) << oneFloat << 1 << 2 << none;
    QTest::newRow("DO_F2 Int8 0x81 -> 0, 8 bits spread")
        << "DO_F2" << int(Int8) << payload<char>({char(0x81)}) << 1 << 0
        << hex("0201010005000100000800 0100000000000001");
    // Area, point and count, in that order.
    QTest::newRow("ai1 -> 3") << "ai1" << int(Int16) << one16 << 1 << 3 << none;
    QTest::newRow("AI -> 3, no digits") << "AI" << int(Int16) << one16 << 1 << 3 << none;
    QTest::newRow("AI0 -> 3") << "AI0" << int(Int16) << one16 << 1 << 3 << none;
    QTest::newRow("AI4294967296 -> 3") << "AI4294967296" << int(Int16) << one16 << 1 << 3 << none;
    QTest::newRow("AI0 count -1 -> 3, point before count")
        << "AI0" << int(Int16) << one16 << -1 << 3 << none;
    QTest::newRow("AI1 count -1 type 0 -> 4, count before type")
        << "AI1" << 0 << one16 << -1 << 4 << none;
    QTest::newRow("AI1 count 0 -> 4") << "AI1" << int(Int16) << one16 << 0 << 4 << none;
    QTest::newRow("AI1 Int8 count 3 -> 4, below a word")
        << "AI1" << int(Int8) << payload<char>({1, 2, 3}) << 3 << 4 << none;
    // Bytes come in whole units of the area: a part unit would be dropped from the transfer.
    QTest::newRow("AO1 Int8 count 5 -> 4, not whole words")
        << "AO1" << int(Int8) << payload<char>({1, 2, 3, 4, 5}) << 5 << 4 << none;
    QTest::newRow("AI1 UInt8 count 8 -> 0, two words")
        << "AI1" << int(UInt8) << payload<unsigned char>({1, 2, 3, 4, 5, 6, 7, 8}) << 8 << 0
        << hex("0201010007000000000800 0102030405060708");
    QTest::newRow("SA1 UInt8 count 3 -> 4, not whole half-words")
        << "SA1" << int(UInt8) << payload<unsigned char>({1, 2, 3}) << 3 << 4 << none;
    QTest::newRow("Custom1 Int8 count 2 -> 0") << "Custom1" << int(Int8) << payload<char>({1, 2})
                                               << 2 << 0 << hex("020101001d000000000200 0102");
    QTest::newRow("SI1 UInt8 count 257 -> 4, not whole blocks")
        << "SI1" << int(UInt8) << QVariant::fromValue(QVector<unsigned char>(257, 1).toList())
        << 257 << 4 << none;
    QTest::newRow("AI1 Double count 184 -> 4, length above 1467")
        << "AI1" << int(Double) << QVariant::fromValue(QVector<double>(184, 1.0).toList()) << 184
        << 4 << none;
    // The 24-bit address field: index times the builder's scale.
    QTest::newRow("AI4194304 -> 0, address ff fc ff")
        << "AI4194304" << int(Int16) << one16 << 1 << 0 << hex("0201010007fffcff000200 0102");
    QTest::newRow("AI4194305 -> 3, address 0x1000000")
        << "AI4194305" << int(Int16) << one16 << 1 << 3 << none;
    QTest::newRow("DI16777216 Bool -> 0, address ff ff ff")
        << "DI16777216" << int(Bool) << payload<bool>({true}) << 1 << 0
        << hex("0201010001ffffff000100 01");
    QTest::newRow("DI16777217 Bool -> 3")
        << "DI16777217" << int(Bool) << payload<bool>({true}) << 1 << 3 << none;
    QTest::newRow("SI65536 String -> 0, address ff 00 ff")
        << "SI65536" << int(String) << payload<QString>({"a"}) << 1 << 0
        << hex("020101001cff00ff000001 0161");
    QTest::newRow("SI65537 String -> 3")
        << "SI65537" << int(String) << payload<QString>({"a"}) << 1 << 3 << none;
    // Only values the host gave: another list type, no list, too few elements.
    QTest::newRow("AI1 Int16 from an Int32 list -> 2")
        << "AI1" << int(Int16) << payload<int>({1}) << 1 << 2 << none;
    QTest::newRow("AI1 Int16 from no payload -> 2")
        << "AI1" << int(Int16) << QVariant() << 1 << 2 << none;
    QTest::newRow("AI1 Int16 count 3 of 2 -> 4")
        << "AI1" << int(Int16) << payload<short>({1, 2}) << 3 << 4 << none;
    QTest::newRow("DO1 Bool count 2 of 1 -> 4")
        << "DO1" << int(Bool) << payload<bool>({true}) << 2 << 4 << none;
    QTest::newRow("DO1 Int8 count 2 of 1, bit area -> 4")
        << "DO1" << int(Int8) << payload<char>({1}) << 2 << 4 << none;
    QTest::newRow("AI1 Int16 count 1 of 2 -> 0, first only")
        << "AI1" << int(Int16) << payload<short>({513, -1}) << 1 << 0
        << hex("0201010007000000000200 0102");
    // A text item's length byte counts up to 255 characters.
    QTest::newRow("SI1 String 255 chars -> 0, ff + 255 x 61")
        << "SI1" << int(String) << payload<QString>({QString(255, 'a')}) << 1 << 0
        << hex("020101001c000000000001 ff") + QByteArray(255, 'a');
    QTest::newRow("SI1 String 256 chars -> 4")
        << "SI1" << int(String) << payload<QString>({QString(256, 'a')}) << 1 << 4 << none;
    QTest::newRow("SI1 String x, 300 chars count 2 -> 4")
        << "SI1" << int(String) << payload<QString>({"x", QString(300, 'a')}) << 2 << 4 << none;
    QTest::newRow("SI1 String x, 300 chars count 1 -> 0, 01 78")
        << "SI1" << int(String) << payload<QString>({"x", QString(300, 'a')}) << 1 << 0
        << hex("020101001c000000000001 0178");
    // Each character goes out as its Latin-1 byte; one without such a byte is refused.
    QTest::newRow("SI1 String \u00e9 -> 0, 01 e9")
        << "SI1" << int(String) << payload<QString>({QString(QChar(0xe9))}) << 1 << 0
        << hex("020101001c000000000001 01e9");
    QTest::newRow("SI1 String \u20ac -> 4")
        << "SI1" << int(String) << payload<QString>({QString(QChar(0x20ac))}) << 1 << 4 << none;
    QTest::newRow("SI1 String x, U+1F600 count 2 -> 4")
        << "SI1" << int(String) << payload<QString>({"x", QString::fromUcs4(U"\U0001F600")}) << 2
        << 4 << none;
}

void WritePathTest::outcome()
{
    QFETCH(QString, address);
    QFETCH(int, type);
    QFETCH(QVariant, payload);
    QFETCH(int, count);
    QFETCH(int, result);
    QFETCH(QByteArray, request);

    UdpPeer device(writeDevice());
    LibTarvik driver;
    QCOMPARE(driver.ConnectDrive(QStringLiteral("127.0.0.1:%1").arg(device.port())), 0);
    CLabelVariable r;
    r.value = payload;
    const CLabelVariable back = driver.WriteVariable(address, DataType(type), r, count);
    QCOMPARE(back.result, result);
    const QList<QByteArray> sent = requestsSoFar(device, driver.link);
    QCOMPARE(sent, request.isEmpty() ? QList<QByteArray>() : QList<QByteArray>{request});
}

void WritePathTest::linkOutcomes_data()
{
    QTest::addColumn<QString>("link"); // "silent": a device that never answers; "none": no link
    QTest::addColumn<int>("result");

    QTest::newRow("device silent -> 8") << "silent" << 8;
    QTest::newRow("link not open -> 9") << "none" << 9;
}

// A failed write keeps the host's time stamp and value; only result tells.
void WritePathTest::linkOutcomes()
{
    QFETCH(QString, link);
    QFETCH(int, result);

    UdpPeer device(writeDevice(QByteArray()));
    MessageLog log; // a silent device leaves a socket timeout, warned when the link closes
    LibTarvik driver;
    if (link == QLatin1String("silent"))
        QCOMPARE(driver.ConnectDrive(QStringLiteral("127.0.0.1:%1").arg(device.port())), 0);
    CLabelVariable r;
    r.value = payload<short>({513});
    r.time = QDateTime(QDate(2020, 1, 2), QTime(3, 4, 5));
    const CLabelVariable back = driver.WriteVariable(QStringLiteral("AI1"), Int16, r, 1);
    QCOMPARE(back.result, result);
    QCOMPARE(back.time, r.time);
    QCOMPARE(describe(back.value), describe(r.value));
}

// What comes back besides the result: the host's value and fields, address, count and type of
// the call, and the time of the answer.
void WritePathTest::recordFields()
{
    UdpPeer device(writeDevice());
    LibTarvik driver;
    QCOMPARE(driver.ConnectDrive(QStringLiteral("127.0.0.1:%1").arg(device.port())), 0);
    CLabelVariable r;
    r.value = payload<short>({513, -1});
    r.accessStatus = 10;
    r.auxValue = 42;
    r.auxText = QStringLiteral("aux");
    r.count = 7;
    const QDateTime before = QDateTime::currentDateTime();
    const CLabelVariable back = driver.WriteVariable(QStringLiteral("AI1"), Int16, r);
    QCOMPARE(back.result, 0);
    QCOMPARE(back.count, 1); // the three-argument form writes one element
    QCOMPARE(back.address, QStringLiteral("AI1"));
    QCOMPARE(back.type, Int16);
    QVERIFY(back.time >= before);
    QCOMPARE(describe(back.value), describe(r.value));
    QCOMPARE(back.accessStatus, 10);
    QCOMPARE(back.auxValue, 42);
    QCOMPARE(back.auxText, QStringLiteral("aux"));
    QCOMPARE(requestsSoFar(device, driver.link),
             QList<QByteArray>{hex("0201010007000000000200 0102")});
}

QTEST_GUILESS_MAIN(WritePathTest)
#include "tst_writepath.moc"
