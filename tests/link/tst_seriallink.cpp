#include "CmdTarvik.h"
#include "linesettings.h"
#include "linklimits.h"
#include "peers.h"
#include "spinning.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <memory>
#include <thread>

// The serial link over a real pseudo-terminal: what an open applies, and when an answer is
// complete, whole or in bursts.
class SerialLinkTest : public QObject
{
    Q_OBJECT

private slots:
    void lineSettings_data();
    void lineSettings();
    void openApplies_data();
    void openApplies();
    void gapSticksAcrossOpens();
    void failedOpen();
    void closeAndReopen();
    void answer_data();
    void answer();
    void staleBytesAreNotTheAnswer();
    void lateAnswerNeverTakenByNextRequest_data();
    void lateAnswerNeverTakenByNextRequest();
    void bytesBetweenExchangesAreDropped();
    void streamingLineStaysBounded();
    void hostEventsRunDuringALongAnswer();
    void deviceGoneCostsNothing();
};

namespace {

QByteArray bytes(int n, char first = 'a')
{
    QByteArray b;
    for (int i = 0; i < n; ++i)
        b.append(char(first + i % 26));
    return b;
}

// A burst-by-burst answer to every request; the link check is answered as a device does.
PeerScript chunked(const QByteArray &data, int chunkSize, int gapMs, int delayMs = 0)
{
    return [=](const QByteArray &request) {
        if (request == QByteArray("\x04\x01", 2))
            return QVector<PeerReply>{{request}};
        PeerReply r;
        r.data = data;
        r.chunkSize = chunkSize;
        r.chunkGapMs = gapMs;
        r.delayMs = delayMs;
        return QVector<PeerReply>{r};
    };
}

} // namespace

void SerialLinkTest::lineSettings_data()
{
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("dataBits");
    QTest::addColumn<int>("stopBits");
    QTest::addColumn<QString>("parity");
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("gap");
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("stops");
    QTest::addColumn<int>("parityMode"); // -1: the port keeps its parity

    const int keep = -1, none = QSerialPort::NoParity, even = QSerialPort::EvenParity,
              odd = QSerialPort::OddParity;
    QTest::newRow("9600,8,1 -> gap 3") << 9600 << 8 << 1 << "" << 9600 << 3 << 8 << 1 << keep;
    QTest::newRow("2400,7,2,e -> gap 10") << 2400 << 7 << 2 << "e" << 2400 << 10 << 7 << 2 << even;
    QTest::newRow("4800,5,3,o -> gap 6") << 4800 << 5 << 3 << "o" << 4800 << 6 << 5 << 3 << odd;
    QTest::newRow("1200 keeps the gap") << 1200 << 6 << 1 << "" << 1200 << 0 << 6 << 1 << keep;
    QTest::newRow("19200 keeps the gap") << 19200 << 8 << 1 << "" << 19200 << 0 << 8 << 1 << keep;
    QTest::newRow("115200 keeps the gap")
        << 115200 << 8 << 1 << "" << 115200 << 0 << 8 << 1 << keep;
    QTest::newRow("300 keeps the rate") << 300 << 8 << 1 << "" << 0 << 0 << 8 << 1 << keep;
    QTest::newRow("0 keeps the rate") << 0 << 8 << 1 << "" << 0 << 0 << 8 << 1 << keep;
    QTest::newRow("data bits 9 kept") << 9600 << 9 << 1 << "" << 9600 << 3 << 0 << 1 << keep;
    QTest::newRow("data bits 4 kept") << 9600 << 4 << 1 << "" << 9600 << 3 << 0 << 1 << keep;
    QTest::newRow("stop bits 0 kept") << 9600 << 8 << 0 << "" << 9600 << 3 << 8 << 0 << keep;
    QTest::newRow("stop bits 4 kept") << 9600 << 8 << 4 << "" << 9600 << 3 << 8 << 0 << keep;
    QTest::newRow("parity NE -> none") << 9600 << 8 << 1 << "NE" << 9600 << 3 << 8 << 1 << none;
    QTest::newRow("parity Even -> none, its n comes first")
        << 9600 << 8 << 1 << "Even" << 9600 << 3 << 8 << 1 << none;
    QTest::newRow("parity EO -> even") << 9600 << 8 << 1 << "EO" << 9600 << 3 << 8 << 1 << even;
    QTest::newRow("parity x kept") << 9600 << 8 << 1 << "x" << 9600 << 3 << 8 << 1 << keep;
}

