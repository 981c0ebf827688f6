// Tag addresses and transfer sizes as the driver's read and write paths see them: area codes,
// point indices, transfer lengths and the informative maximum lengths.
#include "libtarvik.h"

#include <QtTest>

#include <climits>

class TestTagAddress : public QObject
{
    Q_OBJECT

private slots:
    void area_data();
    void area();
    void pointIndex_data();
    void pointIndex();
    void tagPointFollowsEachAddress();
    void transferLength_data();
    void transferLength();
    void maximumLength_data();
    void maximumLength();

private:
    LibTarvik driver;
};

void TestTagAddress::area_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("code");

    // Every name, and each longer name against the shorter name that is its prefix.
    const QList<QPair<QString, int>> names = {
        {"DI3", 1},   {"DI_F3", 2},      {"DI_S3", 3}, {"DO1", 4},   {"DO_F1", 5},  {"DO_S1", 6},
        {"AI3", 7},   {"AI_F3", 8},      {"AI_S3", 9}, {"AO3", 10},  {"AO_F3", 11}, {"AO_S3", 12},
        {"SD1", 13},  {"SA1", 14},       {"NDI1", 15}, {"NDO1", 16}, {"NAI1", 17},  {"NAO2", 18},
        {"HDS1", 19}, {"HDP1", 20},      {"HAI5", 21}, {"LD1", 22},  {"LA1", 23},   {"LW9", 24},
        {"SI1", 28},  {"Custom100", 29},
    };
    for (const auto &n : names)
        QTest::newRow(qPrintable(QStringLiteral("%1 -> %2").arg(n.first).arg(n.second)))
            << n.first << n.second;

    // A name must head the text exactly, letter case included; nothing is trimmed.
    QTest::newRow("DI -> 1") << "DI" << 1;
    QTest::newRow("DI_X1 -> 1") << "DI_X1" << 1;
    QTest::newRow("Cust1 -> 0") << "Cust1" << 0;
    QTest::newRow("custom1 -> 0") << "custom1" << 0;
    QTest::newRow("di1 -> 0") << "di1" << 0;
    QTest::newRow("Di1 -> 0") << "Di1" << 0;
    QTest::newRow("\" DI1\" -> 0") << " DI1" << 0;
    QTest::newRow("\"\" -> 0") << "" << 0;
    QTest::newRow("D1 -> 0") << "D1" << 0;
    QTest::newRow("1DI -> 0") << "1DI" << 0;
}

void TestTagAddress::area()
{
    QFETCH(QString, address);
    QFETCH(int, code);
    QCOMPARE(driver.getArea(address), code);
    QCOMPARE(driver.tagPoint(address).area, code);
}

void TestTagAddress::pointIndex_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("index");

    QTest::newRow("AI_F12 -> 11") << "AI_F12" << 11;
    QTest::newRow("DI1 -> 0") << "DI1" << 0;
    QTest::newRow("AO3 -> 2") << "AO3" << 2;
    QTest::newRow("Custom100 -> 99") << "Custom100" << 99;
    QTest::newRow("AI007 -> 6") << "AI007" << 6;
    // The digits of the whole text are joined; signs and points are skipped.
    QTest::newRow("AI1_2 -> 11") << "AI1_2" << 11;
    QTest::newRow("DI-5 -> 4") << "DI-5" << 4;
    QTest::newRow("DI1.5 -> 14") << "DI1.5" << 14;
    QTest::newRow("DI_F 3 -> 2") << "DI_F 3" << 2;
    QTest::newRow("DI_F00000000000000000001 -> 0") << "DI_F00000000000000000001" << 0;
    // Only the ten ASCII digits count: an Arabic-Indic or full-width one is skipped.
    QTest::newRow("DI<U+0661> -> -1") << QString::fromUtf8("DI\u0661") << -1;
    QTest::newRow("DI<U+FF11>2 -> 1") << QString::fromUtf8("DI\uFF112") << 1;

    QTest::newRow("DI -> -1") << "DI" << -1;
    QTest::newRow("\"\" -> -1") << "" << -1;
    QTest::newRow("DI0 -> -1") << "DI0" << -1;
    QTest::newRow("DI_F0 -> -1") << "DI_F0" << -1;
    QTest::newRow("DI_F1 -> 0") << "DI_F1" << 0;
    // Indices up to the largest int; beyond it, as beyond 32 bits, no point.
    QTest::newRow("DI_F2147483648 -> 2147483647") << "DI_F2147483648" << INT_MAX;
    QTest::newRow("DI_F2147483649 -> -1") << "DI_F2147483649" << -1;
    QTest::newRow("DI_F4294967295 -> -1") << "DI_F4294967295" << -1;
    QTest::newRow("DI_F4294967296 -> -1") << "DI_F4294967296" << -1;
    QTest::newRow("DI_F4294967297 -> -1") << "DI_F4294967297" << -1;
    QTest::newRow("DI_F99999999999999999999 -> -1") << "DI_F99999999999999999999" << -1;
}

