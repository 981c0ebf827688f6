// A host's view of the record: built against the installed headers only and linked against
// the shared library only, so every call below goes through the library's exported symbols.
#include "CLabelVariable.h"

#include <QSequentialIterable>
#include <QtTest>

#include <climits>

namespace {

template <typename E> CLabelVariable record(DataType type, QList<E> elements)
{
    CLabelVariable r;
    r.type = type;
    r.count = elements.size();
    r.value = QVariant::fromValue(elements);
    return r;
}

} // namespace

class AbiRecord : public QObject
{
    Q_OBJECT

private slots:
    void lifecycle();
    void accessors();
    void operators_data();
    void operators();
    void iterablePayload();
};

void AbiRecord::lifecycle()
{
    CLabelVariable source;
    QCOMPARE(source.result, 1);
    QCOMPARE(source.accessStatus, 1);
    source.accessStatus = 10;
    source.auxValue = 42;
    source.address = QStringLiteral("AI_F3");
    source.auxText = QStringLiteral("note");

    const CLabelVariable copy(source);
    QCOMPARE(copy.accessStatus, 10);
    QCOMPARE(copy.auxValue, 42);
    QCOMPARE(copy.address, source.address);

    CLabelVariable target;
    target.accessStatus = 0;
    target.auxValue = 5;
    target = source;
    QCOMPARE(target.accessStatus, 0);
    QCOMPARE(target.auxValue, 5);
    QCOMPARE(target.address, source.address);
    QCOMPARE(target.auxText, source.auxText);
}

void AbiRecord::accessors()
{
    auto b = record<bool>(Bool, {true});
    QCOMPARE(b.atbool(0), true);
    auto c = record<char>(Int8, {char(0xFC)});
    QCOMPARE(static_cast<unsigned char>(c.atchar(0)), 0xFC);
    QCOMPARE(static_cast<unsigned char>(c.atInt8(0)), 0xFC);
    auto uc = record<unsigned char>(UInt8, {200});
    QCOMPARE(uc.atUInt8(0), static_cast<unsigned char>(200));
    auto s = record<short>(Int16, {-2});
    QCOMPARE(s.atInt16(0), short(-2));
    auto us = record<unsigned short>(UInt16, {65535});
    QCOMPARE(us.atUInt16(0), static_cast<unsigned short>(65535));
    auto i = record<int>(Int32, {INT_MIN});
    QCOMPARE(i.atInt32(0), INT_MIN);
    auto u = record<unsigned int>(UInt32, {UINT_MAX});
    QCOMPARE(u.atUInt32(0), UINT_MAX);
    auto f = record<float>(Float, {1.5f});
    QCOMPARE(f.atFloat(0), 1.5f);
    auto ll = record<long long>(Int64, {LLONG_MIN});
    QCOMPARE(ll.atInt64(0), LLONG_MIN);
    auto ull = record<unsigned long long>(UInt64, {ULLONG_MAX});
    QCOMPARE(ull.atUInt64(0), ULLONG_MAX);
    auto d = record<double>(Double, {-2.5});
    QCOMPARE(d.atDouble(0), -2.5);
    auto t = record<QString>(String, {QStringLiteral("ab")});
    QCOMPARE(t.atQString(0), QStringLiteral("ab"));
    QCOMPARE(t.accessStatus, 0);

    QCOMPARE(t.atQString(1), QString());
    QCOMPARE(t.accessStatus, 10);
    QCOMPARE(t.atInt32(0), 0);
    QCOMPARE(t.accessStatus, 11);
}

void AbiRecord::operators_data()
{
    QTest::addColumn<QString>("op");
    QTest::addColumn<int>("expected");

    QTest::newRow("Int16 30000+10000 -> -25536") << "+" << -25536;
    QTest::newRow("Int16 30000-10000 -> 20000") << "-" << 20000;
    QTest::newRow("Int16 30000*10000 -> -23808") << "*" << -23808;
    QTest::newRow("Int16 30000/10000 -> 3") << "/" << 3;
}

void AbiRecord::operators()
{
    QFETCH(QString, op);
    QFETCH(int, expected);

    auto l = record<short>(Int16, {30000});
    const auto r = record<short>(Int16, {10000});
    CLabelVariable out = op == "+" ? l + r : op == "-" ? l - r : op == "*" ? l * r : l / r;
    QCOMPARE(int(out.atInt16(0)), expected);
    QCOMPARE(out.accessStatus, 0);
    QVERIFY(l == l);
    QVERIFY(!(l == r));
}

// A host walks the payload of a record the library made, knowing nothing of its element type.
void AbiRecord::iterablePayload()
{
    auto l = record<unsigned short>(UInt16, {1, 65535});
    const CLabelVariable out = l + record<unsigned short>(UInt16, {2, 2});
    QVariantList walked;
    for (const QVariant &v : out.value.value<QSequentialIterable>())
        walked << v.toInt();
    QCOMPARE(walked, (QVariantList{3, 1}));
    QCOMPARE(out.value.value<QVariantList>().size(), 2);
}

QTEST_APPLESS_MAIN(AbiRecord)
#include "abi_record.moc"
