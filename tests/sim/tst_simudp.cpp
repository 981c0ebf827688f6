// The simulator as a process, over real UDP on loopback: answers, stored writes and every fault
// that shows on a UDP link.
#include "probes.h"
#include "simprocess.h"

#include <QRegularExpression>
#include <QtTest>

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

QString hexOf(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

const QByteArray kReadAi0 = hex("0101010007000000000400"); // 4 bytes of AI from offset 0
const QHostAddress kMain(QStringLiteral("127.0.0.1"));
const QHostAddress kForeign(QStringLiteral("127.0.0.2"));

} // namespace

class TestSimUdp : public QObject
{
    Q_OBJECT

private slots:
    void linkCheck();
    void readAfterPoke_data();
    void readAfterPoke();
    void writeThenPeek_data();
    void writeThenPeek();
    void refusedFrameGetsNoAnswer();
    void answerFaults_data();
    void answerFaults();
    void lateAnswerWaits();
    void garbageReplacesTheAnswer();
    void foreignSenderOnly();
    void decoyComesFirst();
    void otherPortAnswers();
    void linkCheckSparedUnlessAsked();
    void faultsSwitchedByControl();
    void faultRateRepeatsWithSeed();
};

void TestSimUdp::linkCheck()
{
    SimProcess sim;
    QVERIFY(sim.start());
    UdpProbe probe;
    const Arrival answer = probe.exchange(hex("0401"), sim.udpPort());
    QCOMPARE(hexOf(answer.bytes), QStringLiteral("04 01"));
    QCOMPARE(answer.sender, kMain);
    QCOMPARE(answer.senderPort, sim.udpPort());
}

void TestSimUdp::readAfterPoke_data()
{
    QTest::addColumn<QString>("poke");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("answer");

    QTest::newRow("AI:20=1122334455667788, 01 01 01 00 07 00 14 00 00 08 00")
        << "AI:20=1122334455667788" << hex("0101010007001400000800")
        << "01 01 00 00 11 22 33 44 55 66 77 88";
    QTest::newRow("DI_F:0=0100000000000001, 8 bits")
        << "DI_F:0=0100000000000001" << hex("0101010002000000000800")
        << "01 01 00 00 01 00 00 00 00 00 00 01";
    QTest::newRow("SI:256=03616263, slot 1 head")
        << "SI:256=03616263" << hex("010101001c000001000600") << "01 01 00 00 03 61 62 63 00 00";
    QTest::newRow("LW:0x10=0807060504030201, as stored")
        << "LW:0x10=0807060504030201" << hex("0101010018001000000800")
        << "01 01 00 00 08 07 06 05 04 03 02 01";
}

void TestSimUdp::readAfterPoke()
{
    QFETCH(QString, poke);
    QFETCH(QByteArray, request);
    QFETCH(QString, answer);

    SimProcess sim;
    QVERIFY(sim.start({QStringLiteral("--poke"), poke}));
    UdpProbe probe;
    QCOMPARE(hexOf(probe.exchange(request, sim.udpPort()).bytes), answer);
}

void TestSimUdp::writeThenPeek_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("peek");
    QTest::addColumn<QString>("reply");

    QTest::newRow("AI_F 12 <- 11 22 33 44")
        << hex("0201010008000c0000040011223344") << "peek AI_F 12 4"
        << "ok 11223344";
    QTest::newRow("DO_F 16 bits") << hex("0201010005000000001000"
                                         "0101000000000000"
                                         "0000000000000001")
                                  << "peek DO_F 0 16"
                                  << "ok 01010000000000000000000000000001";
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
    QCOMPARE(hexOf(probe.exchange(request, sim.udpPort()).bytes), QStringLiteral("02 01 00 00"));
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

void TestSimUdp::answerFaults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("answer"); // "" for none

    QTest::newRow("none") << ""
                          << "01 01 00 00 11 22 33 44";
    QTest::newRow("--silent") << "--silent"
                              << "";
    QTest::newRow("--wrong-seq") << "--wrong-seq"
                                 << "01 02 00 00 11 22 33 44";
    QTest::newRow("--short 3") << "--short 3"
                               << "01 01 00 00 11";
    QTest::newRow("--oversize 2") << "--oversize 2"
                                  << "01 01 00 00 11 22 33 44 ee ee";
}