void TestTagAddress::pointIndex()
{
    QFETCH(QString, address);
    QFETCH(int, index);
    QCOMPARE(driver.getAddr(address), index);
    QCOMPARE(driver.tagPoint(address).index, index);
}

// The driver keeps the last address's area and index: an address that differs in any way, also
// only in its digits, in case or in length, is read afresh.
void TestTagAddress::tagPointFollowsEachAddress()
{
    LibTarvik d;
    for (const char *text : {"", "AI1", "AI1", "AI2", "AI12", "AI1", "ai1", "AI_F1", "AI1", "",
                             "Custom7", "Custom7", "DI1"}) {
        const QString address = QString::fromLatin1(text);
        const LibTarvik::TagPoint &point = d.tagPoint(address);
        QCOMPARE(point.address, address);
        QCOMPARE(point.area, d.getArea(address));
        QCOMPARE(point.index, d.getAddr(address));
    }
}

void TestTagAddress::transferLength_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("area");
    QTest::addColumn<int>("length");

    // Element widths, the 1467 limit inclusive.
    QTest::newRow("Int16 x10 in 7 -> 20") << int(Int16) << 10 << 7 << 20;
    QTest::newRow("UInt16 x733 in 0 -> 1466") << int(UInt16) << 733 << 0 << 1466;
    QTest::newRow("UInt16 x734 in 0 -> 0") << int(UInt16) << 734 << 0 << 0;
    QTest::newRow("Int32 x366 in 11 -> 1464") << int(Int32) << 366 << 11 << 1464;
    QTest::newRow("UInt32 x367 in 1 -> 0") << int(UInt32) << 367 << 1 << 0;
    QTest::newRow("Float x366 in 29 -> 1464") << int(Float) << 366 << 29 << 1464;
    QTest::newRow("Int64 x183 in 7 -> 1464") << int(Int64) << 183 << 7 << 1464;
    QTest::newRow("Int64 x184 in 7 -> 0") << int(Int64) << 184 << 7 << 0;
    QTest::newRow("UInt64 x1 in 46 -> 8") << int(UInt64) << 1 << 46 << 8;
    QTest::newRow("Double x183 in 12 -> 1464") << int(Double) << 183 << 12 << 1464;
    QTest::newRow("Double x184 in 12 -> 0") << int(Double) << 184 << 12 << 0;
    QTest::newRow("Bool x1467 in 1 -> 1467") << int(Bool) << 1467 << 1 << 1467;
    QTest::newRow("Bool x1468 in 1 -> 0") << int(Bool) << 1468 << 1 << 0;
    QTest::newRow("Bool x5 in 11 -> 5") << int(Bool) << 5 << 11 << 5;
    QTest::newRow("String x5 in 99 -> 5") << int(String) << 5 << 99 << 5;

    // Byte types: one unit per bit in bit areas, whole words, half-words or 256-byte blocks
    // elsewhere, and none at all in the other areas.
    QTest::newRow("Int8 x5 in 1 -> 40") << int(Int8) << 5 << 1 << 40;
    QTest::newRow("Int8 x183 in 22 -> 1464") << int(Int8) << 183 << 22 << 1464;
    QTest::newRow("Int8 x184 in 1 -> 0") << int(Int8) << 184 << 1 << 0;
    QTest::newRow("Int8 x5 in 7 -> 4") << int(Int8) << 5 << 7 << 4;
    QTest::newRow("Int8 x3 in 7 -> 0") << int(Int8) << 3 << 7 << 0;
    QTest::newRow("Int8 x4 in 24 -> 4") << int(Int8) << 4 << 24 << 4;
    QTest::newRow("UInt8 x7 in 24 -> 4") << int(UInt8) << 7 << 24 << 4;
    QTest::newRow("UInt8 x1467 in 17 -> 1464") << int(UInt8) << 1467 << 17 << 1464;
    QTest::newRow("UInt8 x1468 in 17 -> 0") << int(UInt8) << 1468 << 17 << 0;
    QTest::newRow("Int8 x5 in 14 -> 4") << int(Int8) << 5 << 14 << 4;
    QTest::newRow("UInt8 x1467 in 29 -> 1466") << int(UInt8) << 1467 << 29 << 1466;
    QTest::newRow("Int8 x300 in 28 -> 256") << int(Int8) << 300 << 28 << 256;
    QTest::newRow("Int8 x100 in 28 -> 0") << int(Int8) << 100 << 28 << 0;
    QTest::newRow("UInt8 x1467 in 28 -> 1280") << int(UInt8) << 1467 << 28 << 1280;
    QTest::newRow("UInt8 x1536 in 28 -> 0") << int(UInt8) << 1536 << 28 << 0;
    QTest::newRow("Int8 x8 in 11 -> 0") << int(Int8) << 8 << 11 << 0;
    QTest::newRow("Int8 x8 in 12 -> 0") << int(Int8) << 8 << 12 << 0;
    QTest::newRow("Int8 x8 in 0 -> 0") << int(Int8) << 8 << 0 << 0;
    QTest::newRow("Int8 x8 in 25 -> 0") << int(Int8) << 8 << 25 << 0;
    QTest::newRow("Int8 x8 in 47 -> 0") << int(Int8) << 8 << 47 << 0;
    QTest::newRow("Int8 x8 in -1 -> 0") << int(Int8) << 8 << -1 << 0;

    QTest::newRow("type 0 x5 -> 0") << 0 << 5 << 7 << 0;
    QTest::newRow("type 13 x5 -> 0") << 13 << 5 << 7 << 0;
    QTest::newRow("type -1 x5 -> 0") << -1 << 5 << 7 << 0;
    QTest::newRow("Int16 x0 -> 0") << int(Int16) << 0 << 7 << 0;
    QTest::newRow("Bool x0 -> 0") << int(Bool) << 0 << 1 << 0;
    QTest::newRow("Int8 x0 in 1 -> 0") << int(Int8) << 0 << 1 << 0;

    // Counts whose length leaves 32 bits are refused, not wrapped into range.
    QTest::newRow("Int64 x268435456 -> 0") << int(Int64) << (1 << 28) << 7 << 0;
    QTest::newRow("Int64 x536870913 -> 0 (not 8)") << int(Int64) << 536870913 << 7 << 0;
    QTest::newRow("Int16 x2147483647 -> 0 (not -2)") << int(Int16) << INT_MAX << 7 << 0;
    QTest::newRow("Int32 x1073741824 -> 0") << int(Int32) << 1073741824 << 7 << 0;
    QTest::newRow("Int8 x536870913 in 1 -> 0 (not 8)") << int(Int8) << 536870913 << 1 << 0;
    QTest::newRow("Bool x2147483647 -> 0") << int(Bool) << INT_MAX << 1 << 0;
    // Counts below 0 are refused in every type and area.
    QTest::newRow("Int16 x-1 -> 0") << int(Int16) << -1 << 7 << 0;
    QTest::newRow("Bool x-5 -> 0") << int(Bool) << -5 << 1 << 0;
    QTest::newRow("String x-5 -> 0") << int(String) << -5 << 1 << 0;
    QTest::newRow("Int8 x-4 in 7 -> 0") << int(Int8) << -4 << 7 << 0;
    QTest::newRow("Int8 x-1 in 1 -> 0") << int(Int8) << -1 << 1 << 0;
    QTest::newRow("Int8 x-256 in 28 -> 0") << int(Int8) << -256 << 28 << 0;
    QTest::newRow("Int64 x-2147483648 -> 0") << int(Int64) << INT_MIN << 7 << 0;
}

