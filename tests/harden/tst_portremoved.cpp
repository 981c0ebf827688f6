#include "harden.h"
#include "libtarvik.h"
#include "simprocess.h"

#include <QElapsedTimer>
#include <QTest>

// The simulator's pseudo-terminal closed while the driver waits for an answer, as when a USB
// serial adapter is pulled: the access ends with 8 within its wait, a connect to the new
// pseudo-terminal works, and no descriptor is left behind, however often it happens.
class PortRemovedTest : public QObject
{
    Q_OBJECT

private slots:
    void removedMidExchange_data();
    void removedMidExchange();
};

void PortRemovedTest::removedMidExchange_data()
{
    QTest::addColumn<QString>("faults");
    QTest::addColumn<int>("baud");
    QTest::addColumn<bool>("write");
    QTest::addColumn<int>("count"); // Int16 elements, or UInt8 for the trickled answer
    QTest::addColumn<int>("closeAfterMs");
    QTest::addColumn<int>("boundMs"); // the access's own longest wait

    // A read waits 300 ms for the first byte and 50 more; a late answer never comes in time.
    QTest::newRow("read waiting for its answer")
        << "--late 2000" << 9600 << false << 2 << 100 << 350;
    QTest::newRow("write waiting for its answer")
        << "--late 2000" << 9600 << true << 2 << 100 << 350;
    // 404 bytes at 1200 baud take 3.4 s on the line; the port goes after 300 ms of it.
    QTest::newRow("read while its answer trickles")
        << "--pace 1200" << 1200 << false << 400 << 300 << 350 + 3367 + 50;
}

void PortRemovedTest::removedMidExchange()
{
    QFETCH(QString, faults);
    QFETCH(int, baud);
    QFETCH(bool, write);
    QFETCH(int, count);
    QFETCH(int, closeAfterMs);
    QFETCH(int, boundMs);

    SimProcess sim;
    QVERIFY(sim.start(
        {QStringLiteral("--pty"), QStringLiteral("--pattern"), QStringLiteral("--no-udp")}));
    const int descriptors = harden::openDescriptors();
    QString path = sim.ptyPath();
    LibTarvik driver;
    const DataType type = count > 100 ? UInt8 : Int16;

    for (int round = 0; round < 3; ++round) {
        QCOMPARE(driver.ConnectDrive(QStringLiteral("%1,%2,8,1").arg(path).arg(baud)), 0);
        QCOMPARE(sim.control(QStringLiteral("faults ") + faults), QStringLiteral("ok"));

        QElapsedTimer clock;
        clock.start();
        CLabelVariable r;
        {
            harden::DelayedCommand close(sim.controlPort(), "close-pty", closeAfterMs);
            if (write) {
                CLabelVariable record;
                record.value = QVariant::fromValue(QList<short>{1, 2});
                r = driver.WriteVariable(QStringLiteral("AI1"), type, record, count);
            } else {
                r = driver.ReadVariable(QStringLiteral("AI1"), type, count);
            }
        }
        const qint64 elapsed = clock.elapsed();
        qInfo("round %d: result %d after %lld ms", round, r.result, elapsed);
        QCOMPARE(r.result, 8);
        // Generous: a loaded machine may be slow to notice, but the wait must end.
        QVERIFY2(elapsed < boundMs + 1500, qPrintable(QString::number(elapsed)));

        const QString opened = sim.control(QStringLiteral("open-pty"));
        QVERIFY2(opened.startsWith(QLatin1String("ok /")), qPrintable(opened));
        path = opened.mid(3);
        QCOMPARE(sim.control(QStringLiteral("faults")), QStringLiteral("ok"));
        QCOMPARE(driver.ConnectDrive(QStringLiteral("%1,%2,8,1").arg(path).arg(baud)), 0);
        const CLabelVariable after = driver.ReadVariable(QStringLiteral("AI1"), Int16, 2);
        QCOMPARE(after.result, 0);
        QCOMPARE(driver.DisConnectDrive(), 0);
    }
    QCOMPARE(driver.DestroyFree(), 0);
    QCOMPARE(harden::openDescriptors(), descriptors);
}

QTEST_GUILESS_MAIN(PortRemovedTest)
#include "tst_portremoved.moc"
