// The tag value record: construction, copy and assignment as the host expects them, and the
// element accessors with their access status.
#include "payload.h"

#include <QtTest>

#include <climits>
#include <functional>

namespace {

using Accessor = std::function<QVariant(CLabelVariable &, int)>;

template <typename E> Accessor accessor(E (CLabelVariable::*at)(int))
{
    return [at](CLabelVariable &r, int i) { return QVariant::fromValue((r.*at)(i)); };
}

const QMap<QString, Accessor> &accessorTable()
{
    static const QMap<QString, Accessor> table = {
        {"atbool", accessor(&CLabelVariable::atbool)},
        {"atchar", accessor(&CLabelVariable::atchar)},
        {"atInt8", accessor(&CLabelVariable::atInt8)},
        {"atUInt8", accessor(&CLabelVariable::atUInt8)},
        {"atInt16", accessor(&CLabelVariable::atInt16)},
        {"atUInt16", accessor(&CLabelVariable::atUInt16)},
        {"atInt32", accessor(&CLabelVariable::atInt32)},
        {"atUInt32", accessor(&CLabelVariable::atUInt32)},
        {"atFloat", accessor(&CLabelVariable::atFloat)},
        {"atInt64", accessor(&CLabelVariable::atInt64)},
        {"atUInt64", accessor(&CLabelVariable::atUInt64)},
        {"atDouble", accessor(&CLabelVariable::atDouble)},
        {"atQString", accessor(&CLabelVariable::atQString)},
    };
    return table;
}

CLabelVariable filled(int accessStatus, int auxValue, const QString &tag)
{
    CLabelVariable r = record(Int16, payload<short>({1, 2}));
    r.result = 8;
    r.accessStatus = accessStatus;
    r.time = QDateTime(QDate(2024, 1, 4), QTime(12, 0));
    r.address = tag;
    r.count = 5;
    r.auxValue = auxValue;
    r.auxText = tag + QStringLiteral(" note");
    return r;
}

void compareAllButStatusAndAux(const CLabelVariable &got, const CLabelVariable &want)
{
    QCOMPARE(got.result, want.result);
    QCOMPARE(describe(got.value), describe(want.value));
    QCOMPARE(got.time, want.time);
    QCOMPARE(got.address, want.address);
    QCOMPARE(got.count, want.count);
    QCOMPARE(got.type, want.type);
    QCOMPARE(got.auxText, want.auxText);
}

} // namespace

class TestLabelRecord : public QObject
{
    Q_OBJECT

private slots:
    void newRecord();
    void copyTakesAllFields();
    void assignmentKeepsStatusAndAuxValue();
    void accessors_data();
    void accessors();
};

void TestLabelRecord::newRecord()
{
    const CLabelVariable r;
    QCOMPARE(r.result, 1);
    QCOMPARE(r.accessStatus, 1);
    QVERIFY(!r.value.isValid());
    QVERIFY(r.time.isNull());
    QVERIFY(r.address.isEmpty());
    QCOMPARE(r.count, 0);
    QCOMPARE(int(r.type), 0);
    QCOMPARE(r.auxValue, 0);
    QVERIFY(r.auxText.isEmpty());
}

void TestLabelRecord::copyTakesAllFields()
{
    const CLabelVariable source = filled(10, 42, QStringLiteral("AI_F3"));
    const CLabelVariable copy(source);
    compareAllButStatusAndAux(copy, source);
    QCOMPARE(copy.accessStatus, 10);
    QCOMPARE(copy.auxValue, 42);
}

void TestLabelRecord::assignmentKeepsStatusAndAuxValue()
{
    const CLabelVariable source = filled(10, 42, QStringLiteral("AI_F3"));
    CLabelVariable target = filled(0, 5, QStringLiteral("DO2"));
    target.value = payload<double>({9.5});
    target.type = Double;
    target = source;
    compareAllButStatusAndAux(target, source);
    QCOMPARE(target.accessStatus, 0);
    QCOMPARE(target.auxValue, 5);
}

