// How many of a burst of warnings the limiter lets through and how many it holds back, within
// one window (an hour, so no burst outlasts it) and with windows that end at once.
#include "warninglimiter.h"

#include <QtTest>

class TestWarningLimiter : public QObject
{
    Q_OBJECT

private slots:
    void burst_data();
    void burst();
};

void TestWarningLimiter::burst_data()
{
    QTest::addColumn<int>("perWindow");
    QTest::addColumn<qint64>("windowMs");
    QTest::addColumn<int>("events");
    QTest::addColumn<int>("allowed");
    QTest::addColumn<quint64>("held");
    const qint64 hour = 3600 * 1000;
    QTest::newRow("10 per hour, 3 events -> 3 allowed, 0 held") << 10 << hour << 3 << 3 << 0ull;
    QTest::newRow("10 per hour, 10 events -> 10 allowed, 0 held") << 10 << hour << 10 << 10 << 0ull;
    QTest::newRow("10 per hour, 25 events -> 10 allowed, 15 held")
        << 10 << hour << 25 << 10 << 15ull;
    QTest::newRow("1 per hour, 4 events -> 1 allowed, 3 held") << 1 << hour << 4 << 1 << 3ull;
    QTest::newRow("0 per hour, 2 events -> 0 allowed, 2 held") << 0 << hour << 2 << 0 << 2ull;
    QTest::newRow("1 per 0 ms, 5 events -> each a new window") << 1 << qint64(0) << 5 << 5 << 0ull;
}

void TestWarningLimiter::burst()
{
    QFETCH(int, perWindow);
    QFETCH(qint64, windowMs);
    QFETCH(int, events);
    QFETCH(int, allowed);
    QFETCH(quint64, held);
    WarningLimiter limiter(perWindow, windowMs);
    int let = 0;
    for (int i = 0; i < events; ++i)
        let += limiter.allow() ? 1 : 0;
    QCOMPARE(let, allowed);
    QCOMPARE(limiter.takeSuppressed(), held);
    QCOMPARE(limiter.takeSuppressed(), 0ull); // the count starts again
}

QTEST_GUILESS_MAIN(TestWarningLimiter)
#include "tst_warninglimiter.moc"
