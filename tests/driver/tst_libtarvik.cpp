#include "ExportTCPDLL.h"
#include "libtarvik.h"
#include "messagelog.h"
#include "peers.h"
#include "simprocess.h"
#include "testhex.h"

#include <QDir>
#include <QElapsedTimer>
#include <QSerialPort>
#include <QTest>
#include <QUdpSocket>

// The driver as a host sees it: connection strings, connect and disconnect, the debug command,
// name and version, and what a driver owns and releases.
class LibTarvikTest : public QObject
{
    Q_OBJECT

private slots:
    void newDriver();
    void metaObjects();
    void connectionString_data();
    void connectionString();
    void disconnect();
    void switchingFormsKeepsOneLink_data();
    void switchingFormsKeepsOneLink();
    void stringOfNeitherFormChangesNothing();
    void debugCmd_data();
    void debugCmd();
    void buildDate_data();
    void buildDate();
    void buildInfo();
    void setConnectPar_data();
    void setConnectPar();
    void driversAreIndependent();
    void destructorReleasesTheLink();
    void simulator_data();
    void simulator();
};

namespace {

int openDescriptors()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size();
}

} // namespace

// A new driver is closed and quiet: reads and writes are refused as on a closed link without a
// line in the log (tracing is off until the host turns it on), and there is nothing to
// disconnect or release.
void LibTarvikTest::newDriver()
{
    LibTarvik d;
    MessageLog log;
    QCOMPARE(d.getDriveName(), QStringLiteral("Tarvik"));
    QCOMPARE(d.getversion_number(), QStringLiteral("V1.8.4 202001027"));
    QCOMPARE(d.link.Connection_status(), -3);
    QCOMPARE(d.ReadVariable(QStringLiteral("AI1"), Int16).result, 9);
    CLabelVariable record;
    record.value = QVariant::fromValue(QList<short>{1});
    QCOMPARE(d.WriteVariable(QStringLiteral("AI1"), Int16, record, 1).result, 9);
    QCOMPARE(log.debugs(), QStringList());
    QCOMPARE(d.DisConnectDrive(), -1);
    QCOMPARE(d.DestroyFree(), 1);
}

// What a host may reach by name: the driver behind its base class, and the link's slots.
void LibTarvikTest::metaObjects()
{
    LibTarvik d;
    QCOMPARE(d.qt_metacast("LibTarvik"), static_cast<void *>(&d));
    QCOMPARE(d.qt_metacast("CDriveBaseClass"),
             static_cast<void *>(static_cast<CDriveBaseClass *>(&d)));
    QCOMPARE(d.qt_metacast("QObject"), static_cast<void *>(static_cast<QObject *>(&d)));
    QCOMPARE(d.qt_metacast("CmdTarvik"), nullptr);
    QVERIFY(!d.parent());
    QCOMPARE(d.link.qt_metacast("CmdTarvik"), static_cast<void *>(&d.link));
    for (const char *slot : {"myconnected()", "mydisconnected()", "myreadyRead()",
                             "serialreadyRead()", "TimerTimeOut()"})
        QVERIFY2(d.link.metaObject()->indexOfSlot(slot) >= 0, slot);
}

void LibTarvikTest::connectionString_data()
{
    QTest::addColumn<QString>("conn"); // %udp: the peer's address:port, %pty: its terminal
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("link"); // which link object exists afterwards
    QTest::addColumn<int>("udpPort");  // -1: the peer's port
    QTest::addColumn<int>("baud");

    QTest::newRow("UDP") << "%udp" << 0 << "udp" << -1 << 0;
    QTest::newRow("UDP with a third colon part") << "%udp:1" << -1 << "none" << 0 << 0;
    QTest::newRow("IPv6 literal") << "::1" << -1 << "none" << 0 << 0;
    QTest::newRow("host name") << "localhost:700" << -1 << "udp" << 700 << 0;
    QTest::newRow("port beyond 16 bits") << "127.0.0.1:70000" << -1 << "udp" << 70000 << 0;
    QTest::newRow("serial 9600,8,1") << "%pty,9600,8,1" << 0 << "serial" << 0 << 9600;
    QTest::newRow("serial, baud not a number") << "%pty,x,8,1" << 0 << "serial" << 0 << 0;
    QTest::newRow("serial, five fields") << "%pty,9600,8,1,N" << -1 << "none" << 0 << 0;
    QTest::newRow("serial, three fields") << "%pty,9600,8" << -1 << "none" << 0 << 0;
    QTest::newRow("serial, no such port")
        << "/dev/no-such-tty,9600,8,1" << -1 << "serial" << 0 << 9600;
    QTest::newRow("empty") << "" << -1 << "none" << 0 << 0;
}

