#include "CmdTarvik.h"
#include "messagelog.h"
#include "peers.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <QTest>
#include <QUdpSocket>

// The UDP link against an in-test device on 127.0.0.1: the link check, which datagrams count as
// the answer, and that no answer is ever taken by a request it does not belong to.
class UdpLinkTest : public QObject
{
    Q_OBJECT

private slots:
    void linkCheck_data();
    void linkCheck();
    void refusesAddress_data();
    void refusesAddress();
    void failedCheckKeepsSocket();
    void answerFrom_data();
    void answerFrom();
    void lastPendingDatagramWins();
    void zeroBudgetReturnsAtOnce();
    void lateAnswerNeverTakenByNextRequest();
    void udpCarriesFramesWhenBothLinksExist();
    void connectionStatus();
    void destroyFreeReleasesSerialFirst();
    void mysleepUsesTheWholeWait();
};

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

} // namespace

void UdpLinkTest::linkCheck_data()
{
    QTest::addColumn<QVector<PeerReply>>("replies");
    QTest::addColumn<int>("expected");

    auto one = [](const char *h) { return QVector<PeerReply>{PeerReply{hex(h)}}; };
    QTest::newRow("04 01 -> 0") << one("0401") << 0;
    QTest::newRow("04 01 ff -> 0") << one("0401ff") << 0;
    QTest::newRow("04 02 -> -2") << one("0402") << -2;
    QTest::newRow("01 04 -> -2") << one("0104") << -2;
    QTest::newRow("04 -> -2") << one("04") << -2;
    QTest::newRow("empty datagram -> -2") << one("") << -2;
    QTest::newRow("silent -> -2") << QVector<PeerReply>{} << -2;
    QVector<PeerReply> emptyThenAnswer{PeerReply{QByteArray()}, PeerReply{hex("0401"), 20}};
    QTest::newRow("empty, then 04 01 -> 0") << emptyThenAnswer << 0;
    PeerReply foreign{hex("0401"), 0, 0, 0, PeerReply::OtherAddress};
    QTest::newRow("04 01 from 127.0.0.2 -> -2") << QVector<PeerReply>{foreign} << -2;
}

void UdpLinkTest::linkCheck()
{
    QFETCH(QVector<PeerReply>, replies);
    QFETCH(int, expected);
    UdpPeer peer([replies](const QByteArray &) { return replies; });
    CmdTarvik link;
    MessageLog log;
    QCOMPARE(link.UDPConnectDrive(QStringLiteral("127.0.0.1"), peer.port()), expected);
    QCOMPARE(peer.requests(), QList<QByteArray>{hex("0401")});
    QCOMPARE(link.remotePort, int(peer.port()));
    QVERIFY(link.udpSocket);
    QCOMPARE(link.udpSocket->state() == QAbstractSocket::UnconnectedState, expected != 0);
}

void UdpLinkTest::refusesAddress_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("port");

    QTest::newRow("host name") << QStringLiteral("localhost") << 700;
    QTest::newRow("empty") << QString() << 700;
    QTest::newRow("octet above 255") << QStringLiteral("256.0.0.1") << 700;
    QTest::newRow("trailing letter") << QStringLiteral("127.0.0.1x") << 700;
    QTest::newRow("port 65536") << QStringLiteral("127.0.0.1") << 65536;
    QTest::newRow("port -1") << QStringLiteral("127.0.0.1") << -1;
}

// Nothing goes out for an address or port that does not name a device.
void UdpLinkTest::refusesAddress()
{
    QFETCH(QString, address);
    QFETCH(int, port);
    UdpPeer peer(answerAlways(hex("0401")));
    CmdTarvik link;
    QCOMPARE(link.UDPConnectDrive(address, port), -1);
    QCOMPARE(link.remotePort, port);
    QVERIFY(link.udpSocket);
    QTest::qWait(50);
    QCOMPARE(peer.requestCount(), 0);
}

// After a failed check the socket stays: the link still counts and requests still go out on it.
void UdpLinkTest::failedCheckKeepsSocket()
{
    UdpPeer peer([](const QByteArray &request) {
        return request == hex("0401") ? QVector<PeerReply>{} : QVector<PeerReply>{{hex("aa")}};
    });
    CmdTarvik link;
    MessageLog log;
    QCOMPARE(link.UDPConnectDrive(QStringLiteral("127.0.0.1"), peer.port()), -2);
    QCOMPARE(link.Connection_status(), 0);
    QByteArray reply;
    QCOMPARE(link.SendData(hex("0102"), 2, reply, 50), 0);
    QCOMPARE(reply, hex("aa"));
}

