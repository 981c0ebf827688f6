#include "sparkplugpayload.h"
#include "sparkplugtext.h"
#include "writevalues.h"

#include "DataType.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTest>

// The gateway's Sparkplug B payloads, read and written by protoc from the schema alone: what the
// gateway's code makes of a read, and what it takes from a payload made elsewhere.
class SparkplugTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void encodeRecord_data();
    void encodeRecord();
    void decodeText_data();
    void decodeText();
    void malformed_data();
    void malformed();
    void quality();
    void recordWithoutDatatype();

private:
    QString protocPath;
};

namespace {

using sparkplug::Datatype;

// A read's record of the type, with the elements the write check makes of the texts.
CLabelVariable recordOf(int type, const QStringList &texts)
{
    CLabelVariable record;
    record.type = DataType(type);
    record.count = texts.size();
    record.result = 0;
    const QString why = writePayload(type, texts, &record.value);
    if (!why.isEmpty())
        qWarning("%s", qPrintable(why));
    return record;
}

} // namespace

void SparkplugTest::initTestCase()
{
    protocPath = ::protocPath();
#ifdef TARVIK_CROSS_TEST
    if (protocPath.isEmpty())
        QSKIP("protoc (package protobuf-compiler) is not on the build machine");
#else
    QVERIFY2(!protocPath.isEmpty(), "protoc is missing: install protobuf-compiler");
#endif
}

// Each record type, one element and several, through the gateway's own record-to-metric mapping
// and encoding; protoc shows the datatype and the one value field. The payload decoded by the
// gateway gives back the texts the record was made of.
void SparkplugTest::encodeRecord_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<int>("datatype");
    QTest::addColumn<QString>("field");

    QTest::newRow("Bool") << int(Bool) << QStringList{"true"} << 11 << "boolean_value: true";
    QTest::newRow("Int8 min") << int(Int8) << QStringList{"-128"} << 1 << "int_value: 4294967168";
    QTest::newRow("Int8 max") << int(Int8) << QStringList{"127"} << 1 << "int_value: 127";
    QTest::newRow("UInt8 max") << int(UInt8) << QStringList{"255"} << 5 << "int_value: 255";
    QTest::newRow("Int16 -2") << int(Int16) << QStringList{"-2"} << 2 << "int_value: 4294967294";
    QTest::newRow("UInt16 max") << int(UInt16) << QStringList{"65535"} << 6 << "int_value: 65535";
    QTest::newRow("Int32 min") << int(Int32) << QStringList{"-2147483648"} << 3
                               << "int_value: 2147483648";
    QTest::newRow("UInt32 max") << int(UInt32) << QStringList{"4294967295"} << 7
                                << "int_value: 4294967295";
    QTest::newRow("Int64 min") << int(Int64) << QStringList{"-9223372036854775808"} << 4
                               << "long_value: 9223372036854775808";
    QTest::newRow("Int64 -1") << int(Int64) << QStringList{"-1"} << 4
                              << "long_value: 18446744073709551615";
    QTest::newRow("UInt64 max") << int(UInt64) << QStringList{"18446744073709551615"} << 8
                                << "long_value: 18446744073709551615";
    QTest::newRow("UInt64 2^53+1")
        << int(UInt64) << QStringList{"9007199254740993"} << 8 << "long_value: 9007199254740993";
    QTest::newRow("Float 0.1") << int(Float) << QStringList{"0.1"} << 9 << "float_value: 0.1";
    QTest::newRow("Float NaN") << int(Float) << QStringList{"NaN"} << 9 << "float_value: nan";
    QTest::newRow("Float -inf") << int(Float) << QStringList{"-Infinity"} << 9
                                << "float_value: -inf";
    QTest::newRow("Double max") << int(Double) << QStringList{"1.7976931348623157e+308"} << 10
                                << "double_value: 1.7976931348623157e+308";
    QTest::newRow("Double inf") << int(Double) << QStringList{"Infinity"} << 10
                                << "double_value: inf";
    QTest::newRow("String empty") << int(String) << QStringList{""} << 12 << "string_value: \"\"";
    QTest::newRow("String non-ASCII")
        << int(String) << QStringList{"Grüße"} << 12 << "string_value: \"Gr\\303\\274\\303\\237e\"";

    // Arrays: elements little-endian in bytes_value, booleans as a count and bits MSB first,
    // texts each ended by NUL.
    QTest::newRow("BooleanArray") << int(Bool) << QStringList{"true", "false", "true"} << 32
                                  << "bytes_value: \"\\003\\000\\000\\000\\240\"";
    QTest::newRow("BooleanArray 9")
        << int(Bool) << QStringList{"false", "false", "false", "false", "false",
                                    "false", "false", "true",  "true"}
        << 32 << "bytes_value: \"\\t\\000\\000\\000\\001\\200\"";
    QTest::newRow("Int8Array") << int(Int8) << QStringList{"-128", "127"} << 22
                               << "bytes_value: \"\\200\\177\"";
    QTest::newRow("UInt8Array") << int(UInt8) << QStringList{"0", "255"} << 26
                                << "bytes_value: \"\\000\\377\"";
    QTest::newRow("Int16Array") << int(Int16) << QStringList{"-2", "1"} << 23
                                << "bytes_value: \"\\376\\377\\001\\000\"";
    QTest::newRow("UInt16Array") << int(UInt16) << QStringList{"65535", "258"} << 27
                                 << "bytes_value: \"\\377\\377\\002\\001\"";
    QTest::newRow("Int32Array") << int(Int32) << QStringList{"-1", "2"} << 24
                                << "bytes_value: \"\\377\\377\\377\\377\\002\\000\\000\\000\"";
    QTest::newRow("UInt32Array") << int(UInt32) << QStringList{"4294967295", "0"} << 28
                                 << "bytes_value: \"\\377\\377\\377\\377\\000\\000\\000\\000\"";
    QTest::newRow("Int64Array") << int(Int64) << QStringList{"-9223372036854775808", "1"} << 25
                                << "bytes_value: \"\\000\\000\\000\\000\\000\\000\\000\\200"
                                   "\\001\\000\\000\\000\\000\\000\\000\\000\"";
    QTest::newRow("UInt64Array") << int(UInt64) << QStringList{"18446744073709551615", "0"} << 29
                                 << "bytes_value: \"\\377\\377\\377\\377\\377\\377\\377\\377"
                                    "\\000\\000\\000\\000\\000\\000\\000\\000\"";
    QTest::newRow("FloatArray") << int(Float) << QStringList{"1", "-0"} << 30
                                << "bytes_value: \"\\000\\000\\200?\\000\\000\\000\\200\"";
    QTest::newRow("DoubleArray") << int(Double) << QStringList{"1", "-Infinity"} << 31
                                 << "bytes_value: \"\\000\\000\\000\\000\\000\\000\\360?"
                                    "\\000\\000\\000\\000\\000\\000\\360\\377\"";
    QTest::newRow("StringArray") << int(String) << QStringList{"a", "", "ü"} << 33
                                 << "bytes_value: \"a\\000\\000\\303\\274\\000\"";
}

