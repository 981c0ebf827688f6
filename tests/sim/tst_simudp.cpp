// The simulator as a process over real UDP on loopback: stored writes, refused frames, and every
// fault that shows on a UDP link.
#include "probes.h"
#include "simprocess.h"
#include "testhex.h"

#include <QRegularExpression>
#include <QThread>
#include <QtTest>

namespace {

const QByteArray kReadAi0 = hex("0101010007000000000400"); // 4 bytes of AI from offset 0
const QHostAddress kForeign(QStringLiteral("127.0.0.2"));

} // namespace

class TestSimUdp : public QObject
{
    Q_OBJECT

private slots:
    void writeThenPeek_data();
    void writeThenPeek();
    void refusedFrameGetsNoAnswer();
    void severalPortsOneMemory();
    void answerFaults_data();
    void answerFaults();
    void lateAnswerHoldsBackTheNext_data();
    void lateAnswerHoldsBackTheNext();
    void garbageReplacesTheAnswer();
    void linkCheckSparedUnlessAsked();
    void faultsSwitchedByControl();
    void faultRateRepeatsWithSeed();
};

void TestSimUdp::writeThenPeek_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("peek");
    QTest::addColumn<QString>("reply");

    QTest::newRow("DI 3 elements at 3: the datagram tells one byte per element")
        << hex("0201010001000300000300 010001") << "peek DI 3 3"
        << "ok 010001";
    QTest::newRow("SI slot 4 <- ABC") << hex("020101001c00000400000103414243") << "peek SI 1024 5"
                                      << "ok 0341424300";
}

void TestSimUdp::writeThenPeek()
{
    QFETCH(QByteArray, request);
    QFETCH(QString, peek);
    QFETCH(QString, reply);

    SimProcess sim;
    QVERIFY(sim.start());
    UdpProbe probe;
    QCOMPARE(spacedHex(probe.exchange(request, sim.udpPort()).bytes),
             QStringLiteral("02 01 00 00"));
    QCOMPARE(sim.control(peek), reply);
}

void TestSimUdp::refusedFrameGetsNoAnswer()
{
    SimProcess sim;
    QVERIFY(sim.start());
    UdpProbe probe;
    probe.send(hex("01010100070000000004"), sim.udpPort()); // one byte short
    QVERIFY(probe.collect(1, 300).isEmpty());
    QCOMPARE(probe.exchange(kReadAi0, sim.udpPort()).bytes.size(), 8);
    QCOMPARE(sim.control(QStringLiteral("stats")),
             QStringLiteral("ok requests=1 answered=1 faulted=0"));
}

// --udp-ports: one controller's memory answered on each port, as many controllers would be; one
// probe socket is one client, whichever port it asks.
void TestSimUdp::severalPortsOneMemory()
{
    SimProcess sim;
    QVERIFY(sim.start({QStringLiteral("--udp-ports"), QStringLiteral("3")}));
    const QStringList ports = sim.udpConnectionStrings();
    QCOMPARE(ports.size(), 3);
    QCOMPARE(sim.control(QStringLiteral("poke AI 0 01020304")), QStringLiteral("ok"));
    UdpProbe probe;
    for (const QString &p : ports)
        QCOMPARE(probe.exchange(kReadAi0, quint16(p.section(QLatin1Char(':'), -1).toUInt()))
                     .bytes.right(4),
                 hex("01020304"));
    QCOMPARE(sim.control(QStringLiteral("clients 60000")), QStringLiteral("ok 1"));
}

void TestSimUdp::answerFaults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>("arrivals"); // "<sender> <hex>", in order
    QTest::addColumn<int>("earliestMs");

    const QString real = QStringLiteral("01 01 00 00 11 22 33 44");
    QTest::newRow("none") << "" << QStringList{"main " + real} << 0;
    QTest::newRow("--silent") << "--silent" << QStringList{} << 0;
    QTest::newRow("--wrong-seq") << "--wrong-seq" << QStringList{"main 01 02 00 00 11 22 33 44"}
                                 << 0;
    QTest::newRow("--short 3") << "--short 3" << QStringList{"main 01 01 00 00 11"} << 0;
    QTest::newRow("--oversize 2") << "--oversize 2" << QStringList{"main " + real + " ee ee"} << 0;
    QTest::newRow("--late 300") << "--late 300" << QStringList{"main " + real} << 250;
    QTest::newRow("--foreign") << "--foreign" << QStringList{"foreign " + real} << 0;
    QTest::newRow("--decoy") << "--decoy"
                             << QStringList{"foreign 01 01 00 00 ee ee ee ee", "main " + real} << 0;
    QTest::newRow("--other-port") << "--other-port" << QStringList{"other-port " + real} << 0;
}

void TestSimUdp::answerFaults()
{
    QFETCH(QString, fault);
    QFETCH(QStringList, arrivals);
    QFETCH(int, earliestMs);

    SimProcess sim;
    QStringList args{QStringLiteral("--poke"), QStringLiteral("AI:0=11223344")};
    if (!fault.isEmpty())
        args += fault.split(QLatin1Char(' '));
    QVERIFY(sim.start(args));
    UdpProbe probe;
    probe.send(kReadAi0, sim.udpPort());
    // Looking for one more than expected catches an answer that should not be there.
    const QVector<Arrival> got = probe.collect(arrivals.size() + 1, 800 + earliestMs);
    QStringList seen;
    for (const Arrival &arrival : got) {
        const QString sender = arrival.sender == kForeign            ? QStringLiteral("foreign")
                               : arrival.senderPort == sim.udpPort() ? QStringLiteral("main")
                                                                     : QStringLiteral("other-port");
        seen << sender + QLatin1Char(' ') + spacedHex(arrival.bytes);
    }
    QCOMPARE(seen, arrivals);
    if (!got.isEmpty())
        QVERIFY2(got.first().atMs >= earliestMs, qPrintable(QString::number(got.first().atMs)));
}

