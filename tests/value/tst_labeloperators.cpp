// The record's element-wise arithmetic and comparison: element rules of every type, the
// result header, length mismatches, unsupported types, and what == looks at.
#include "payload.h"

#include <QtTest>

#include <climits>
#include <limits>

namespace {

using Operator = CLabelVariable (CLabelVariable::*)(const CLabelVariable &);

Operator arithmeticOperator(const QString &op)
{
    static const QMap<QString, Operator> table = {{"+", &CLabelVariable::operator+ },
                                                   {"-", &CLabelVariable::operator- },
                                                    {"*", &CLabelVariable::operator* },
                                                     {
                                                         "/",
                                                         &CLabelVariable::operator/ },
                                                    };
    return table.value(op);
}

CLabelVariable calculate(CLabelVariable &l, const QString &op, const CLabelVariable &r)
{
    return (l.*arithmeticOperator(op))(r);
}

template <typename F> CLabelVariable changed(CLabelVariable r, F change)
{
    change(r);
    return r;
}

const float infF = std::numeric_limits<float>::infinity();
const double inf = std::numeric_limits<double>::infinity();

void addArithmeticColumns()
{
    QTest::addColumn<QString>("op");
    QTest::addColumn<int>("type");
    QTest::addColumn<QVariant>("left");
    QTest::addColumn<QVariant>("right");
    QTest::addColumn<QVariant>("expected");
}

template <typename E>
void row(const char *name, const char *op, int type, std::initializer_list<E> left,
         std::initializer_list<E> right, std::initializer_list<E> expected)
{
    QTest::newRow(name) << op << type << payload<E>(left) << payload<E>(right)
                        << payload<E>(expected);
}

} // namespace

class TestLabelOperators : public QObject
{
    Q_OBJECT

private slots:
    void integerRules_data();
    void integerRules();
    void otherRules_data();
    void otherRules();
    void typeAliases_data();
    void typeAliases();
    void resultHeader_data();
    void resultHeader();
    void lengthMismatch_data();
    void lengthMismatch();
    void unsupportedType_data();
    void unsupportedType();
    void equality_data();
    void equality();
    void payloadIterable_data();
    void payloadIterable();

private:
    void checkRule();
};

void TestLabelOperators::checkRule()
{
    QFETCH(QString, op);
    QFETCH(int, type);
    QFETCH(QVariant, left);
    QFETCH(QVariant, right);
    QFETCH(QVariant, expected);

    CLabelVariable l = record(type, left);
    const CLabelVariable r = record(type, right);
    const CLabelVariable out = calculate(l, op, r);
    QCOMPARE(describe(out.value), describe(expected));
}