void SparkplugTest::encodeRecord()
{
    QFETCH(int, type);
    QFETCH(QStringList, texts);
    QFETCH(int, datatype);
    QFETCH(QString, field);

    SparkplugMetric metric;
    metric.name = QStringLiteral("t");
    QVERIFY(sparkplug::fromRecord(recordOf(type, texts), &metric));
    QCOMPARE(int(metric.datatype), datatype);
    SparkplugPayload payload;
    payload.metrics.push_back(metric);
    const QByteArray bytes = sparkplug::encode(payload);
    QVERIFY(!bytes.isEmpty());

    const QString expected = QStringLiteral("metrics {\n  name: \"t\"\n  datatype: %1\n  %2\n}\n")
                                 .arg(datatype)
                                 .arg(field);
    QCOMPARE(QString::fromUtf8(decodedText(protocPath, bytes)), expected);

    SparkplugPayload back;
    QString why;
    QVERIFY2(sparkplug::decode(bytes, &back, &why), qPrintable(why));
    QCOMPARE(back.metrics.size(), std::size_t(1));
    QStringList backTexts;
    QCOMPARE(sparkplug::writeTexts(back.metrics.front(), &backTexts), QString());
    QCOMPARE(backTexts, texts);
}

// Payloads protoc makes from text, as a host's command would come: taken with the texts a write
// of the tag's type accepts, or refused with the reason.
void SparkplugTest::decodeText_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("tagType");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QString>("refusal");

    const QString fits = QStringLiteral("does not fit its datatype");
    QTest::newRow("DCMD Double") << QByteArray("timestamp: 1700000000000 seq: 3 metrics { name: "
                                               "\"Tank/Level\" datatype: 10 double_value: 12.5 }")
                                 << int(Double) << QStringList{"12.5"} << QString();
    QTest::newRow("Int16 sign-extended")
        << QByteArray("metrics { name: \"a\" datatype: 2 int_value: 4294967294 }") << int(Int16)
        << QStringList{"-2"} << QString();
    QTest::newRow("Int64 min")
        << QByteArray("metrics { name: \"a\" datatype: 4 long_value: 9223372036854775808 }")
        << int(Int64) << QStringList{"-9223372036854775808"} << QString();
    QTest::newRow("UInt64 max")
        << QByteArray("metrics { alias: 7 datatype: 8 long_value: 18446744073709551615 }")
        << int(UInt64) << QStringList{"18446744073709551615"} << QString();
    QTest::newRow("Float") << QByteArray("metrics { name: \"f\" datatype: 9 float_value: 0.1 }")
                           << int(Float) << QStringList{"0.1"} << QString();
    QTest::newRow("Boolean") << QByteArray(
                                    "metrics { name: \"b\" datatype: 11 boolean_value: true }")
                             << int(Bool) << QStringList{"true"} << QString();
    QTest::newRow("String non-ASCII")
        << QByteArray(
               "metrics { name: \"s\" datatype: 12 string_value: \"Gr\\303\\274\\303\\237e\" }")
        << int(String) << QStringList{"Grüße"} << QString();
    QTest::newRow("Int16Array")
        << QByteArray("metrics { name: \"a\" datatype: 23 bytes_value: \"\\376\\377\\001\\000\" }")
        << int(Int16) << QStringList{"-2", "1"} << QString();
    QTest::newRow("BooleanArray")
        << QByteArray(
               "metrics { name: \"a\" datatype: 32 bytes_value: \"\\003\\000\\000\\000\\240\" }")
        << int(Bool) << QStringList{"true", "false", "true"} << QString();
    QTest::newRow("StringArray")
        << QByteArray("metrics { name: \"a\" datatype: 33 bytes_value: \"a\\000\\000\" }")
        << int(String) << QStringList{"a", ""} << QString();

    QTest::newRow("Int8 not sign-extended")
        << QByteArray("metrics { name: \"a\" datatype: 1 int_value: 200 }") << 0 << QStringList()
        << fits;
    QTest::newRow("UInt16 too large")
        << QByteArray("metrics { name: \"a\" datatype: 6 int_value: 65536 }") << 0 << QStringList()
        << fits;
    QTest::newRow("Double in int_value")
        << QByteArray("metrics { name: \"a\" datatype: 10 int_value: 5 }") << 0 << QStringList()
        << fits;
    QTest::newRow("no value") << QByteArray("metrics { name: \"a\" datatype: 10 }") << 0
                              << QStringList() << fits;
    QTest::newRow("Int16Array odd")
        << QByteArray("metrics { name: \"a\" datatype: 23 bytes_value: \"\\001\" }") << 0
        << QStringList() << fits;
    QTest::newRow("BooleanArray short")
        << QByteArray(
               "metrics { name: \"a\" datatype: 32 bytes_value: \"\\011\\000\\000\\000\\240\" }")
        << 0 << QStringList() << fits;
    QTest::newRow("StringArray unended")
        << QByteArray("metrics { name: \"a\" datatype: 33 bytes_value: \"ab\" }") << 0
        << QStringList() << fits;
    QTest::newRow("no datatype") << QByteArray("metrics { name: \"a\" int_value: 1 }") << 0
                                 << QStringList() << QString("it has no datatype");
    QTest::newRow("DataSet") << QByteArray("metrics { name: \"a\" datatype: 16 }") << 0
                             << QStringList() << QString("datatype 16 is none");
    QTest::newRow("null with a value")
        << QByteArray("metrics { name: \"a\" datatype: 3 is_null: true int_value: 1 }") << 0
        << QStringList() << QString("null and has a value");
    QTest::newRow("Quality as text")
        << QByteArray("metrics { name: \"a\" datatype: 3 int_value: 1 properties { keys: "
                      "\"Quality\" values { type: 12 string_value: \"good\" } } }")
        << 0 << QStringList() << QString("Quality is not an Int32");
}

