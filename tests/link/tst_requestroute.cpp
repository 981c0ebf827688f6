// The request each tag goes out as: its form and the factor from point index to address value,
// for reads and for writes.
#include "DataType.h"
#include "areamodel.h"
#include "requestroute.h"

#include <QtTest>

class TestRequestRoute : public QObject
{
    Q_OBJECT

private slots:
    void requestRoute_data();
    void requestRoute();
};

void TestRequestRoute::requestRoute_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("write");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("scale");

    const int bits = int(tarvik::RequestKind::Bits), memory = int(tarvik::RequestKind::Memory),
              text = int(tarvik::RequestKind::Text);
    // Reads choose by type, writes by type and then by area: a write to SI goes as text slots
    // whatever its type, a read of SI only for texts.
    QTest::newRow("read Bool DI1 -> bits x1") << int(Bool) << "DI1" << false << bits << 1;
    QTest::newRow("read Bool AI1 -> bits x1") << int(Bool) << "AI1" << false << bits << 1;
    QTest::newRow("read String SI1 -> text x256") << int(String) << "SI1" << false << text << 256;
    QTest::newRow("read Int8 SI1 -> memory x256") << int(Int8) << "SI1" << false << memory << 256;
    QTest::newRow("read Int16 AI1 -> memory x4") << int(Int16) << "AI1" << false << memory << 4;
    QTest::newRow("read Int16 SA1 -> memory x2") << int(Int16) << "SA1" << false << memory << 2;
    QTest::newRow("read UInt8 DI1 -> memory x1") << int(UInt8) << "DI1" << false << memory << 1;
    QTest::newRow("write Bool SI1 -> bits x1") << int(Bool) << "SI1" << true << bits << 1;
    QTest::newRow("write Int8 SI1 -> text x256") << int(Int8) << "SI1" << true << text << 256;
    QTest::newRow("write String SI1 -> text x256") << int(String) << "SI1" << true << text << 256;
    QTest::newRow("write String AI1 -> memory x4") << int(String) << "AI1" << true << memory << 4;
    QTest::newRow("write Float AO1 -> memory x4") << int(Float) << "AO1" << true << memory << 4;
    QTest::newRow("write Int32 Custom1 -> memory x1")
        << int(Int32) << "Custom1" << true << memory << 1;
}

void TestRequestRoute::requestRoute()
{
    QFETCH(int, type);
    QFETCH(QString, address);
    QFETCH(bool, write);
    QFETCH(int, kind);
    QFETCH(int, scale);
    const tarvik::RequestRoute route =
        tarvik::requestRoute(type, tarvik::areaCode(address),
                             write ? tarvik::Direction::Write : tarvik::Direction::Read);
    QCOMPARE(int(route.kind), kind);
    QCOMPARE(route.scale, scale);
}

QTEST_GUILESS_MAIN(TestRequestRoute)
#include "tst_requestroute.moc"
