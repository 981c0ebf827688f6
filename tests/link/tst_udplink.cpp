#include "CmdTarvik.h"
#include "linklimits.h"
#include "messagelog.h"
#include "peers.h"
#include "spinning.h"
#include "testhex.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <QTest>
#include <QUdpSocket>

#include <memory>

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
    void failedCheckHoldsRequestsBack_data();
    void failedCheckHoldsRequestsBack();
    void answerFrom_data();
    void answerFrom();
    void datagramsNobodyWaitsForAreDropped();
    void foreignFloodIsWarnedSparingly();
    void zeroBudgetReturnsAtOnce();
    void lateAnswerNeverTakenByNextRequest();
    void udpCarriesFramesWhenBothLinksExist();
    void connectionStatus();
    void destroyFreeReleasesSerialFirst();
    void mysleepUsesTheWholeWait();
    void waitsSleep();
};

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
    QVector<PeerReply> lateThenAnswer{PeerReply{hex("0101000011")}, PeerReply{hex("0401"), 20}};
    QTest::newRow("a late read answer, then 04 01 -> 0") << lateThenAnswer << 0;
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
    // Cut to 16 bits, this port would be the device's own.
    QTest::newRow("port 65536 + the device's") << QStringLiteral("127.0.0.1") << 65536;
    QTest::newRow("port -1") << QStringLiteral("127.0.0.1") << -1;
}

// Nothing goes out for an address or port that does not name a device.
void UdpLinkTest::refusesAddress()
{
    QFETCH(QString, address);
    QFETCH(int, port);
    UdpPeer peer(answerAlways(hex("0401")));
    if (port == 65536)
        port += peer.port();
    CmdTarvik link;
    QCOMPARE(link.UDPConnectDrive(address, port), -1);
    // A refused port leaves no peer at all; a refused address keeps the port it came with.
    const bool portRefused = port < 0 || port > 0xFFFF;
    QCOMPARE(link.remotePort, portRefused ? 0 : port);
    QVERIFY(link.remoteAddress.isNull());
    QVERIFY(link.udpSocket);
    QByteArray reply;
    QCOMPARE(link.SendData(hex("0101010007000000000200"), 11, reply, 50), -1);
    QCOMPARE(peer.settledRequests(), QList<QByteArray>());
}

void UdpLinkTest::failedCheckHoldsRequestsBack_data()
{
    QTest::addColumn<int>("checksIgnored");
    QTest::addColumn<int>("result");
    QTest::addColumn<QList<QByteArray>>("sent");
    QTest::newRow("answered later: the request follows")
        << 1 << 0 << QList<QByteArray>{hex("0401"), hex("0401"), hex("0102")};
    QTest::newRow("never answered: the request stays back")
        << 99 << -1 << QList<QByteArray>{hex("0401"), hex("0401")};
}

// After a failed check the socket stays and the link still counts, but it is out of step: a
// request goes out only once the device has answered the link check again.
void UdpLinkTest::failedCheckHoldsRequestsBack()
{
    QFETCH(int, checksIgnored);
    QFETCH(int, result);
    QFETCH(QList<QByteArray>, sent);
    auto ignored = std::make_shared<std::atomic<int>>(0);
    UdpPeer peer([ignored, checksIgnored](const QByteArray &request) {
        if (request == hex("0401"))
            return (*ignored)++ < checksIgnored ? QVector<PeerReply>{}
                                                : QVector<PeerReply>{{hex("0401")}};
        return QVector<PeerReply>{{hex("aa")}};
    });
    CmdTarvik link;
    MessageLog log;
    QCOMPARE(link.UDPConnectDrive(QStringLiteral("127.0.0.1"), peer.port()), -2);
    QCOMPARE(link.Connection_status(), 0);
    QByteArray reply;
    QCOMPARE(link.SendData(hex("0102"), 2, reply, 50), result);
    QCOMPARE(reply, result == 0 ? hex("aa") : QByteArray());
    QCOMPARE(peer.requests(), sent);
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
    // One rule for the whole wait: the first datagram from the device is the answer.
    const PeerReply second{hex("0101000022")};
    QTest::newRow("two from the device at once")
        << v4 << QVector<PeerReply>{answer, second} << 0 << answer.data << false;
    PeerReply afterReadyWait = answer, secondAfterReadyWait = second;
    afterReadyWait.delayMs = 310;
    secondAfterReadyWait.delayMs = 5;
    QTest::newRow("two from the device after 300 ms")
        << v4 << QVector<PeerReply>{afterReadyWait, secondAfterReadyWait} << 0 << answer.data
        << false;
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
        "^\"lib\\[Tarvik\\]\\S+:\\d+  datagram from 127\\.0\\.0\\.2:\\d+ dropped len = 5\"$");
    QCOMPARE(log.count(QtWarningMsg, dropped), warned ? 1 : 0);
    // Every reply is sent while the link's socket is still open: one sent after it closed could
    // reach another test's socket that was given the same port, from 127.0.0.1, as an answer.
    peer.settledRequests();
}