void SparkplugTest::decodeText()
{
    QFETCH(QByteArray, text);
    QFETCH(int, tagType);
    QFETCH(QStringList, texts);
    QFETCH(QString, refusal);

    const QByteArray bytes = encodedText(protocPath, text);
    QVERIFY2(!bytes.startsWith("protoc "), bytes.constData());
    SparkplugPayload payload;
    QString why;
    const bool taken = sparkplug::decode(bytes, &payload, &why);
    if (!refusal.isEmpty()) {
        QVERIFY(!taken);
        QVERIFY2(why.contains(refusal), qPrintable(why));
        QVERIFY(payload.metrics.empty());
        return;
    }
    QVERIFY2(taken, qPrintable(why));
    QCOMPARE(payload.metrics.size(), std::size_t(1));
    QStringList written;
    QCOMPARE(sparkplug::writeTexts(payload.metrics.front(), &written), QString());
    QCOMPARE(written, texts);
    QVariant typed;
    QCOMPARE(writePayload(tagType, written, &typed), QString());
}

void SparkplugTest::malformed_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("refusal");

    const QString noPayload = QStringLiteral("no Sparkplug B payload");
    QTest::newRow("truncated varint") << QByteArray("\x08\xff", 2) << noPayload;
    QTest::newRow("metric longer than the bytes") << QByteArray("\x12\x05\x0a\x01", 4) << noPayload;
    QTest::newRow("seq as a string") << QByteArray("\x1a\x01x", 3) << noPayload;
    QTest::newRow("field 0") << QByteArray("\x00\x01", 2) << noPayload;
    QTest::newRow("more than 64 KiB")
        << QByteArray(sparkplug::maxPayloadBytes + 1, '\0') << QString("more than 65536 bytes");
    QTest::newRow("null metric without datatype")
        << QByteArray("\x12\x02\x38\x01", 4) << QString("no datatype");
}

