// The simulator as a process on real pseudo-terminals: frame ends found by length, resync after
// a broken frame, paced and chunked answers, the device vanishing, and --device.
#include "probes.h"
#include "simprocess.h"
#include "testhex.h"

#include <QThread>
#include <QtTest>

#include <cstdlib>

namespace {

QString answerTo(PtyProbe &line, const QByteArray &request, int size, int windowMs = 2000)
{
    line.send(request);
    return spacedHex(PtyProbe::joined(line.collect(size, windowMs)));
}

const QByteArray kReadAi0 = hex("0101010007000000000400");
constexpr quint8 kNoise = 0x01; // what babbling and streaming lines carry

} // namespace

class TestSimSerial : public QObject
{
    Q_OBJECT

private slots:
    void exchanges_data();
    void exchanges();
    void frameSplitAcrossWrites();
    void brokenFrameIsDroppedThenResync();
    void chunkedAnswerArrivesInBursts();
    void lateAnswerHoldsBackTheNext();
    void babbleFollowsTheAnswer_data();
    void babbleFollowsTheAnswer();
    void streamPausesForAnExchange_data();
    void streamPausesForAnExchange();
    void ptyHangsUpAndReopens_data();
    void ptyHangsUpAndReopens();
    void servesAnExistingDevice();
};

void TestSimSerial::exchanges_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("peek"); // "" for none
    QTest::addColumn<QString>("reply");

    QTest::newRow("04 01") << hex("0401") << "04 01"
                           << ""
                           << "";
    QTest::newRow("read AI 0, 4 bytes") << kReadAi0 << "01 01 00 00 11 22 33 44"
                                        << ""
                                        << "";
    QTest::newRow("write AI_F 12") << hex("0201010008000c0000040011223344") << "02 01 00 00"
                                   << "peek AI_F 12 4"
                                   << "ok 11223344";
    QTest::newRow("write DI 3 elements at 3")
        << hex("0201010001000300000300 010001") << "02 01 00 00"
        << "peek DI 3 3"
        << "ok 010001";
    QTest::newRow("write DI 2 bits: no data bytes")
        << hex("0201010001000000000200") << "02 01 00 00"
        << "peek DI 0 2"
        << "ok 0000";
    QTest::newRow("write SI slot 4") << hex("020101001c00000400000103414243") << "02 01 00 00"
                                     << "peek SI 1024 4"
                                     << "ok 03414243";
}

void TestSimSerial::exchanges()
{
    QFETCH(QByteArray, request);
    QFETCH(QString, answer);
    QFETCH(QString, peek);
    QFETCH(QString, reply);

    SimProcess sim;
    QVERIFY(sim.start({QStringLiteral("--pty"), QStringLiteral("--no-udp"),
                       QStringLiteral("--poke"), QStringLiteral("AI:0=11223344")}));
    PtyProbe line(sim.ptyPath());
    QVERIFY(line.isOpen());
    QCOMPARE(answerTo(line, request, (answer.size() + 1) / 3), answer);
    if (!peek.isEmpty())
        QCOMPARE(sim.control(peek), reply);
    // Nothing more follows the answer.
    QVERIFY(line.collect(1, 100).isEmpty());
}

void TestSimSerial::frameSplitAcrossWrites()
{
    SimProcess sim;
    QVERIFY(sim.start({QStringLiteral("--pty"), QStringLiteral("--no-udp")}));
    PtyProbe line(sim.ptyPath());
    QVERIFY(line.send(kReadAi0.left(5)));
    QThread::msleep(30);
    QCOMPARE(answerTo(line, kReadAi0.mid(5), 8), QStringLiteral("01 01 00 00 00 00 00 00"));
}