void TestSimUdp::answerFaults()
{
    QFETCH(QString, fault);
    QFETCH(QString, answer);

    SimProcess sim;
    QStringList args{QStringLiteral("--poke"), QStringLiteral("AI:0=11223344")};
    if (!fault.isEmpty())
        args += fault.split(QLatin1Char(' '));
    QVERIFY(sim.start(args));
    UdpProbe probe;
    probe.send(kReadAi0, sim.udpPort());
    // A second look catches an answer that should not be there, or a second one.
    const QVector<Arrival> arrivals = probe.collect(2, 500);
    QStringList got;
    for (const Arrival &arrival : arrivals)
        got << hexOf(arrival.bytes);
    QCOMPARE(got, answer.isEmpty() ? QStringList() : QStringList{answer});
}

void TestSimUdp::lateAnswerWaits()
{
    SimProcess sim;
    QVERIFY(sim.start({QStringLiteral("--late"), QStringLiteral("300")}));
    UdpProbe probe;
    const Arrival answer = probe.exchange(kReadAi0, sim.udpPort(), 5000);
    QCOMPARE(answer.bytes.size(), 8);
    QVERIFY2(answer.atMs >= 250, qPrintable(QString::number(answer.atMs)));
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

void TestSimUdp::foreignSenderOnly()
{
    SimProcess sim;
    QVERIFY(sim.start({QStringLiteral("--foreign")}));
    UdpProbe probe;
    probe.send(kReadAi0, sim.udpPort());
    const QVector<Arrival> arrivals = probe.collect(2, 500);
    QCOMPARE(arrivals.size(), 1);
    QCOMPARE(arrivals[0].sender, kForeign);
    QCOMPARE(hexOf(arrivals[0].bytes), QStringLiteral("01 01 00 00 00 00 00 00"));
}

void TestSimUdp::decoyComesFirst()
{
    SimProcess sim;
    QVERIFY(sim.start(
        {QStringLiteral("--decoy"), QStringLiteral("--poke"), QStringLiteral("AI:0=11223344")}));
    UdpProbe probe;
    probe.send(kReadAi0, sim.udpPort());
    const QVector<Arrival> arrivals = probe.collect(2, 2000);
    QCOMPARE(arrivals.size(), 2);
    QCOMPARE(arrivals[0].sender, kForeign);
    QCOMPARE(hexOf(arrivals[0].bytes), QStringLiteral("01 01 00 00 ee ee ee ee"));
    QCOMPARE(arrivals[1].sender, kMain);
    QCOMPARE(arrivals[1].senderPort, sim.udpPort());
    QCOMPARE(hexOf(arrivals[1].bytes), QStringLiteral("01 01 00 00 11 22 33 44"));
}

void TestSimUdp::otherPortAnswers()
{
    SimProcess sim;
    QVERIFY(sim.start({QStringLiteral("--other-port")}));
    UdpProbe probe;
    const Arrival answer = probe.exchange(kReadAi0, sim.udpPort());
    QCOMPARE(answer.bytes.size(), 8);
    QCOMPARE(answer.sender, kMain);
    QVERIFY(answer.senderPort != sim.udpPort());
}

void TestSimUdp::linkCheckSparedUnlessAsked()
{
    SimProcess spared;
    QVERIFY(spared.start({QStringLiteral("--wrong-seq")}));
    UdpProbe probe;
    QCOMPARE(hexOf(probe.exchange(hex("0401"), spared.udpPort()).bytes), QStringLiteral("04 01"));

    SimProcess included;
    QVERIFY(included.start({QStringLiteral("--wrong-seq"), QStringLiteral("--fault-link-check")}));
    QCOMPARE(hexOf(probe.exchange(hex("0401"), included.udpPort()).bytes), QStringLiteral("04 02"));
}

void TestSimUdp::faultsSwitchedByControl()
{
    SimProcess sim;
    QVERIFY(sim.start());
    UdpProbe probe;
    QCOMPARE(sim.control(QStringLiteral("faults --wrong-seq --oversize 1")), QStringLiteral("ok"));
    QCOMPARE(hexOf(probe.exchange(kReadAi0, sim.udpPort()).bytes),
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
