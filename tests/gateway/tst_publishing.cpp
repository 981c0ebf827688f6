#include "brokersettings.h"
#include "historystore.h"
#include "metricsexposition.h"
#include "mqttjsonoutput.h"
#include "publishqueue.h"
#include "recordformat.h"
#include "scrape.h"
#include "setpayload.h"
#include "tagmessages.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <limits>

#include <sys/resource.h>

// What the gateway publishes and takes, without a broker: the order and bounds of what waits
// for the broker, when a value is published again, and the elements a write request carries.
class PublishingTest : public QObject
{
    Q_OBJECT

private slots:
    void queue_data();
    void queue();
    void due_data();
    void due();
    void setPayload_data();
    void setPayload();
    void scaledWrite_data();
    void scaledWrite();
    void scaledValue_data();
    void scaledValue();
    void valueJson_data();
    void valueJson();
    void stampAfterStamp_data();
    void stampAfterStamp();
    void output_data();
    void output();
    void setTarget_data();
    void setTarget();
    void store();
    void metricsText();
};

namespace {

// "rTOPIC=PAYLOAD" a retained message, "nTOPIC=PAYLOAD" another, "sTOPIC=PAYLOAD" one bound to
// its session, each holding TOPIC=PAYLOAD for history; a leading "^" puts it back in front (taken
// back from a lost session), a leading "~" reminds of a retained one.
MqttMessage messageOf(const QString &op)
{
    const QString body = op.mid(op.startsWith(QLatin1Char('^')) || op.startsWith('~') ? 1 : 0);
    const QByteArray topic = body.mid(1).section(QLatin1Char('='), 0, 0).toUtf8();
    const QByteArray payload = body.mid(1).section(QLatin1Char('='), 1).toUtf8();
    return {topic,
            payload,
            body.startsWith(QLatin1Char('r')),
            {},
            0,
            {"c", topic + '=' + payload, 1, {}, {}},
            body.startsWith(QLatin1Char('s'))};
}

// Records of random numbers, which do not compress.
QByteArray incompressible(int count)
{
    QByteArray records;
    for (int i = 0; i < count; ++i)
        records += (i ? "," : "") + QByteArray::number(QRandomGenerator::global()->generate64());
    return records;
}

} // namespace

void PublishingTest::queue_data()
{
    QTest::addColumn<int>("limit");
    QTest::addColumn<QString>("ops");
    QTest::addColumn<QString>("taken"); // TOPIC=PAYLOAD in the order they go out
    QTest::addColumn<int>("replaced");
    QTest::addColumn<int>("dropped");
    QTest::addColumn<QString>("kept"); // what went to history instead, in order

    QTest::newRow("in order") << 10 << "ra=1 nb=x rc=1"
                              << "a=1 b=x c=1" << 0 << 0 << "";
    QTest::newRow("newer retained takes the older's place") << 10 << "ra=1 nb=x ra=2 ra=3"
                                                            << "a=3 b=x" << 2 << 0 << "a=1 a=2";
    QTest::newRow("past the limit the oldest others give way, retained never")
        << 2 << "nx=1 ra=1 nx=2 rb=1 nx=3"
        << "a=1 x=2 b=1 x=3" << 0 << 1 << "x=1";
    QTest::newRow("taken back from a lost session goes first") << 10 << "ra=1 nb=2 ^nb=1"
                                                               << "b=1 a=1 b=2" << 0 << 0 << "";
    QTest::newRow("a reminder joins only a topic not waiting") << 10 << "ra=2 ~ra=1 ~rc=1"
                                                               << "a=2 c=1" << 0 << 0 << "";
    QTest::newRow("a cleared topic waits as its clearing") << 10 << "ra=1 ra="
                                                           << "a=" << 1 << 0 << "a=1";
    // The session lost: every waiting value goes to history; the latest of a retained topic
    // still goes out on the next session, the others would be late and do not.
    QTest::newRow("a lost session keeps what waits") << 10 << "ra=1 nb=2 rc=1 * ra=2"
                                                     << "a=2 c=1" << 1 << 0 << "a=1 b=2 c=1";
    // A message numbered in its session (Sparkplug's seq) still goes while the session lasts,
    // its values kept as well; once the session has ended (!) it never goes.
    QTest::newRow("a stalled broker keeps a numbered message waiting")
        << 10 << "sx=1 nb=2 *"
        << "x=1" << 0 << 0 << "x=1 b=2";
    QTest::newRow("an ended session's numbered messages go no more")
        << 10 << "sx=1 ra=1 sy=2 !"
        << "a=1" << 0 << 0 << "x=1 y=2";
}

void PublishingTest::queue()
{
    QFETCH(int, limit);
    QFETCH(QString, ops);
    QFETCH(QString, taken);
    QFETCH(int, replaced);
    QFETCH(int, dropped);
    QFETCH(QString, kept);
    PublishQueue q(limit);
    QStringList history;
    q.setKeeper([&](const HeldRecords &h) { history << QString::fromUtf8(h.records); });
    for (const QString &op : ops.split(QLatin1Char(' '))) {
        const MqttMessage m = messageOf(op);
        if (op == QLatin1String("*"))
            q.keepAllHeld();
        else if (op == QLatin1String("!"))
            q.dropSessionBound();
        else if (op.startsWith(QLatin1Char('^')))
            q.pushFront(m);
        else if (op.startsWith(QLatin1Char('~')))
            q.remind(m);
        else
            q.push(m);
    }
    QStringList out;
    while (q.hasWaiting()) {
        const MqttMessage m = q.take();
        out << QString::fromUtf8(m.topic + '=' + m.payload);
    }
    QCOMPARE(out.join(QLatin1Char(' ')), taken);
    QCOMPARE(q.replaced(), qint64(replaced));
    QCOMPARE(q.dropped(), qint64(dropped));
    QCOMPARE(history.join(QLatin1Char(' ')), kept);
}