void TestLabelOperators::integerRules_data()
{
    addArithmeticColumns();
    using ll = long long;
    using ull = unsigned long long;

    // Results wrap to the element width; signed quotients truncate toward zero; a zero divisor
    // gives 0 and the most negative value divided by -1 gives itself.
    row<short>("Int16 30000+10000 -> -25536", "+", Int16, {30000}, {10000}, {-25536});
    row<short>("Int16 {1,2,3}+{10,20,30} -> {11,22,33}", "+", Int16, {1, 2, 3}, {10, 20, 30},
               {11, 22, 33});
    row<short>("Int16 -32768-1 -> 32767", "-", Int16, {SHRT_MIN}, {1}, {SHRT_MAX});
    row<short>("Int16 300*300 -> 24464", "*", Int16, {300}, {300}, {24464});
    row<short>("Int16 -32768/-1 -> -32768", "/", Int16, {SHRT_MIN}, {-1}, {SHRT_MIN});
    row<short>("Int16 -7/2 -> -3", "/", Int16, {-7}, {2}, {-3});
    row<short>("Int16 7/-2 -> -3", "/", Int16, {7}, {-2}, {-3});
    row<short>("Int16 5/0 -> 0", "/", Int16, {5}, {0}, {0});

    // Int8 elements are bytes 0 to 255 whatever the host's char.
    row<char>("Int8 0xFC/2 -> 0x7E", "/", Int8, {char(0xFC)}, {2}, {0x7E});
    row<char>("Int8 0x80/0xFF -> 0x00", "/", Int8, {char(0x80)}, {char(0xFF)}, {0});
    row<char>("Int8 0xFF+0x02 -> 0x01", "+", Int8, {char(0xFF)}, {2}, {1});
    row<char>("Int8 0x00-0x01 -> 0xFF", "-", Int8, {0}, {1}, {char(0xFF)});
    row<char>("Int8 0x10*0x11 -> 0x10", "*", Int8, {0x10}, {0x11}, {0x10});
    row<char>("Int8 0xFC/0 -> 0x00", "/", Int8, {char(0xFC)}, {0}, {0});

    row<uchar>("UInt8 200+100 -> 44", "+", UInt8, {200}, {100}, {44});
    row<uchar>("UInt8 0-1 -> 255", "-", UInt8, {0}, {1}, {255});
    row<uchar>("UInt8 255*255 -> 1", "*", UInt8, {255}, {255}, {1});
    row<uchar>("UInt8 255/16 -> 15", "/", UInt8, {255}, {16}, {15});
    row<uchar>("UInt8 255/0 -> 0", "/", UInt8, {255}, {0}, {0});

    row<ushort>("UInt16 0-1 -> 65535", "-", UInt16, {0}, {1}, {65535});
    row<ushort>("UInt16 65535*65535 -> 1", "*", UInt16, {65535}, {65535}, {1});
    row<ushort>("UInt16 65535/2 -> 32767", "/", UInt16, {65535}, {2}, {32767});
    row<ushort>("UInt16 65535/0 -> 0", "/", UInt16, {65535}, {0}, {0});

    row<int>("Int32 2147483647+1 -> -2147483648", "+", Int32, {INT_MAX}, {1}, {INT_MIN});
    row<int>("Int32 -2147483648-1 -> 2147483647", "-", Int32, {INT_MIN}, {1}, {INT_MAX});
    row<int>("Int32 46341*46341 -> -2147479015", "*", Int32, {46341}, {46341}, {-2147479015});
    row<int>("Int32 -2147483648/-1 -> -2147483648", "/", Int32, {INT_MIN}, {-1}, {INT_MIN});
    row<int>("Int32 -9/-1 -> 9", "/", Int32, {-9}, {-1}, {9});
    row<int>("Int32 -7/2 -> -3", "/", Int32, {-7}, {2}, {-3});
    row<int>("Int32 9/0 -> 0", "/", Int32, {9}, {0}, {0});

    row<uint>("UInt32 1-2 -> 4294967295", "-", UInt32, {1}, {2}, {UINT_MAX});
    row<uint>("UInt32 4294967295*4294967295 -> 1", "*", UInt32, {UINT_MAX}, {UINT_MAX}, {1});
    row<uint>("UInt32 4294967295/2 -> 2147483647", "/", UInt32, {UINT_MAX}, {2}, {INT_MAX});
    row<uint>("UInt32 4294967295/0 -> 0", "/", UInt32, {UINT_MAX}, {0}, {0});

    row<ll>("Int64 LLONG_MAX+1 -> LLONG_MIN", "+", Int64, {LLONG_MAX}, {1}, {LLONG_MIN});
    row<ll>("Int64 LLONG_MIN*-1 -> LLONG_MIN", "*", Int64, {LLONG_MIN}, {-1}, {LLONG_MIN});
    row<ll>("Int64 LLONG_MIN/-1 -> LLONG_MIN", "/", Int64, {LLONG_MIN}, {-1}, {LLONG_MIN});
    row<ll>("Int64 -7/2 -> -3", "/", Int64, {-7}, {2}, {-3});
    row<ll>("Int64 7/0 -> 0", "/", Int64, {7}, {0}, {0});

    row<ull>("UInt64 0-1 -> ULLONG_MAX", "-", UInt64, {0}, {1}, {ULLONG_MAX});
    row<ull>("UInt64 ULLONG_MAX+1 -> 0", "+", UInt64, {ULLONG_MAX}, {1}, {0});
    row<ull>("UInt64 ULLONG_MAX/3 -> 6148914691236517205", "/", UInt64, {ULLONG_MAX}, {3},
             {6148914691236517205ull});
    row<ull>("UInt64 ULLONG_MAX/0 -> 0", "/", UInt64, {ULLONG_MAX}, {0}, {0});
}

void TestLabelOperators::integerRules()
{
    checkRule();
}