void LibTarvikTest::connectionString()
{
    QFETCH(QString, conn);
    QFETCH(int, result);
    QFETCH(QString, link);
    QFETCH(int, udpPort);
    QFETCH(int, baud);

    UdpPeer peer(answerAlways(hex("0401")));
    PtyPeer pty(answerAlways(""));
    conn.replace(QLatin1String("%udp"), peer.connectionString());
    conn.replace(QLatin1String("%pty"), pty.slavePath());
    if (udpPort < 0)
        udpPort = peer.port();

    LibTarvik d;
    MessageLog log;
    QCOMPARE(d.ConnectDrive(conn), result);
    QCOMPARE(QString(d.link.udpSocket ? "udp" : d.link.serialPort ? "serial" : "none"), link);
    QCOMPARE(d.udpPort, udpPort);
    QCOMPARE(d.baudRate, baud);
    QCOMPARE(d.link.Connection_status(), result == 0 || link == "udp" ? 0 : -3);
    if (link == "none")
        QCOMPARE(d.udpHost + d.serialPortName, QString());
}

void LibTarvikTest::disconnect()
{
    UdpPeer peer(answerAlways(hex("0401")));
    PtyPeer pty(answerAlways(""));
    LibTarvik d;
    QCOMPARE(d.DisConnectDrive(), -1); // nothing connected yet

    QCOMPARE(d.ConnectDrive(pty.slavePath() + ",9600,8,1"), 0);
    QCOMPARE(d.DisConnectDrive(), 0);
    QCOMPARE(d.DisConnectDrive(), -1); // already closed

    // Fields that are no numbers: the port opens, and disconnect closes it all the same.
    for (const char *fields : {",x,8,1", ",abc,x,y"}) {
        QCOMPARE(d.ConnectDrive(pty.slavePath() + fields), 0);
        QVERIFY(d.link.serialPort->isOpen());
        QCOMPARE(d.DisConnectDrive(), 0);
        QVERIFY(!d.link.serialPort->isOpen());
        QCOMPARE(d.DisConnectDrive(), -1);
    }
    QCOMPARE(d.DestroyFree(), 0);
    QVERIFY(!d.link.serialPort);

    QCOMPARE(d.ConnectDrive(peer.connectionString()), 0);
    QCOMPARE(d.DisConnectDrive(), 0);
    QCOMPARE(d.DisConnectDrive(), 0); // a UDP close always succeeds
    QCOMPARE(d.DestroyFree(), 0);
    QCOMPARE(d.DisConnectDrive(), -1); // nothing left to close
    QCOMPARE(d.DestroyFree(), 1);
}

void LibTarvikTest::switchingFormsKeepsOneLink_data()
{
    QTest::addColumn<bool>("serialFirst");
    QTest::newRow("serial, then UDP") << true;
    QTest::newRow("UDP, then serial") << false;
}

