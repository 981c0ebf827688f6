#include "CmdTarvik.h"
#include "messagelog.h"
#include "peers.h"
#include "testhex.h"

#include <QTest>

#include <algorithm>
#include <iterator>

// The three read builders against an in-test device: the request bytes, the answer check in
// its fixed order (answer, sequence bytes, enough bytes), the cut, the extraction and the lines
// the log shows.
class ReadRequestsTest : public QObject
{
    Q_OBJECT

private slots:
    void requestBytes_data();
    void requestBytes();
    void requestBytesInTurn();
    void answers_data();
    void answers();
    void traces();
    void closedLinkSendsNothing();
};

namespace {

enum Builder { Memory, Bools, Strings };

int callBuilder(CmdTarvik &link, int builder, int area, int address, int count, QByteArray *out,
                const QString &tag)
{
    switch (builder) {
    case Memory:
        return link.Readmemory(area, address, count, out, tag);
    case Bools:
        return link.Readbool(area, address, count, out, tag);
    default:
        return link.Readstring(area, address, count, out, tag);
    }
}

// A UDP device that answers the link check and then whatever the test has set.
struct Device
{
    QByteArray answer;
    bool silent = false;
    UdpPeer peer{[this](const QByteArray &request) {
        if (request == hex("0401"))
            return QVector<PeerReply>{{request}};
        return silent ? QVector<PeerReply>{} : QVector<PeerReply>{{answer}};
    }};
    CmdTarvik link;

    bool connect() { return link.UDPConnectDrive(QStringLiteral("127.0.0.1"), peer.port()) == 0; }
    QByteArray lastRequest() const { return peer.requests().value(peer.requestCount() - 1); }
};

QByteArray zeros(int n)
{
    return QByteArray(n, '\0');
}

// What each builder sends for a point: the rows of requestBytes, also sent in turn on one link.
struct RequestRow
{
    const char *name;
    int builder;
    int area;
    int address;
    int count;
    const char *request;
};

const RequestRow requestRows[] = {
    {"memory AI 5 x8 -> address 20", Memory, 7, 5, 8, "01 01 01 00 07 00 14 00 00 08 00"},
    {"memory AI 5 x2 -> length 00 02 00", Memory, 7, 5, 2, "01 01 01 00 07 00 14 00 00 02 00"},
    {"memory AI_F 5 x2 -> area 08", Memory, 8, 5, 2, "01 01 01 00 08 00 14 00 00 02 00"},
    {"memory 0x123456 x10 -> 12 56 34, 00 0a 00", Memory, 11, 0x123456, 10,
     "01 01 01 00 0b 12 56 34 00 0a 00"},
    {"memory DI_F x16 -> length 00 10 00", Memory, 2, 0, 16, "01 01 01 00 02 00 00 00 00 10 00"},
    {"memory SI 2 -> address 512", Memory, 28, 2, 256, "01 01 01 00 1c 00 00 02 00 00 01"},
    {"memory SA 3 -> address 6", Memory, 14, 3, 2, "01 01 01 00 0e 00 06 00 00 02 00"},
    {"memory Custom 3 -> address 3", Memory, 29, 3, 2, "01 01 01 00 1d 00 03 00 00 02 00"},
    {"memory AO_F 3 -> address 3", Memory, 11, 3, 2, "01 01 01 00 0b 00 03 00 00 02 00"},
    {"bool DI 3 x3 -> address unchanged", Bools, 1, 3, 3, "01 01 01 00 01 00 03 00 00 03 00"},
    {"bool AI 5 x2 -> address unscaled", Bools, 7, 5, 2, "01 01 01 00 07 00 05 00 00 02 00"},
    {"string 1 x2 -> 00 00 01, 00 00 02", Strings, 28, 1, 2, "01 01 01 00 1c 00 00 01 00 00 02"},
    {"string 0x1234 x1 -> 12 00 34", Strings, 28, 0x1234, 1, "01 01 01 00 1c 12 00 34 00 00 01"},
};

} // namespace

void ReadRequestsTest::requestBytes_data()
{
    QTest::addColumn<int>("builder");
    QTest::addColumn<int>("area");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("request");

    for (const RequestRow &r : requestRows)
        QTest::newRow(r.name) << r.builder << r.area << r.address << r.count
                              << QString::fromLatin1(r.request);
}

