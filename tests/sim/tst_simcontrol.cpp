// The simulator's command line, start-up lines, control commands and exit.
#include "probes.h"
#include "simprocess.h"

#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>

namespace {

const QString kSim = QStringLiteral(TARVIK_SIM_PATH);

// Lines up to and including "ready", or all there were when it exits or the time is up.
QStringList startUpLines(QProcess &process, int timeoutMs = 5000)
{
    QStringList lines;
    QDeadlineTimer deadline(timeoutMs);
    while (!lines.contains(QLatin1String("ready")) && !deadline.hasExpired()) {
        while (process.canReadLine())
            lines << QString::fromUtf8(process.readLine()).trimmed();
        if (lines.contains(QLatin1String("ready")) || process.state() == QProcess::NotRunning)
            break;
        process.waitForReadyRead(50);
    }
    return lines;
}

} // namespace

class TestSimControl : public QObject
{
    Q_OBJECT

private slots:
    void startUpLines_data();
    void startUpLines();
    void badStartExitsNonZero_data();
    void badStartExitsNonZero();
    void busyPortExitsNonZero();
    void signalEndsCleanly_data();
    void signalEndsCleanly();
    void commands_data();
    void commands();
    void resetRestoresPattern();
    void quitEnds();
    void servesIpv6Loopback();
};

void TestSimControl::startUpLines_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("patterns");

    const QString udp = QStringLiteral("^udp 127\\.0\\.0\\.1:[1-9]\\d*$");
    const QString control = QStringLiteral("^control 127\\.0\\.0\\.1:[1-9]\\d*$");
    const QString pty = QStringLiteral("^pty /dev/\\S+$");
    const QString ready = QStringLiteral("^ready$");
    QTest::newRow("udp") << QStringList{} << QStringList{udp, control, ready};
    QTest::newRow("--pty") << QStringList{"--pty"} << QStringList{udp, control, pty, ready};
    QTest::newRow("--no-udp --pty")
        << QStringList{"--no-udp", "--pty"} << QStringList{control, pty, ready};
}

void TestSimControl::startUpLines()
{
    QFETCH(QStringList, args);
    QFETCH(QStringList, patterns);

    QProcess process;
    process.start(kSim, QStringList{"--port", "0", "--control-port", "0"} + args);
    const QStringList lines = ::startUpLines(process);
    process.terminate();
    process.waitForFinished(3000);
    QCOMPARE(lines.size(), patterns.size());
    for (int i = 0; i < lines.size(); ++i)
        QVERIFY2(QRegularExpression(patterns[i]).match(lines[i]).hasMatch(), qPrintable(lines[i]));
}

void TestSimControl::badStartExitsNonZero_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");

    QTest::newRow("--address 10.0.0.1") << QStringList{"--address", "10.0.0.1"} << "loopback";
    QTest::newRow("--address 0.0.0.0") << QStringList{"--address", "0.0.0.0"} << "loopback";
    QTest::newRow("--address localhost") << QStringList{"--address", "localhost"} << "loopback";
    QTest::newRow("--port 70000") << QStringList{"--port", "70000"} << "--port";
    QTest::newRow("--poke AI:0=1") << QStringList{"--poke", "AI:0=1"} << "--poke";
    QTest::newRow("--load missing") << QStringList{"--load", "/nonexistent/pokes"} << "cannot";
    QTest::newRow("--late soon") << QStringList{"--late", "soon"} << "--late";
    QTest::newRow("--stream 4000001") << QStringList{"--stream", "4000001"} << "--stream";
    QTest::newRow("--babble-baud 0") << QStringList{"--babble-baud", "0"} << "--babble-baud";
    QTest::newRow("--device missing")
        << QStringList{"--device", "/dev/nonexistent-tty"} << "cannot open";
    QTest::newRow("--bogus") << QStringList{"--bogus"} << "bogus";
    QTest::newRow("--device-baud alone") << QStringList{"--device-baud", "19200"} << "--device";
    QTest::newRow("--no-udp alone") << QStringList{"--no-udp"} << "--pty or --device";
    QTest::newRow("stray") << QStringList{"stray"} << "stray";
}

void TestSimControl::badStartExitsNonZero()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);

    QProcess process;
    process.start(kSim, QStringList{"--port", "0"} + args);
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QVERIFY(process.exitCode() != 0);
    const QString errors = QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(errors.contains(message), qPrintable(errors));
    QVERIFY(!process.readAllStandardOutput().contains("ready"));
}

void TestSimControl::busyPortExitsNonZero()
{
    QUdpSocket taken;
    QVERIFY(taken.bind(QHostAddress(QHostAddress::LocalHost), 0));
    QProcess process;
    process.start(kSim, {"--port", QString::number(taken.localPort())});
    QVERIFY(process.waitForFinished(5000));
    QVERIFY(process.exitCode() != 0);
    QVERIFY(process.readAllStandardError().contains("cannot bind"));
}

void TestSimControl::signalEndsCleanly_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void TestSimControl::signalEndsCleanly()
{
    QFETCH(int, signalNumber);
    SimProcess sim;
    QVERIFY(sim.start({"--pty"}));
    PtyProbe line(sim.ptyPath());
    QVERIFY(line.isOpen());
    QVERIFY(::kill(pid_t(sim.process().processId()), signalNumber) == 0);
    QVERIFY(sim.process().waitForFinished(5000));
    QCOMPARE(sim.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.process().exitCode(), 0);
    // The line hangs up. (Its path may already name another test's new pty.)
    line.collect(1, 1000);
    QVERIFY(line.hungUp());
}