void PublishingTest::due_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<double>("deadband");
    QTest::addColumn<QString>("before"); // elements joined by |
    QTest::addColumn<QString>("now");
    QTest::addColumn<bool>("published");

    QTest::newRow("Int16 within the band") << int(Int16) << 5.0 << "10"
                                           << "14" << false;
    QTest::newRow("Int16 beyond the band") << int(Int16) << 5.0 << "10"
                                           << "16" << true;
    QTest::newRow("Double any move without a band") << int(Double) << 0.0 << "1.5"
                                                    << "1.5000001" << true;
    QTest::newRow("Float NaN to a number") << int(Float) << 5.0 << "NaN"
                                           << "1" << true;
    // Texts that look like numbers are texts.
    QTest::newRow("String that looks like a number") << int(String) << 5.0 << "10"
                                                     << "12" << true;
    QTest::newRow("Bool under a band") << int(Bool) << 5.0 << "false"
                                       << "true" << true;
    // Texts beyond ASCII are kept as UTF-16, long ones with a longer length.
    QTest::newRow("String beyond ASCII unchanged") << int(String) << 0.0 << "Grüße, 東京"
                                                   << "Grüße, 東京" << false;
    QTest::newRow("String beyond ASCII changed") << int(String) << 0.0 << "Grüße"
                                                 << "Grüßer" << true;
    QTest::newRow("String of 300 characters unchanged")
        << int(String) << 0.0 << QString(300, QLatin1Char('x')) << QString(300, QLatin1Char('x'))
        << false;
    QTest::newRow("String of 300 characters, one more")
        << int(String) << 0.0 << QString(300, QLatin1Char('x')) << QString(301, QLatin1Char('x'))
        << true;
    // Fifteen bytes are held in place, sixteen in a block: a length byte and the characters.
    QTest::newRow("String of 14 characters, then 15")
        << int(String) << 0.0 << QString(14, QLatin1Char('x')) << QString(15, QLatin1Char('x'))
        << true;
    QTest::newRow("String of 15 characters unchanged")
        << int(String) << 0.0 << QString(15, QLatin1Char('x')) << QString(15, QLatin1Char('x'))
        << false;
    QTest::newRow("String emptied") << int(String) << 0.0 << "a"
                                    << "" << true;
    // A byte a character and UTF-16 never stand for the same text.
    QTest::newRow("String beyond ASCII, then within") << int(String) << 0.0 << "é"
                                                      << "e" << true;
    QTest::newRow("String within ASCII, then beyond") << int(String) << 0.0 << "e"
                                                      << "é" << true;
    QTest::newRow("array unchanged") << int(Int16) << 0.0 << "1|-2|3"
                                     << "1|-2|3" << false;
    QTest::newRow("array, characters shifted between elements") << int(String) << 0.0 << "ab|c"
                                                                << "a|bc" << true;
    QTest::newRow("array, one element more") << int(String) << 0.0 << "1|2"
                                             << "1|2|" << true;
    QTest::newRow("array within the band") << int(Int16) << 5.0 << "10|20"
                                           << "12|16" << false;
    QTest::newRow("array, one element beyond the band") << int(Int16) << 5.0 << "10|20"
                                                        << "12|26" << true;
    // Beyond 2^53 a double cannot tell these apart; the integers can.
    QTest::newRow("Int64 beyond 2^53 by 100") << int(Int64) << 1.0 << "9007199254740993"
                                              << "9007199254741093" << true;
    QTest::newRow("Int64 across zero within the band") << int(Int64) << 3.0 << "-1"
                                                       << "1" << false;
    QTest::newRow("Int64 from the least to the largest")
        << int(Int64) << 1e18 << "-9223372036854775808"
        << "9223372036854775807" << true;
    QTest::newRow("UInt64 at the top by 1 within the band")
        << int(UInt64) << 1.0 << "18446744073709551615"
        << "18446744073709551614" << false;
    QTest::newRow("UInt64 at the top by 2") << int(UInt64) << 1.0 << "18446744073709551615"
                                            << "18446744073709551613" << true;
}

void PublishingTest::due()
{
    QFETCH(int, type);
    QFETCH(double, deadband);
    QFETCH(QString, before);
    QFETCH(QString, now);
    QFETCH(bool, published);
    TagMemory memory;
    CLabelVariable record;
    record.result = 0;
    record.type = DataType(type);
    const QStringList last = before.split(QLatin1Char('|')), read = now.split(QLatin1Char('|'));
    memory.published(record, last, 1000);
    QCOMPARE(memory.texts(), last);
    QCOMPARE(publishpolicy::due(memory, record, read, deadband, 1000, 60000), published);
    // A write that succeeded is confirmed by the next value, moved or not.
    memory.confirmWrite = true;
    QVERIFY(publishpolicy::due(memory, record, last, deadband, 1000, 60000));
}

