#include "libtarvik.h"

#include <QTest>

#include <cmath>

// Answer bytes to payload lists: every decoder, its width and byte order, short and long input.
class DecodingTest : public QObject
{
    Q_OBJECT

private slots:
    void decode_data();
    void decode();
    void emptyListHasItsType_data();
    void emptyListHasItsType();
};

namespace {

using Decoder = QVariant (LibTarvik::*)(QByteArray, int);

struct Named
{
    const char *name;
    Decoder decoder;
};

const Named decoders[] = {
    {"Bool", &LibTarvik::set_variant_bool},     {"Int8", &LibTarvik::set_variant_Int8},
    {"UInt8", &LibTarvik::set_variant_UInt8},   {"Int16", &LibTarvik::set_variant_Int16},
    {"UInt16", &LibTarvik::set_variant_UInt16}, {"Int32", &LibTarvik::set_variant_Int32},
    {"UInt32", &LibTarvik::set_variant_UInt32}, {"Float", &LibTarvik::set_variant_fload},
    {"Int64", &LibTarvik::set_variant_Int64},   {"UInt64", &LibTarvik::set_variant_UInt64},
    {"Double", &LibTarvik::set_variant_double}, {"String", &LibTarvik::set_variant_string},
};

Decoder decoderNamed(const QString &name)
{
    for (const Named &d : decoders) {
        if (name == QLatin1String(d.name))
            return d.decoder;
    }
    return nullptr;
}

// The payload's elements as text, whatever its list type; bytes as 0..255 on every platform.
QStringList texts(const QVariant &v)
{
    QStringList out;
    const int t = v.userType();
    auto add = [&out](auto list, auto show) {
        for (const auto &e : list)
            out << show(e);
    };
    auto num = [](auto e) { return QString::number(e); };
    if (t == qMetaTypeId<QList<bool>>())
        add(v.value<QList<bool>>(), [](bool b) { return QString(b ? "true" : "false"); });
    else if (t == qMetaTypeId<QList<char>>())
        add(v.value<QList<char>>(), [](char c) { return QString::number(quint8(c)); });
    else if (t == qMetaTypeId<QList<unsigned char>>())
        add(v.value<QList<unsigned char>>(), num);
    else if (t == qMetaTypeId<QList<short>>())
        add(v.value<QList<short>>(), num);
    else if (t == qMetaTypeId<QList<unsigned short>>())
        add(v.value<QList<unsigned short>>(), num);
    else if (t == qMetaTypeId<QList<int>>())
        add(v.value<QList<int>>(), num);
    else if (t == qMetaTypeId<QList<unsigned int>>())
        add(v.value<QList<unsigned int>>(), num);
    else if (t == qMetaTypeId<QList<float>>())
        add(v.value<QList<float>>(), [](float f) { return QString::number(double(f), 'g', 9); });
    else if (t == qMetaTypeId<QList<long long>>())
        add(v.value<QList<long long>>(), num);
    else if (t == qMetaTypeId<QList<unsigned long long>>())
        add(v.value<QList<unsigned long long>>(), num);
    else if (t == qMetaTypeId<QList<double>>())
        add(v.value<QList<double>>(),
            [](double d) { return QString::number(d, 'g', QLocale::FloatingPointShortest); });
    else if (t == qMetaTypeId<QList<QString>>())
        add(v.value<QList<QString>>(), [](const QString &s) { return "'" + s + "'"; });
    else
        out << QStringLiteral("<not a payload list>");
    return out;
}

} // namespace

