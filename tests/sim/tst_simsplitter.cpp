// Cutting the serial byte stream into frames by the lengths their headers announce.
#include "framesplitter.h"
#include "wire.h"

#include <QtTest>

using namespace sim;

class TestSimSplitter : public QObject
{
    Q_OBJECT

private slots:
    void split_data();
    void split();
};

void TestSimSplitter::split_data()
{
    QTest::addColumn<QStringList>("pieces"); // as they arrive, hex
    QTest::addColumn<bool>("quietAtEnd");    // the line then stays quiet
    QTest::addColumn<QStringList>("frames"); // cut from the stream, hex
    QTest::addColumn<bool>("dropped");       // something was thrown away
    QTest::addColumn<bool>("partialLeft");

    const QString read = QStringLiteral("01 01 01 00 07 00 00 00 00 04 00");
    QTest::newRow("read in one piece")
        << QStringList{read} << false << QStringList{read} << false << false;
    QTest::newRow("read byte by byte")
        << read.split(QLatin1Char(' ')) << false << QStringList{read} << false << false;
    QTest::newRow("link check + read in one piece")
        << QStringList{"04 01 " + read} << false << QStringList{"04 01", read} << false << false;
    QTest::newRow("write split across pieces")
        << QStringList{"02 01 01 00 07 00 00", "00 00 02 00 aa", "bb 04"} << false
        << QStringList{"02 01 01 00 07 00 00 00 00 02 00 aa bb"} << false << true;
    QTest::newRow("01 02: never a request, dropped before the header is in")
        << QStringList{"01 02"} << false << QStringList{} << true << false;
    QTest::newRow("2 text items, second length byte missing: wait")
        << QStringList{"02 01 01 00 1c 00 00 00 00 00 02 01 41"} << false << QStringList{} << false
        << true;
    QTest::newRow("2 text items") << QStringList{"02 01 01 00 1c 00 00 00 00 00 02 01 41 00"}
                                  << false
                                  << QStringList{"02 01 01 00 1c 00 00 00 00 00 02 01 41 00"}
                                  << false << false;
    QTest::newRow("noise then read: both dropped")
        << QStringList{"ff " + read} << false << QStringList{} << true << false;
    QTest::newRow("noise, then a read in the next piece")
        << QStringList{"ff", read} << false << QStringList{read} << true << false;
    QTest::newRow("DI write of 3 elements: longer reading once in")
        << QStringList{"02 01 01 00 01 00 00 00 00 03 00", "01 00 01"} << false
        << QStringList{"02 01 01 00 01 00 00 00 00 03 00 01 00 01"} << false << false;
    QTest::newRow("DI write of 3 bits: shorter reading once quiet")
        << QStringList{"02 01 01 00 01 00 00 00 00 03 00"} << true
        << QStringList{"02 01 01 00 01 00 00 00 00 03 00"} << false << false;
    QTest::newRow("DI write of 3, line busy: wait")
        << QStringList{"02 01 01 00 01 00 00 00 00 03 00", "01"} << false << QStringList{} << false
        << true;
}

void TestSimSplitter::split()
{
    QFETCH(QStringList, pieces);
    QFETCH(bool, quietAtEnd);
    QFETCH(QStringList, frames);
    QFETCH(bool, dropped);
    QFETCH(bool, partialLeft);

    FrameSplitter splitter;
    QStringList cut;
    bool droppedAny = false;
    const auto drain = [&](bool quiet) {
        for (int guard = 0; guard < 100; ++guard) {
            QString why;
            const std::optional<QByteArray> frame = splitter.next(quiet, &why);
            droppedAny = droppedAny || !why.isEmpty();
            if (!frame)
                return;
            cut << hexText(*frame);
        }
    };
    for (const QString &piece : pieces) {
        QByteArray bytes;
        QVERIFY(parseHex(piece, &bytes));
        splitter.append(bytes);
        drain(false);
    }
    if (quietAtEnd)
        drain(true);
    QCOMPARE(cut, frames);
    QCOMPARE(droppedAny, dropped);
    QCOMPARE(splitter.hasPartial(), partialLeft);
}

QTEST_APPLESS_MAIN(TestSimSplitter)
#include "tst_simsplitter.moc"