// The link connected last carries every request, and disconnect closes it: the other form's
// link object is gone, so nothing can leave over it to the previous device.
void LibTarvikTest::switchingFormsKeepsOneLink()
{
    QFETCH(bool, serialFirst);
    UdpPeer peer([](const QByteArray &r) {
        return QVector<PeerReply>{{r == hex("0401") ? r : QByteArray("udp")}};
    });
    PtyPeer pty(answerAlways("serial"));
    const QString udp = peer.connectionString();
    const QString serial = pty.slavePath() + ",9600,8,1";

    LibTarvik d;
    QCOMPARE(d.ConnectDrive(serialFirst ? serial : udp), 0);
    QCOMPARE(d.ConnectDrive(serialFirst ? udp : serial), 0);
    QCOMPARE(bool(d.link.serialPort), !serialFirst);
    QCOMPARE(bool(d.link.udpSocket), serialFirst);
    if (serialFirst) {
        QCOMPARE(d.baudRate + d.dataBits + d.stopBits, 0);
    } else {
        // Serial traces name no UDP device.
        QCOMPARE(d.udpPort, 0);
        QVERIFY(d.link.remoteAddress.isNull());
        QCOMPARE(d.link.remotePort, 0);
    }

    const int udpRequests = peer.requestCount();
    QByteArray reply;
    QCOMPARE(d.link.SendData("frame", 5, reply, 50, serialFirst ? 0 : 6), 0);
    QCOMPARE(reply, QByteArray(serialFirst ? "udp" : "serial"));
    QCOMPARE(pty.settledRequests().contains("frame"), !serialFirst);
    QCOMPARE(peer.settledRequests().size() - udpRequests, serialFirst ? 1 : 0);

    QCOMPARE(d.DisConnectDrive(), 0);
    if (!serialFirst)
        QVERIFY(!d.link.serialPort->isOpen());
}

void LibTarvikTest::stringOfNeitherFormChangesNothing()
{
    PtyPeer pty(answerAlways(""));
    LibTarvik d;
    QCOMPARE(d.ConnectDrive(pty.slavePath() + ",9600,8,1"), 0);
    QCOMPARE(d.ConnectDrive(QStringLiteral("nonsense")), -1);
    QVERIFY(d.link.serialPort && d.link.serialPort->isOpen());
    QCOMPARE(d.baudRate, 9600);
    QCOMPARE(d.serialPortName, pty.slavePath());
}

void LibTarvikTest::debugCmd_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<QString>("answer");
    QTest::addColumn<bool>("traceAfter"); // starting from traces on

    QTest::newRow("0 -> StartDebug") << 0 << "StartDebug" << true;
    QTest::newRow("1 -> StopDebug") << 1 << "StopDebug" << false;
    QTest::newRow("3 -> Tarvik") << 3 << "Tarvik" << true;
    QTest::newRow("7 -> null") << 7 << QString() << true;
    QTest::newRow("-1 -> null") << -1 << QString() << true;
}

void LibTarvikTest::debugCmd()
{
    QFETCH(int, command);
    QFETCH(QString, answer);
    QFETCH(bool, traceAfter);
    LibTarvik d;
    QCOMPARE(d.DebugCmd(DebugStart), QStringLiteral("StartDebug"));
    const QString got = d.DebugCmd(EDebugCmdType(command));
    QCOMPARE(got, answer);
    QCOMPARE(got.isNull(), answer.isNull());
    QCOMPARE(d.link.traceOn, traceAfter);
}

void LibTarvikTest::buildDate_data()
{
    QTest::addColumn<QString>("stamp");
    QTest::addColumn<QDate>("date");
    QTest::newRow("Jan  4 2024") << "Jan  4 2024" << QDate(2024, 1, 4);
    QTest::newRow("Sep  9 2025") << "Sep  9 2025" << QDate(2025, 9, 9);
    QTest::newRow("Feb 29 2024") << "Feb 29 2024" << QDate(2024, 2, 29);
    QTest::newRow("Dec 31 2026") << "Dec 31 2026" << QDate(2026, 12, 31);
    QTest::newRow("not a date") << "soon" << QDate();
}

// Every day of the month gives its date, the first nine included.
void LibTarvikTest::buildDate()
{
    QFETCH(QString, stamp);
    QFETCH(QDate, date);
    QCOMPARE(LibTarvik::parseBuildDate(stamp), date);
}

