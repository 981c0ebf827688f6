#include "codecs.h"
#include "libtarvik.h"
#include "payload.h"

#include <QTest>

#include <cmath>
#include <iterator>

// Answer bytes to payload lists: every row of the codec table, its width and byte order, short
// and long input; and the driver's named codec members, each on its own type's row.
class DecodingTest : public QObject
{
    Q_OBJECT

private slots:
    void decode_data();
    void decode();
    void namedMembers_data();
    void namedMembers();
};

namespace {

using Decoder = QVariant (LibTarvik::*)(QByteArray, int);
using Encoder = int (LibTarvik::*)(CLabelVariable, int, QByteArray *);

// The names hosts call the codecs by, with the type each one stands for and its list type.
struct Named
{
    const char *type;
    Decoder decoder;
    Encoder encoder;
    int metaType;
};

const Named namedCodecs[] = {
    {"Bool", &LibTarvik::set_variant_bool, &LibTarvik::Wset_variant_bool,
     qMetaTypeId<QList<bool>>()},
    {"Int8", &LibTarvik::set_variant_Int8, &LibTarvik::Wset_variant_Int8,
     qMetaTypeId<QList<char>>()},
    {"UInt8", &LibTarvik::set_variant_UInt8, &LibTarvik::Wset_variant_UInt8,
     qMetaTypeId<QList<unsigned char>>()},
    {"Int16", &LibTarvik::set_variant_Int16, &LibTarvik::Wset_variant_Int16,
     qMetaTypeId<QList<short>>()},
    {"UInt16", &LibTarvik::set_variant_UInt16, &LibTarvik::Wset_variant_uInt16,
     qMetaTypeId<QList<unsigned short>>()},
    {"Int32", &LibTarvik::set_variant_Int32, &LibTarvik::Wset_variant_Int32,
     qMetaTypeId<QList<int>>()},
    {"UInt32", &LibTarvik::set_variant_UInt32, &LibTarvik::Wset_variant_UInt32,
     qMetaTypeId<QList<unsigned int>>()},
    {"Float", &LibTarvik::set_variant_fload, &LibTarvik::Wset_variant_float,
     qMetaTypeId<QList<float>>()},
    {"Int64", &LibTarvik::set_variant_Int64, &LibTarvik::Wset_variant_Int64,
     qMetaTypeId<QList<long long>>()},
    {"UInt64", &LibTarvik::set_variant_UInt64, &LibTarvik::Wset_variant_UInt64,
     qMetaTypeId<QList<unsigned long long>>()},
    {"Double", &LibTarvik::set_variant_double, &LibTarvik::Wset_variant_double,
     qMetaTypeId<QList<double>>()},
    {"String", &LibTarvik::set_variant_string, &LibTarvik::Wset_variant_string,
     qMetaTypeId<QList<QString>>()},
};

} // namespace

