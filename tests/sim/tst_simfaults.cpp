// Fault rules the process tests cannot see on one link: which faults each transport ignores, the
// decoy's content, link checks, and garbage never passing for an answer.
#include "faults.h"
#include "wire.h"

#include <QtTest>

using namespace sim;

namespace {

const QByteArray kAnswer = QByteArray::fromHex("010100001122334455");

Delivery planFor(const QString &options, Transport transport, bool linkCheck = false)
{
    FaultSet faults;
    QString why;
    if (!parseFaults(options.split(QLatin1Char(' ')), &faults, &why))
        qFatal("bad fault options '%s': %s", qPrintable(options), qPrintable(why));
    FaultInjector injector;
    injector.setFaults(faults);
    return injector.plan(kAnswer, linkCheck, transport);
}

} // namespace

Q_DECLARE_METATYPE(Transport)

class TestSimFaults : public QObject
{
    Q_OBJECT

private slots:
    void plan_data();
    void plan();
    void randomPicksFitTheLink_data();
    void randomPicksFitTheLink();
    void hangUpHappensOnce();
    void garbageNeverPassesForTheAnswer();
};

void TestSimFaults::plan_data()
{
    QTest::addColumn<QString>("options");
    QTest::addColumn<Transport>("transport");
    QTest::addColumn<bool>("linkCheck");
    // bytes / decoy / sender / pace baud x chunk [/ babble ms@baud] [/ hang up] [/ faulted]
    QTest::addColumn<QString>("plan");

    const QString answer = hexText(kAnswer);
    QTest::newRow("serial ignores --foreign --decoy --other-port")
        << "--foreign --decoy --other-port" << Transport::Serial << false
        << answer + " /  / 0 / 0x0";
    QTest::newRow("UDP ignores --pace --chunk")
        << "--pace 1200 --chunk 4" << Transport::Udp << false << answer + " /  / 0 / 0x0";
    QTest::newRow("UDP ignores --babble --stream --stream-full")
        << "--babble 30 --stream 9600 --stream-full" << Transport::Udp << false
        << answer + " /  / 0 / 0x0";
    QTest::newRow("UDP ignores --hangup")
        << "--hangup" << Transport::Udp << false << answer + " /  / 0 / 0x0";
    QTest::newRow("--hangup: no answer") << "--hangup --late 50" << Transport::Serial << false
                                         << answer + " /  / 0 / 0x0 / hang up / faulted";
    QTest::newRow("--stream: the answer is untouched, and faulted")
        << "--stream 9600" << Transport::Serial << false << answer + " /  / 0 / 0x0 / faulted";
    QTest::newRow("--chunk 8 alone paces at 9600")
        << "--chunk 8" << Transport::Serial << false << answer + " /  / 0 / 9600x8 / faulted";
    QTest::newRow("--babble 30 at 9600") << "--babble 30" << Transport::Serial << false
                                         << answer + " /  / 0 / 0x0 / babble 30@9600 / faulted";
    QTest::newRow("--babble 5 --babble-baud 115200")
        << "--babble 5 --babble-baud 115200" << Transport::Serial << false
        << answer + " /  / 0 / 0x0 / babble 5@115200 / faulted";
    QTest::newRow("--decoy --wrong-seq: decoy from the real answer")
        << "--decoy --wrong-seq" << Transport::Udp << false
        << "01 02 00 00 11 22 33 44 55 / 01 01 00 00 ee ee ee ee ee / 0 / 0x0 / faulted";
    QTest::newRow("--foreign wins over --other-port")
        << "--foreign --other-port" << Transport::Udp << false
        << answer + " /  / 1 / 0x0 / faulted";
    QTest::newRow("link check spared") << "--wrong-seq --oversize 1 --babble 30"
                                       << Transport::Serial << true << answer + " /  / 0 / 0x0";
    QTest::newRow("link check with --fault-link-check")
        << "--wrong-seq --fault-link-check" << Transport::Udp << true
        << "01 02 00 00 11 22 33 44 55 /  / 0 / 0x0 / faulted";
}

void TestSimFaults::plan()
{
    QFETCH(QString, options);
    QFETCH(Transport, transport);
    QFETCH(bool, linkCheck);
    QFETCH(QString, plan);

    const Delivery d = planFor(options, transport, linkCheck);
    QString seen = QStringLiteral("%1 / %2 / %3 / %4x%5")
                       .arg(hexText(d.bytes), hexText(d.decoy))
                       .arg(int(d.sender))
                       .arg(d.paceBaud)
                       .arg(d.chunk);
    if (d.babbleMs > 0)
        seen += QStringLiteral(" / babble %1@%2").arg(d.babbleMs).arg(d.babbleBaud);
    if (d.hangUp && !d.send)
        seen += QStringLiteral(" / hang up");
    if (d.faulted)
        seen += QStringLiteral(" / faulted");
    QCOMPARE(seen, plan);
}

// Every fault --fault-rate can pick shows on the link it picks for, and only there.
void TestSimFaults::randomPicksFitTheLink_data()
{
    QTest::addColumn<Transport>("transport");
    QTest::addColumn<bool>("babble");

    QTest::newRow("UDP") << Transport::Udp << false;
    QTest::newRow("serial") << Transport::Serial << true;
}

void TestSimFaults::randomPicksFitTheLink()
{
    QFETCH(Transport, transport);
    QFETCH(bool, babble);

    int babbled = 0;
    for (quint32 seed = 1; seed <= 200; ++seed) {
        const Delivery d = planFor(QStringLiteral("--fault-rate 1 --seed %1").arg(seed), transport);
        QVERIFY(d.faulted);
        babbled += d.babbleMs == 30 && d.babbleBaud == 9600 ? 1 : 0;
    }
    QCOMPARE(babbled > 0, babble);
}

void TestSimFaults::hangUpHappensOnce()
{
    FaultSet faults;
    QString why;
    QVERIFY(parseFaults({QStringLiteral("--hangup")}, &faults, &why));
    FaultInjector injector;
    injector.setFaults(faults);
    QVERIFY(!injector.plan(kAnswer, true, Transport::Serial).hangUp); // link checks spared
    QVERIFY(injector.plan(kAnswer, false, Transport::Serial).hangUp);
    const Delivery next = injector.plan(kAnswer, false, Transport::Serial);
    QVERIFY(!next.hangUp && next.send && !next.faulted);
}

void TestSimFaults::garbageNeverPassesForTheAnswer()
{
    for (quint32 seed = 1; seed <= 300; ++seed) {
        const Delivery d = planFor(QStringLiteral("--garbage --seed %1").arg(seed), Transport::Udp);
        QCOMPARE(d.bytes.size(), kAnswer.size());
        QVERIFY2(d.bytes.at(0) != kAnswer.at(0), qPrintable(hexText(d.bytes)));
    }
}

QTEST_APPLESS_MAIN(TestSimFaults)
#include "tst_simfaults.moc"