void TestLabelRecord::accessors_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("accessor");
    QTest::addColumn<int>("index");
    QTest::addColumn<QVariant>("expected");
    QTest::addColumn<int>("status");

    const QVariant none;
    const QVariant ints = payload<int>({7, 8, 9});
    const QVariant texts = payload<QString>({"a", "b"});
    const QVariant bytes = payload<char>({0x41, char(0xFC)});
    const QVariant nullText = QVariant::fromValue(QString());

    // Status 11: the payload is not a list of the accessor's type; there is no conversion.
    QTest::newRow("new record atInt32(0) -> 0, 11")
        << none << 0 << "atInt32" << 0 << QVariant(0) << 11;
    QTest::newRow("new record atQString(0) -> null, 11")
        << none << 0 << "atQString" << 0 << nullText << 11;
    QTest::newRow("new record atbool(0) -> false, 11")
        << none << 0 << "atbool" << 0 << QVariant(false) << 11;
    QTest::newRow("Int32 {7,8,9} atInt16(0) -> 0, 11")
        << ints << 3 << "atInt16" << 0 << QVariant::fromValue(short(0)) << 11;
    QTest::newRow("Int32 {7,8,9} atUInt32(0) -> 0, 11")
        << ints << 3 << "atUInt32" << 0 << QVariant(0u) << 11;
    QTest::newRow("String {a,b} atDouble(0) -> 0, 11")
        << texts << 2 << "atDouble" << 0 << QVariant(0.0) << 11;
    QTest::newRow("Int64 {-1} atUInt64(0) -> 0, 11")
        << payload<qlonglong>({-1}) << 1 << "atUInt64" << 0 << QVariant(0ull) << 11;
    QTest::newRow("Double {1.5} atFloat(0) -> 0, 11")
        << payload<double>({1.5}) << 1 << "atFloat" << 0 << QVariant(0.0f) << 11;
    QTest::newRow("int 5, not a list, atInt32(0) -> 0, 11")
        << QVariant(5) << 1 << "atInt32" << 0 << QVariant(0) << 11;

    // Status 10: the index lies outside the list; count is not consulted.
    QTest::newRow("Int32 {7,8,9} atInt32(3) -> 0, 10")
        << ints << 3 << "atInt32" << 3 << QVariant(0) << 10;
    QTest::newRow("Int32 {7,8,9} atInt32(-1) -> 0, 10")
        << ints << 3 << "atInt32" << -1 << QVariant(0) << 10;
    QTest::newRow("Int32 {7,8,9} atInt32(INT_MIN) -> 0, 10")
        << ints << 3 << "atInt32" << INT_MIN << QVariant(0) << 10;
    QTest::newRow("Int32 {7,8} count 5 atInt32(4) -> 0, 10")
        << payload<int>({7, 8}) << 5 << "atInt32" << 4 << QVariant(0) << 10;
    QTest::newRow("Int32 {} atInt32(0) -> 0, 10")
        << payload<int>({}) << 0 << "atInt32" << 0 << QVariant(0) << 10;
    QTest::newRow("String {a,b} atQString(2) -> null, 10")
        << texts << 2 << "atQString" << 2 << nullText << 10;

    // Status 0: each accessor reads its own list type.
    QTest::newRow("Int32 {7,8,9} atInt32(2) -> 9, 0")
        << ints << 3 << "atInt32" << 2 << QVariant(9) << 0;
    QTest::newRow("String {a,b} atQString(1) -> b, 0")
        << texts << 2 << "atQString" << 1 << QVariant("b") << 0;
    QTest::newRow("String {\"\"} atQString(0) -> empty, 0")
        << payload<QString>({""}) << 1 << "atQString" << 0 << QVariant("") << 0;
    QTest::newRow("Int8 {0x41,0xFC} atchar(1) -> 0xFC, 0")
        << bytes << 2 << "atchar" << 1 << QVariant::fromValue(char(0xFC)) << 0;
    QTest::newRow("Int8 {0x41,0xFC} atInt8(1) -> 0xFC, 0")
        << bytes << 2 << "atInt8" << 1 << QVariant::fromValue(char(0xFC)) << 0;
    QTest::newRow("Int8 {0x41,0xFC} atInt8(0) -> 0x41, 0")
        << bytes << 2 << "atInt8" << 0 << QVariant::fromValue(char(0x41)) << 0;
    QTest::newRow("Bool {false,true} atbool(1) -> true, 0")
        << payload<bool>({false, true}) << 2 << "atbool" << 1 << QVariant(true) << 0;
    QTest::newRow("UInt8 {0,255} atUInt8(1) -> 255, 0")
        << payload<uchar>({0, 255}) << 2 << "atUInt8" << 1 << QVariant::fromValue(uchar(255)) << 0;
    QTest::newRow("Int16 {0,-32768} atInt16(1) -> -32768, 0")
        << payload<short>({0, SHRT_MIN}) << 2 << "atInt16" << 1
        << QVariant::fromValue(short(SHRT_MIN)) << 0;
    QTest::newRow("UInt16 {0,65535} atUInt16(1) -> 65535, 0")
        << payload<ushort>({0, 65535}) << 2 << "atUInt16" << 1 << QVariant::fromValue(ushort(65535))
        << 0;
    QTest::newRow("UInt32 {0,4294967295} atUInt32(1) -> 4294967295, 0")
        << payload<uint>({0, UINT_MAX}) << 2 << "atUInt32" << 1 << QVariant(UINT_MAX) << 0;
    QTest::newRow("Float {0,1.5} atFloat(1) -> 1.5, 0")
        << payload<float>({0, 1.5f}) << 2 << "atFloat" << 1 << QVariant(1.5f) << 0;
    QTest::newRow("Int64 {0,LLONG_MIN} atInt64(1) -> LLONG_MIN, 0")
        << payload<qlonglong>({0, LLONG_MIN}) << 2 << "atInt64" << 1 << QVariant(LLONG_MIN) << 0;
    QTest::newRow("UInt64 {0,ULLONG_MAX} atUInt64(1) -> ULLONG_MAX, 0")
        << payload<qulonglong>({0, ULLONG_MAX}) << 2 << "atUInt64" << 1 << QVariant(ULLONG_MAX)
        << 0;
    QTest::newRow("Double {0,-2.5} atDouble(1) -> -2.5, 0")
        << payload<double>({0, -2.5}) << 2 << "atDouble" << 1 << QVariant(-2.5) << 0;
}

void TestLabelRecord::accessors()
{
    QFETCH(QVariant, stored);
    QFETCH(int, count);
    QFETCH(QString, accessor);
    QFETCH(int, index);
    QFETCH(QVariant, expected);
    QFETCH(int, status);

    CLabelVariable r = record(Int32, stored, count);
    const QVariant got = accessorTable().value(accessor)(r, index);

    QCOMPARE(got.userType(), expected.userType());
    QCOMPARE(elementText(got), elementText(expected));
    QCOMPARE(r.accessStatus, status);
    // Only accessStatus changes: the payload stays as it was.
    QCOMPARE(describe(r.value), describe(stored));
    QCOMPARE(r.count, count);
}

QTEST_APPLESS_MAIN(TestLabelRecord)
#include "tst_labelrecord.moc"