// What a connection string's fields ask of the port (a pseudo-terminal refuses some of the
// settings themselves, so they are checked here rather than read back from one).
void SerialLinkTest::lineSettings()
{
    QFETCH(int, baud);
    QFETCH(int, dataBits);
    QFETCH(int, stopBits);
    QFETCH(QString, parity);
    QFETCH(int, rate);
    QFETCH(int, gap);
    QFETCH(int, bits);
    QFETCH(int, stops);
    QFETCH(int, parityMode);

    const LineSettings s = LineSettings::from(baud, dataBits, stopBits, parity);
    QCOMPARE(s.baud, rate);
    QCOMPARE(s.gapMs, gap);
    QCOMPARE(s.dataBits, bits);
    QCOMPARE(s.stopBits, stops);
    QCOMPARE(s.hasParity ? int(s.parity) : -1, parityMode);
}

void SerialLinkTest::openApplies_data()
{
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("gap");
    // A fresh port runs at 9600 baud and the gap starts at 2 ms.
    QTest::newRow("9600 -> gap 3") << 9600 << 9600 << 3;
    QTest::newRow("2400 -> gap 10") << 2400 << 2400 << 10;
    QTest::newRow("4800 -> gap 6") << 4800 << 4800 << 6;
    QTest::newRow("1200 -> gap 2") << 1200 << 1200 << 2;
    QTest::newRow("115200 -> gap 2") << 115200 << 115200 << 2;
    QTest::newRow("300 -> rate kept") << 300 << 9600 << 2;
}

void SerialLinkTest::openApplies()
{
    QFETCH(int, baud);
    QFETCH(int, rate);
    QFETCH(int, gap);

    PtyPeer pty(answerAlways(""));
    QVERIFY(pty.isOpen());
    CmdTarvik link;
    QCOMPARE(link.serialConnectDrive(pty.slavePath(), baud, 8, 1, QString()), 0);
    QVERIFY(link.serialPort->isOpen());
    QCOMPARE(int(link.serialPort->baudRate()), rate);
    QCOMPARE(link.serialPort->flowControl(), QSerialPort::NoFlowControl);
    QCOMPARE(link.gapMs, gap);
    QVERIFY(link.gapTimer);
    QVERIFY(!link.gapTimer->isSingleShot());
    QVERIFY(!link.gapTimer->isActive());
}

// Only 2400, 4800 and 9600 baud set the gap; a later open at another rate keeps it.
void SerialLinkTest::gapSticksAcrossOpens()
{
    PtyPeer pty(answerAlways(""));
    CmdTarvik link;
    QCOMPARE(link.serialConnectDrive(pty.slavePath(), 2400, 8, 1, QString()), 0);
    QSerialPort *port = link.serialPort;
    QTimer *timer = link.gapTimer;
    QCOMPARE(link.serialConnectDrive(pty.slavePath(), 115200, 8, 1, QString()), 0);
    QCOMPARE(link.gapMs, 10);
    QCOMPARE(link.serialPort, port); // objects are made once and reused
    QCOMPARE(link.gapTimer, timer);
}

void SerialLinkTest::failedOpen()
{
    CmdTarvik link;
    QCOMPARE(link.serialConnectDrive(QStringLiteral("/dev/no-such-tty"), 9600, 8, 1, QString()),
             -1);
    QVERIFY(link.serialPort);
    QVERIFY(!link.serialPort->isOpen());
    QVERIFY(!link.gapTimer);
    QCOMPARE(link.gapMs, 2); // nothing applied
    QCOMPARE(link.Connection_status(), -3);
    QCOMPARE(link.DestroyFree(), 0);
    QVERIFY(!link.serialPort);
    QCOMPARE(link.DestroyFree(), 1);
}

