#include "simprocess.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <QUdpSocket>

// The host program as a user runs it: it loads the library by name, and says what happened in
// words, as a number and in its exit status.
class HostProgramTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void run_data();
    void run();

private:
    SimProcess sim;
    QUdpSocket deaf; // bound, never answers
};

void HostProgramTest::initTestCase()
{
    QVERIFY(sim.start({QStringLiteral("--pty")}));
    QVERIFY(deaf.bind(QHostAddress(QHostAddress::LocalHost), 0));
}

void HostProgramTest::run_data()
{
    QTest::addColumn<QStringList>("args"); // %udp, %pty and %deaf are filled in
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("output"); // a pattern the standard output must match

    QTest::newRow("--help") << QStringList{"--help"} << 0 << "connect CONNECTION";
    QTest::newRow("info") << QStringList{"info"} << 0
                          << "name     Tarvik\nversion  V1.8.4 202001027\nbuild    v1\\.8\\.4 "
                             "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\nlibrary  \\S+";
    QTest::newRow("connect UDP") << QStringList{"connect", "%udp"} << 0
                                 << "^connect 127\\.0\\.0\\.1:\\d+: 0 \\(connected\\)\n"
                                    "disconnect: 0 \\(closed\\)\n$";
    QTest::newRow("connect serial") << QStringList{"connect", "%pty,9600,8,1"} << 0
                                    << "^connect /dev/\\S+,9600,8,1: 0 \\(connected\\)\n";
    QTest::newRow("connect, nobody answers")
        << QStringList{"connect", "%deaf"} << 1 << ": -2 \\(no answer to the link check\\)\n$";
    QTest::newRow("connect, neither form")
        << QStringList{"connect", "somewhere"} << 1 << ": -1 \\(refused";
    QTest::newRow("unknown command") << QStringList{"fly"} << 2 << "^$";
    QTest::newRow("no command") << QStringList{} << 2 << "^$";
    QTest::newRow("no such library")
        << QStringList{"--library", "/nonexistent.so", "info"} << 3 << "^$";
}

void HostProgramTest::run()
{
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, output);

    for (QString &a : args) {
        a.replace(QLatin1String("%udp"), sim.udpConnectionString());
        a.replace(QLatin1String("%pty"), sim.ptyPath());
        a.replace(QLatin1String("%deaf"), QStringLiteral("127.0.0.1:%1").arg(deaf.localPort()));
    }
    QProcess host;
    host.start(QStringLiteral(TARVIK_HOST_PATH), args);
    QVERIFY(host.waitForFinished(10000));
    const QString out = QString::fromUtf8(host.readAllStandardOutput());
    QCOMPARE(host.exitStatus(), QProcess::NormalExit);
    QVERIFY2(host.exitCode() == status, qPrintable(out + host.readAllStandardError()));
    QVERIFY2(QRegularExpression(output).match(out).hasMatch(), qPrintable(out));
}

QTEST_GUILESS_MAIN(HostProgramTest)
#include "tst_hostprogram.moc"