void ReadRequestsTest::requestBytes()
{
    QFETCH(int, builder);
    QFETCH(int, area);
    QFETCH(int, address);
    QFETCH(int, count);
    QFETCH(QString, request);

    Device d;
    d.answer = hex("01010000") + zeros(2000);
    QVERIFY(d.connect());
    QByteArray out;
    QCOMPARE(callBuilder(d.link, builder, area, address, count, &out, QStringLiteral("T1")), 0);
    QCOMPARE(d.lastRequest().toHex(' '), hex(request).toHex(' '));
}

// One link sends the rows in turn, each twice, then again the other way round: every request
// is its own point's, whatever the link sent before it.
void ReadRequestsTest::requestBytesInTurn()
{
    Device d;
    d.answer = hex("01010000") + zeros(2000);
    QVERIFY(d.connect());
    QVector<RequestRow> order(std::begin(requestRows), std::end(requestRows));
    for (int pass = 0; pass < 2; ++pass) {
        for (const RequestRow &r : order) {
            for (int i = 0; i < 2; ++i) {
                QByteArray out;
                QCOMPARE(callBuilder(d.link, r.builder, r.area, r.address, r.count, &out,
                                     QStringLiteral("T1")),
                         0);
                QCOMPARE(d.lastRequest().toHex(' '), hex(r.request).toHex(' '));
            }
        }
        std::reverse(order.begin(), order.end());
    }
}

void ReadRequestsTest::answers_data()
{
    QTest::addColumn<int>("builder");
    QTest::addColumn<int>("area");
    QTest::addColumn<int>("count");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("warning"); // the start of the warning line, "" for none

    const QString seq = QStringLiteral("lib[Tarvik]返回的序号错误 ");
    const QString shortAnswer = QStringLiteral("lib[Tarvik]返回的报文长度不足 ");
    const QString none = QStringLiteral("lib[Tarvik]返回的报文长度为0 ");
    const QByteArray ok = hex("01010000");

    QTest::newRow("bits 01 00 00 00 00 00 00 01 + 8x00 -> 81 00")
        << int(Memory) << 2 << 16 << ok + hex("0100000000000001") + zeros(8) << 0 << "81 00"
        << "";
    QTest::newRow("bits x12 -> one byte; wire 02 sets bit 2")
        << int(Memory) << 1 << 12 << ok + hex("0102000000000000ffffffff") << 0 << "05"
        << "";
    QTest::newRow("memory AI x8 -> bytes 4..11")
        << int(Memory) << 7 << 8 << ok + hex("1122334455667788") << 0 << "11 22 33 44 55 66 77 88"
        << "";
    QTest::newRow("memory x2, oversized answer cut")
        << int(Memory) << 7 << 2 << ok + hex("aabbccdd") << 0 << "aa bb"
        << "";
    QTest::newRow("memory x0 -> nothing") << int(Memory) << 7 << 0 << ok << 0 << ""
                                          << "";
    QTest::newRow("bool x3 -> bytes 4,5,6 as they are")
        << int(Bools) << 1 << 3 << ok + hex("0005ff") << 0 << "00 05 ff"
        << "";
    QTest::newRow("string abc, then empty")
        << int(Strings) << 28 << 2 << ok + hex("03616263") + zeros(252) + hex("00") << 0
        << "03 61 62 63 00"
        << "";
    QTest::newRow("answer 01 02 -> sequence")
        << int(Memory) << 7 << 2 << hex("01020000aabb") << -2 << "" << seq;
    QTest::newRow("answer 02 01 -> sequence")
        << int(Memory) << 7 << 2 << hex("02010000aabb") << -2 << "" << seq;
    QTest::newRow("answer 01 -> sequence") << int(Bools) << 1 << 1 << hex("01") << -2 << "" << seq;
    QTest::newRow("memory x8, 4 data bytes -> short")
        << int(Memory) << 7 << 8 << ok + hex("11223344") << -2 << "" << shortAnswer;
    QTest::newRow("bool x2, header only -> short")
        << int(Bools) << 1 << 2 << ok << -2 << "" << shortAnswer;
    QTest::newRow("bits x16, 12 wire bytes -> short")
        << int(Memory) << 2 << 16 << ok + zeros(12) << -2 << "" << shortAnswer;
    QTest::newRow("bits x12, 8 wire bytes suffice")
        << int(Memory) << 2 << 12 << ok + hex("0101010101010101") << 0 << "ff"
        << "";
    QTest::newRow("string announces 5, holds 2 -> short")
        << int(Strings) << 28 << 1 << ok + hex("056162") << -2 << "" << shortAnswer;
    QTest::newRow("string, second slot missing -> short")
        << int(Strings) << 28 << 2 << ok + hex("03616263") + zeros(252) << -2 << "" << shortAnswer;
    QTest::newRow("silent -> no answer")
        << int(Memory) << 7 << 2 << QByteArray() << -2 << "" << none;
}