void TestSimSerial::brokenFrameIsDroppedThenResync()
{
    SimProcess sim;
    QVERIFY(sim.start({QStringLiteral("--pty"), QStringLiteral("--no-udp"),
                       QStringLiteral("--poke"), QStringLiteral("AI:0=11223344")}));
    PtyProbe line(sim.ptyPath());
    // Half a request, then silence past the resync time. Were it kept, the next request's bytes
    // would complete it into a read of 7 bytes at another address.
    QVERIFY(line.send(kReadAi0.left(6)));
    QVERIFY(line.collect(1, 400).isEmpty());
    QCOMPARE(answerTo(line, kReadAi0, 8), QStringLiteral("01 01 00 00 11 22 33 44"));
    QVERIFY(line.collect(1, 100).isEmpty());
    // Noise that can never start a frame is dropped at once, with whatever came with it.
    QCOMPARE(answerTo(line, hex("ff") + kReadAi0, 8, 300), QString());
    QCOMPARE(answerTo(line, kReadAi0, 8), QStringLiteral("01 01 00 00 11 22 33 44"));
    QCOMPARE(sim.control(QStringLiteral("stats")),
             QStringLiteral("ok requests=2 answered=2 faulted=0"));
}

void TestSimSerial::chunkedAnswerArrivesInBursts()
{
    // 24 bytes, 8 at a time, 8.3 ms a byte: bursts about 67 ms apart, a gap no reader misses.
    SimProcess sim;
    QVERIFY(
        sim.start({QStringLiteral("--pty"), QStringLiteral("--no-udp"), QStringLiteral("--chunk"),
                   QStringLiteral("8"), QStringLiteral("--pace"), QStringLiteral("1200")}));
    PtyProbe line(sim.ptyPath());
    QVERIFY(line.send(hex("0101010007000000001400"))); // 20 bytes of AI
    const QVector<Arrival> bursts = line.collect(24, 5000);
    QCOMPARE(PtyProbe::joined(bursts).size(), 24);
    QVERIFY2(bursts.size() >= 3, qPrintable(QString::number(bursts.size())));
    for (const Arrival &burst : bursts)
        QVERIFY(burst.bytes.size() <= 8);
    // The last chunk cannot leave before 24 byte times (200 ms).
    QVERIFY2(bursts.last().atMs >= 180, qPrintable(QString::number(bursts.last().atMs)));
}

// As over UDP: the answer to a request that came 50 ms after a late one still comes after it.
void TestSimSerial::lateAnswerHoldsBackTheNext()
{
    SimProcess sim;
    QVERIFY(sim.start({QStringLiteral("--pty"), QStringLiteral("--no-udp"),
                       QStringLiteral("--poke"), QStringLiteral("AI:0=11223344"),
                       QStringLiteral("--late"), QStringLiteral("200")}));
    PtyProbe line(sim.ptyPath());
    QElapsedTimer clock;
    clock.start();
    QVERIFY(line.send(kReadAi0));
    QVERIFY(awaitRequests(sim, 1));
    QCOMPARE(sim.control(QStringLiteral("faults")), QStringLiteral("ok"));
    QThread::msleep(ulong(qMax<qint64>(0, 50 - clock.elapsed())));
    QCOMPARE(answerTo(line, hex("0401"), 10, 3000),
             QStringLiteral("01 01 00 00 11 22 33 44 04 01"));
}

void TestSimSerial::babbleFollowsTheAnswer_data()
{
    QTest::addColumn<QStringList>("babble");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("answer");
    QTest::addColumn<int>("noise"); // bytes 01 after the answer
    QTest::addColumn<QString>("stats");

    const QString read = QStringLiteral("01 01 00 00 11 22 33 44");
    QTest::newRow("--babble 100: 96 bytes at 9600")
        << QStringList{"--babble", "100"} << kReadAi0 << read << 96
        << "requests=1 answered=1 faulted=1";
    QTest::newRow("--babble 200 --babble-baud 1200: 24 bytes")
        << QStringList{"--babble", "200", "--babble-baud", "1200"} << kReadAi0 << read << 24
        << "requests=1 answered=1 faulted=1";
    QTest::newRow("04 01 spared") << QStringList{"--babble", "100"} << hex("0401") << "04 01" << 0
                                  << "requests=1 answered=1 faulted=0";
}