void PublishingTest::setPayload_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("elements"); // joined by |, or the refusal

    QTest::newRow("one number") << QByteArray("42.5") << "42.5";
    QTest::newRow("a list") << QByteArray(" [1, -2, true, \"x\"] ") << "1|-2|true|x";
    QTest::newRow("Int64 beyond 2^53 keeps its digits")
        << QByteArray("9007199254740993") << "9007199254740993";
    QTest::newRow("UInt64 largest") << QByteArray("18446744073709551615") << "18446744073709551615";
    QTest::newRow("a whole number with a fraction") << QByteArray("5.0") << "5";
    QTest::newRow("a float keeps its text") << QByteArray("3.4028235e+38") << "3.4028235e+38";
    QTest::newRow("beyond UInt64 stays text")
        << QByteArray("18446744073709551616") << "18446744073709551616";
    QTest::newRow("a zero character in a text")
        << QByteArray("\"a\\u0000b\"") << QString::fromUtf8("a\0b", 3);
    QTest::newRow("null") << QByteArray("null") << "elements are numbers, true, false or texts";
    QTest::newRow("object") << QByteArray("{\"a\":1}")
                            << "elements are numbers, true, false or texts";
    QTest::newRow("nested list") << QByteArray("[1,[2]]")
                                 << "elements are numbers, true, false or texts";
    QTest::newRow("two values") << QByteArray("1 2") << "the payload is not one JSON value or list";
    QTest::newRow("empty") << QByteArray() << "the payload is not one JSON value or list";
    QTest::newRow("deep nesting") << QByteArray(30000, '[')
                                  << "elements are numbers, true, false or texts";
}

void PublishingTest::setPayload()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, elements);
    QStringList texts;
    const QString why = setPayloadElements(payload, &texts);
    QCOMPARE(why.isEmpty() ? texts.join(QLatin1Char('|')) : why, elements);
}

void PublishingTest::scaledWrite_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<double>("scale");
    QTest::addColumn<double>("offset");
    QTest::addColumn<QString>("value"); // in the published units
    QTest::addColumn<QString>("raw");   // as the write check takes it, or the refusal's start

    // Decimal scales are not exact in binary: 21.5 with 0.1 is 214.99999999999997 before rounding.
    QTest::newRow("tenths") << int(Int16) << 0.1 << 0.0 << "21.5"
                            << "215";
    QTest::newRow("tenths with an offset") << int(Int16) << 0.1 << -40.0 << "21.5"
                                           << "615";
    QTest::newRow("0.3 of tenths") << int(UInt16) << 0.1 << 0.0 << "0.3"
                                   << "3";
    QTest::newRow("large raw, small scale") << int(Int64) << 0.001 << 0.0 << "123456789.123"
                                            << "123456789123";
    QTest::newRow("negative scale") << int(Int32) << -2.0 << 0.0 << "-10"
                                    << "5";
    QTest::newRow("between two steps") << int(Int16) << 0.1 << 0.0 << "21.55"
                                       << "21.55 is 215.5 in the controller's units";
    QTest::newRow("beyond 2^53 raw") << int(Int64) << 0.5 << 0.0 << "9007199254740994"
                                     << "9007199254740994 is beyond 2^53";
    QTest::newRow("a text") << int(Int16) << 0.1 << 0.0 << "warm"
                            << "'warm' is not a number";
    // A floating raw type takes any value; its own check bounds it.
    QTest::newRow("Float raw") << int(Float) << 0.5 << 1.0 << "2"
                               << "2";
}

void PublishingTest::scaledWrite()
{
    QFETCH(int, type);
    QFETCH(double, scale);
    QFETCH(double, offset);
    QFETCH(QString, value);
    QFETCH(QString, raw);
    Tag tag;
    tag.type = type;
    tag.scale = scale;
    tag.offset = offset;
    QStringList texts{value};
    const QString why = rawWriteTexts(tag, &texts);
    QVERIFY2(why.isEmpty() ? texts.first() == raw : why.startsWith(raw), qPrintable(why));
}

void PublishingTest::scaledValue_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QVariant>("raw");
    QTest::addColumn<double>("scale");
    QTest::addColumn<bool>("largeAsText");
    QTest::addColumn<QString>("value"); // as published

    // Int8 is signed whatever plain char is on the machine.
    QTest::newRow("Int8 negative") << int(Int8) << QVariant::fromValue(QList<char>{char(-128), 5})
                                   << 0.5 << false << "[-64,2.5]";
    // The digits meant, not the binary arithmetic's last one; a value beyond fifteen digits
    // keeps every digit.
    QTest::newRow("tenths without noise")
        << int(Int16) << QVariant::fromValue(QList<short>{6928, 3}) << 0.1 << false
        << "[692.8,0.3]";
    QTest::newRow("sixteen digits kept")
        << int(Int64) << QVariant::fromValue(QList<qlonglong>{1234567890123457}) << 1.0 / 1024
        << false << "1205632705198.6885";
    QTest::newRow("UInt16 top") << int(UInt16) << QVariant::fromValue(QList<ushort>{65535}) << 0.1
                                << false << "6553.5";
    QTest::newRow("Int64 as a number")
        << int(Int64) << QVariant::fromValue(QList<qlonglong>{9007199254740993}) << 1.0 << false
        << "9007199254740993";
    QTest::newRow("Int64 beyond 2^53 as text")
        << int(Int64) << QVariant::fromValue(QList<qlonglong>{-9007199254740993, 9007199254740992})
        << 1.0 << true << "[\"-9007199254740993\",9007199254740992]";
    QTest::newRow("UInt64 top as text")
        << int(UInt64) << QVariant::fromValue(QList<qulonglong>{18446744073709551615u}) << 1.0
        << true << "\"18446744073709551615\"";
}

