#include "frame.h"
#include "libtarvik.h"
#include "simprocess.h"
#include "tagaddress.h"

#include <QTest>

#include <algorithm>
#include <climits>

// Whatever a host passes, the driver neither crashes nor sends what nobody named: every type
// code from -5 to 50, counts at and beyond every limit, addresses that are empty, blank, very
// long, with huge numbers or non-ASCII text, and records of every payload type, read and written
// against the simulator. Each outcome is the one the read and write rules give, in their order,
// with the area, scale and sizing tables of the driver itself.
class HostileInputTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void reads();
    void writes();

private:
    SimProcess sim;
    LibTarvik driver;
};

namespace {

// An address and what it names: the area whose name heads it (none for nullptr) and the point
// index (-1 for none).
struct Address
{
    QString text;
    const char *areaName;
    qint64 index;

    int area() const { return areaName ? tarvik::areaCode(QLatin1String(areaName)) : 0; }
};

QList<Address> addresses()
{
    const char *none = nullptr;
    auto u = [](const char *utf8) { return QString::fromUtf8(utf8); };
    return {
        {QString(), none, -1},
        {u("   "), none, -1},
        {u("\t\r\n"), none, -1},
        {QString(4096, QLatin1Char(' ')) + u("AI1"), none, 0},
        {u("AI") + QString(5000, QLatin1Char('x')) + u("7"), "AI", 6},
        {u("AI") + QString(40, QLatin1Char('9')), "AI", -1},
        {u("AI4294967296"), "AI", -1},
        {u("AI2147483648"), "AI", 2147483647},
        {u("DI16777216"), "DI", 16777215},
        {u("AI4194304"), "AI", 4194303},
        {u("AI4194305"), "AI", 4194304},
        {u("SI65536"), "SI", 65535},
        {u("SI65537"), "SI", 65536},
        {u("AI0"), "AI", -1},
        {u("DI"), "DI", -1},
        {u("\xd0\x90I1"), none, 0},  // a Cyrillic A
        {u("AI\xd9\xa1"), "AI", -1}, // an Arabic-Indic digit is no digit here
        {u("AI1\xe2\x82\xac"), "AI", 0},
        {u("\xc3\x84I1"), none, 0},
        {u("DI\xf0\x9f\x98\x80"
           "5"),
         "DI", 4},
        {u("ai1"), none, 0},
        {u("AI2"), "AI", 1},
        {u("DO_F3"), "DO_F", 2},
        {u("SI1"), "SI", 0},
        {u("LW2"), "LW", 1},
        {u("AO1"), "AO", 0},
        {u("Custom4"), "Custom", 3},
        {u("AO_F1"), "AO_F", 0},
        {u("SA5"), "SA", 4},
    };
}

const int counts[] = {INT_MIN, -1, 0, 1, 1467, 1468, INT_MAX};

constexpr int slotsPerRequest = 16; // the controller's limit for text slots in one request

// A text item carries at most 255 characters, each as its Latin-1 byte.
bool textFits(const QString &text)
{
    return text.size() <= 255 &&
           std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() <= 0xFF; });
}

bool pointFits(const Address &a, int scale)
{
    return a.index <= INT_MAX && frame::addressFits(int(a.index), scale);
}

// Refused by the transfer sizing: no length for it, a bit area for a wide number, or a byte
// count that would cut a unit of the area.
bool sizedAway(int type, int count, int area)
{
    return tarvik::transferLength(type, count, area) == 0 || tarvik::bitAreaRefuses(type, area);
}

int expectedRead(const Address &a, int type, int count)
{
    if (a.area() == 0)
        return 3;
    const int scale = type == Bool     ? 1
                      : type == String ? tarvik::stringSlot
                                       : tarvik::areaScale(a.area());
    if (!pointFits(a, scale))
        return 3;
    if (count < 1)
        return 4;
    if (type == 0)
        return 2;
    if (sizedAway(type, count, a.area()))
        return 4;
    if (type == String && count > slotsPerRequest)
        return 8; // the controller does not answer
    return 0;
}

// Payloads a host may put in a record: a list of each element type, two elements long, and
// what is no list at all.
struct Payload
{
    const char *name;
    int listOf; // the type whose list it is; 0 for none
    QVariant value;
};

