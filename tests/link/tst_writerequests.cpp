#include "messagelog.h"
#include "writesupport.h"

#include <QTest>

// The three write requests as the device receives them on a real UDP socket, what counts as
// their success, and the lines they trace.
class WriteRequestsTest : public QObject
{
    Q_OBJECT

private slots:
    void requestBytes_data();
    void requestBytes();
    void outcome_data();
    void outcome();
    void linkNotOpen();
    void traceLines_data();
    void traceLines();
};

namespace {

using Builder = int (CmdTarvik::*)(int, int, int, QByteArray, QString);

Builder builderNamed(const QString &name)
{
    if (name == QLatin1String("bool"))
        return &CmdTarvik::Writebool;
    if (name == QLatin1String("string"))
        return &CmdTarvik::Writestring;
    return &CmdTarvik::Writememory;
}

} // namespace

void WriteRequestsTest::requestBytes_data()
{
    QTest::addColumn<QString>("builder");
    QTest::addColumn<int>("area");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("count");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("request");

    // Bit areas: one wire byte per bit, bit 0 first; remainder bits are not sent.
    QTest::newRow("memory DO_F 16 bits 03 80 -> 01 01 00.. 00..01")
        << "memory" << 5 << 0 << 16 << hex("0380")
        << hex("0201010005000000001000 0101000000000000 0000000000000001");
    QTest::newRow("memory DI 8 bits, no data -> 8 x 00")
        << "memory" << 1 << 0 << 8 << QByteArray()
        << hex("0201010001000000000800 0000000000000000");
    QTest::newRow("memory HDS 12 bits ff 0f -> 8 x 01, length 00 0c 00")
        << "memory" << 19 << 2 << 12 << hex("ff0f")
        << hex("0201010013000200000c00 0101010101010101");
    QTest::newRow("memory DI address 0x123456 -> 12 56 34")
        << "memory" << 1 << 0x123456 << 8 << hex("02")
        << hex("0201010001125634000800 0001000000000000");
    // Other areas: the scaled address and count bytes of data.
    QTest::newRow("memory AI_F 3, 4 bytes -> address 00 0c 00")
        << "memory" << 8 << 3 << 4 << hex("11223344") << hex("0201010008000c00000400 11223344");
    QTest::newRow("memory SA 3 -> address 00 06 00")
        << "memory" << 14 << 3 << 2 << hex("aabb") << hex("020101000e000600000200 aabb");
    QTest::newRow("memory AO_F 3 -> address unchanged 00 03 00")
        << "memory" << 11 << 3 << 2 << hex("aabb") << hex("020101000b000300000200 aabb");
    QTest::newRow("memory AO_S 3 -> address unchanged 00 03 00")
        << "memory" << 12 << 3 << 1 << hex("aa") << hex("020101000c000300000100 aa");
    QTest::newRow("memory AI 2 bytes, data 11 -> 11 00")
        << "memory" << 7 << 0 << 2 << hex("11") << hex("0201010007000000000200 1100");
    QTest::newRow("memory AI 2 bytes, data 11 22 33 -> 11 22")
        << "memory" << 7 << 0 << 2 << hex("112233") << hex("0201010007000000000200 1122");
    // Booleans: one byte per element at the unscaled address, in any area.
    QTest::newRow("bool DI_F 6, 01 00 -> 01 00")
        << "bool" << 2 << 5 << 2 << hex("0100") << hex("0201010002000500000200 0100");
    QTest::newRow("bool AI 1, 3 elements -> address 00 01 00")
        << "bool" << 7 << 1 << 3 << hex("010001") << hex("0201010007000100000300 010001");
    // Text items: address and length in 256-byte slots, the data whole.
    QTest::newRow("string SI 4, 03 41 42 43 -> 1c 00 00 04 00 00 01")
        << "string" << 28 << 4 << 1 << hex("03414243") << hex("020101001c000004000001 03414243");
    QTest::newRow("string SI 0x1ff, 2 items -> 01 00 ff, 00 00 02")
        << "string" << 28 << 0x1ff << 2 << hex("0161 00") << hex("020101001c0100ff000002 016100");
}

void WriteRequestsTest::requestBytes()
{
    QFETCH(QString, builder);
    QFETCH(int, area);
    QFETCH(int, address);
    QFETCH(int, count);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, request);

    UdpPeer peer(writeDevice());
    CmdTarvik link;
    QCOMPARE(link.UDPConnectDrive(QStringLiteral("127.0.0.1"), peer.port()), 0);
    QCOMPARE((link.*builderNamed(builder))(area, address, count, data, QStringLiteral("T1")), 0);
    QCOMPARE(requestsSoFar(peer, link), QList<QByteArray>{request});
}