void UdpLinkTest::answerFrom_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QVector<PeerReply>>("replies");
    QTest::addColumn<int>("expected");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("warned");

    const PeerReply answer{hex("0101000011")};
    PeerReply otherPort = answer;
    otherPort.from = PeerReply::OtherPort;
    PeerReply decoy{hex("01010000ee"), 0, 0, 0, PeerReply::OtherAddress};
    PeerReply foreign = answer;
    foreign.from = PeerReply::OtherAddress;
    PeerReply late = answer;
    late.delayMs = 30;

    const QString v4 = QStringLiteral("127.0.0.1");
    QTest::newRow("device port") << v4 << QVector<PeerReply>{answer} << 0 << answer.data << false;
    QTest::newRow("device, another port")
        << v4 << QVector<PeerReply>{otherPort} << 0 << answer.data << false;
    QTest::newRow("IPv4-mapped device address")
        << QStringLiteral("::ffff:127.0.0.1") << QVector<PeerReply>{answer} << 0 << answer.data
        << false;
    QTest::newRow("stranger only")
        << v4 << QVector<PeerReply>{foreign} << -1 << QByteArray() << true;
    QTest::newRow("stranger, then device")
        << v4 << QVector<PeerReply>{decoy, late} << 0 << answer.data << true;
}

// Only the device's address may answer (from any of its ports); anything else is dropped with a
// warning and the wait goes on.
void UdpLinkTest::answerFrom()
{
    QFETCH(QString, device);
    QFETCH(QVector<PeerReply>, replies);
    QFETCH(int, expected);
    QFETCH(QByteArray, reply);
    QFETCH(bool, warned);

    UdpPeer peer([replies](const QByteArray &request) {
        return request == hex("0401") ? QVector<PeerReply>{{hex("0401")}} : replies;
    });
    CmdTarvik link;
    if (link.UDPConnectDrive(device, peer.port()) != 0)
        QSKIP("this machine does not route IPv4-mapped addresses to 127.0.0.1");
    MessageLog log;
    QByteArray got;
    QCOMPARE(link.SendData(hex("0101010007000000000100"), 11, got, 50), expected);
    QCOMPARE(got, reply);
    const QString dropped = QStringLiteral(
        "^lib\\[Tarvik\\]\\S+:\\d+  datagram from 127\\.0\\.0\\.2:\\d+ dropped len = 5$");
    QCOMPARE(log.count(QtWarningMsg, dropped), warned ? 1 : 0);
}

// Between exchanges the receive slot keeps taking datagrams off the socket, also after
// exchanges that were answered and one that gave up; several waiting at once leave the last.
void UdpLinkTest::lastPendingDatagramWins()
{
    UdpPeer peer([](const QByteArray &request) {
        const int delay = request == "slow" ? 450 : 0;
        return QVector<PeerReply>{{request == hex("0401") ? hex("0401") : "re:" + request, delay}};
    });
    CmdTarvik link;
    QCOMPARE(link.UDPConnectDrive(QStringLiteral("127.0.0.1"), peer.port()), 0);
    QByteArray reply;
    QCOMPARE(link.SendData("one", 3, reply, 50), 0);
    QCOMPARE(link.SendData("slow", 4, reply, 50), -1);
    link.mysleep(300);
    QCOMPARE(link.SendData("two", 3, reply, 50), 0);
    QCOMPARE(reply, QByteArray("re:onere:two"));

    const quint16 driverPort = link.udpSocket->localPort();
    peer.sendTo(driverPort, hex("0101000001"));
    peer.sendTo(driverPort, hex("0101000002"));
    QElapsedTimer clock;
    clock.start();
    while (link.recvBuffer != hex("0101000002") && clock.elapsed() < 2000)
        link.mysleep(5);
    QCOMPARE(link.recvBuffer, hex("0101000002"));
}