void TestSimControl::commands_data()
{
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<QStringList>("replies");

    QTest::newRow("poke AI 4 0102, peek AI 3 4")
        << QStringList{"poke AI 4 0102", "peek AI 3 4"} << QStringList{"ok", "ok 00010200"};
    QTest::newRow("poke by code and 0x offset")
        << QStringList{"poke 29 0x10 ff", "peek Custom 16 1"} << QStringList{"ok", "ok ff"};
    QTest::newRow("stats at start")
        << QStringList{"stats"} << QStringList{"ok requests=0 answered=0 faulted=0"};
    QTest::newRow("clients before any request, and a bad span")
        << QStringList{"clients 1000", "clients soon", "writes"}
        << QStringList{"ok 0", "error", "ok 0"};
    QTest::newRow("faults --late 100, faults")
        << QStringList{"faults --late 100", "faults"} << QStringList{"ok", "ok"};
    QTest::newRow("unknown") << QStringList{"jump"} << QStringList{"error"};
    QTest::newRow("empty") << QStringList{""} << QStringList{"error"};
    QTest::newRow("peek AI 0 (no length)") << QStringList{"peek AI 0"} << QStringList{"error"};
    QTest::newRow("peek ai 0 4 (case)") << QStringList{"peek ai 0 4"} << QStringList{"error"};
    QTest::newRow("peek AI 0 0") << QStringList{"peek AI 0 0"} << QStringList{"error"};
    QTest::newRow("peek AI 0 99999") << QStringList{"peek AI 0 99999"} << QStringList{"error"};
    QTest::newRow("poke AI 0 zz") << QStringList{"poke AI 0 zz"} << QStringList{"error"};
    // The last byte of an area's capacity (2^24 + 4096 bytes) and one past it.
    QTest::newRow("peek, poke at the end")
        << QStringList{"peek AI 16781311 1", "poke AI 16781311 01"} << QStringList{"ok 00", "ok"};
    QTest::newRow("peek, poke past the end")
        << QStringList{"peek AI 16781311 2", "poke AI 16781311 0102"}
        << QStringList{"error", "error"};
    QTest::newRow("faults --late x") << QStringList{"faults --late x"} << QStringList{"error"};
    QTest::newRow("faults: every line fault")
        << QStringList{"faults --babble 30 --babble-baud 115200 --stream 4000000 --stream-full "
                       "--hangup"}
        << QStringList{"ok"};
    QTest::newRow("faults --babble 60001")
        << QStringList{"faults --babble 60001"} << QStringList{"error"};
    QTest::newRow("faults --stream 49")
        << QStringList{"faults --stream 49"} << QStringList{"error"};
    QTest::newRow("faults --hangup 1") << QStringList{"faults --hangup 1"} << QStringList{"error"};
    QTest::newRow("a share without its fault")
        << QStringList{"faults --late-rate 0.5", "faults --duplicate-rate 0.5",
                       "faults --duplicate 20 --duplicate-rate 0.5", "repeats"}
        << QStringList{"error", "error", "ok", "ok due=0"};
    QTest::newRow("close-pty without pty") << QStringList{"close-pty"} << QStringList{"error"};
}

void TestSimControl::commands()
{
    QFETCH(QStringList, commands);
    QFETCH(QStringList, replies);

    SimProcess sim;
    QVERIFY(sim.start());
    for (int i = 0; i < commands.size(); ++i) {
        const QString reply = sim.control(commands[i]);
        if (replies[i] == QLatin1String("error"))
            QVERIFY2(reply.startsWith(QLatin1String("error ")), qPrintable(reply));
        else
            QCOMPARE(reply, replies[i]);
    }
}

void TestSimControl::resetRestoresPattern()
{
    SimProcess sim;
    QVERIFY(sim.start({"--pattern"}));
    QCOMPARE(sim.control("peek AI 0 2"), QStringLiteral("ok 0510"));
    QCOMPARE(sim.control("poke AI 0 ffff"), QStringLiteral("ok"));
    QCOMPARE(sim.control("poke AO_F 40000 01"), QStringLiteral("ok"));
    UdpProbe probe;
    QCOMPARE(probe.exchange(QByteArray::fromHex("0401"), sim.udpPort()).bytes.size(), 2);
    QCOMPARE(sim.control("reset"), QStringLiteral("ok"));
    QCOMPARE(sim.control("peek AI 0 2"), QStringLiteral("ok 0510"));
    QCOMPARE(sim.control("peek AO_F 40000 1"), QStringLiteral("ok 00"));
    QCOMPARE(sim.control("stats"), QStringLiteral("ok requests=0 answered=0 faulted=0"));
}

void TestSimControl::quitEnds()
{
    SimProcess sim;
    QVERIFY(sim.start());
    QCOMPARE(sim.control("quit"), QStringLiteral("ok"));
    QVERIFY(sim.process().waitForFinished(5000));
    QCOMPARE(sim.process().exitCode(), 0);
}

void TestSimControl::servesIpv6Loopback()
{
    QUdpSocket check;
    if (!check.bind(QHostAddress(QHostAddress::LocalHostIPv6), 0))
        QSKIP("no IPv6 loopback on this machine");
    SimProcess sim;
    QVERIFY(sim.start({"--address", "::1"}));
    UdpProbe probe{QHostAddress(QHostAddress::LocalHostIPv6)};
    QCOMPARE(probe.exchange(QByteArray::fromHex("0401"), sim.udpPort()).bytes,
             QByteArray::fromHex("0401"));
    QCOMPARE(sim.control("stats"), QStringLiteral("ok requests=1 answered=1 faulted=0"));
    QCOMPARE(sim.control("clients 60000"), QStringLiteral("ok 1"));
    QVERIFY(sim.control("faults --foreign").startsWith(QLatin1String("error ")));
}

QTEST_GUILESS_MAIN(TestSimControl)
#include "tst_simcontrol.moc"