// The library may be compiled on another day than this test: the answer is checked for its form
// and for a date and time that parse, not against this test's own stamp.
void LibTarvikTest::buildInfo()
{
    LibTarvik d;
    const QString info = d.DebugCmd(DebugBuildInfo);
    const QStringList fields = info.split(QLatin1Char(' '));
    QCOMPARE(fields.size(), 3);
    QCOMPARE(fields.at(0), QStringLiteral("v1.8.4"));
    const QDate date = QDate::fromString(fields.at(1), QStringLiteral("yyyy-MM-dd"));
    QVERIFY2(date.isValid() && date.year() >= 2020, qPrintable(info));
    QVERIFY2(QTime::fromString(fields.at(2), QStringLiteral("hh:mm:ss")).isValid(),
             qPrintable(info));
    QCOMPARE(d.DebugCmd(DebugBuildInfo), info); // the same stamp on every call
}

void LibTarvikTest::setConnectPar_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("stored");
    QTest::newRow("42") << "42" << 42;
    QTest::newRow("007") << "007" << 7;
    QTest::newRow("not a number") << "abc" << 0;
    QTest::newRow("negative") << "-5" << 0;
    QTest::newRow("empty") << "" << 0;
}

void LibTarvikTest::setConnectPar()
{
    QFETCH(QString, text);
    QFETCH(int, stored);
    LibTarvik d;
    QCOMPARE(d.SetConnectPar(text), stored);
    QCOMPARE(d.connectPar, stored);
}

void LibTarvikTest::driversAreIndependent()
{
    UdpPeer peer(answerAlways(hex("0401")));
    CDriveBaseClass *a = getSharedLibrary();
    CDriveBaseClass *b = getSharedLibrary();
    QVERIFY(a && b && a != b);
    QCOMPARE(a->ConnectDrive(peer.connectionString()), 0);
    QCOMPARE(a->DebugCmd(DebugStart), QStringLiteral("StartDebug"));
    LibTarvik *lb = static_cast<LibTarvik *>(b);
    QVERIFY(!lb->link.udpSocket);
    QVERIFY(!lb->link.traceOn);
    QCOMPARE(b->DisConnectDrive(), -1);
    QCOMPARE(b->DestroyFree(), 1);
    delete dynamic_cast<QObject *>(a);
    delete dynamic_cast<QObject *>(b);
}

// Deleting a driver without DestroyFree still closes its port and socket.
void LibTarvikTest::destructorReleasesTheLink()
{
    UdpPeer peer(answerAlways(hex("0401")));
    PtyPeer pty(answerAlways(""));
    const int before = openDescriptors();
    for (int i = 0; i < 20; ++i) {
        auto *d = new LibTarvik;
        QCOMPARE(d->ConnectDrive(pty.slavePath() + ",9600,8,1"), 0);
        QCOMPARE(d->link.UDPConnectDrive(QStringLiteral("127.0.0.1"), peer.port()), 0);
        delete d;
    }
    QCOMPARE(openDescriptors(), before);
}

void LibTarvikTest::simulator_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<int>("result");
    QTest::newRow("UDP -> 0") << "udp" << 0;
    QTest::newRow("pseudo-terminal -> 0") << "pty" << 0;
    QTest::newRow("nobody listening -> -2") << "deaf" << -2;
}

void LibTarvikTest::simulator()
{
    QFETCH(QString, form);
    QFETCH(int, result);
    SimProcess sim;
    QVERIFY(sim.start({QStringLiteral("--pty")}));
    QUdpSocket deaf; // bound, never answers
    QVERIFY(deaf.bind(QHostAddress(QHostAddress::LocalHost), 0));

    LibTarvik d;
    MessageLog log;
    QString conn = sim.udpConnectionString();
    if (form == "pty")
        conn = sim.serialConnectionString(9600);
    if (form == "deaf")
        conn = QStringLiteral("127.0.0.1:%1").arg(deaf.localPort());
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(d.ConnectDrive(conn), result);
    if (result == -2)
        QVERIFY2(clock.elapsed() >= 300, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(d.DisConnectDrive(), 0);
}

QTEST_GUILESS_MAIN(LibTarvikTest)
#include "tst_libtarvik.moc"