// Datagrams from the device that no exchange waits for (late, repeated, unasked) are dropped:
// they never become an answer, and the next exchange first checks the link.
void UdpLinkTest::datagramsNobodyWaitsForAreDropped()
{
    UdpPeer peer([](const QByteArray &request) {
        return QVector<PeerReply>{{request == hex("0401") ? hex("0401") : "re:" + request}};
    });
    CmdTarvik link;
    QCOMPARE(link.UDPConnectDrive(QStringLiteral("127.0.0.1"), peer.port()), 0);
    QByteArray reply;
    QCOMPARE(link.SendData("one", 3, reply, 50), 0);
    QVERIFY(!link.needsResync());

    const quint16 driverPort = link.udpSocket->localPort();
    peer.sendTo(driverPort, hex("0101000001"));
    peer.sendTo(driverPort, hex("0101000002"));
    QTRY_COMPARE_WITH_TIMEOUT(link.droppedBytes(), quint64(10), 2000);
    QVERIFY(link.recvBuffer.isEmpty());
    QVERIFY(link.needsResync());
    QCOMPARE(link.SendData("two", 3, reply, 50), 0);
    QCOMPARE(reply, QByteArray("re:onere:two"));
    QCOMPARE(peer.requests(), (QList<QByteArray>{hex("0401"), "one", hex("0401"), "two"}));
}

// A flood from another sender costs a few lines a second, then one line with the count.
void UdpLinkTest::foreignFloodIsWarnedSparingly()
{
    UdpPeer peer(answerAlways(hex("0401")));
    CmdTarvik link;
    QCOMPARE(link.UDPConnectDrive(QStringLiteral("127.0.0.1"), peer.port()), 0);
    MessageLog log;
    const quint16 driverPort = link.udpSocket->localPort();
    for (int i = 0; i < 200; ++i)
        peer.sendTo(driverPort, "x", PeerReply::OtherAddress);
    QTRY_COMPARE_WITH_TIMEOUT(log.warnings().size(), 10, 2000);
    link.mysleep(1000);
    peer.sendTo(driverPort, "x", PeerReply::OtherAddress);
    QTRY_COMPARE_WITH_TIMEOUT(log.warnings().size(), 12, 2000);
    QVERIFY2(log.warnings().at(10).contains(QLatin1String("  190 more datagrams from other "
                                                          "senders dropped")),
             qPrintable(log.warnings().at(10)));
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
    // Giving up at once takes less than an answered exchange and half the ready wait; waiting
    // for an answer would take the whole ready wait, a timer no CPU speed shortens. An answered
    // exchange timed in the same run says what this machine takes for the rest; the quickest of
    // a few tries leaves out a moment a loaded machine stalls the test.
    qint64 answered = -1, zeroBudget = -1;
    for (int tries = 0; tries < 5; ++tries) {
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(link.SendData("R", 1, reply, 50), 0);
        QCOMPARE(reply, QByteArray("re:R"));
        reply.clear();
        const qint64 exchange = clock.restart();
        QCOMPARE(link.SendData("A", 1, reply, 0), -1);
        const qint64 gaveUp = clock.elapsed();
        QVERIFY(reply.isEmpty());
        answered = answered < 0 ? exchange : qMin(answered, exchange);
        zeroBudget = zeroBudget < 0 ? gaveUp : qMin(zeroBudget, gaveUp);
        if (zeroBudget < answered + linklimits::udpReadyWaitMs / 2)
            break;
    }
    qInfo("zero budget: %lld ms; an answered exchange: %lld ms", zeroBudget, answered);
    QVERIFY2(zeroBudget < answered + linklimits::udpReadyWaitMs / 2,
             qPrintable(QStringLiteral("%1 ms against %2 ms").arg(zeroBudget).arg(answered)));
    link.mysleep(100); // the answer to A is in by now
    QCOMPARE(link.SendData("B", 1, reply, 50), 0);
    QCOMPARE(reply, QByteArray("re:B"));
}

