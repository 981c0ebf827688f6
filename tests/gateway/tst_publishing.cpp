#include "publishqueue.h"
#include "recordformat.h"
#include "setpayload.h"
#include "tagmessages.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

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
};

namespace {

// "rTOPIC=PAYLOAD" a retained message, "nTOPIC=PAYLOAD" another; a leading "^" puts it back in
// front (taken back from a lost session), a leading "~" reminds of a retained one.
MqttMessage messageOf(const QString &op)
{
    const QString body = op.mid(op.startsWith(QLatin1Char('^')) || op.startsWith('~') ? 1 : 0);
    return {body.mid(1).section(QLatin1Char('='), 0, 0).toUtf8(),
            body.mid(1).section(QLatin1Char('='), 1).toUtf8(),
            body.startsWith(QLatin1Char('r')),
            {},
            0};
}

} // namespace

void PublishingTest::queue_data()
{
    QTest::addColumn<int>("limit");
    QTest::addColumn<QString>("ops");
    QTest::addColumn<QString>("taken"); // TOPIC=PAYLOAD in the order they go out
    QTest::addColumn<int>("replaced");
    QTest::addColumn<int>("dropped");

    QTest::newRow("in order") << 10 << "ra=1 nb=x rc=1"
                              << "a=1 b=x c=1" << 0 << 0;
    QTest::newRow("newer retained takes the older's place") << 10 << "ra=1 nb=x ra=2 ra=3"
                                                            << "a=3 b=x" << 2 << 0;
    QTest::newRow("past the limit the oldest others give way, retained never")
        << 2 << "nx=1 ra=1 nx=2 rb=1 nx=3"
        << "a=1 x=2 b=1 x=3" << 0 << 1;
    QTest::newRow("taken back from a lost session goes first") << 10 << "ra=1 nb=2 ^nb=1"
                                                               << "b=1 a=1 b=2" << 0 << 0;
    QTest::newRow("a reminder joins only a topic not waiting") << 10 << "ra=2 ~ra=1 ~rc=1"
                                                               << "a=2 c=1" << 0 << 0;
    QTest::newRow("a cleared topic waits as its clearing") << 10 << "ra=1 ra="
                                                           << "a=" << 1 << 0;
}

void PublishingTest::queue()
{
    QFETCH(int, limit);
    QFETCH(QString, ops);
    QFETCH(QString, taken);
    QFETCH(int, replaced);
    QFETCH(int, dropped);
    PublishQueue q(limit);
    for (const QString &op : ops.split(QLatin1Char(' '))) {
        const MqttMessage m = messageOf(op);
        if (op.startsWith(QLatin1Char('^')))
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
}

void PublishingTest::due_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<double>("deadband");
    QTest::addColumn<QString>("before");
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
    memory.haveGood = true;
    memory.lastResult = 0;
    memory.lastTexts = QStringList{before};
    memory.publishedAt = 1000;
    CLabelVariable record;
    record.result = 0;
    record.type = DataType(type);
    QCOMPARE(tagmessages::due(memory, record, {now}, deadband, 1000, 60000), published);
    // A write that succeeded is confirmed by the next value, moved or not.
    memory.confirmWrite = true;
    QVERIFY(tagmessages::due(memory, record, {before}, deadband, 1000, 60000));
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

// A value as published: raw × scale + offset for a scaled tag, and integers a double cannot hold
// as texts on request. A reader that takes every number as a double gets them back exactly.
void PublishingTest::scaledValue()
{
    QFETCH(int, type);
    QFETCH(QVariant, raw);
    QFETCH(double, scale);
    QFETCH(bool, largeAsText);
    QFETCH(QString, value);
    CLabelVariable record;
    record.result = 0;
    record.type = DataType(type);
    record.value = raw;
    record.count = int(raw.value<QSequentialIterable>().size());
    record.time = QDateTime::currentDateTime();
    if (scale != 1)
        record = recordformat::scaledRecord(record, scale, 0);
    const QByteArray json = tagmessages::valueJson(record, largeAsText);
    QVERIFY2(json.startsWith("{\"value\":" + value.toUtf8() + ",\"ts\":"), json.constData());
    if (largeAsText) {
        const QJsonValue asDouble = QJsonDocument::fromJson(json).object().value("value");
        const QString first =
            asDouble.isArray() ? asDouble.toArray().first().toString() : asDouble.toString();
        QCOMPARE(first, value.section(QLatin1Char('"'), 1, 1));
    }
}

QTEST_GUILESS_MAIN(PublishingTest)
#include "tst_publishing.moc"