namespace {

// A read's record holding these elements (count -1: as many as they are), read at `time`.
CLabelVariable valueRecord(int type, const QVariant &elements, int count, const QDateTime &time)
{
    CLabelVariable record;
    record.result = 0;
    record.type = DataType(type);
    record.value = elements;
    record.count = count < 0 ? int(elements.value<QSequentialIterable>().size()) : count;
    record.time = time;
    return record;
}

} // namespace

// A value as published: raw × scale + offset for a scaled tag, and integers a double cannot hold
// as texts on request. A reader that takes every number as a double gets them back exactly.
void PublishingTest::scaledValue()
{
    QFETCH(int, type);
    QFETCH(QVariant, raw);
    QFETCH(double, scale);
    QFETCH(bool, largeAsText);
    QFETCH(QString, value);
    CLabelVariable record = valueRecord(type, raw, -1, QDateTime::currentDateTime());
    if (scale != 1)
        record = recordformat::scaledRecord(record, scale, 0);
    const QByteArray json =
        tagmessages::valueJson(record, recordformat::values(record), largeAsText);
    QVERIFY2(json.startsWith("{\"value\":" + value.toUtf8() + ",\"ts\":"), json.constData());
    if (largeAsText) {
        const QJsonValue asDouble = QJsonDocument::fromJson(json).object().value("value");
        const QString first =
            asDouble.isArray() ? asDouble.toArray().first().toString() : asDouble.toString();
        QCOMPARE(first, value.section(QLatin1Char('"'), 1, 1));
    }
}

void PublishingTest::valueJson_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QVariant>("elements"); // a QList of the type's element, as the driver gives
    QTest::addColumn<bool>("largeAsText");
    QTest::addColumn<QString>("value"); // as published
    QTest::addColumn<QString>("texts"); // recordformat::values, joined by |, for the deadband
    QTest::addColumn<int>("count");     // the record's; -1: as many as the elements

    const float nanF = std::numeric_limits<float>::quiet_NaN();
    const float infF = std::numeric_limits<float>::infinity();
    const double nanD = std::numeric_limits<double>::quiet_NaN();
    const double infD = std::numeric_limits<double>::infinity();
    QTest::newRow("Bool two") << int(Bool) << QVariant::fromValue(QList<bool>{true, false}) << false
                              << "[true,false]"
                              << "true|false" << -1;
    QTest::newRow("Bool one stands for itself")
        << int(Bool) << QVariant::fromValue(QList<bool>{true}) << false << "true"
        << "true" << -1;
    // Signed whatever plain char is on the machine.
    QTest::newRow("Int8 ends") << int(Int8) << QVariant::fromValue(QList<char>{char(-128), 127})
                               << false << "[-128,127]"
                               << "-128|127" << -1;
    QTest::newRow("UInt8 ends") << int(UInt8) << QVariant::fromValue(QList<unsigned char>{255, 0})
                                << false << "[255,0]"
                                << "255|0" << -1;
    QTest::newRow("Int16 least") << int(Int16) << QVariant::fromValue(QList<short>{-32768}) << false
                                 << "-32768"
                                 << "-32768" << -1;
    QTest::newRow("UInt16 top") << int(UInt16) << QVariant::fromValue(QList<ushort>{65535}) << false
                                << "65535"
                                << "65535" << -1;
    QTest::newRow("Int32 ends") << int(Int32)
                                << QVariant::fromValue(QList<int>{-2147483647 - 1, 2147483647})
                                << false << "[-2147483648,2147483647]"
                                << "-2147483648|2147483647" << -1;
    QTest::newRow("UInt32 top") << int(UInt32) << QVariant::fromValue(QList<uint>{4294967295u})
                                << false << "4294967295"
                                << "4294967295" << -1;
    // The fewest digits that read back to the float, the sign of a zero, the names of the rest.
    QTest::newRow("Float shortest, -0, NaN, infinities")
        << int(Float)
        << QVariant::fromValue(QList<float>{0.1f, 16777216.f, -0.f, nanF, infF, -infF}) << false
        << "[0.1,16777216,-0,\"NaN\",\"Infinity\",\"-Infinity\"]"
        << "0.1|16777216|-0|NaN|Infinity|-Infinity" << -1;
    // Seven to nine digits, the smallest denormal, and a float halfway between two texts of
    // eight digits (rounded away from zero, as it always was).
    QTest::newRow("Float of more digits")
        << int(Float)
        << QVariant::fromValue(QList<float>{1.0000001f, std::numeric_limits<float>::max(),
                                            std::numeric_limits<float>::min(), 100000.01f,
                                            std::numeric_limits<float>::denorm_min(), -1604895.25f})
        << false << "[1.0000001,3.4028235e+38,1.1754944e-38,100000.01,1.4013e-45,-1604895.3]"
        << "1.0000001|3.4028235e+38|1.1754944e-38|100000.01|1.4013e-45|-1604895.3" << -1;
    QTest::newRow("Double shortest, -0, NaN")
        << int(Double) << QVariant::fromValue(QList<double>{0.1, 1e300, -0.0, nanD}) << false
        << "[0.1,1e+300,-0,\"NaN\"]"
        << "0.1|1e+300|-0|NaN" << -1;
    QTest::newRow("Double infinity alone")
        << int(Double) << QVariant::fromValue(QList<double>{-infD}) << false << "\"-Infinity\""
        << "-Infinity" << -1;
    QTest::newRow("String quote and tab")
        << int(String) << QVariant::fromValue(QList<QString>{"a\"b", "tab\t", "\u00e9"}) << false
        << "[\"a\\\"b\",\"tab\\u0009\",\"\u00e9\"]"
        << "a\"b|tab\t|\u00e9" << -1;
    QTest::newRow("Int64 ends as numbers")
        << int(Int64)
        << QVariant::fromValue(QList<qlonglong>{-9223372036854775807 - 1, 9007199254740993})
        << false << "[-9223372036854775808,9007199254740993]"
        << "-9223372036854775808|9007199254740993" << -1;
    QTest::newRow("Int64 beyond 2^53 as text, within as a number")
        << int(Int64)
        << QVariant::fromValue(QList<qlonglong>{-9223372036854775807 - 1, -9007199254740992})
        << true << "[\"-9223372036854775808\",-9007199254740992]"
        << "-9223372036854775808|-9007199254740992" << -1;
    QTest::newRow("UInt64 top as text")
        << int(UInt64)
        << QVariant::fromValue(QList<qulonglong>{18446744073709551615u, 9007199254740992u}) << true
        << "[\"18446744073709551615\",9007199254740992]"
        << "18446744073709551615|9007199254740992" << -1;
    QTest::newRow("Int16 none") << int(Int16) << QVariant::fromValue(QList<short>{}) << false
                                << "[]"
                                << "" << -1;
    // A record whose count is not its elements' number keeps the form it always had.
    QTest::newRow("count 1 of two elements")
        << int(Int16) << QVariant::fromValue(QList<short>{1, 2}) << false << "1,2"
        << "1|2" << 1;
    QTest::newRow("count 1 of none")
        << int(Int16) << QVariant::fromValue(QList<short>{}) << false << "[]"
        << "" << 1;
    QTest::newRow("count 2 of one")
        << int(Int16) << QVariant::fromValue(QList<short>{7}) << false << "[7]"
        << "7" << 2;
}