// A zero budget sends and gives up at once; what then arrives belongs to that request and is
// not handed to the next one.
void UdpLinkTest::zeroBudgetReturnsAtOnce()
{
    UdpPeer peer([](const QByteArray &request) {
        return QVector<PeerReply>{{request == hex("0401") ? hex("0401") : "re:" + request, 10}};
    });
    CmdTarvik link;
    QCOMPARE(link.UDPConnectDrive(QStringLiteral("127.0.0.1"), peer.port()), 0);
    QByteArray reply;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(link.SendData("A", 1, reply, 0), -1);
    QVERIFY2(clock.elapsed() < 100, qPrintable(QString::number(clock.elapsed())));
    link.mysleep(100); // the answer to A is in by now
    QCOMPARE(link.SendData("B", 1, reply, 50), 0);
    QCOMPARE(reply, QByteArray("re:B"));
}

void UdpLinkTest::lateAnswerNeverTakenByNextRequest()
{
    UdpPeer peer([](const QByteArray &request) {
        const int delay = request == "slow" ? 450 : 0;
        return QVector<PeerReply>{{request == hex("0401") ? hex("0401") : "re:" + request, delay}};
    });
    CmdTarvik link;
    QCOMPARE(link.UDPConnectDrive(QStringLiteral("127.0.0.1"), peer.port()), 0);
    QByteArray reply;
    QCOMPARE(link.SendData("slow", 4, reply, 50), -1);
    QVERIFY(reply.isEmpty());
    link.mysleep(300); // the late answer arrives while nobody waits
    QCOMPARE(link.SendData("next", 4, reply, 50), 0);
    QCOMPARE(reply, QByteArray("re:next"));
}

void UdpLinkTest::udpCarriesFramesWhenBothLinksExist()
{
    PtyPeer pty(answerAlways("serial"));
    QVERIFY(pty.isOpen());
    UdpPeer peer([](const QByteArray &request) {
        return QVector<PeerReply>{{request == hex("0401") ? hex("0401") : QByteArray("udp")}};
    });
    CmdTarvik link;
    QCOMPARE(link.serialConnectDrive(pty.slavePath(), 9600, 8, 1, QString()), 0);
    QCOMPARE(link.UDPConnectDrive(QStringLiteral("127.0.0.1"), peer.port()), 0);
    QByteArray reply;
    QCOMPARE(link.SendData("frame", 5, reply, 50), 0);
    QCOMPARE(reply, QByteArray("udp"));
    QTest::qWait(50);
    QCOMPARE(pty.requestCount(), 0);
}

void UdpLinkTest::connectionStatus()
{
    PtyPeer pty(answerAlways(""));
    UdpPeer peer(answerAlways(hex("0401")));
    CmdTarvik link;
    QCOMPARE(link.Connection_status(), -3);
    QCOMPARE(link.UDPConnectDrive(QStringLiteral("127.0.0.1"), peer.port()), 0);
    QCOMPARE(link.UDPConnectDrive(), 0);
    QCOMPARE(link.Connection_status(), 0); // a closed UDP socket still counts
    QCOMPARE(link.serialConnectDrive(pty.slavePath(), 9600, 8, 1, QString()), 0);
    QCOMPARE(link.Connection_status(), 0);
    QCOMPARE(link.serialDisConnectDrive(), 0);
    QCOMPARE(link.Connection_status(), -3); // the serial port decides while it exists
}

void UdpLinkTest::destroyFreeReleasesSerialFirst()
{
    PtyPeer pty(answerAlways(""));
    UdpPeer peer(answerAlways(hex("0401")));
    CmdTarvik link;
    QCOMPARE(link.serialConnectDrive(pty.slavePath(), 9600, 8, 1, QString()), 0);
    QCOMPARE(link.UDPConnectDrive(QStringLiteral("127.0.0.1"), peer.port()), 0);
    QCOMPARE(link.DestroyFree(), 0);
    QVERIFY(!link.serialPort);
    QVERIFY(!link.gapTimer);
    QVERIFY(link.udpSocket);
    QCOMPARE(link.DestroyFree(), 0);
    QVERIFY(!link.udpSocket);
    QCOMPARE(link.DestroyFree(), 1);
    QCOMPARE(link.Connection_status(), -3);
}

void UdpLinkTest::mysleepUsesTheWholeWait()
{
    CmdTarvik link;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(link.mysleep(0), 0);
    QVERIFY(clock.elapsed() < 20);
    clock.restart();
    QCOMPARE(link.mysleep(30), 0);
    QVERIFY(clock.elapsed() >= 30);
}

QTEST_GUILESS_MAIN(UdpLinkTest)
#include "tst_udplink.moc"