void ReadRequestsTest::answers()
{
    QFETCH(int, builder);
    QFETCH(int, area);
    QFETCH(int, count);
    QFETCH(QByteArray, answer);
    QFETCH(int, result);
    QFETCH(QString, out);
    QFETCH(QString, warning);

    Device d;
    d.answer = answer;
    d.silent = answer.isEmpty();
    QVERIFY(d.connect());
    MessageLog log;
    QByteArray got("prefix");
    QCOMPARE(callBuilder(d.link, builder, area, 0, count, &got, QStringLiteral("T1")), result);
    QCOMPARE(got.mid(6).toHex(' '), hex(out).toHex(' '));
    QVERIFY(got.startsWith("prefix")); // appended, never replaced
    const QStringList warnings = log.warnings();
    if (warning.isEmpty()) {
        QCOMPARE(warnings, QStringList());
    } else {
        QCOMPARE(warnings.size(), 1);
        // The line names the device, the tag, the length value and the answer as it was cut.
        const int length = builder == Strings ? count * 256 : count;
        QByteArray shown = answer;
        if (length + 4 < shown.size() && length < 1468)
            shown.remove(length + 4, 1468 - length);
        QCOMPARE(warnings.first(),
                 MessageLog::quoted(warning + QStringLiteral("127.0.0.1:%1  T1 len = %2 msg : %3")
                                                  .arg(d.peer.port())
                                                  .arg(length)
                                                  .arg(QString::fromLatin1(shown.toHex()))));
    }
}

void ReadRequestsTest::traces()
{
    Device d;
    d.answer = hex("0101000011223344556677");
    QVERIFY(d.connect());
    d.link.traceOn = true;
    MessageLog log;
    QByteArray out;
    QCOMPARE(d.link.Readmemory(8, 11, 6, &out, QStringLiteral("AI_F12")), 0);
    const QString peer = QStringLiteral("127.0.0.1:%1").arg(d.peer.port());
    QCOMPARE(log.debugs(),
             MessageLog::quoted(QStringList(
                 {"lib[Tarvik]读命令 " + peer + "  AI_F12 len = 6 msg : 0101010008002c00000600",
                  "lib[Tarvik]读响应 " + peer + "  AI_F12 len = 6 msg : 01010000112233445566"})));
    QCOMPARE(out, hex("112233445566"));
}

void ReadRequestsTest::closedLinkSendsNothing()
{
    PtyPeer pty(answerAlways(hex("01010000aabb")));
    CmdTarvik link;
    QCOMPARE(link.serialConnectDrive(pty.slavePath(), 9600, 8, 1, QString()), 0);
    QCOMPARE(link.serialDisConnectDrive(), 0);
    link.traceOn = true;
    MessageLog log;
    QByteArray out;
    QCOMPARE(link.Readmemory(7, 0, 2, &out, QStringLiteral("AI1")), -3);
    QCOMPARE(link.Readbool(1, 0, 2, &out, QStringLiteral("DI1")), -3);
    QCOMPARE(link.Readstring(28, 0, 1, &out, QStringLiteral("SI1")), -3);
    QVERIFY(out.isEmpty());
    QCOMPARE(log.warnings(), QStringList());
    QCOMPARE(log.debugs().size(), 3); // the command lines only
    QVERIFY(log.debugs().first().startsWith(QStringLiteral("\"lib[Tarvik]读命令 :0  AI1 len = 2")));
    QCOMPARE(pty.settledRequests(), QList<QByteArray>());
}

QTEST_GUILESS_MAIN(ReadRequestsTest)
#include "tst_readrequests.moc"