// The noise comes right behind the answer, at its rate, and then stops.
void TestSimSerial::babbleFollowsTheAnswer()
{
    QFETCH(QStringList, babble);
    QFETCH(QByteArray, request);
    QFETCH(QString, answer);
    QFETCH(int, noise);
    QFETCH(QString, stats);

    SimProcess sim;
    QVERIFY(sim.start(QStringList{QStringLiteral("--pty"), QStringLiteral("--no-udp"),
                                  QStringLiteral("--poke"), QStringLiteral("AI:0=11223344")} +
                      babble));
    PtyProbe line(sim.ptyPath());
    QVERIFY(line.send(request));
    const int size = (answer.size() + 1) / 3;
    const QVector<Arrival> bursts = line.collect(size + noise, 5000);
    QString expected = answer;
    for (int i = 0; i < noise; ++i)
        expected += QStringLiteral(" 01");
    QCOMPARE(spacedHex(PtyProbe::joined(bursts)), expected);
    if (noise > 0) {
        // The last noise byte cannot cross a 9600 line before 100 ms, nor a 1200 line before 200.
        QVERIFY2(bursts.last().atMs >= 90, qPrintable(QString::number(bursts.last().atMs)));
    }
    QVERIFY(line.collect(1, 300).isEmpty());
    QCOMPARE(sim.control(QStringLiteral("stats")), QStringLiteral("ok ") + stats);
}

void TestSimSerial::streamPausesForAnExchange_data()
{
    QTest::addColumn<QStringList>("stream");
    QTest::addColumn<int>("maxBefore"); // noise bytes the answer may come behind

    // 300 ms of streaming at 115200 would be 3456 bytes; a pause leaves what was in flight.
    QTest::newRow("--stream 115200") << QStringList{"--stream", "115200"} << 1500;
    // The line is full before the request; what matters is that the answer comes through whole.
    QTest::newRow("--stream-full") << QStringList{"--stream-full"} << (4 << 20);
}

// The line streams; a request pauses it until 20 ms after the answer (300 ms late here), which
// comes whole, and the stream then goes on.
void TestSimSerial::streamPausesForAnExchange()
{
    QFETCH(QStringList, stream);
    QFETCH(int, maxBefore);

    SimProcess sim;
    QVERIFY(sim.start(QStringList{QStringLiteral("--pty"), QStringLiteral("--no-udp"),
                                  QStringLiteral("--poke"), QStringLiteral("AI:0=11223344"),
                                  QStringLiteral("--late"), QStringLiteral("300")} +
                      stream));
    PtyProbe line(sim.ptyPath());
    const QByteArray idle = PtyProbe::joined(line.collect(65536, 150));
    QVERIFY(!idle.isEmpty());
    QCOMPARE(idle.count(char(kNoise)), idle.size());

    QVERIFY(line.send(kReadAi0));
    const QByteArray answer = hex("0101000011223344");
    QByteArray seen;
    QDeadlineTimer deadline(5000);
    // Until the answer and some 100 ms of what follows it are in.
    while (!deadline.hasExpired() && seen.indexOf(answer) < 0)
        seen += PtyProbe::joined(line.collect(1 << 20, 100));
    seen += PtyProbe::joined(line.collect(65536, 150));
    const int at = seen.indexOf(answer);
    QVERIFY2(at >= 0, qPrintable(QString::number(seen.size())));
    QVERIFY2(at <= maxBefore, qPrintable(QString::number(at)));
    const QByteArray before = seen.left(at);
    const QByteArray after = seen.mid(at + answer.size());
    QCOMPARE(before.count(char(kNoise)), before.size());
    QVERIFY(!after.isEmpty());
    QCOMPARE(after.count(char(kNoise)), after.size());
    QCOMPARE(sim.control(QStringLiteral("stats")),
             QStringLiteral("ok requests=1 answered=1 faulted=1"));
}