void TestSimUdp::lateAnswerHoldsBackTheNext_data()
{
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<QString>("answer");

    QTest::newRow("read") << hex("0101010007000000000200") << "01 01 00 00 11 22";
    QTest::newRow("04 01") << hex("0401") << "04 01";
}

// The first read is answered 200 ms late; the second request, 50 ms later and with the fault
// switched off, must still be answered after it, as a controller works one request at a time.
void TestSimUdp::lateAnswerHoldsBackTheNext()
{
    QFETCH(QByteArray, second);
    QFETCH(QString, answer);

    SimProcess sim;
    QVERIFY(sim.start({QStringLiteral("--poke"), QStringLiteral("AI:0=11223344")}));
    QCOMPARE(sim.control(QStringLiteral("faults --late 200")), QStringLiteral("ok"));
    QElapsedTimer clock;
    clock.start();
    UdpProbe probe;
    probe.send(kReadAi0, sim.udpPort());
    QVERIFY(awaitRequests(sim, 1));
    QCOMPARE(sim.control(QStringLiteral("faults")), QStringLiteral("ok"));
    QThread::msleep(ulong(qMax<qint64>(0, 50 - clock.elapsed())));
    const qint64 secondAtMs = clock.elapsed();
    probe.send(second, sim.udpPort());
    const QVector<Arrival> got = probe.collect(2, 3000);
    QCOMPARE(got.size(), 2);
    QCOMPARE(spacedHex(got[0].bytes), QStringLiteral("01 01 00 00 11 22 33 44"));
    QCOMPARE(spacedHex(got[1].bytes), answer);
    // Not before the late one was due, counted from the first request.
    QVERIFY2(secondAtMs + got[1].atMs >= 190, qPrintable(QString::number(got[1].atMs)));
}

void TestSimUdp::garbageReplacesTheAnswer()
{
    SimProcess sim;
    QVERIFY(sim.start({QStringLiteral("--garbage")}));
    UdpProbe probe;
    const Arrival answer = probe.exchange(kReadAi0, sim.udpPort());
    QCOMPARE(answer.bytes.size(), 8);
    QVERIFY(quint8(answer.bytes.at(0)) != 0x01);
}

void TestSimUdp::linkCheckSparedUnlessAsked()
{
    SimProcess spared;
    QVERIFY(spared.start({QStringLiteral("--wrong-seq")}));
    UdpProbe probe;
    QCOMPARE(spacedHex(probe.exchange(hex("0401"), spared.udpPort()).bytes),
             QStringLiteral("04 01"));

    SimProcess included;
    QVERIFY(included.start({QStringLiteral("--wrong-seq"), QStringLiteral("--fault-link-check")}));
    QCOMPARE(spacedHex(probe.exchange(hex("0401"), included.udpPort()).bytes),
             QStringLiteral("04 02"));
}

void TestSimUdp::faultsSwitchedByControl()
{
    SimProcess sim;
    QVERIFY(sim.start());
    UdpProbe probe;
    QCOMPARE(sim.control(QStringLiteral("faults --wrong-seq --oversize 1")), QStringLiteral("ok"));
    QCOMPARE(spacedHex(probe.exchange(kReadAi0, sim.udpPort()).bytes),
             QStringLiteral("01 02 00 00 00 00 00 00 ee"));
    QCOMPARE(sim.control(QStringLiteral("faults --silent")), QStringLiteral("ok"));
    QVERIFY(probe.exchange(kReadAi0, sim.udpPort(), 300).bytes.isEmpty());
    QCOMPARE(sim.control(QStringLiteral("faults")), QStringLiteral("ok"));
    QCOMPARE(probe.exchange(kReadAi0, sim.udpPort()).bytes.size(), 8);
    QCOMPARE(sim.control(QStringLiteral("stats")),
             QStringLiteral("ok requests=3 answered=2 faulted=2"));
}

void TestSimUdp::faultRateRepeatsWithSeed()
{
    // Requests go out back to back; the counts need no answer to have arrived.
    const auto faultedCount = [](const QString &seed) {
        SimProcess sim;
        if (!sim.start({QStringLiteral("--fault-rate"), QStringLiteral("0.5"),
                        QStringLiteral("--seed"), seed}))
            return QString();
        UdpProbe probe;
        for (int i = 0; i < 40; ++i)
            probe.send(kReadAi0, sim.udpPort());
        QString stats;
        for (int tries = 0; tries < 50 && !stats.contains(QLatin1String("requests=40")); ++tries)
            stats = sim.control(QStringLiteral("stats"));
        return QRegularExpression(QStringLiteral("faulted=(\\d+)")).match(stats).captured(1);
    };
    const QString first = faultedCount(QStringLiteral("11"));
    QVERIFY(!first.isEmpty());
    QVERIFY2(first.toInt() > 5 && first.toInt() < 35, qPrintable(first));
    QCOMPARE(faultedCount(QStringLiteral("11")), first);
}

QTEST_GUILESS_MAIN(TestSimUdp)
#include "tst_simudp.moc"
