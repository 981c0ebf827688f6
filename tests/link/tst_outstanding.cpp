#include "outstanding.h"

#include <QTest>

// Whose answer an answer is, for sequences of requests sent and answers arriving. A row is a
// script: L, R and W send a link check, a read or a write; l and x are answers shaped like a
// link check's (04 01) or anything else. Each answer's owner reads n (the newest request), o (an
// older one) or - (nobody); `left` is what is still outstanding at the end.
class OutstandingTest : public QObject
{
    Q_OBJECT

private slots:
    void owners_data();
    void owners();
    void bounded();
};

void OutstandingTest::owners_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("owners");
    QTest::addColumn<int>("left");
    QTest::newRow("answered at once") << "R x L l" << "nn" << 0;
    QTest::newRow("late read, then the link check's answer") << "R L x l" << "on" << 0;
    QTest::newRow("late read lost: the link check settles it") << "R L l" << "n" << 0;
    QTest::newRow("late link check taken by none but its own") << "L L l l" << "on" << 0;
    QTest::newRow("one link check answer for two: one stays") << "L L l" << "o" << 1;
    QTest::newRow("read behind a late link check is its own") << "L R l x" << "on" << 0;
    QTest::newRow("answer behind a taken one is nobody's") << "R x x" << "n-" << 0;
    QTest::newRow("link check answer after a read's is nobody's") << "L R x l" << "n-" << 0;
    QTest::newRow("a read is never answered 04 01") << "R l" << "-" << 1;
    QTest::newRow("a read's shape cannot answer a link check") << "L x" << "-" << 1;
    QTest::newRow("two late reads: the first answer goes to the first") << "R L R x x" << "on" << 0;
    QTest::newRow("a write takes any answer") << "W l" << "n" << 0;
    QTest::newRow("04 01 goes to an older link check before a write") << "L W l x" << "on" << 0;
    QTest::newRow("04 01 goes to a link check before an older write") << "W L l" << "n" << 0;
    QTest::newRow("a late write's answer settles it, not the read behind") << "W L R x x" << "on"
                                                                             << 0;
}

void OutstandingTest::owners()
{
    QFETCH(QString, script);
    QFETCH(QString, owners);
    QFETCH(int, left);

    Outstanding outstanding;
    QString seen;
    const char marks[] = {'n', 'o', '-'};
    for (const QChar step : script) {
        switch (step.toLatin1()) {
        case 'L':
            QVERIFY(outstanding.sent(Outstanding::Kind::LinkCheck));
            break;
        case 'R':
            QVERIFY(outstanding.sent(Outstanding::Kind::Read, 6));
            break;
        case 'W':
            QVERIFY(outstanding.sent(Outstanding::Kind::Write));
            break;
        case 'l':
        case 'x': {
            const auto shape = step == QLatin1Char('l') ? Outstanding::Shape::LinkCheck
                                                        : Outstanding::Shape::Other;
            const Outstanding::Owner expected = outstanding.ownerOf(shape).owner;
            const Outstanding::Owner owner = outstanding.settle(shape).owner;
            QCOMPARE(owner, expected); // looking first settles nothing
            seen.append(QLatin1Char(marks[int(owner)]));
            break;
        }
        default:
            break;
        }
    }
    QCOMPARE(seen, owners);
    QCOMPARE(outstanding.count(), left);
}

// Link checks in a row cost nothing more; alternating requests fill the ledger, which then
// refuses, rather than forgetting one whose answer may still come.
void OutstandingTest::bounded()
{
    Outstanding outstanding;
    for (int i = 0; i < 1000; ++i)
        QVERIFY(outstanding.sent(Outstanding::Kind::LinkCheck));
    QCOMPARE(outstanding.count(), 1000);
    int accepted = 0;
    for (int i = 0; i < 20; ++i) {
        const auto kind = i % 2 ? Outstanding::Kind::LinkCheck : Outstanding::Kind::Read;
        accepted += outstanding.sent(kind) ? 1 : 0;
    }
    QVERIFY(accepted < 20);
    QCOMPARE(outstanding.settle(Outstanding::Shape::Other).owner, Outstanding::Owner::Older);
    QVERIFY(outstanding.awaitsExchange());
}

QTEST_APPLESS_MAIN(OutstandingTest)
#include "tst_outstanding.moc"