void SerialLinkTest::closeAndReopen()
{
    PtyPeer pty(answerAlways(""));
    CmdTarvik link;
    QCOMPARE(link.serialDisConnectDrive(), -1);
    QCOMPARE(link.serialConnectDrive(pty.slavePath(), 9600, 8, 1, QString()), 0);
    QCOMPARE(link.serialDisConnectDrive(), 0);
    QCOMPARE(link.serialDisConnectDrive(), -1);
    QVERIFY(link.serialPort);
    QCOMPARE(link.serialConnectDrive(pty.slavePath(), 9600, 8, 1, QString()), 0);
    QCOMPARE(link.Connection_status(), 0);
}

void SerialLinkTest::answer_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("chunkSize");
    QTest::addColumn<int>("chunkGapMs");
    QTest::addColumn<int>("expectedLength");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("reply");

    const QByteArray b20 = bytes(20), b48 = bytes(48);
    QTest::newRow("whole, 20 expected") << b20 << 0 << 0 << 20 << 0 << b20;
    // A UART FIFO at 9600 baud hands over 8 bytes every ~8 ms, far apart for a 3-ms gap.
    QTest::newRow("FIFO chunks of 8 every 9 ms, 20 expected") << b20 << 8 << 9 << 20 << 0 << b20;
    QTest::newRow("trickle 1 byte every ms, 24 expected")
        << bytes(24) << 1 << 1 << 24 << 0 << bytes(24);
    QTest::newRow("USB chunks of 16 every 20 ms, 48 expected") << b48 << 16 << 20 << 48 << 0 << b48;
    // Bytes right behind an answer: it is not trusted, and the line is drained.
    QTest::newRow("oversized, 12 expected") << b20 << 0 << 0 << 12 << -4 << QByteArray();
    QTest::newRow("a 13th byte 1 ms behind 12 expected")
        << bytes(13) << 12 << 1 << 12 << -4 << QByteArray();
    QTest::newRow("a 13th byte 30 ms behind 12 expected")
        << bytes(13) << 12 << 30 << 12 << 0 << bytes(12);
    QTest::newRow("short: 6 of 12 come") << bytes(6) << 0 << 0 << 12 << 0 << bytes(6);
    QTest::newRow("unknown length, whole") << b20 << 0 << 0 << 0 << 0 << b20;
    QTest::newRow("unknown length, a pause ends it") << b20 << 10 << 120 << 0 << 0 << bytes(10);
    QTest::newRow("silent") << QByteArray() << 0 << 0 << 20 << -1 << QByteArray();
}

void SerialLinkTest::answer()
{
    QFETCH(QByteArray, data);
    QFETCH(int, chunkSize);
    QFETCH(int, chunkGapMs);
    QFETCH(int, expectedLength);
    QFETCH(int, result);
    QFETCH(QByteArray, reply);

    PtyPeer pty(chunked(data, chunkSize, chunkGapMs));
    CmdTarvik link;
    QCOMPARE(link.serialConnectDrive(pty.slavePath(), 9600, 8, 1, QString()), 0);
    QByteArray got;
    // A budget well beyond the pauses between chunks: a loaded machine may hold the peer back.
    QCOMPARE(
        link.SendData(QByteArray::fromHex("0101010007000000001400"), 11, got, 250, expectedLength),
        result);
    QCOMPARE(got, reply);
    QCOMPARE(pty.requests(), QList<QByteArray>{QByteArray::fromHex("0101010007000000001400")});
    QVERIFY(link.recvBuffer.isEmpty());
    QVERIFY(!link.gapTimer->isActive());
}

void SerialLinkTest::staleBytesAreNotTheAnswer()
{
    PtyPeer pty(chunked("fresh", 0, 0, 5));
    CmdTarvik link;
    QCOMPARE(link.serialConnectDrive(pty.slavePath(), 9600, 8, 1, QString()), 0);
    QSignalSpy arrived(link.serialPort, &QSerialPort::readyRead);
    pty.write("stale");
    QVERIFY(arrived.wait(5000)); // the stale bytes reach the port before the request leaves
    QByteArray got;
    QCOMPARE(link.SendData("req", 3, got, 50, 5), 0);
    QCOMPARE(got, QByteArray("fresh"));
}

