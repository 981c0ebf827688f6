// The area table as the link and the driver consult it: every name leads back to its own code,
// each area's class and scale, and which areas a write of the types most areas refuse may go to.
// Addresses against the names are the driver's tag-address tests.
#include "DataType.h"
#include "areamodel.h"

#include <QtTest>

#include <climits>

Q_DECLARE_METATYPE(tarvik::AreaClass)

class TestAreaModel : public QObject
{
    Q_OBJECT

private slots:
    void namesLeadToTheirCodes();
    void layout_data();
    void layout();
    void takesWrite_data();
    void takesWrite();
};

void TestAreaModel::namesLeadToTheirCodes()
{
    int named = 0;
    for (int code = -1; code <= 47; ++code) {
        const QString name = tarvik::areaName(code);
        if (name.isEmpty())
            continue;
        ++named;
        QCOMPARE(tarvik::areaCode(name + QLatin1String("1")), code);
    }
    QCOMPARE(named, 26);
}

void TestAreaModel::layout_data()
{
    QTest::addColumn<int>("area");
    QTest::addColumn<tarvik::AreaClass>("cls");
    QTest::addColumn<int>("scale");
    using C = tarvik::AreaClass;
    QTest::newRow("DI 1 -> bit x1") << 1 << C::Bit << 1;
    QTest::newRow("AI 7 -> word x4") << 7 << C::Word << 4;
    QTest::newRow("AO_F 11 -> other x1") << 11 << C::Other << 1;
    QTest::newRow("SA 14 -> two-byte x2") << 14 << C::TwoByte << 2;
    QTest::newRow("SI 28 -> 256-byte x256") << 28 << C::Block256 << 256;
    QTest::newRow("Custom 29 -> two-byte x1") << 29 << C::TwoByte << 1;
    QTest::newRow("no name 32 -> other x1") << 32 << C::Other << 1;
    QTest::newRow("0 -> other x1") << 0 << C::Other << 1;
    QTest::newRow("47, outside -> other x1") << 47 << C::Other << 1;
    QTest::newRow("INT_MIN, outside -> other x1") << INT_MIN << C::Other << 1;
}

void TestAreaModel::layout()
{
    QFETCH(int, area);
    QFETCH(tarvik::AreaClass, cls);
    QFETCH(int, scale);
    QCOMPARE(tarvik::areaClass(area), cls);
    QCOMPARE(tarvik::isBitArea(area), cls == tarvik::AreaClass::Bit);
    QCOMPARE(tarvik::areaScale(area), scale);
}

void TestAreaModel::takesWrite_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("takes");
    QTest::newRow("Float AO1 -> taken") << "AO1" << int(Float) << true;
    QTest::newRow("Float NAO1 -> taken") << "NAO1" << int(Float) << true;
    QTest::newRow("Float LA1 -> taken") << "LA1" << int(Float) << true;
    QTest::newRow("Float AI1 -> refused") << "AI1" << int(Float) << false;
    QTest::newRow("Float LW1 -> refused") << "LW1" << int(Float) << false;
    QTest::newRow("Int32 LW1 -> taken") << "LW1" << int(Int32) << true;
    QTest::newRow("UInt32 LW1 -> taken") << "LW1" << int(UInt32) << true;
    QTest::newRow("Int32 AO1 -> refused") << "AO1" << int(Int32) << false;
    QTest::newRow("UInt32 NAO1 -> refused") << "NAO1" << int(UInt32) << false;
    QTest::newRow("String SI1 -> taken") << "SI1" << int(String) << true;
    QTest::newRow("String AO1 -> refused") << "AO1" << int(String) << false;
    QTest::newRow("Int16 AI1 -> taken") << "AI1" << int(Int16) << true;
    QTest::newRow("Double DI1 -> taken") << "DI1" << int(Double) << true;
    QTest::newRow("Bool SI1 -> taken") << "SI1" << int(Bool) << true;
    QTest::newRow("type 0 AO1 -> refused") << "AO1" << 0 << false;
    // Codes beyond the twelve are the transfer length's to refuse.
    QTest::newRow("type 13 AI1 -> taken") << "AI1" << 13 << true;
    QTest::newRow("type -5 AI1 -> taken") << "AI1" << -5 << true;
    QTest::newRow("type 40 AI1 -> taken") << "AI1" << 40 << true;
}

void TestAreaModel::takesWrite()
{
    QFETCH(QString, address);
    QFETCH(int, type);
    QFETCH(bool, takes);
    QCOMPARE(tarvik::areaTakesWrite(tarvik::areaCode(address), type), takes);
}

QTEST_GUILESS_MAIN(TestAreaModel)
#include "tst_areamodel.moc"