// A value's message, byte for byte, whether the record holds a QList of its element (read in
// place) or a list of QVariants (taken apart element by element).
void PublishingTest::valueJson()
{
    QFETCH(int, type);
    QFETCH(QVariant, elements);
    QFETCH(bool, largeAsText);
    QFETCH(QString, value);
    QFETCH(QString, texts);
    QFETCH(int, count);
    CLabelVariable record =
        valueRecord(type, elements, count,
                    QDateTime(QDate(2026, 12, 7), QTime(21, 35, 54, 827), Qt::OffsetFromUTC, 3600));
    const QByteArray expected =
        "{\"value\":" + value.toUtf8() + ",\"ts\":\"2026-12-07T21:35:54.827+01:00\",\"result\":0}";
    QCOMPARE(tagmessages::valueJson(record, recordformat::values(record), largeAsText), expected);
    QCOMPARE(recordformat::values(record).join(QLatin1Char('|')), texts);
    record.value = QVariant(elements.value<QVariantList>());
    QCOMPARE(tagmessages::valueJson(record, recordformat::values(record), largeAsText), expected);
    QCOMPARE(recordformat::values(record).join(QLatin1Char('|')), texts);
}

void PublishingTest::stampAfterStamp_data()
{
    QTest::addColumn<QDateTime>("first");
    QTest::addColumn<QDateTime>("second");

    const QDateTime local(QDate(2026, 7, 1), QTime(12, 0, 0, 5), Qt::LocalTime);
    const QDateTime east = local.toOffsetFromUtc(local.offsetFromUtc() + 3600);
    QTest::newRow("local twice") << local << local;
    QTest::newRow("local, then a millisecond later") << local << local.addMSecs(1);
    QTest::newRow("local, then a second earlier") << local << local.addSecs(-1);
    // One instant, another offset: another text.
    QTest::newRow("local, then the instant an hour east") << local << east;
    QTest::newRow("an hour east, then the instant local") << east << local;
    QTest::newRow("local, then the instant in UTC") << local << local.toUTC();
    QTest::newRow("in UTC, then the instant local") << local.toUTC() << local;
}

