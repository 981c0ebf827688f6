// The local time stamp of a record: the same QDateTime as Qt's own conversion at every instant,
// walking across changes of daylight saving time and of the zone's offset, and after TZ changes.
// Instants are given to the clock, so a walk can pass a change the real clock is far from.
#include "stampclock.h"

#include <QDataStream>
#include <QtTest>

#include <cstdlib>
#include <cstring>

namespace {

qint64 utcMs(const char *iso)
{
    return QDateTime::fromString(QString::fromLatin1(iso), Qt::ISODate).toMSecsSinceEpoch();
}

// Sets TZ (unsets it for a null text) as a host would: the variable only, no tzset(), which the
// clock must do itself.
void setTz(const QByteArray &tz)
{
    if (tz.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", tz);
}

// Everything a host can see of a stamp: instant, form, wall time, offset, daylight-saving flag
// and serialised bytes.
QString seen(const QDateTime &t)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << t;
    return QStringLiteral("%1 spec %2 %3 offset %4 dst %5 %6")
        .arg(t.toMSecsSinceEpoch())
        .arg(int(t.timeSpec()))
        .arg(t.toString(Qt::ISODateWithMs))
        .arg(t.offsetFromUtc())
        .arg(t.isDaylightTime())
        .arg(QString::fromLatin1(bytes.toHex()));
}

// The clock's stamp of ms, fresh and kept, against Qt's own. The clock goes first: Qt's
// conversion would call tzset() and leave mktime's guess of the offset right for it.
bool sameAsQt(StampClock &clock, qint64 ms)
{
    const QString got = seen(clock.at(ms));
    const QString kept = seen(clock.at(ms));
    const QString want = seen(QDateTime::fromMSecsSinceEpoch(ms, Qt::LocalTime));
    if (got == want && kept == want)
        return true;
    qWarning("at %lld: %s / %s where Qt gives %s", ms, qPrintable(got), qPrintable(kept),
             qPrintable(want));
    return false;
}

} // namespace

class StampClockTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { oldTz = qgetenv("TZ"); }
    void cleanup() { setTz(oldTz); }
    void sameAsQtAcrossChanges_data();
    void sameAsQtAcrossChanges();
    void windowKeepsOffChanges_data();
    void windowKeepsOffChanges();
    void followsTzChange_data();
    void followsTzChange();
    void followsTzWhileEnvironmentMoves();

private:
    QByteArray oldTz;
};

void StampClockTest::sameAsQtAcrossChanges_data()
{
    QTest::addColumn<QByteArray>("tz");
    QTest::addColumn<qint64>("change"); // an instant of a change of offset, or near one

    const QByteArray cet("CET-1CEST,M3.5.0,M10.5.0/3"), day("<-10>10<+14>-14,M3.5.0/0,M10.5.0/0");
    QTest::newRow("CET rules, forward") << cet << utcMs("2024-03-31T01:00:00Z");
    QTest::newRow("CET rules, back 1 h") << cet << utcMs("2024-10-27T01:00:00Z");
    QTest::newRow("Berlin, back") << QByteArray("Europe/Berlin") << utcMs("2023-10-29T01:00:00Z");
    QTest::newRow("NZ rules, back")
        << QByteArray("NZST-12NZDT,M9.5.0,M4.1.0/3") << utcMs("2024-04-06T14:00:00Z");
    QTest::newRow("Lord Howe, back 30 min")
        << QByteArray("Australia/Lord_Howe") << utcMs("2024-04-06T15:00:00Z");
    QTest::newRow("New York, forward")
        << QByteArray("America/New_York") << utcMs("2024-03-10T07:00:00Z");
    QTest::newRow("St Johns, half-hour zone")
        << QByteArray("America/St_Johns") << utcMs("2024-11-03T03:30:00Z");
    QTest::newRow("Apia skips a day")
        << QByteArray("Pacific/Apia") << utcMs("2011-12-30T10:00:00Z");
    QTest::newRow("Magadan, back 2 h")
        << QByteArray("Asia/Magadan") << utcMs("2014-10-25T14:00:00Z");
    QTest::newRow("Sao Paulo, the last change")
        << QByteArray("America/Sao_Paulo") << utcMs("2019-02-17T02:00:00Z");
    QTest::newRow("rules, back 24 h") << day << utcMs("2024-10-26T10:00:00Z");
    QTest::newRow("rules, forward 24 h") << day << utcMs("2024-03-31T10:00:00Z");
    QTest::newRow("UTC") << QByteArray("UTC0") << utcMs("2024-03-31T01:00:00Z");
}

// Clocks walk across the change in uneven steps: one forward, one backward (a clock set back),
// and at each step one first used there. Where the clock goes back a wall time stands for two
// instants and mktime takes the one its last call suggests; before each step Qt converts the
// instant mirrored across the change, which suggests the wrong one.
void StampClockTest::sameAsQtAcrossChanges()
{
    QFETCH(QByteArray, tz);
    QFETCH(qint64, change);
    setTz(tz);
    const qint64 span = (StampClock::marginSecs + 30 * 3600) * 1000, step = 7 * 60 * 1000 + 13457;
    StampClock forward, backward;
    for (qint64 k = 0; k <= 2 * span / step; ++k) {
        const qint64 up = change - span + k * step, down = change + span - k * step;
        StampClock fresh;
        for (const auto &[clock, ms] :
             {std::pair(&forward, up), std::pair(&backward, down), std::pair(&fresh, up)}) {
            QDateTime::fromMSecsSinceEpoch(2 * change - ms, Qt::LocalTime);
            QVERIFY(sameAsQt(*clock, ms));
        }
    }
    for (const qint64 ms : {change - 1, change, change + 999, change + 365LL * 86400 * 1000})
        QVERIFY(sameAsQt(forward, ms));
}