void SerialLinkTest::lateAnswerNeverTakenByNextRequest_data()
{
    QTest::addColumn<QByteArray>("late");
    QTest::addColumn<int>("chunkSize");
    QTest::addColumn<int>("chunkGapMs");
    QTest::newRow("whole") << QByteArray("re:slow") << 0 << 0;
    // In FIFO bursts at 9600 baud, one of them ending 04 01: not the link check's answer, which
    // comes only once the line has been quiet for longer than such a pause.
    QTest::newRow("bursts, one ending 04 01") << QByteArray::fromHex("61620401636465") << 4 << 8;
}

// The answer to a request that gave up comes while the next request waits: the next request
// went out only after the link check, so the late answer is discarded before its own.
void SerialLinkTest::lateAnswerNeverTakenByNextRequest()
{
    QFETCH(QByteArray, late);
    QFETCH(int, chunkSize);
    QFETCH(int, chunkGapMs);
    PtyPeer pty([=](const QByteArray &request) {
        PeerReply r;
        r.data = request == QByteArray("\x04\x01", 2) ? request : "re:" + request;
        if (request == "slow")
            r = PeerReply{late, 450, chunkSize, chunkGapMs};
        return QVector<PeerReply>{r};
    });
    CmdTarvik link;
    QCOMPARE(link.serialConnectDrive(pty.slavePath(), 9600, 8, 1, QString()), 0);
    QByteArray got;
    QCOMPARE(link.SendData("slow", 4, got, 50, 7), -1);
    QCOMPARE(link.SendData("next", 4, got, 50, 7), 0);
    QCOMPARE(got, QByteArray("re:next"));
}

// Bytes that come while nobody waits belong to no exchange: they are dropped, never kept for
// the next one, and the next exchange first checks the link.
void SerialLinkTest::bytesBetweenExchangesAreDropped()
{
    PtyPeer pty(chunked("fresh", 0, 0));
    CmdTarvik link;
    QCOMPARE(link.serialConnectDrive(pty.slavePath(), 9600, 8, 1, QString()), 0);
    pty.write("first");
    QTRY_COMPARE_WITH_TIMEOUT(link.droppedBytes(), quint64(5), 2000);
    QVERIFY(link.recvBuffer.isEmpty());
    QVERIFY(link.needsResync());
    QByteArray got;
    QCOMPARE(link.SendData("req", 3, got, 50, 5), 0);
    QCOMPARE(got, QByteArray("fresh"));
    QCOMPARE(pty.requests(), (QList<QByteArray>{QByteArray("\x04\x01", 2), "req"}));
}

// A line that streams without a pause while the host is idle costs no memory.
void SerialLinkTest::streamingLineStaysBounded()
{
    PtyPeer pty(chunked("", 0, 0));
    CmdTarvik link;
    QCOMPARE(link.serialConnectDrive(pty.slavePath(), 115200, 8, 1, QString()), 0);
    std::atomic<bool> streaming{true}, stopped{false};
    std::thread streamer([&] {
        const QByteArray block(4096, '\x01');
        while (streaming)
            pty.write(block);
        stopped = true;
    });
    QElapsedTimer clock;
    clock.start();
    while (link.droppedBytes() < (8u << 20) && clock.elapsed() < 20000)
        link.mysleep(10);
    const qint64 held = link.serialPort->bytesAvailable() + link.recvBuffer.size();
    // The streamer may be blocked on a full line: keep reading until it has stopped.
    streaming = false;
    while (!stopped && clock.elapsed() < 30000)
        link.mysleep(10);
    streamer.join();
    QVERIFY2(link.droppedBytes() >= (8u << 20), "the stream did not get through");
    QVERIFY2(held <= 64 * 1024, qPrintable(QString::number(held)));
}