// The time stamp of a message is its record's, whatever the record before it had: the text of
// the last time is kept only for the same time in the same zone.
void PublishingTest::stampAfterStamp()
{
    QFETCH(QDateTime, first);
    QFETCH(QDateTime, second);
    CLabelVariable record;
    record.result = 0;
    record.type = Int16;
    record.count = 1;
    record.value = QVariant::fromValue(QList<short>{1});
    for (const QDateTime &time : {first, second}) {
        record.time = time;
        const QByteArray expected =
            "{\"value\":1,\"ts\":\"" + recordformat::timeStamp(time).toUtf8() + "\",\"result\":0}";
        QCOMPARE(tagmessages::valueJson(record, recordformat::values(record), false), expected);
    }
}

void PublishingTest::output_data()
{
    QTest::addColumn<QString>("form");       // tag messages, scan messages or both
    QTest::addColumn<QStringList>("events"); // what the worker says, in order
    QTest::addColumn<QStringList>(
        "messages"); // "TOPIC RETAIN EXPIRY CORRELATION PAYLOAD" patterns,
                     // then a tab and the records held for history

    const QString stamp = QStringLiteral("\"ts\":\"[-0-9T:.+]+\"");
    QTest::newRow("what each tag is")
        << "tags" << QStringList{"started", "turn"}
        << QStringList{"p/q/c/a/meta 1 0  \\{\"type\":\"Int16\",\"count\":1,"
                       "\"address\":\"AI1\",\"unit\":\"\",.*\"writable\":true\\}",
                       "p/q/c/s/meta 1 0  .*\"unit\":\"degC\",.*\"scale\":0.5,",
                       "p/q/c/q.*/meta 1 0  "};
    // A value expires max_age + the interval + 5 s after it is published; an outcome never.
    QTest::newRow("value, then a failure with the last value stale")
        << "tags" << QStringList{"value a 7", "failure a 8", "turn"}
        << QStringList{"p/q/c/a 1 66  \\{\"value\":7," + stamp + ",\"result\":0\\}",
                       "p/q/c/a 1 0  \\{\"value\":7," + stamp +
                           ",\"result\":8,\"outcome\":\"exchange failed.*\"stale\":true,"
                           "\"value_ts\":"};
    QTest::newRow("statuses; online said again at once")
        << "tags" << QStringList{"status on", "still", "status off", "turn"}
        << QStringList{"p/q/c/status 1 65  online", "p/q/c/status 1 65  online",
                       "p/q/c/status 1 0  offline"};
    QTest::newRow("a write's outcome, and the reply with its correlation")
        << "tags" << QStringList{"write a 0 reply/1 k42", "turn"}
        << QStringList{"p/q/c/a/set/result 0 0  \\{\"result\":0,\"outcome\":\"success\"\\}",
                       "reply/1 0 0 k42 \\{\"result\":0,"};
    QTest::newRow("one scan message per turn")
        << "both" << QStringList{"value a 7", "value s 3", "turn", "turn"}
        << QStringList{"p/q/c/a 1 66  ", "p/q/c/s 1 66  ",
                       "p/q/c/scan 0 0  \\{\"a\":\\{\"value\":7,.*\\},\"s\":\\{\"value\":3,"};
    // Each value goes into history once: with its tag's message, or else with the scan's.
    QTest::newRow("values held with their tag messages")
        << "both" << QStringList{"value a 7", "failure s 8", "turn"}
        << QStringList{"p/q/c/a 1 66  \\{.*\\}\tc 1 \\{\"tag\":\"a\",\"value\":7," + stamp +
                           ",\"result\":0\\}$",
                       "p/q/c/s 1 0  \\{.*\\}\tc 1 \\{\"tag\":\"s\",.*\"result\":8,",
                       "p/q/c/scan 0 0  \\{[^\t]*\\}$"};
    QTest::newRow("values held with the scan message alone")
        << "scan"
        << QStringList{"value a 7", "value s 3", "failure q 8", "turn", "status off", "turn"}
        << QStringList{"p/q/c/scan 0 0  \\{.*\\}\tc 3 \\{\"tag\":\"a\",\"value\":7,.*\\},"
                       "\\{\"tag\":\"s\",\"value\":3,",
                       "p/q/c/status 1 0  offline$"};
    QTest::newRow("nothing handed on for an empty turn")
        << "tags" << QStringList{"turn"} << QStringList{};
}