QList<Payload> payloads()
{
    return {
        {"bools", Bool, QVariant::fromValue(QList<bool>{true, false})},
        {"chars", Int8, QVariant::fromValue(QList<char>{char(-1), 2})},
        {"bytes", UInt8, QVariant::fromValue(QList<unsigned char>{255, 2})},
        {"shorts", Int16, QVariant::fromValue(QList<short>{-1, 2})},
        {"ushorts", UInt16, QVariant::fromValue(QList<unsigned short>{65535, 2})},
        {"ints", Int32, QVariant::fromValue(QList<int>{-1, 2})},
        {"uints", UInt32, QVariant::fromValue(QList<unsigned>{0xFFFFFFFFu, 2})},
        {"floats", Float, QVariant::fromValue(QList<float>{-1.5f, 2})},
        {"longlongs", Int64, QVariant::fromValue(QList<long long>{-1, 2})},
        {"ulonglongs", UInt64, QVariant::fromValue(QList<unsigned long long>{~0ull, 2})},
        {"doubles", Double, QVariant::fromValue(QList<double>{-1.5, 2})},
        {"texts", String, QVariant::fromValue(QList<QString>{QStringLiteral("ab"), QString()})},
        {"a text too long", String,
         QVariant::fromValue(QList<QString>{QString(256, QLatin1Char('x'))})},
        {"a text outside Latin-1", String,
         QVariant::fromValue(QList<QString>{QStringLiteral("a\u20ac"), QString()})},
        {"invalid", 0, QVariant()},
        {"a lone number", 0, QVariant(5)},
        {"a lone text", 0, QVariant(QStringLiteral("5"))},
    };
}

// The outcomes a write may have; two when the controller's answer depends on the bytes.
QList<int> expectedWrite(const Address &a, int type, int count, const Payload &p)
{
    const int area = a.area();
    if (area == 0)
        return {3};
    const bool si = area == tarvik::areaCodeSI;
    const int scale = type == Bool ? 1 : si ? tarvik::stringSlot : tarvik::areaScale(area);
    if (!pointFits(a, scale))
        return {3};
    if (count < 0)
        return {4};
    const QString name = tarvik::areaName(area);
    if (type == 0 || (type == Float && name != "AO" && name != "NAO" && name != "LA") ||
        ((type == Int32 || type == UInt32) && name != "LW") || (type == String && !si))
        return {2};
    if (count == 0 || sizedAway(type, count, area) || tarvik::cutsByteUnit(type, count, area))
        return {4};
    if (p.listOf != type)
        return {2};
    if (count > p.value.value<QVariantList>().size())
        return {4};
    if (type == String) {
        for (const QString &text : p.value.value<QList<QString>>().mid(0, count)) {
            if (!textFits(text))
                return {4};
        }
    }
    // Anything but booleans and texts goes to SI as text items made of the value bytes: the
    // controller answers only when the bytes happen to make whole items.
    if (si && type != Bool && type != String)
        return {0, 8};
    return {0};
}

} // namespace

void HostileInputTest::initTestCase()
{
    QVERIFY(sim.start({QStringLiteral("--pattern")}));
    QCOMPARE(driver.ConnectDrive(sim.udpConnectionString()), 0);
}

void HostileInputTest::reads()
{
    int checked = 0, sent = 0;
    for (const Address &a : addresses()) {
        for (int type = -5; type <= 50; ++type) {
            for (int count : counts) {
                const CLabelVariable r = driver.ReadVariable(a.text, DataType(type), count);
                const int expected = expectedRead(a, type, count);
                const QString what = QStringLiteral("read '%1' type %2 count %3")
                                         .arg(a.text.left(24))
                                         .arg(type)
                                         .arg(count);
                QVERIFY2(r.result == expected,
                         qPrintable(what +
                                    QStringLiteral(" -> %1, not %2").arg(r.result).arg(expected)));
                QVERIFY2(r.address == a.text && r.type == type && r.count == count,
                         qPrintable(what));
                QCOMPARE(r.value.isValid(), r.result == 0);
                ++checked;
                sent += expected == 0 || expected == 8;
            }
        }
    }
    qInfo("%d reads, %d of them sent", checked, sent);
}

void HostileInputTest::writes()
{
    int checked = 0, sent = 0;
    const QList<Payload> all = payloads();
    for (const Address &a : addresses()) {
        for (int type = -5; type <= 50; ++type) {
            for (int count : counts) {
                for (const Payload &p : all) {
                    CLabelVariable record;
                    record.value = p.value;
                    const CLabelVariable r =
                        driver.WriteVariable(a.text, DataType(type), record, count);
                    const QList<int> expected = expectedWrite(a, type, count, p);
                    const QString what = QStringLiteral("write '%1' type %2 count %3 %4 -> %5")
                                             .arg(a.text.left(24))
                                             .arg(type)
                                             .arg(count)
                                             .arg(QLatin1String(p.name))
                                             .arg(r.result);
                    QVERIFY2(expected.contains(r.result), qPrintable(what));
                    QVERIFY2(r.address == a.text && r.type == type && r.count == count,
                             qPrintable(what));
                    ++checked;
                    sent += expected.contains(0);
                }
            }
        }
    }
    qInfo("%d writes, %d of them sent", checked, sent);
}

QTEST_GUILESS_MAIN(HostileInputTest)
#include "tst_hostileinput.moc"
