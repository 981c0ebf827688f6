#include "libtarvik.h"
#include "simprocess.h"

#include <QTest>

#include <algorithm>
#include <climits>

// Whatever a host passes, the driver neither crashes nor sends what nobody named: every type
// code from -5 to 50, counts at and beyond every limit, addresses that are empty, blank, very
// long, with huge numbers or non-ASCII text, and records of every payload type, read and written
// against the simulator. Each outcome is the one the read and write rules give, worked out here
// from those rules.
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

enum Class { Bits, Words, HalfWords, Blocks, Others };

struct Area
{
    const char *name;
    Class cls;
    int scale; // point index times scale = address value
};

const Area areas[] = {
    {"DI", Bits, 1},     {"DI_F", Bits, 1},        {"DI_S", Bits, 1},   {"DO", Bits, 1},
    {"DO_F", Bits, 1},   {"DO_S", Bits, 1},        {"AI", Words, 4},    {"AI_F", Words, 4},
    {"AI_S", Words, 4},  {"AO", Words, 4},         {"AO_F", Others, 1}, {"AO_S", Others, 1},
    {"SD", Bits, 1},     {"SA", HalfWords, 2},     {"NDI", Bits, 1},    {"NDO", Bits, 1},
    {"NAI", Words, 4},   {"NAO", Words, 4},        {"HDS", Bits, 1},    {"HDP", Bits, 1},
    {"HAI", Words, 4},   {"LD", Bits, 1},          {"LA", Words, 4},    {"LW", Words, 4},
    {"SI", Blocks, 256}, {"Custom", HalfWords, 1},
};

const Area *areaNamed(const char *name)
{
    for (const Area &a : areas) {
        if (qstrcmp(a.name, name) == 0)
            return &a;
    }
    return nullptr;
}

// An address and what it names: its area (none for nullptr) and point index (-1 for none).
struct Address
{
    QString text;
    const Area *area;
    qint64 index;
};

QList<Address> addresses()
{
    const Area *none = nullptr;
    auto u = [](const char *utf8) { return QString::fromUtf8(utf8); };
    return {
        {QString(), none, -1},
        {u("   "), none, -1},
        {u("\t\r\n"), none, -1},
        {QString(4096, QLatin1Char(' ')) + u("AI1"), none, 0},
        {u("AI") + QString(5000, QLatin1Char('x')) + u("7"), areaNamed("AI"), 6},
        {u("AI") + QString(40, QLatin1Char('9')), areaNamed("AI"), -1},
        {u("AI4294967296"), areaNamed("AI"), -1},
        {u("AI2147483648"), areaNamed("AI"), 2147483647},
        {u("DI16777216"), areaNamed("DI"), 16777215},
        {u("AI4194304"), areaNamed("AI"), 4194303},
        {u("AI4194305"), areaNamed("AI"), 4194304},
        {u("SI65536"), areaNamed("SI"), 65535},
        {u("SI65537"), areaNamed("SI"), 65536},
        {u("AI0"), areaNamed("AI"), -1},
        {u("DI"), areaNamed("DI"), -1},
        {u("\xd0\x90I1"), none, 0},             // a Cyrillic A
        {u("AI\xd9\xa1"), areaNamed("AI"), -1}, // an Arabic-Indic digit is no digit here
        {u("AI1\xe2\x82\xac"), areaNamed("AI"), 0},
        {u("\xc3\x84I1"), none, 0},
        {u("DI\xf0\x9f\x98\x80"
           "5"),
         areaNamed("DI"), 4},
        {u("ai1"), none, 0},
        {u("AI2"), areaNamed("AI"), 1},
        {u("DO_F3"), areaNamed("DO_F"), 2},
        {u("SI1"), areaNamed("SI"), 0},
        {u("LW2"), areaNamed("LW"), 1},
        {u("AO1"), areaNamed("AO"), 0},
        {u("Custom4"), areaNamed("Custom"), 3},
        {u("AO_F1"), areaNamed("AO_F"), 0},
        {u("SA5"), areaNamed("SA"), 4},
    };
}

const int counts[] = {INT_MIN, -1, 0, 1, 1467, 1468, INT_MAX};

constexpr qint64 fieldMax = 0xFFFFFF;
constexpr int largestTransfer = 1467;
constexpr int slotsPerRequest = 16; // the controller's limit for text slots in one request

bool known(int type)
{
    return type >= Bool && type <= String;
}

// Length units a transfer of count elements takes; 0 refuses it.
qint64 transferLength(int type, qint64 count, const Area &area)
{
    static const int units[] = {0, 1, 0, 0, 2, 2, 4, 4, 4, 8, 8, 8, 1};
    if (count <= 0 || !known(type))
        return 0;
    // A bit area holds single bits: numbers wider than a byte have no place there.
    if (area.cls == Bits && units[type] > 1)
        return 0;
    qint64 length = count * units[type];
    if (type == Int8 || type == UInt8) {
        switch (area.cls) {
        case Bits:
            length = count * 8;
            break;
        case Words:
            length = count - count % 4;
            break;
        case HalfWords:
            length = count - count % 2;
            break;
        case Blocks:
            length = count - count % 256;
            break;
        case Others:
            length = 0;
            break;
        }
    }
    return length > largestTransfer ? 0 : length;
}

// Bytes written to a word, half-word or block area must fill whole units: a part unit would be
// dropped from the transfer.
bool cutsUnit(int type, qint64 count, const Area &area)
{
    static const int unitOf[] = {1, 4, 2, 256, 0}; // by Class
    const int unit = unitOf[area.cls];
    return (type == Int8 || type == UInt8) && unit > 0 && count % unit != 0;
}

// A text item carries at most 255 characters, each as its Latin-1 byte.
bool textFits(const QString &text)
{
    return text.size() <= 255 &&
           std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() <= 0xFF; });
}

bool pointFits(const Address &a, qint64 scale)
{
    return a.index >= 0 && a.index * scale <= fieldMax;
}

int expectedRead(const Address &a, int type, int count)
{
    if (!a.area)
        return 3;
    const qint64 scale = type == Bool ? 1 : type == String ? 256 : a.area->scale;
    if (!pointFits(a, scale))
        return 3;
    if (count < 1)
        return 4;
    if (type == 0)
        return 2;
    if (transferLength(type, count, *a.area) == 0)
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
    if (!a.area)
        return {3};
    const bool si = a.area->cls == Blocks;
    const qint64 scale = type == Bool ? 1 : si ? 256 : a.area->scale;
    if (!pointFits(a, scale))
        return {3};
    if (count < 0)
        return {4};
    const QString area = QLatin1String(a.area->name);
    if (type == 0 || (type == Float && area != "AO" && area != "NAO" && area != "LA") ||
        ((type == Int32 || type == UInt32) && area != "LW") || (type == String && !si))
        return {2};
    if (count == 0 || transferLength(type, count, *a.area) == 0 || cutsUnit(type, count, *a.area))
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