// What the worker says becomes MQTT messages: topics, retain flags, expiry and payloads, without
// a broker.
void PublishingTest::output()
{
    QFETCH(QString, form);
    QFETCH(QStringList, events);
    QFETCH(QStringList, messages);
    ControllerSettings c;
    c.name = QStringLiteral("c");
    c.scanMessages = form != QLatin1String("tags");
    c.tagMessages = form != QLatin1String("scan");
    GatewayTag a;
    a.tag = {QStringLiteral("a"), QStringLiteral("AI1"), Int16, 1, 1000, {}, {}, 1, 0};
    a.writable = true;
    GatewayTag scaled;
    scaled.tag = {QStringLiteral("s"), QStringLiteral("AI2"), Int16, 1, 1000, {}, {}, 0.5, 0};
    scaled.tag.unit = QStringLiteral("degC");
    // A name that is no trouble for a topic level, but is for anything that reads JSON loosely.
    GatewayTag odd = a;
    odd.tag.name = QStringLiteral("q\"}{,");
    c.tags = {a, scaled, odd};
    BrokerSettings broker;
    broker.prefix = QStringLiteral("p/q");
    QStringList seen;
    QByteArrayList held;
    QSet<QByteArray> metaPool;
    MqttJsonControllerOutput out(
        c, broker,
        [&](const QVector<MqttMessage> &batch) {
            for (const MqttMessage &m : batch) {
                seen << QStringLiteral("%1 %2 %3 %4 %5")
                            .arg(QString::fromUtf8(m.topic))
                            .arg(int(m.retain))
                            .arg(m.expiryS)
                            .arg(QString::fromUtf8(m.correlation), QString::fromUtf8(m.payload));
                if (m.held.count > 0) {
                    const QByteArray records = mqttjson::historyRecords(m.held);
                    seen.last() += QStringLiteral("\t%1 %2 %3")
                                       .arg(m.held.controller)
                                       .arg(m.held.count)
                                       .arg(QString::fromUtf8(records));
                    held << records;
                }
            }
        },
        &metaPool);
    TagMemory memory;
    QStringList valueTags; // of the values and failures, in order
    for (const QString &event : events) {
        const QStringList w = event.split(QLatin1Char(' '));
        const int tag = QStringLiteral("asq").indexOf(w.value(1, QStringLiteral("a")));
        CLabelVariable record;
        record.type = Int16;
        record.count = 1;
        record.time = QDateTime::currentDateTime();
        if (w[0] == QLatin1String("value") || w[0] == QLatin1String("failure"))
            valueTags << c.tags[tag].tag.name;
        if (w[0] == QLatin1String("started"))
            out.started();
        else if (w[0] == QLatin1String("value")) {
            record.result = 0;
            record.value = QVariant::fromValue(QList<short>{short(w[2].toInt())});
            out.tagUpdated(tag, record, recordformat::values(record), memory);
            memory.published(record, recordformat::values(record), 0);
        } else if (w[0] == QLatin1String("failure")) {
            record.result = w[2].toInt();
            out.tagUpdated(tag, record, {}, memory);
        } else if (w[0] == QLatin1String("status"))
            out.statusChanged(w[1] == QLatin1String("on"));
        else if (w[0] == QLatin1String("still"))
            out.stillOnline();
        else if (w[0] == QLatin1String("write"))
            out.writeAnswered(tag, w[2].toInt(), QStringLiteral("success"),
                              mqttjson::writeTicket(w[3].toUtf8(), w[4].toUtf8()));
        else
            out.turnEnded();
    }
    QCOMPARE(seen.size(), messages.size());
    for (int i = 0; i < messages.size(); ++i)
        QVERIFY2(QRegularExpression(QLatin1Char('^') + messages[i]).match(seen[i]).hasMatch(),
                 qPrintable(seen[i]));
    // What was held, delivered later: one JSON array on the controller's history topic, never
    // retained, each record a tag's payload with the tag's name.
    const MqttMessage history = mqttjson::historyMessage(broker, c.name, held.join(','));
    QCOMPARE(history.topic, QByteArray("p/q/c/history"));
    QVERIFY(!history.retain && history.expiryS == 0);
    if (held.isEmpty())
        return;
    const QJsonArray records = QJsonDocument::fromJson(history.payload).array();
    QStringList heldTags;
    for (const QJsonValue &r : records) {
        QVERIFY(r.toObject().contains(QLatin1String("result")));
        heldTags << r[QLatin1String("tag")].toString();
    }
    QCOMPARE(heldTags, valueTags);
}

void PublishingTest::setTarget_data()
{
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QString>("target"); // "CONTROLLER TAG", or "" for no request

    QTest::newRow("a request") << "p/q/c/a/set"
                               << "c a";
    QTest::newRow("a result") << "p/q/c/a/set/result"
                              << "";
    QTest::newRow("one prefix level short") << "p/c/a/set"
                                            << "";
    QTest::newRow("another prefix") << "p/r/c/a/set"
                                    << "";
}

void PublishingTest::setTarget()
{
    QFETCH(QString, topic);
    QFETCH(QString, target);
    BrokerSettings broker;
    broker.prefix = QStringLiteral("p/q");
    QString controller, tag;
    const bool request = mqttjson::setTarget(broker, topic.toUtf8(), &controller, &tag);
    QCOMPARE(request ? controller + QLatin1Char(' ') + tag : QString(), target);
}

