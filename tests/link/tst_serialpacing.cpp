#include "CmdTarvik.h"
#include "simprocess.h"

#include <QTest>

// Serial answers from the simulator as a real line delivers them: paced at the baud rate, or in
// chunks as a UART FIFO or a USB adapter hands them over. An answer whose length the caller
// knows is taken whole, however it trickles in.
class SerialPacingTest : public QObject
{
    Q_OBJECT

private slots:
    void answerArrivesWhole_data();
    void answerArrivesWhole();
    void unknownLengthEndsAtFirstPause();
};

namespace {

// A read of `length` bytes from area AI at address 0: the answer is 4 + length bytes.
QByteArray readFrame(int length)
{
    QByteArray f = QByteArray::fromHex("0101010007000000");
    f.append(char(length >> 16)).append(char(length & 0xFF)).append(char((length >> 8) & 0xFF));
    return f;
}

} // namespace

void SerialPacingTest::answerArrivesWhole_data()
{
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("length");

    QTest::newRow("at once, 60 bytes") << QStringList() << 9600 << 60;
    QTest::newRow("paced at 9600, 60 bytes") << QStringList{"--pace", "9600"} << 9600 << 60;
    QTest::newRow("paced at 2400, 20 bytes") << QStringList{"--pace", "2400"} << 2400 << 20;
    QTest::newRow("FIFO chunks of 8 at 9600, 60 bytes")
        << QStringList{"--pace", "9600", "--chunk", "8"} << 9600 << 60;
    QTest::newRow("USB chunks of 32 at 9600, 200 bytes")
        << QStringList{"--pace", "9600", "--chunk", "32"} << 9600 << 200;
    QTest::newRow("chunks of 8 at 115200, 500 bytes")
        << QStringList{"--pace", "115200", "--chunk", "8"} << 115200 << 500;
}

void SerialPacingTest::answerArrivesWhole()
{
    QFETCH(QStringList, faults);
    QFETCH(int, baud);
    QFETCH(int, length);

    SimProcess sim;
    QVERIFY(sim.start(QStringList{"--pty", "--pattern", "--no-udp"} + faults));
    CmdTarvik link;
    QCOMPARE(link.serialConnectDrive(sim.ptyPath(), baud, 8, 1, QString()), 0);
    QByteArray reply;
    QCOMPARE(link.SendData(readFrame(length), 11, reply, 50, 4 + length), 0);
    QCOMPARE(reply.size(), 4 + length);
    QCOMPARE(reply.left(4), QByteArray::fromHex("01010000"));
    const QString peek = sim.control(QStringLiteral("peek AI 0 %1").arg(length));
    QCOMPARE(peek, QStringLiteral("ok ") + QString::fromLatin1(reply.mid(4).toHex()));
}

// Without an expected length the first pause longer than the quiet gap ends the answer: what
// write answers and the link check rely on. The rest, once in, is never taken by the next
// request.
void SerialPacingTest::unknownLengthEndsAtFirstPause()
{
    SimProcess sim;
    QVERIFY(sim.start({"--pty", "--pattern", "--no-udp", "--pace", "9600", "--chunk", "8"}));
    CmdTarvik link;
    QCOMPARE(link.serialConnectDrive(sim.ptyPath(), 9600, 8, 1, QString()), 0);
    QByteArray reply;
    QCOMPARE(link.SendData(readFrame(60), 11, reply, 50), 0);
    QVERIFY2(reply.size() < 64, qPrintable(QString::number(reply.size())));
    QVERIFY(reply.size() >= 1);

    QVERIFY(sim.control(QStringLiteral("faults")).startsWith(QLatin1String("ok")));
    link.mysleep(200); // the rest of the paced answer is in by now
    QByteArray next;
    QCOMPARE(link.SendData(readFrame(6), 11, next, 50, 10), 0);
    QCOMPARE(next.size(), 10);
    QCOMPARE(next.left(4), QByteArray::fromHex("01010000"));
}

QTEST_GUILESS_MAIN(SerialPacingTest)
#include "tst_serialpacing.moc"