void TestLabelOperators::otherRules_data()
{
    addArithmeticColumns();

    row<bool>("Bool {true,false}+{false,false} -> {true,false}", "+", Bool, {true, false},
              {false, false}, {true, false});
    row<bool>("Bool {true,true}-{true,false} -> {false,true}", "-", Bool, {true, true},
              {true, false}, {false, true});
    row<bool>("Bool {true,true}*{false,true} -> {false,true}", "*", Bool, {true, true},
              {false, true}, {false, true});
    row<bool>("Bool {true,true,false}/{true,false,true} -> {true,false,false}", "/", Bool,
              {true, true, false}, {true, false, true}, {true, false, false});

    // Single precision throughout: the payload stays a float list.
    row<float>("Float 0.1+0.2 -> 0.3f", "+", Float, {0.1f}, {0.2f}, {0.3f});
    row<float>("Float 1/3 -> 0x1.555556p-2", "/", Float, {1}, {3}, {0x1.555556p-2f});
    row<float>("Float 3e38*10 -> inf", "*", Float, {3e38f}, {10}, {infF});
    row<float>("Float {1,-1,0}/{0,0,0} -> {inf,-inf,nan}", "/", Float, {1, -1, 0}, {0, 0, 0},
               {infF, -infF, std::nanf("")});

    row<double>("Double 0.1+0.2 -> 0.30000000000000004", "+", Double, {0.1}, {0.2},
                {0.30000000000000004});
    row<double>("Double {1,-1,0}/{0,0,0} -> {inf,-inf,nan}", "/", Double, {1, -1, 0}, {0, 0, 0},
                {inf, -inf, std::nan("")});
    row<double>("Double 0*-1 -> -0", "*", Double, {0}, {-1}, {-0.0});

    row<QString>("String {ab,x}+{cd,y} -> {abcd,xy}", "+", String, {"ab", "x"}, {"cd", "y"},
                 {"abcd", "xy"});
    row<QString>("String {ab}+{\"\"} -> {ab}", "+", String, {"ab"}, {""}, {"ab"});
}

void TestLabelOperators::otherRules()
{
    checkRule();
}

void TestLabelOperators::typeAliases_data()
{
    addArithmeticColumns();

    // First and last code of every alias range, each with a rule that shows its element type.
    row<short>("type 13 30000+10000 -> Int16 -25536", "+", 13, {30000}, {10000}, {-25536});
    row<short>("type 14 30000+10000 -> Int16 -25536", "+", 14, {30000}, {10000}, {-25536});
    row<ushort>("type 15 0-1 -> UInt16 65535", "-", 15, {0}, {1}, {65535});
    row<ushort>("type 16 0-1 -> UInt16 65535", "-", 16, {0}, {1}, {65535});
    row<int>("type 17 2147483647+1 -> Int32 -2147483648", "+", 17, {INT_MAX}, {1}, {INT_MIN});
    row<int>("type 20 2147483647+1 -> Int32 -2147483648", "+", 20, {INT_MAX}, {1}, {INT_MIN});
    row<uint>("type 21 1-2 -> UInt32 4294967295", "-", 21, {1}, {2}, {UINT_MAX});
    row<uint>("type 24 1-2 -> UInt32 4294967295", "-", 24, {1}, {2}, {UINT_MAX});
    row<float>("type 33 0.1+0.2 -> Float 0.3f", "+", 33, {0.1f}, {0.2f}, {0.3f});
    row<float>("type 36 0.1+0.2 -> Float 0.3f", "+", 36, {0.1f}, {0.2f}, {0.3f});
    row<double>("type 37 0.1+0.2 -> Double 0.30000000000000004", "+", 37, {0.1}, {0.2},
                {0.30000000000000004});
    row<double>("type 40 0.1+0.2 -> Double 0.30000000000000004", "+", 40, {0.1}, {0.2},
                {0.30000000000000004});
}

void TestLabelOperators::typeAliases()
{
    checkRule();
}

void TestLabelOperators::resultHeader_data()
{
    QTest::addColumn<QString>("op");
    for (const char *op : {"+", "-", "*", "/"})
        QTest::newRow(op) << op;
}