QTEST_GUILESS_MAIN(PublishingTest)
// The store on real files: what was committed outlives the process, in order; one gateway at a
// time; delivered batches are forgotten; at the cap the oldest give way, counted per controller,
// and the file stays within the cap.
void PublishingTest::store()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("history.sqlite"));
    {
        HistoryStore first;
        QCOMPARE(first.open(path, 1 << 20), QString());
        HistoryStore second;
        QVERIFY(second.open(path, 1 << 20).contains(QLatin1String("another process")));
        first.hold({QStringLiteral("c"), "{\"tag\":\"a\",\"value\":1}", 1, {}, {}});
        first.hold({QStringLiteral("d"), "{\"tag\":\"b\",\"value\":2}", 1, {}, {}});
        first.hold({QStringLiteral("c"), "{\"tag\":\"a\",\"value\":3}", 1, {}, {}});
        first.commit();
        first.hold({QStringLiteral("c"), "{\"tag\":\"a\",\"value\":4}", 1, {}, {}});
    } // what was held after the last commit goes when the store is closed
    HistoryStore store;
    QCOMPARE(store.open(path, 1 << 20), QString());
    const QVector<HeldBatch> batches = store.oldest(0, 10);
    QStringList seen;
    for (const HeldBatch &b : batches)
        seen << b.controller + QLatin1Char(' ') + HistoryStore::recordsOf(b.records);
    QCOMPARE(seen, QStringList({"c {\"tag\":\"a\",\"value\":1},{\"tag\":\"a\",\"value\":3}",
                                "d {\"tag\":\"b\",\"value\":2}", "c {\"tag\":\"a\",\"value\":4}"}));
    QCOMPARE(store.figures().heldValues, qint64(4));
    QCOMPARE(store.oldest(batches[1].id, 10).size(), 1);
    store.delivered(batches[0].id, batches[0].count);
    store.commit();
    QCOMPARE(store.figures().heldValues, qint64(2));
    QCOMPARE(store.figures().delivered, qint64(2));

    // Values that do not compress, well past a cap of 64 KiB.
    constexpr qint64 cap = 64 * 1024;
    store.setCap(cap);
    for (int round = 0; round < 40; ++round) {
        store.hold({QStringLiteral("c"), incompressible(100), 100, {}, {}});
        store.commit();
    }
    const StoreFigures f = store.figures();
    QVERIFY2(f.dropped > 0 &&
                 f.droppedBy.value(QStringLiteral("c")) + f.droppedBy.value("d") == f.dropped,
             qPrintable(QString::number(f.dropped)));
    QCOMPARE(f.heldValues + f.dropped, qint64(2 + 40 * 100));
    QVERIFY2(QFileInfo(path).size() <= cap, qPrintable(QString::number(QFileInfo(path).size())));
    // The newest stay; the oldest (controller d's) went first.
    QVERIFY(f.droppedBy.value(QStringLiteral("d")) == 1);
    const QVector<HeldBatch> left = store.oldest(0, 1000);
    QCOMPARE(left.last().count, 100);

    // Files that cannot grow (a size limit, as a full disk): the write fails, the values are
    // dropped and counted, and the store goes on once there is room.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit was{};
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &was) == 0);
    rlimit tight = was;
    tight.rlim_cur = 4096;
    const qint64 droppedBefore = store.figures().dropped;
    const qint64 heldBefore = store.figures().heldValues;
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &tight) == 0);
    store.hold({QStringLiteral("c"), incompressible(400), 400, {}, {}});
    store.commit();
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &was) == 0);
    QCOMPARE(store.figures().dropped - droppedBefore, qint64(400));
    QCOMPARE(store.figures().heldValues, heldBefore);
    store.hold({QStringLiteral("c"), "{\"tag\":\"a\",\"value\":5}", 1, {}, {}});
    store.commit();
    QCOMPARE(HistoryStore::recordsOf(store.oldest(left.last().id, 10).value(0).records),
             QByteArray("{\"tag\":\"a\",\"value\":5}"));
}

// The figures as exposition text: every family once, with its HELP and TYPE; a label value with a
// quote, a backslash and a newline escaped (a controller's name holds no newline, this one is
// made up); no latency before a first read; the store's families only while it is on. promtool
// takes the text.
void PublishingTest::metricsText()
{
    ControllerFigures odd;
    odd.name = QStringLiteral("a\"b\\c\nd");
    odd.online = true;
    odd.failures = {{8, 3}};
    odd.lastReadLatencyS = 0.0125;
    ControllerFigures idle;
    idle.name = QStringLiteral("idle");
    GatewayFigures g;
    g.broker = addressText({QStringLiteral("::1"), 1883});
    g.brokerConnected = true;
    g.storeOn = true;
    g.store.oldestAgeS = 7;
    g.controllers = {odd, idle};
    const QByteArray text = metricsexposition::text(g);
    const QByteArray label = "{controller=\"a\\\"b\\\\c\\nd\"";
    const QByteArrayList lines = {
        "tarvik_gateway_broker_connected{broker=\"[::1]:1883\"} 1\n",
        "tarvik_gateway_store_oldest_seconds 7\n",
        "tarvik_controller_online" + label + "} 1\n",
        "tarvik_controller_read_failures_total" + label + ",result=\"8\",outcome=\"" +
            recordformat::outcomeWords(8).toUtf8() + "\"} 3\n",
        "tarvik_controller_last_read_latency_seconds" + label + "} 0.0125\n",
        "tarvik_controller_tags{controller=\"idle\"} 0\n"};
    for (const QByteArray &line : lines)
        QVERIFY2(text.contains(line), line.constData());
    QVERIFY(!text.contains("last_read_latency_seconds{controller=\"idle\""));
    QCOMPARE(text.count("# TYPE tarvik_controller_online gauge\n"), 1);
    QCOMPARE(text.count("# HELP "), text.count("# TYPE "));
    g.storeOn = false;
    QVERIFY(!metricsexposition::text(g).contains("tarvik_gateway_store_"));

    const QString promtool = promtoolPath();
#ifndef TARVIK_CROSS_TEST
    QVERIFY2(!promtool.isEmpty(), "promtool is missing: install prometheus");
#endif
    if (promtool.isEmpty())
        QSKIP("promtool (package prometheus) is not on the build machine");
    QCOMPARE(promtoolProblems(promtool, text), QString());
}

#include "tst_publishing.moc"