void TestTagAddress::transferLength()
{
    QFETCH(int, type);
    QFETCH(int, count);
    QFETCH(int, area);
    QFETCH(int, length);
    QCOMPARE(driver.getBytelen(DataType(type), count, area), length);
}

void TestTagAddress::maximumLength_data()
{
    QTest::addColumn<int>("area");
    QTest::addColumn<int>("length");

    const int table[33] = {0,    240,  240,  240, 160,  160,  160,  320,     320, 80,  320,
                           320,  80,   320,  640, 2000, 2000, 8000, 8000,    500, 500, 2000,
                           2000, 2000, 8000, 1,   100,  400,  1280, 2097152, 1,   1,   7200};
    for (int area = 0; area < 33; ++area)
        QTest::newRow(qPrintable(QStringLiteral("%1 -> %2").arg(area).arg(table[area])))
            << area << table[area];
    // Beyond the named areas the table holds 0 up to 46, and there is no entry outside 0..46.
    for (int area : {33, 46, 47, -1, INT_MIN, INT_MAX})
        QTest::newRow(qPrintable(QStringLiteral("%1 -> 0").arg(area))) << area << 0;
}

void TestTagAddress::maximumLength()
{
    QFETCH(int, area);
    QFETCH(int, length);
    QCOMPARE(driver.getmaximum_length(area), length);
}

QTEST_GUILESS_MAIN(TestTagAddress)
#include "tst_tagaddress.moc"