void StampClockTest::windowKeepsOffChanges_data()
{
    QTest::addColumn<QByteArray>("tz");
    QTest::addColumn<qint64>("start");
    QTest::addColumn<qint64>("change"); // the next change after start, 0 for none in reach
    QTest::addColumn<int>("offset");    // at start, in seconds

    const QByteArray cet("CET-1CEST,M3.5.0,M10.5.0/3");
    const qint64 forward = utcMs("2024-03-31T01:00:00Z");
    QTest::newRow("CET, a day ahead") << cet << forward - 86400 * 1000 << forward << 3600;
    QTest::newRow("CET, an hour ahead") << cet << forward - 3600 * 1000 << forward << 3600;
    QTest::newRow("CET, none in reach")
        << cet << utcMs("2024-07-01T12:00:00Z") << qint64(0) << 7200;
    QTest::newRow("UTC, none at all") << QByteArray("UTC0") << forward << qint64(0) << 0;
    QTest::newRow("Apia, a day ahead")
        << QByteArray("Pacific/Apia") << utcMs("2011-12-29T10:00:00Z")
        << utcMs("2011-12-30T10:00:00Z") << -36000;
}

// The kept offset is used from where the clock first looked to a margin before the next change
// and, once the clock is a margin past it, from there on; the zone is looked at again then, and
// not before.
void StampClockTest::windowKeepsOffChanges()
{
    QFETCH(QByteArray, tz);
    QFETCH(qint64, start);
    QFETCH(qint64, change);
    QFETCH(int, offset);
    setTz(tz);
    const qint64 margin = StampClock::marginSecs * 1000;
    StampClock clock;
    clock.at(start);
    QCOMPARE(clock.refreshes(), 1);
    QCOMPARE(clock.offsetSeconds(), offset);
    QCOMPARE(clock.windowFrom(), start);
    QCOMPARE(clock.windowUntil(),
             change ? change - margin : start + StampClock::horizonSecs * 1000);
    if (change == 0)
        return;
    clock.at(change + margin - 1);
    QCOMPARE(clock.refreshes(), 1);
    clock.at(change + margin);
    QCOMPARE(clock.refreshes(), 2);
    QCOMPARE(clock.windowFrom(), change + margin);
    QCOMPARE(clock.offsetSeconds(),
             QDateTime::fromMSecsSinceEpoch(change, Qt::LocalTime).offsetFromUtc());
}

void StampClockTest::followsTzChange_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after"); // null: TZ unset, /etc/localtime

    QTest::newRow("UTC -> +14") << QByteArray("UTC0") << QByteArray("<+14>-14");
    QTest::newRow("+14 -> -12") << QByteArray("<+14>-14") << QByteArray("<-12>12");
    QTest::newRow("CET rules -> New York")
        << QByteArray("CET-1CEST,M3.5.0,M10.5.0/3") << QByteArray("America/New_York");
    QTest::newRow("Berlin -> :Europe/Berlin")
        << QByteArray("Europe/Berlin") << QByteArray(":Europe/Berlin");
    QTest::newRow("+14 -> unset") << QByteArray("<+14>-14") << QByteArray();
    QTest::newRow("unset -> +14") << QByteArray() << QByteArray("<+14>-14");
    QTest::newRow("+14 -> empty (UTC)") << QByteArray("<+14>-14") << QByteArray("");
}

// The same millisecond before and after the change: what the clock kept for it must not outlive
// the zone it was made in.
void StampClockTest::followsTzChange()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    const qint64 at = utcMs("2024-07-01T12:00:00.250Z");
    setTz(before);
    StampClock clock;
    QVERIFY(sameAsQt(clock, at));
    setTz(after);
    QVERIFY(sameAsQt(clock, at));
    QVERIFY(sameAsQt(clock, at + 1));
    QCOMPARE(clock.refreshes(), 2);
}

// The clock finds TZ where it last saw it in the environment: entries ahead of it go, entries
// behind it come, and TZ still reads the same; then TZ changes after its place moved.
void StampClockTest::followsTzWhileEnvironmentMoves()
{
    const qint64 at = utcMs("2024-07-01T12:00:00Z");
    setTz(QByteArray());
    qputenv("TARVIK_TEST_AHEAD", "1");
    setTz("<+14>-14");
    StampClock clock;
    QVERIFY(sameAsQt(clock, at));
    qputenv("TARVIK_TEST_BEHIND", "1");
    qunsetenv("TARVIK_TEST_AHEAD");
    QVERIFY(sameAsQt(clock, at + 1));
    QCOMPARE(clock.refreshes(), 1);
    setTz("<-12>12");
    QVERIFY(sameAsQt(clock, at + 1));
    QCOMPARE(clock.refreshes(), 2);
    qunsetenv("TARVIK_TEST_BEHIND");

    // putenv() takes the host's own text, which the host may then change in place.
    static char entry[] = "TZ=<+14>-14";
    ::putenv(entry);
    QVERIFY(sameAsQt(clock, at + 2));
    std::memcpy(entry, "TZ=<-14>+14", sizeof entry);
    QVERIFY(sameAsQt(clock, at + 2));
    QCOMPARE(clock.refreshes(), 4);
    setTz(QByteArray()); // before the text goes
}

QTEST_GUILESS_MAIN(StampClockTest)
#include "tst_stampclock.moc"