void WriteRequestsTest::outcome_data()
{
    QTest::addColumn<QByteArray>("answer"); // null: the device stays silent
    QTest::addColumn<int>("rc");

    QTest::newRow("02 01 00 00 -> 0") << hex("02010000") << 0;
    QTest::newRow("any one byte, ff -> 0") << hex("ff") << 0;
    QTest::newRow("silent -> -2") << QByteArray() << -2;
}

// The answer is never examined: any answer is a success.
void WriteRequestsTest::outcome()
{
    QFETCH(QByteArray, answer);
    QFETCH(int, rc);

    UdpPeer peer(writeDevice(answer));
    MessageLog log; // a silent device leaves a socket timeout, warned when the link closes
    CmdTarvik link;
    QCOMPARE(link.UDPConnectDrive(QStringLiteral("127.0.0.1"), peer.port()), 0);
    for (const char *name : {"memory", "bool", "string"})
        QCOMPARE((link.*builderNamed(name))(28, 0, 1, hex("0161"), QStringLiteral("T1")), rc);
    // A failed write leaves the link out of step: a link check goes before the next request.
    const QList<QByteArray> sent = requestsSoFar(peer, link);
    QCOMPARE(sent.size() - sent.count(hex("0401")), 3);
}

// Without a usable link nothing goes out: no socket or port, or a serial port closed again.
void WriteRequestsTest::linkNotOpen()
{
    PtyPeer device(answerAlways(hex("02010000")));
    QVERIFY(device.isOpen());
    CmdTarvik none;
    CmdTarvik closed;
    QCOMPARE(closed.serialConnectDrive(device.slavePath(), 9600, 8, 1, QString()), 0);
    QCOMPARE(closed.serialDisConnectDrive(), 0);
    for (CmdTarvik *link : {&none, &closed}) {
        for (const char *name : {"memory", "bool", "string"})
            QCOMPARE((link->*builderNamed(name))(7, 0, 1, hex("01"), QStringLiteral("T1")), -3);
    }
    QCOMPARE(device.requestCount(), 0);
}

void WriteRequestsTest::traceLines_data()
{
    QTest::addColumn<QString>("builder");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QStringList>("lines"); // %p: the device's port

    // The answer is cut to its header and the length the request carried.
    QTest::newRow("memory, answer cut to 4 + 2")
        << "memory" << hex("02010000aabbcc")
        << QStringList{"写命令 127.0.0.1:%p tag=AI1  len = 2 msg : 02010100070000000002001234",
                       "响应 127.0.0.1:%p tag=AI1  len = 2 msg : 02010000aabb"};
    QTest::newRow("bool, Area= form")
        << "bool" << hex("02010000")
        << QStringList{"写命令 127.0.0.1:%p Area=AI1  len = 2 msg : 02010100070000000002001234",
                       "响应 127.0.0.1:%p Area=AI1  len = 2 msg : 02010000"};
    QTest::newRow("string, len = 512, silent device: empty response")
        << "string" << QByteArray()
        << QStringList{"写命令 127.0.0.1:%p tag=AI1  len = 512 msg : 02010100070000000000021234",
                       "响应 127.0.0.1:%p tag=AI1  len = 512 msg : "};
}

// Both lines come after the exchange, only while tracing is on.
void WriteRequestsTest::traceLines()
{
    QFETCH(QString, builder);
    QFETCH(QByteArray, answer);
    QFETCH(QStringList, lines);

    UdpPeer peer(writeDevice(answer));
    CmdTarvik link;
    QCOMPARE(link.UDPConnectDrive(QStringLiteral("127.0.0.1"), peer.port()), 0);
    const Builder send = builderNamed(builder);
    MessageLog log;
    (link.*send)(7, 0, 2, hex("1234"), QStringLiteral("AI1"));
    QCOMPARE(log.debugs(), QStringList());

    link.traceOn = true;
    (link.*send)(7, 0, 2, hex("1234"), QStringLiteral("AI1"));
    lines.replaceInStrings(QStringLiteral("%p"), QString::number(peer.port()));
    QCOMPARE(log.debugs(), MessageLog::quoted(lines));
    QCOMPARE(log.count(QtWarningMsg, QStringLiteral("AI1")), 0); // a failed write warns nothing

    link.DestroyFree();
    QCOMPARE((link.*send)(7, 0, 2, hex("1234"), QStringLiteral("AI1")), -3);
    QCOMPARE(log.debugs().size(), 2);
}

QTEST_GUILESS_MAIN(WriteRequestsTest)
#include "tst_writerequests.moc"