void TestSimSerial::ptyHangsUpAndReopens_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("command");    // "" for none
    QTest::addColumn<QByteArray>("request"); // what meets the hang-up; empty for none
    QTest::addColumn<QString>("stats");      // once the new pty has answered 04 01 and a read

    QTest::newRow("close-pty") << QStringList{} << "close-pty" << QByteArray()
                               << "requests=3 answered=3 faulted=0";
    QTest::newRow("faults --hangup, a read")
        << QStringList{} << "faults --hangup" << kReadAi0 << "requests=4 answered=3 faulted=1";
    QTest::newRow("--hangup spares 04 01, a read")
        << QStringList{"--hangup"} << "" << kReadAi0 << "requests=4 answered=3 faulted=1";
}

// The line goes away, by command or on a request, and only a new pty serves again; a hang-up
// happens once.
void TestSimSerial::ptyHangsUpAndReopens()
{
    QFETCH(QStringList, args);
    QFETCH(QString, command);
    QFETCH(QByteArray, request);
    QFETCH(QString, stats);

    SimProcess sim;
    QVERIFY(sim.start(QStringList{QStringLiteral("--pty"), QStringLiteral("--no-udp")} + args));
    PtyProbe line(sim.ptyPath());
    QCOMPARE(answerTo(line, hex("0401"), 2), QStringLiteral("04 01"));

    if (!command.isEmpty())
        QCOMPARE(sim.control(command), QStringLiteral("ok"));
    if (!request.isEmpty())
        QVERIFY(line.send(request));
    QVERIFY(line.collect(1, 1000).isEmpty());
    // Not the path's absence: another test's new pty may take its number at once.
    QVERIFY(line.hungUp());
    QVERIFY(sim.control(QStringLiteral("close-pty")).startsWith(QLatin1String("error ")));

    const QString reply = sim.control(QStringLiteral("open-pty"));
    QVERIFY2(reply.startsWith(QLatin1String("ok /dev/")), qPrintable(reply));
    PtyProbe again(reply.mid(3));
    QVERIFY(again.isOpen());
    QCOMPARE(answerTo(again, hex("0401"), 2), QStringLiteral("04 01"));
    QCOMPARE(answerTo(again, kReadAi0, 8), QStringLiteral("01 01 00 00 00 00 00 00"));
    QCOMPARE(sim.control(QStringLiteral("stats")), QStringLiteral("ok ") + stats);
}

void TestSimSerial::servesAnExistingDevice()
{
    // A pseudo-terminal of the test's own stands in for the device: the simulator opens its slave
    // like a serial port, the test plays the driver on the master.
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(master >= 0);
    QVERIFY(grantpt(master) == 0 && unlockpt(master) == 0);
    const QString device = QString::fromLocal8Bit(ptsname(master));

    SimProcess sim;
    const bool started =
        sim.start({QStringLiteral("--device"), device, QStringLiteral("--device-baud"),
                   QStringLiteral("19200"), QStringLiteral("--no-udp")});
    QVERIFY(started);
    QVERIFY(::write(master, kReadAi0.constData(), size_t(kReadAi0.size())) == kReadAi0.size());
    QByteArray answer;
    QDeadlineTimer deadline(3000);
    while (answer.size() < 8 && !deadline.hasExpired()) {
        pollfd waitFor{master, POLLIN, 0};
        if (::poll(&waitFor, 1, 50) <= 0)
            continue;
        char buffer[64];
        const ssize_t got = ::read(master, buffer, sizeof buffer);
        if (got > 0)
            answer += QByteArray(buffer, int(got));
    }
    sim.stop();
    ::close(master);
    QCOMPARE(spacedHex(answer), QStringLiteral("01 01 00 00 00 00 00 00"));
}

QTEST_GUILESS_MAIN(TestSimSerial)
#include "tst_simserial.moc"