// The answer to a request that gave up comes while the next request waits: the next request
// went out only after the link check, so the late answer is discarded before its own.
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
    QCOMPARE(pty.settledRequests(), QList<QByteArray>());
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
    QCOMPARE(link.mysleep(30), 0);
    const qint64 thirty = clock.elapsed();
    QVERIFY2(thirty >= 30, qPrintable(QString::number(thirty)));
    // No wait at all: well under half of a 30-ms pause timed in the same run. The quickest of a
    // few tries leaves out a moment a loaded machine or an emulated CPU stalls the test.
    qint64 zero = -1;
    for (int tries = 0; tries < 5 && (zero < 0 || 2 * zero >= thirty); ++tries) {
        clock.restart();
        QCOMPARE(link.mysleep(0), 0);
        const qint64 took = clock.elapsed();
        zero = zero < 0 ? took : qMin(zero, took);
    }
    QVERIFY2(2 * zero < thirty,
             qPrintable(QStringLiteral("%1 ms against %2 ms for 30 ms").arg(zero).arg(thirty)));
}

// Waiting costs next to nothing: the thread sleeps until something wakes it. A wait that spins
// burns processor time for as long as it waits, as much as a loop that never sleeps gets on this
// machine in the same run; a wait that sleeps costs a small part of that, loaded machine or not.
void UdpLinkTest::waitsSleep()
{
    UdpPeer peer([](const QByteArray &request) {
        return request == hex("0401") ? QVector<PeerReply>{{hex("0401")}} : QVector<PeerReply>{};
    });
    CmdTarvik link;
    QCOMPARE(link.UDPConnectDrive(QStringLiteral("127.0.0.1"), peer.port()), 0);
    const QByteArray unanswered = hex("0101010007000000000200");
    QByteArray reply;
    // Once through every path of the wait first: what runs only the first time (an emulator
    // translating code, say) is no cost of waiting.
    link.mysleep(10);
    QCOMPARE(link.SendData(unanswered, 11, reply, 1), -1);
    // In step again, so that what is measured is the wait alone, not a link check before it.
    QCOMPARE(link.UDPConnectDrive(QStringLiteral("127.0.0.1"), peer.port()), 0);

    const double spinning = spinningCpuPerMs();
    QElapsedTimer clock;
    clock.start();
    const qint64 before = cpuMicroseconds();
    link.mysleep(300);
    QCOMPARE(link.SendData(unanswered, 11, reply, 50), -1);
    const qint64 used = cpuMicroseconds() - before;
    const qint64 spun = qint64(spinning * double(clock.elapsed()));
    qInfo("waiting %lld ms: %lld us of CPU; spinning as long: %lld us", clock.elapsed(), used,
          spun);
    QVERIFY2(
        5 * used < spun,
        qPrintable(QStringLiteral("%1 us of CPU waiting, %2 us spinning").arg(used).arg(spun)));
}

QTEST_GUILESS_MAIN(UdpLinkTest)
#include "tst_udplink.moc"
