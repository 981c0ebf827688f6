#include "codecs.h"
#include "payload.h"
#include "testhex.h"

#include <QTest>

#include <limits>

// The codec table's encoders: payload lists to the bytes of a write, and what the write path
// learns from a payload before it encodes anything.
class EncodingTest : public QObject
{
    Q_OBJECT

private slots:
    void encode_data();
    void encode();
    void payloadElements_data();
    void payloadElements();
};

void EncodingTest::encode_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QVariant>("payload");
    QTest::addColumn<int>("n");
    QTest::addColumn<QByteArray>("bytes");

    const float fnan = std::numeric_limits<float>::quiet_NaN();
    QTest::newRow("Bool true,false,true -> 01 00 01")
        << int(Bool) << payload<bool>({true, false, true}) << 3 << hex("010001");
    // The same bytes whether plain char is signed (x86) or unsigned (ARM).
    QTest::newRow("Int8 -1,'A',-128 -> ff 41 80")
        << int(Int8) << payload<char>({char(-1), 'A', char(-128)}) << 3 << hex("ff4180");
    QTest::newRow("UInt8 0,255 -> 00 ff")
        << int(UInt8) << payload<unsigned char>({0, 255}) << 2 << hex("00ff");
    QTest::newRow("Int16 513,-1 -> 01 02 ff ff")
        << int(Int16) << payload<short>({513, -1}) << 2 << hex("0102ffff");
    QTest::newRow("UInt16 65535 -> ff ff")
        << int(UInt16) << payload<unsigned short>({65535}) << 1 << hex("ffff");
    QTest::newRow("Int32 0x12345678,-2 -> 78 56 34 12 fe ff ff ff")
        << int(Int32) << payload<int>({0x12345678, -2}) << 2 << hex("78563412feffffff");
    QTest::newRow("UInt32 0xdeadbeef -> ef be ad de")
        << int(UInt32) << payload<unsigned>({0xdeadbeefu}) << 1 << hex("efbeadde");
    QTest::newRow("Float 1.0,-2.5 -> 00 00 80 3f 00 00 20 c0")
        << int(Float) << payload<float>({1.0f, -2.5f}) << 2 << hex("0000803f000020c0");
    QTest::newRow("Float NaN -> 00 00 c0 7f")
        << int(Float) << payload<float>({fnan}) << 1 << hex("0000c07f");
    // 64-bit integers least significant byte first too, although they are read the other way.
    QTest::newRow("Int64 256 -> 00 01 00 00 00 00 00 00")
        << int(Int64) << payload<long long>({256}) << 1 << hex("0001000000000000");
    QTest::newRow("Int64 -2 -> fe ff ff ff ff ff ff ff")
        << int(Int64) << payload<long long>({-2}) << 1 << hex("feffffffffffffff");
    QTest::newRow("UInt64 0x0102030405060708 -> 08 07 .. 01")
        << int(UInt64) << payload<unsigned long long>({0x0102030405060708ull}) << 1
        << hex("0807060504030201");
    QTest::newRow("Double 1.0 -> 00 00 00 00 00 00 f0 3f")
        << int(Double) << payload<double>({1.0}) << 1 << hex("000000000000f03f");
    // Text items: a length byte, then Latin-1; '?' for a character outside it.
    QTest::newRow("String abc,x -> 03 61 62 63 01 78")
        << int(String) << payload<QString>({"abc", "x"}) << 2 << hex("036162630178");
    QTest::newRow("String empty -> 00") << int(String) << payload<QString>({""}) << 1 << hex("00");
    QTest::newRow("String é€ -> 02 e9 3f")
        << int(String) << payload<QString>({QString::fromUtf8("é€")}) << 1 << hex("02e93f");
    QTest::newRow("String 300 x a -> 2c + 300 x 61")
        << int(String) << payload<QString>({QString(300, 'a')}) << 1
        << hex("2c") + QByteArray(300, 'a');
    // Only the first n elements, never past the end of the list.
    QTest::newRow("Int16 n 1 of 513,-1 -> 01 02")
        << int(Int16) << payload<short>({513, -1}) << 1 << hex("0102");
    QTest::newRow("Int16 n 3 of 513,-1 -> 01 02 ff ff")
        << int(Int16) << payload<short>({513, -1}) << 3 << hex("0102ffff");
    QTest::newRow("String n 2 of abc -> 03 61 62 63")
        << int(String) << payload<QString>({"abc"}) << 2 << hex("03616263");
    QTest::newRow("Double n 0 -> nothing")
        << int(Double) << payload<double>({1.0}) << 0 << QByteArray();
    QTest::newRow("Double n -1 -> nothing")
        << int(Double) << payload<double>({1.0}) << -1 << QByteArray();
    QTest::newRow("Int16 from an Int32 list -> nothing")
        << int(Int16) << payload<int>({1}) << 1 << QByteArray();
    QTest::newRow("UInt8 from an Int8 list -> nothing")
        << int(UInt8) << payload<char>({1}) << 1 << QByteArray();
    QTest::newRow("Bool from no payload -> nothing")
        << int(Bool) << QVariant() << 1 << QByteArray();
}

void EncodingTest::encode()
{
    QFETCH(int, type);
    QFETCH(QVariant, payload);
    QFETCH(int, n);
    QFETCH(QByteArray, bytes);

    QByteArray out = hex("aa"); // appended to, never replaced
    tarvik::codecFor(type)->encode(payload, n, &out);
    QCOMPARE(out.toHex(' '), (hex("aa") + bytes).toHex(' '));
}

void EncodingTest::payloadElements_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QVariant>("payload");
    QTest::addColumn<int>("elements");

    QTest::newRow("Int16 list of 2 as Int16 -> 2") << int(Int16) << payload<short>({1, 2}) << 2;
    QTest::newRow("Int16 list as UInt16 -> -1") << int(UInt16) << payload<short>({1, 2}) << -1;
    QTest::newRow("Int8 list as UInt8 -> -1") << int(UInt8) << payload<char>({1}) << -1;
    QTest::newRow("empty String list -> 0") << int(String) << payload<QString>({}) << 0;
    QTest::newRow("QStringList as String -> -1") << int(String) << QVariant(QStringList{"a"}) << -1;
    QTest::newRow("variant list as Int32 -> -1") << int(Int32) << QVariant(QVariantList{1}) << -1;
    QTest::newRow("single int as Int32 -> -1") << int(Int32) << QVariant(7) << -1;
    QTest::newRow("no payload as Bool -> -1") << int(Bool) << QVariant() << -1;
    QTest::newRow("type 13 -> -1") << 13 << payload<short>({1}) << -1;
}

void EncodingTest::payloadElements()
{
    QFETCH(int, type);
    QFETCH(QVariant, payload);
    QFETCH(int, elements);
    QCOMPARE(tarvik::payloadElements(payload, DataType(type)), elements);
}

QTEST_GUILESS_MAIN(EncodingTest)
#include "tst_encoding.moc"