void TestLabelOperators::resultHeader()
{
    QFETCH(QString, op);

    CLabelVariable l = record(Int32, payload<int>({6, 8}));
    l.result = 5;
    l.address = QStringLiteral("AI1");
    l.auxValue = 7;
    l.auxText = QStringLiteral("left");
    // Only L's count sizes the operation: R's count of 4 is merely carried into the result.
    CLabelVariable r = record(17, payload<int>({2, 4}), 4);
    r.result = 0;
    r.address = QStringLiteral("AO2");
    r.auxValue = 9;
    r.auxText = QStringLiteral("right");
    r.time = QDateTime(QDate(2020, 1, 1), QTime(0, 0));

    const QDateTime before = QDateTime::currentDateTime();
    const CLabelVariable out = calculate(l, op, r);
    const QDateTime after = QDateTime::currentDateTime();

    QCOMPARE(out.result, 0);
    QCOMPARE(out.accessStatus, 1);
    QCOMPARE(payloadSize(out.value), 2);
    QVERIFY(out.time >= before && out.time <= after);
    QCOMPARE(out.address, QStringLiteral("AO2"));
    QCOMPARE(out.count, 4);
    QCOMPARE(int(out.type), 17);
    QCOMPARE(out.auxValue, 0);
    QCOMPARE(out.auxText, QStringLiteral("right"));
    QCOMPARE(l.accessStatus, 0);
    QCOMPARE(r.accessStatus, 0);
}

void TestLabelOperators::lengthMismatch_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("count");
    QTest::addColumn<QVariant>("left");
    QTest::addColumn<int>("rightType");
    QTest::addColumn<QVariant>("right");
    QTest::addColumn<QVariant>("expected");

    const QVariant shorts3 = payload<short>({1, 2, 3});
    const QVariant noShorts = payload<short>({});
    QTest::newRow("Int16 count 3, R holds 2 -> empty QList<short>")
        << int(Int16) << 3 << shorts3 << int(Int16) << payload<short>({1, 2}) << noShorts;
    QTest::newRow("Int16 count 2, L holds 3 -> empty QList<short>")
        << int(Int16) << 2 << shorts3 << int(Int16) << payload<short>({1, 2}) << noShorts;
    QTest::newRow("Int16 count 2, R Int32 {1,2} -> empty QList<short>")
        << int(Int16) << 2 << payload<short>({1, 2}) << int(Int32) << payload<int>({1, 2})
        << noShorts;
    QTest::newRow("Int16 count 2, R invalid -> empty QList<short>")
        << int(Int16) << 2 << payload<short>({1, 2}) << int(Int16) << QVariant() << noShorts;
    QTest::newRow("Int16 count 0, both empty -> empty QList<short>")
        << int(Int16) << 0 << noShorts << int(Int16) << noShorts << noShorts;
    QTest::newRow("Bool count -1, both empty -> empty QList<bool>")
        << int(Bool) << -1 << payload<bool>({}) << int(Bool) << payload<bool>({})
        << payload<bool>({});
    QTest::newRow("String count 2, R holds 1 -> empty QStringList")
        << int(String) << 2 << payload<QString>({"a", "b"}) << int(String)
        << payload<QString>({"c"}) << payload<QString>({});
}

void TestLabelOperators::lengthMismatch()
{
    QFETCH(int, type);
    QFETCH(int, count);
    QFETCH(QVariant, left);
    QFETCH(int, rightType);
    QFETCH(QVariant, right);
    QFETCH(QVariant, expected);

    for (const char *op : {"+", "-", "*", "/"}) {
        if (type == String && QByteArray(op) != "+")
            continue;
        CLabelVariable l = record(type, left, count);
        CLabelVariable r = record(rightType, right, 6);
        l.accessStatus = 7;
        r.accessStatus = 7;
        const CLabelVariable out = calculate(l, op, r);
        QCOMPARE(describe(out.value), describe(expected));
        QCOMPARE(int(out.type), rightType);
        QCOMPARE(out.count, 6);
        // No element was read.
        QCOMPARE(l.accessStatus, 7);
        QCOMPARE(r.accessStatus, 7);
    }
}

void TestLabelOperators::unsupportedType_data()
{
    QTest::addColumn<QString>("op");
    QTest::addColumn<int>("type");

    QTest::newRow("type 0 +") << "+" << 0;
    QTest::newRow("type 25 -") << "-" << 25;
    QTest::newRow("type 32 *") << "*" << 32;
    QTest::newRow("type 41 /") << "/" << 41;
    QTest::newRow("type -1 +") << "+" << -1;
    QTest::newRow("type INT_MIN +") << "+" << INT_MIN;
    QTest::newRow("String -") << "-" << int(String);
    QTest::newRow("String *") << "*" << int(String);
    QTest::newRow("String /") << "/" << int(String);
}

