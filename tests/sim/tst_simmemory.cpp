// The memory image, the --pattern content and the AREA:OFFSET=HEX pokes.
#include "areatable.h"
#include "memoryimage.h"
#include "pattern.h"
#include "pokes.h"
#include "wire.h"

#include <QTemporaryFile>
#include <QtTest>

using namespace sim;

class TestSimMemory : public QObject
{
    Q_OBJECT

private slots:
    void capacityBoundsWrites();
    void patternValues_data();
    void patternValues();
    void parsePoke_data();
    void parsePoke();
    void loadSkipsCommentsAndNamesBadLine();
};

void TestSimMemory::capacityBoundsWrites()
{
    const quint32 end = MemoryImage::kAreaCapacity;
    MemoryImage image;
    QVERIFY(image.write(29, end - 2, QByteArray::fromHex("0102")));
    QVERIFY(!image.write(29, end - 1, QByteArray::fromHex("0304")));
    QCOMPARE(hexText(image.read(29, end - 2, 4)), QStringLiteral("01 02 00 00"));
    QCOMPARE(image.read(29, 0xffffffffu, 3), QByteArray(3, '\0'));
}

void TestSimMemory::patternValues_data()
{
    QTest::addColumn<QString>("area");
    QTest::addColumn<quint32>("offset");
    QTest::addColumn<QByteArray>("bytes");

    // Worked by hand from the formulas --help gives.
    QTest::newRow("AI 0 -> 05 10 1b 26") << "AI" << 0u << QByteArray::fromHex("05101b26");
    QTest::newRow("AO 255 -> 74") << "AO" << 255u << QByteArray::fromHex("74");
    QTest::newRow("DI 0 -> 00 00 01 00 00 01") << "DI" << 0u << QByteArray::fromHex("000001000001");
    QTest::newRow("SI slot 0 -> SI1") << "SI" << 0u
                                      << QByteArray::fromHex("03534931"
                                                             "00");
    QTest::newRow("SI slot 127 -> SI128") << "SI" << 127u * 256 << QByteArray("\x05SI128", 6);
    QTest::newRow("AI past the pattern -> 00") << "AI" << kPatternBytes << QByteArray(1, '\0');
}

void TestSimMemory::patternValues()
{
    QFETCH(QString, area);
    QFETCH(quint32, offset);
    QFETCH(QByteArray, bytes);

    MemoryImage image;
    fillPattern(image);
    QCOMPARE(hexText(image.read(areaByName(area)->code, offset, quint32(bytes.size()))),
             hexText(bytes));
}

void TestSimMemory::parsePoke_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("area");
    QTest::addColumn<quint32>("offset");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("SI:256=03 41 42 43")
        << "SI:256=03 41 42 43" << true << 28 << 256u << QByteArray::fromHex("03414243");
    QTest::newRow("Custom:16781311=ff")
        << "Custom:16781311=ff" << true << 29 << 16781311u << QByteArray::fromHex("ff");
    QTest::newRow("Custom:16781311=ffff (past the end)")
        << "Custom:16781311=ffff" << false << 0 << 0u << QByteArray();
    QTest::newRow("ai:0=00 (case)") << "ai:0=00" << false << 0 << 0u << QByteArray();
    QTest::newRow("AI8=00 (no colon)") << "AI8=00" << false << 0 << 0u << QByteArray();
}

void TestSimMemory::parsePoke()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(int, area);
    QFETCH(quint32, offset);
    QFETCH(QByteArray, bytes);

    QString why;
    const std::optional<Poke> poke = sim::parsePoke(text, &why);
    QCOMPARE(bool(poke), valid);
    if (!valid) {
        QVERIFY(!why.isEmpty());
        return;
    }
    QCOMPARE(poke->area, area);
    QCOMPARE(poke->offset, offset);
    QCOMPARE(poke->bytes, bytes);
}

void TestSimMemory::loadSkipsCommentsAndNamesBadLine()
{
    QTemporaryFile good;
    QVERIFY(good.open());
    good.write("# start values\n\nAI:0=01  # first\n  DO:3=01\n");
    good.close();
    QVector<Poke> pokes;
    QString why;
    QVERIFY2(loadPokes(good.fileName(), &pokes, &why), qPrintable(why));
    QCOMPARE(pokes.size(), 2);
    QCOMPARE(pokes[1].area, 4);
    QCOMPARE(pokes[1].offset, 3u);

    QTemporaryFile bad;
    QVERIFY(bad.open());
    bad.write("AI:0=01\nAI:0=1\n");
    bad.close();
    QVERIFY(!loadPokes(bad.fileName(), &pokes, &why));
    QVERIFY2(why.contains(QStringLiteral(":2:")), qPrintable(why));
}

QTEST_APPLESS_MAIN(TestSimMemory)
#include "tst_simmemory.moc"