// While a long answer trickles in, the host's own timers keep running.
void SerialLinkTest::hostEventsRunDuringALongAnswer()
{
    PtyPeer pty(chunked(bytes(200), 1, 2));
    CmdTarvik link;
    // At 1200 baud the 200 bytes may take 1.7 s: the trickle of 400 ms is well inside the wait.
    QCOMPARE(link.serialConnectDrive(pty.slavePath(), 1200, 8, 1, QString()), 0);
    int ticks = 0;
    QTimer host;
    QObject::connect(&host, &QTimer::timeout, [&ticks] { ++ticks; });
    host.start(10);
    QByteArray got;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(link.SendData("req", 3, got, 50, 200), 0);
    const qint64 took = clock.elapsed();
    QCOMPARE(got, bytes(200));
    // A 10-ms timer ticks about once every 10 ms of the answer; a few may be lost to load.
    QVERIFY2(ticks >= took / 40,
             qPrintable(QStringLiteral("%1 ticks in %2 ms").arg(ticks).arg(took)));
}

// A device that goes away (a pulled adapter, a closed pseudo-terminal) leaves no busy loop;
// requests end at once with no answer, and closing and a new connect work.
void SerialLinkTest::deviceGoneCostsNothing()
{
    auto pty = std::make_unique<PtyPeer>(chunked("fresh", 0, 0));
    CmdTarvik link;
    QCOMPARE(link.serialConnectDrive(pty->slavePath(), 9600, 8, 1, QString()), 0);
    // Answered exchanges first: what one takes on this machine in this run, and once through
    // the paths of the wait, so that what runs only the first time (an emulator translating
    // code, say) is no cost of being idle.
    QByteArray got;
    qint64 answered = -1;
    for (int i = 0; i < 5; ++i) {
        got.clear();
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(link.SendData("req", 3, got, 50, 5), 0);
        const qint64 took = clock.elapsed();
        QCOMPARE(got, QByteArray("fresh"));
        answered = answered < 0 ? took : qMin(answered, took);
    }
    link.mysleep(10);

    pty.reset();
    // A link that spins on the hung-up line burns as much of the 500 ms as a loop that never
    // sleeps gets on this machine in the same run; a sleeping one a small part of it.
    const double spinning = spinningCpuPerMs();
    QElapsedTimer idle;
    idle.start();
    const qint64 before = cpuMicroseconds();
    link.mysleep(500);
    const qint64 used = cpuMicroseconds() - before;
    const qint64 spun = qint64(spinning * double(idle.elapsed()));
    qInfo("idle %lld ms with the device gone: %lld us of CPU; spinning as long: %lld us",
          idle.elapsed(), used, spun);
    QVERIFY2(5 * used < spun, qPrintable(QStringLiteral("%1 us of CPU while idle, %2 us "
                                                        "spinning")
                                             .arg(used)
                                             .arg(spun)));
    QCOMPARE(link.Connection_status(), 0);
    // At once: within an answered exchange's time and half the ready wait, where waiting for an
    // answer would take the whole 350-ms wait, which no CPU speed shortens. The quickest of a
    // few tries leaves out a moment a loaded machine stalls the test.
    const qint64 bound = answered + linklimits::serialReadyWaitMs / 2;
    qint64 gone = -1;
    for (int tries = 0; tries < 3 && (gone < 0 || gone >= bound); ++tries) {
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(link.SendData("req", 3, got, 50, 5), -1);
        const qint64 took = clock.elapsed();
        gone = gone < 0 ? took : qMin(gone, took);
    }
    qInfo("a request with the device gone: %lld ms; an answered one: %lld ms", gone, answered);
    QVERIFY2(gone < bound,
             qPrintable(QStringLiteral("%1 ms against %2 ms answered").arg(gone).arg(answered)));
    QCOMPARE(link.serialDisConnectDrive(), 0);
    QCOMPARE(link.serialDisConnectDrive(), -1);

    PtyPeer back(chunked("fresh", 0, 0));
    QCOMPARE(link.serialConnectDrive(back.slavePath(), 9600, 8, 1, QString()), 0);
    got.clear();
    QCOMPARE(link.SendData("req", 3, got, 50, 5), 0);
    QCOMPARE(got, QByteArray("fresh"));
}

QTEST_GUILESS_MAIN(SerialLinkTest)
#include "tst_seriallink.moc"