void TestLabelOperators::unsupportedType()
{
    QFETCH(QString, op);
    QFETCH(int, type);

    CLabelVariable l = record(type, payload<QString>({"a"}));
    CLabelVariable r = record(Int32, payload<QString>({"b"}));
    r.result = 0;
    r.address = QStringLiteral("AI1");
    r.auxText = QStringLiteral("right");
    const CLabelVariable out = calculate(l, op, r);

    // A new record: nothing taken from either operand.
    QCOMPARE(out.result, 1);
    QCOMPARE(out.accessStatus, 1);
    QVERIFY(!out.value.isValid());
    QVERIFY(out.time.isNull());
    QVERIFY(out.address.isEmpty());
    QCOMPARE(out.count, 0);
    QCOMPARE(int(out.type), 0);
    QCOMPARE(out.auxValue, 0);
    QVERIFY(out.auxText.isEmpty());
    QCOMPARE(l.accessStatus, 1);
    QCOMPARE(r.accessStatus, 1);
}

void TestLabelOperators::equality_data()
{
    QTest::addColumn<CLabelVariable>("left");
    QTest::addColumn<CLabelVariable>("right");
    QTest::addColumn<bool>("expected");

    CLabelVariable ints = record(Int32, payload<int>({1, 2}));
    ints.address = QStringLiteral("AI_F1");
    ints.auxText = QStringLiteral("note");

    QTest::newRow("Int32 {1,2} == same -> true") << ints << ints << true;
    QTest::newRow("time differs -> true")
        << ints << changed(ints, [](auto &r) { r.time = QDateTime::currentDateTime(); }) << true;
    QTest::newRow("accessStatus and auxValue differ -> true") << ints << changed(ints, [](auto &r) {
        r.accessStatus = 10;
        r.auxValue = 3;
    }) << true;
    QTest::newRow("auxText differs -> false")
        << ints << changed(ints, [](auto &r) { r.auxText = "other"; }) << false;
    QTest::newRow("address case differs -> false")
        << ints << changed(ints, [](auto &r) { r.address = "ai_f1"; }) << false;
    QTest::newRow("result differs -> false")
        << ints << changed(ints, [](auto &r) { r.result = 0; }) << false;
    QTest::newRow("type 17 vs Int32 -> false")
        << ints << changed(ints, [](auto &r) { r.type = DataType(17); }) << false;
    QTest::newRow("element 1 differs -> false") << ints << changed(ints, [](auto &r) {
        r.value = payload<int>({1, 3});
    }) << false;
    QTest::newRow("R payload Int16 {1,2} -> false") << ints << changed(ints, [](auto &r) {
        r.value = payload<short>({1, 2});
    }) << false;
    QTest::newRow("count 3 but payloads hold 2 -> false")
        << changed(ints, [](auto &r) { r.count = 3; })
        << changed(ints, [](auto &r) { r.count = 3; }) << false;

    const double nan = std::nan("");
    QTest::newRow("Double {nan} == {nan} -> false")
        << record(Double, payload<double>({nan})) << record(Double, payload<double>({nan}))
        << false;
    // A copy shares the list with its original; the elements are still compared one by one.
    const CLabelVariable nans = record(Double, payload<double>({nan}));
    QTest::newRow("Double {nan} == its copy -> false") << nans << nans << false;
    QTest::newRow("Double {+0} == {-0} -> true") << record(Double, payload<double>({0.0}))
                                                 << record(Double, payload<double>({-0.0})) << true;
    QTest::newRow("type 37 {nan} == {nan} -> false")
        << record(37, payload<double>({nan})) << record(37, payload<double>({nan})) << false;
    QTest::newRow("Float {nanf} == {nanf} -> false")
        << record(Float, payload<float>({std::nanf("")}))
        << record(Float, payload<float>({std::nanf("")})) << false;
    QTest::newRow("Int8 {0xFC} == {0xFC} -> true")
        << record(Int8, payload<char>({char(0xFC)})) << record(Int8, payload<char>({char(0xFC)}))
        << true;

    QTest::newRow("String {ab,cd} == {ab,cd} -> true")
        << record(String, payload<QString>({"ab", "cd"}))
        << record(String, payload<QString>({"ab", "cd"})) << true;
    QTest::newRow("String {ab,cd} == {ab,CD} -> false")
        << record(String, payload<QString>({"ab", "cd"}))
        << record(String, payload<QString>({"ab", "CD"})) << false;

    QTest::newRow("count 0, empty payloads -> true")
        << record(Int32, payload<int>({})) << record(Int32, payload<int>({})) << true;
    QTest::newRow("count 0, empty payloads, auxText differs -> false")
        << record(Int32, payload<int>({}))
        << changed(record(Int32, payload<int>({})), [](auto &r) { r.auxText = "x"; }) << false;
    QTest::newRow("two new records -> true") << CLabelVariable() << CLabelVariable() << true;
    QTest::newRow("type 25, payloads differ -> true (header only)")
        << record(25, payload<int>({1})) << record(25, payload<short>({2, 3}), 1) << true;
}

