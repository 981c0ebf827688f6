// The serial side: cutting a byte stream into frames, and pacing answers onto the line.
#include "framesplitter.h"
#include "pacedwriter.h"
#include "wire.h"

#include <QElapsedTimer>
#include <QtTest>

using namespace sim;

class TestSimSplitter : public QObject
{
    Q_OBJECT

private slots:
    void split_data();
    void split();
    void pacedChunksLeaveOnTime_data();
    void pacedChunksLeaveOnTime();
    void answersQueueBehindEachOther();
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

void TestSimSplitter::pacedChunksLeaveOnTime_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("chunk");
    QTest::addColumn<QList<int>>("pieces");

    QTest::newRow("20 bytes, 8 at a time, 1200 baud -> 8 8 4")
        << 20 << 1200 << 8 << QList<int>{8, 8, 4};
    QTest::newRow("5 bytes, 1 at a time, 2400 baud -> 1 1 1 1 1")
        << 5 << 2400 << 1 << QList<int>{1, 1, 1, 1, 1};
    QTest::newRow("6 bytes at once -> 6") << 6 << 0 << 0 << QList<int>{6};
}

void TestSimSplitter::pacedChunksLeaveOnTime()
{
    QFETCH(int, size);
    QFETCH(int, baud);
    QFETCH(int, chunk);
    QFETCH(QList<int>, pieces);

    QElapsedTimer clock;
    QList<int> sizes;
    QList<qint64> times;
    QByteArray joined;
    PacedWriter writer([&](const QByteArray &bytes) {
        sizes << bytes.size();
        times << clock.nsecsElapsed();
        joined += bytes;
    });
    QByteArray answer(size, '\0');
    for (int i = 0; i < size; ++i)
        answer[i] = char(i);
    clock.start();
    writer.send(answer, baud, chunk);
    QTRY_COMPARE_WITH_TIMEOUT(joined.size(), size, 5000);
    QCOMPARE(sizes, pieces);
    QCOMPARE(joined, answer);
    // Never early: piece k leaves no sooner than its bytes would have crossed the line.
    qint64 bytesSoFar = 0;
    for (int k = 0; k < sizes.size() && baud > 0; ++k) {
        bytesSoFar += sizes[k];
        QVERIFY(times[k] >= bytesSoFar * 10 * 1000000000 / baud);
    }
}

void TestSimSplitter::answersQueueBehindEachOther()
{
    QByteArray line;
    PacedWriter writer([&](const QByteArray &bytes) { line += bytes; });
    writer.send(QByteArray::fromHex("0101000011223344"), 2400, 2);
    writer.send(QByteArray::fromHex("02010000"), 0, 0);
    QTRY_COMPARE_WITH_TIMEOUT(line.size(), 12, 5000);
    QCOMPARE(hexText(line), QStringLiteral("01 01 00 00 11 22 33 44 02 01 00 00"));
}

QTEST_MAIN(TestSimSplitter)
#include "tst_simsplitter.moc"