void DecodingTest::decode_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("input");
    QTest::addColumn<int>("n");
    QTest::addColumn<QStringList>("values");

    auto row = [](const char *name, const char *type, const char *input, int n,
                  const QStringList &values) {
        QTest::newRow(name) << QString(type) << QString(input) << n << values;
    };
    row("Int16 01 02 03 x3 -> 513,3,0", "Int16", "010203", 3, {"513", "3", "0"});
    row("Int16 ff ff -> -1", "Int16", "ffff", 1, {"-1"});
    row("UInt16 ff ff -> 65535", "UInt16", "ffff", 1, {"65535"});
    row("Int32 78 56 34 12 -> 0x12345678", "Int32", "78563412", 1, {"305419896"});
    row("Int32 00 01 00 00 -> 256", "Int32", "00010000", 1, {"256"});
    row("Int32 ff ff ff 80 -> -2^31+...", "Int32", "ffffff80", 1, {"-2130706433"});
    row("UInt32 ff ff ff ff -> 4294967295", "UInt32", "ffffffff", 1, {"4294967295"});
    row("Int64 00..01 00 -> 256 (first byte most significant)", "Int64", "0000000000000100", 1,
        {"256"});
    row("Int64 01..08 -> 0x0102030405060708", "Int64", "0102030405060708", 1,
        {"72623859790382856"});
    row("Int64 ff x8 -> -1", "Int64", "ffffffffffffffff", 1, {"-1"});
    row("UInt64 ff x8 -> 2^64-1", "UInt64", "ffffffffffffffff", 1, {"18446744073709551615"});
    row("UInt64 80 00.. -> 2^63", "UInt64", "8000000000000000", 1, {"9223372036854775808"});
    row("Float 00 00 80 3f -> 1", "Float", "0000803f", 1, {"1"});
    row("Float 00 00 20 c0 -> -2.5", "Float", "000020c0", 1, {"-2.5"});
    row("Double 00..f0 3f -> 1", "Double", "000000000000f03f", 1, {"1"});
    row("Double 9a 99 99 99 99 99 b9 3f -> 0.1", "Double", "9a9999999999b93f", 1, {"0.1"});
    row("Bool 00 01 ff x4 -> false,true,true,false", "Bool", "0001ff", 4,
        {"false", "true", "true", "false"});
    row("Int8 fc 7f 80 -> bytes 252,127,128", "Int8", "fc7f80", 3, {"252", "127", "128"});
    row("UInt8 fc 00 x3 -> 252,0,0", "UInt8", "fc00", 3, {"252", "0", "0"});
    row("Int16 x0 -> empty", "Int16", "0102", 0, {});
    row("Int16 x-3 -> empty", "Int16", "0102", -3, {});
    row("Int32 surplus ignored", "Int32", "0100000002000000", 1, {"1"});
    row("Int32 short input -> zeros", "Int32", "01", 2, {"1", "0"});
    row("String abc, x, empty", "String", "036162630278 00", 3, {"'abc'", "'x'", "''"});
    row("String stops at a zero byte, consumes all", "String", "0561006263640178", 2,
        {"'a'", "'x'"});
    row("String input ends early", "String", "046162", 2, {"'ab'", "''"});
    row("String UTF-8", "String", "04c3a4c3b6", 1, {QStringLiteral("'äö'")});
    row("String 03 e4 f6 e9, no UTF-8 -> Latin-1", "String", "03e4f6e9", 1,
        {QStringLiteral("'äöé'")});
    row("String 03 c3 a4 e9, one bad byte -> all Latin-1", "String", "03c3a4e9", 1,
        {QStringLiteral("'Ã¤é'")});
    row("String 02 61 c3, UTF-8 cut short -> Latin-1", "String", "0261c3", 1,
        {QStringLiteral("'aÃ'")});
    row("String empty input", "String", "", 2, {"''", "''"});
}

void DecodingTest::decode()
{
    QFETCH(QString, type);
    QFETCH(QString, input);
    QFETCH(int, n);
    QFETCH(QStringList, values);

    LibTarvik d;
    const QByteArray bytes = QByteArray::fromHex(input.toLatin1());
    const QByteArray before = bytes;
    const QVariant v = (d.*decoderNamed(type))(bytes, n);
    QCOMPARE(texts(v), values);
    QCOMPARE(bytes, before);
}

void DecodingTest::emptyListHasItsType_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<int>("metaType");
    QTest::newRow("Bool") << "Bool" << qMetaTypeId<QList<bool>>();
    QTest::newRow("Int8") << "Int8" << qMetaTypeId<QList<char>>();
    QTest::newRow("UInt8") << "UInt8" << qMetaTypeId<QList<unsigned char>>();
    QTest::newRow("Int16") << "Int16" << qMetaTypeId<QList<short>>();
    QTest::newRow("UInt16") << "UInt16" << qMetaTypeId<QList<unsigned short>>();
    QTest::newRow("Int32") << "Int32" << qMetaTypeId<QList<int>>();
    QTest::newRow("UInt32") << "UInt32" << qMetaTypeId<QList<unsigned int>>();
    QTest::newRow("Float") << "Float" << qMetaTypeId<QList<float>>();
    QTest::newRow("Int64") << "Int64" << qMetaTypeId<QList<long long>>();
    QTest::newRow("UInt64") << "UInt64" << qMetaTypeId<QList<unsigned long long>>();
    QTest::newRow("Double") << "Double" << qMetaTypeId<QList<double>>();
    QTest::newRow("String") << "String" << qMetaTypeId<QList<QString>>();
}

void DecodingTest::emptyListHasItsType()
{
    QFETCH(QString, type);
    QFETCH(int, metaType);
    LibTarvik d;
    const QVariant v = (d.*decoderNamed(type))(QByteArray(), 0);
    QVERIFY(v.isValid());
    QCOMPARE(v.userType(), metaType);
    QCOMPARE(texts(v), QStringList());
}

QTEST_GUILESS_MAIN(DecodingTest)
#include "tst_decoding.moc"