void TestLabelOperators::equality()
{
    QFETCH(CLabelVariable, left);
    QFETCH(CLabelVariable, right);
    QFETCH(bool, expected);

    QCOMPARE(left == right, expected);
}

void TestLabelOperators::payloadIterable_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QVariant>("left");
    QTest::addColumn<QVariant>("zero");
    QTest::addColumn<QVariantList>("expected");

    QTest::newRow("Bool") << int(Bool) << payload<bool>({true}) << payload<bool>({false})
                          << QVariantList{true};
    QTest::newRow("Int8") << int(Int8) << payload<char>({'A'}) << payload<char>({0})
                          << QVariantList{QVariant::fromValue('A')};
    QTest::newRow("UInt8") << int(UInt8) << payload<uchar>({200}) << payload<uchar>({0})
                           << QVariantList{QVariant::fromValue(uchar(200))};
    QTest::newRow("Int16") << int(Int16) << payload<short>({1, -2}) << payload<short>({0, 0})
                           << QVariantList{QVariant::fromValue(short(1)),
                                           QVariant::fromValue(short(-2))};
    QTest::newRow("UInt16") << int(UInt16) << payload<ushort>({65535}) << payload<ushort>({0})
                            << QVariantList{QVariant::fromValue(ushort(65535))};
    QTest::newRow("Int32") << int(Int32) << payload<int>({-5}) << payload<int>({0})
                           << QVariantList{-5};
    QTest::newRow("UInt32") << int(UInt32) << payload<uint>({5}) << payload<uint>({0})
                            << QVariantList{5u};
    QTest::newRow("Float") << int(Float) << payload<float>({1.5f}) << payload<float>({0})
                           << QVariantList{1.5f};
    QTest::newRow("Int64") << int(Int64) << payload<qlonglong>({LLONG_MIN})
                           << payload<qlonglong>({0}) << QVariantList{LLONG_MIN};
    QTest::newRow("UInt64") << int(UInt64) << payload<qulonglong>({ULLONG_MAX})
                            << payload<qulonglong>({0}) << QVariantList{ULLONG_MAX};
    QTest::newRow("Double") << int(Double) << payload<double>({-2.5}) << payload<double>({0})
                            << QVariantList{-2.5};
    QTest::newRow("String") << int(String) << payload<QString>({"ab"}) << payload<QString>({""})
                            << QVariantList{"ab"};
}

// A host walks a payload the library made without knowing its element type.
void TestLabelOperators::payloadIterable()
{
    QFETCH(int, type);
    QFETCH(QVariant, left);
    QFETCH(QVariant, zero);
    QFETCH(QVariantList, expected);

    CLabelVariable l = record(type, left);
    const CLabelVariable out = l + record(type, zero);

    QVERIFY(out.value.canConvert<QVariantList>());
    QStringList walked;
    for (const QVariant &v : out.value.value<QSequentialIterable>())
        walked << QLatin1String(v.typeName()) + ' ' + elementText(v);
    QStringList listed;
    for (const QVariant &v : out.value.value<QVariantList>())
        listed << QLatin1String(v.typeName()) + ' ' + elementText(v);
    QStringList want;
    for (const QVariant &v : expected)
        want << QLatin1String(v.typeName()) + ' ' + elementText(v);
    QCOMPARE(walked, want);
    QCOMPARE(listed, want);
}

QTEST_APPLESS_MAIN(TestLabelOperators)
#include "tst_labeloperators.moc"