void DecodingTest::decode_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("input");
    QTest::addColumn<int>("n");
    QTest::addColumn<QStringList>("values");

    auto row = [](const char *name, DataType type, const char *input, int n,
                  const QStringList &values) {
        QTest::newRow(name) << int(type) << QString(input) << n << values;
    };
    row("Int16 01 02 03 x3 -> 513,3,0", Int16, "010203", 3, {"513", "3", "0"});
    row("Int16 ff ff -> -1", Int16, "ffff", 1, {"-1"});
    row("UInt16 ff ff -> 65535", UInt16, "ffff", 1, {"65535"});
    row("Int32 78 56 34 12 -> 0x12345678", Int32, "78563412", 1, {"305419896"});
    row("Int32 00 01 00 00 -> 256", Int32, "00010000", 1, {"256"});
    row("Int32 ff ff ff 80 -> -2^31+...", Int32, "ffffff80", 1, {"-2130706433"});
    row("UInt32 ff ff ff ff -> 4294967295", UInt32, "ffffffff", 1, {"4294967295"});
    row("Int64 00..01 00 -> 256 (first byte most significant)", Int64, "0000000000000100", 1,
        {"256"});
    row("Int64 01..08 -> 0x0102030405060708", Int64, "0102030405060708", 1, {"72623859790382856"});
    row("Int64 ff x8 -> -1", Int64, "ffffffffffffffff", 1, {"-1"});
    row("UInt64 ff x8 -> 2^64-1", UInt64, "ffffffffffffffff", 1, {"18446744073709551615"});
    row("UInt64 80 00.. -> 2^63", UInt64, "8000000000000000", 1, {"9223372036854775808"});
    row("Float 00 00 80 3f -> 1", Float, "0000803f", 1, {"1"});
    row("Float 00 00 20 c0 -> -2.5", Float, "000020c0", 1, {"-2.5"});
    row("Double 00..f0 3f -> 1", Double, "000000000000f03f", 1, {"1"});
    row("Double 9a 99 99 99 99 99 b9 3f -> 0.1", Double, "9a9999999999b93f", 1, {"0.1"});
    row("Bool 00 01 ff x4 -> false,true,true,false", Bool, "0001ff", 4,
        {"false", "true", "true", "false"});
    row("Int8 fc 7f 80 -> bytes 252,127,128", Int8, "fc7f80", 3, {"252", "127", "128"});
    row("UInt8 fc 00 x3 -> 252,0,0", UInt8, "fc00", 3, {"252", "0", "0"});
    row("Int16 x0 -> empty", Int16, "0102", 0, {});
    row("Int16 x-3 -> empty", Int16, "0102", -3, {});
    row("Int32 surplus ignored", Int32, "0100000002000000", 1, {"1"});
    row("Int32 short input -> zeros", Int32, "01", 2, {"1", "0"});
    row("String abc, x, empty", String, "036162630278 00", 3, {"'abc'", "'x'", "''"});
    row("String stops at a zero byte, consumes all", String, "0561006263640178", 2, {"'a'", "'x'"});
    row("String input ends early", String, "046162", 2, {"'ab'", "''"});
    row("String UTF-8", String, "04c3a4c3b6", 1, {QStringLiteral("'äö'")});
    row("String 03 e4 f6 e9, no UTF-8 -> Latin-1", String, "03e4f6e9", 1,
        {QStringLiteral("'äöé'")});
    row("String 03 c3 a4 e9, one bad byte -> all Latin-1", String, "03c3a4e9", 1,
        {QStringLiteral("'Ã¤é'")});
    row("String 02 61 c3, UTF-8 cut short -> Latin-1", String, "0261c3", 1,
        {QStringLiteral("'aÃ'")});
    row("String empty input", String, "", 2, {"''", "''"});
}

void DecodingTest::decode()
{
    QFETCH(int, type);
    QFETCH(QString, input);
    QFETCH(int, n);
    QFETCH(QStringList, values);

    const QByteArray bytes = QByteArray::fromHex(input.toLatin1());
    const QByteArray before = bytes;
    const QVariant v = tarvik::codecFor(type)->decode(bytes, n);
    QCOMPARE(payloadTexts(v), values);
    QCOMPARE(bytes, before);
}

void DecodingTest::namedMembers_data()
{
    QTest::addColumn<int>("type");
    // In type code order, so a row's place is its type.
    for (size_t i = 0; i < std::size(namedCodecs); ++i)
        QTest::newRow(namedCodecs[i].type) << int(Bool + int(i));
}

// Each name decodes to its type's list, even from nothing, and decodes and encodes as the
// table's row of that type does.
void DecodingTest::namedMembers()
{
    QFETCH(int, type);
    LibTarvik d;
    const tarvik::Codec *codec = tarvik::codecFor(type);
    const Named &named = namedCodecs[type - Bool];

    const QVariant empty = (d.*named.decoder)(QByteArray(), 0);
    QCOMPARE(empty.userType(), named.metaType);
    QCOMPARE(payloadTexts(empty), QStringList());

    const QByteArray bytes = QByteArray::fromHex("0361626301788899aabbccddeeff0102");
    const QVariant v = (d.*named.decoder)(bytes, 2);
    QCOMPARE(v.userType(), named.metaType);
    QCOMPARE(payloadTexts(v), payloadTexts(codec->decode(bytes, 2)));

    QByteArray viaName;
    QByteArray viaTable;
    QCOMPARE((d.*named.encoder)(record(type, v), 2, &viaName), 0);
    codec->encode(v, 2, &viaTable);
    QVERIFY(!viaName.isEmpty());
    QCOMPARE(viaName.toHex(' '), viaTable.toHex(' '));
}

QTEST_GUILESS_MAIN(DecodingTest)
#include "tst_decoding.moc"