void SparkplugTest::malformed()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, refusal);

    SparkplugPayload payload;
    payload.seq = 9;
    QString why;
    QVERIFY(!sparkplug::decode(bytes, &payload, &why));
    QVERIFY2(why.contains(refusal), qPrintable(why));
    QCOMPARE(payload.seq, std::optional<quint64>(9));
}

// The Quality property as a host reads it, with a null metric and the payload's own fields.
void SparkplugTest::quality()
{
    SparkplugPayload payload;
    payload.timestampMs = 1700000000123;
    payload.seq = 255;
    SparkplugMetric stale;
    stale.name = QStringLiteral("q");
    stale.alias = 3;
    stale.datatype = Datatype::Int32;
    stale.value = std::vector<qint64>{-7};
    stale.quality = sparkplug::qualityStale;
    SparkplugMetric bad;
    bad.name = QStringLiteral("n");
    bad.datatype = Datatype::Double;
    bad.isNull = true;
    bad.quality = sparkplug::qualityBad;
    payload.metrics = {stale, bad};
    const QByteArray bytes = sparkplug::encode(payload);

    QCOMPARE(QString::fromUtf8(decodedText(protocPath, bytes)),
             QStringLiteral("timestamp: 1700000000123\n"
                            "metrics {\n  name: \"q\"\n  alias: 3\n  datatype: 3\n"
                            "  properties {\n    keys: \"Quality\"\n"
                            "    values {\n      type: 3\n      int_value: 500\n    }\n  }\n"
                            "  int_value: 4294967289\n}\n"
                            "metrics {\n  name: \"n\"\n  datatype: 10\n  is_null: true\n"
                            "  properties {\n    keys: \"Quality\"\n"
                            "    values {\n      type: 3\n      int_value: 0\n    }\n  }\n}\n"
                            "seq: 255\n"));

    SparkplugPayload back;
    QString why;
    QVERIFY2(sparkplug::decode(bytes, &back, &why), qPrintable(why));
    QCOMPARE(back.metrics.size(), std::size_t(2));
    QCOMPARE(back.metrics[0].quality, sparkplug::qualityStale);
    QCOMPARE(back.metrics[0].alias, std::optional<quint64>(3));
    QCOMPARE(back.metrics[1].quality, sparkplug::qualityBad);
    QVERIFY(back.metrics[1].isNull);
    QStringList texts;
    QVERIFY(!sparkplug::writeTexts(back.metrics[1], &texts).isEmpty());
}

// A type with no datatype, and a value that does not fit the metric's datatype, make nothing.
void SparkplugTest::recordWithoutDatatype()
{
    SparkplugMetric metric;
    QVERIFY(!sparkplug::fromRecord(recordOf(0, {}), &metric));
    QCOMPARE(sparkplug::tagDatatype(0, 1), Datatype::Unknown);
    metric.datatype = Datatype::Int8;
    metric.value = std::vector<qint64>{128};
    SparkplugPayload payload;
    payload.metrics.push_back(metric);
    QVERIFY(sparkplug::encode(payload).isEmpty());
}

QTEST_GUILESS_MAIN(SparkplugTest)
#include "tst_sparkplug.moc"
