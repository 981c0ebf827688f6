// The local time stamp of a record: the same QDateTime as Qt's own conversion at every instant,
// walking across changes of daylight saving time and of the zone's offset, and after TZ changes.
// Instants are given to the clock, so a walk can pass a change the real clock is far from.
#include "stampclock.h"

#include <QDataStream>
#include <QtTest>

#include <ctime>

namespace {

qint64 utcMs(const char *iso)
{
    return QDateTime::fromString(QString::fromLatin1(iso), Qt::ISODate).toMSecsSinceEpoch();
}

// Sets TZ (unsets it for a null text) for as long as it lives, as a host would: the variable
// only, no tzset(), which the clock must do itself.
class ZoneScope
{
public:
    explicit ZoneScope(const QByteArray &tz)
        : had(qEnvironmentVariableIsSet("TZ")), old(qgetenv("TZ"))
    {
        set(tz);
    }
    ~ZoneScope()
    {
        if (had)
            set(old);
        else
            set(QByteArray());
    }
    static void set(const QByteArray &tz)
    {
        if (tz.isNull())
            qunsetenv("TZ");
        else
            qputenv("TZ", tz);
    }

private:
    bool had;
    QByteArray old;
};

QByteArray streamed(const QDateTime &t)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << t;
    return bytes;
}

// Everything a host can see of a stamp: the instant, the local wall time and its form, the offset
// and the daylight-saving flag Qt keeps with it, and its serialised form.
QString differences(const QDateTime &got, const QDateTime &want)
{
    QStringList d;
    if (!(got == want) || got.toMSecsSinceEpoch() != want.toMSecsSinceEpoch())
        d << QStringLiteral("instant");
    if (got.timeSpec() != want.timeSpec())
        d << QStringLiteral("time spec");
    if (got.toString(Qt::ISODateWithMs) != want.toString(Qt::ISODateWithMs))
        d << QStringLiteral("wall time");
    if (got.offsetFromUtc() != want.offsetFromUtc())
        d << QStringLiteral("offset");
    if (got.isDaylightTime() != want.isDaylightTime())
        d << QStringLiteral("daylight flag");
    if (streamed(got) != streamed(want))
        d << QStringLiteral("stream");
    if (d.isEmpty())
        return QString();
    return QStringLiteral("%1: %2 where Qt gives %3")
        .arg(d.join(QStringLiteral(", ")), got.toString(Qt::ISODateWithMs),
             want.toString(Qt::ISODateWithMs));
}

// The stamp of ms from the clock, twice (the second one comes from what the clock kept), each
// against Qt's own; the first difference found, or an empty text. The clock goes first: Qt's
// conversion would leave mktime's guess of the offset right for it, and would call tzset().
QString checkAt(StampClock &clock, qint64 ms)
{
    const QDateTime first = clock.at(ms);
    const QDateTime want = QDateTime::fromMSecsSinceEpoch(ms, Qt::LocalTime);
    for (const QDateTime &got : {first, clock.at(ms)}) {
        const QString d = differences(got, want);
        if (!d.isEmpty())
            return QStringLiteral("at %1 (UTC): %2")
                .arg(QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs), d);
    }
    return QString();
}

} // namespace

class StampClockTest : public QObject
{
    Q_OBJECT

private slots:
    void sameAsQtAcrossChanges_data();
    void sameAsQtAcrossChanges();
    void repeatedWallTimes_data();
    void repeatedWallTimes();
    void windowKeepsOffChanges_data();
    void windowKeepsOffChanges();
    void followsTzChange_data();
    void followsTzChange();
    void followsTzThroughEnvironmentChanges();
    void nowIsCurrentLocalTime();
};

void StampClockTest::sameAsQtAcrossChanges_data()
{
    QTest::addColumn<QByteArray>("tz");
    QTest::addColumn<qint64>("change"); // an instant near a change of offset or flag

    const struct
    {
        const char *name;
        const char *tz;
        const char *change;
    } rows[] = {
        {"CET rules, forward", "CET-1CEST,M3.5.0,M10.5.0/3", "2024-03-31T01:00:00Z"},
        {"CET rules, back", "CET-1CEST,M3.5.0,M10.5.0/3", "2024-10-27T01:00:00Z"},
        {"Berlin, back", "Europe/Berlin", "2023-10-29T01:00:00Z"},
        {"New Zealand rules, back", "NZST-12NZDT,M9.5.0,M4.1.0/3", "2024-04-06T14:00:00Z"},
        {"Lord Howe, half an hour", "Australia/Lord_Howe", "2024-04-06T15:00:00Z"},
        {"New York, forward", "America/New_York", "2024-03-10T07:00:00Z"},
        {"St Johns, half-hour zone", "America/St_Johns", "2024-11-03T03:30:00Z"},
        {"Apia skips a day", "Pacific/Apia", "2011-12-30T10:00:00Z"},
        {"Sao Paulo, last change", "America/Sao_Paulo", "2019-02-17T02:00:00Z"},
        {"Moscow, offset only", "Europe/Moscow", "2014-10-25T22:00:00Z"},
        {"Magadan, two hours back", "Asia/Magadan", "2014-10-25T14:00:00Z"},
        {"rules shifting 24 hours, back", "<-10>10<+14>-14,M3.5.0/0,M10.5.0/0",
         "2024-10-26T10:00:00Z"},
        {"rules shifting 24 hours, forward", "<-10>10<+14>-14,M3.5.0/0,M10.5.0/0",
         "2024-03-31T10:00:00Z"},
        {"UTC", "UTC0", "2024-03-31T01:00:00Z"},
        {"+14 fixed", "<+14>-14", "2024-03-31T01:00:00Z"},
    };
    for (const auto &r : rows)
        QTest::newRow(r.name) << QByteArray(r.tz) << utcMs(r.change);
}

// One clock walks three days across the change in uneven steps, then back in larger ones (a
// clock set back), then jumps a year: every stamp is Qt's own.
void StampClockTest::sameAsQtAcrossChanges()
{
    QFETCH(QByteArray, tz);
    QFETCH(qint64, change);
    const ZoneScope zone(tz);
    StampClock clock;
    const qint64 hour = 3600 * 1000;
    for (qint64 ms = change - 60 * hour; ms <= change + 60 * hour; ms += 7 * 60 * 1000 + 13457) {
        const QString d = checkAt(clock, ms);
        QVERIFY2(d.isEmpty(), qPrintable(d));
    }
    // Each side of the change to the millisecond.
    for (qint64 ms : {change - 1, change, change + 1, change + 999, change - hour, change + hour}) {
        const QString d = checkAt(clock, ms);
        QVERIFY2(d.isEmpty(), qPrintable(d));
    }
    for (qint64 ms = change + 70 * hour; ms >= change - 70 * hour; ms -= 97 * 60 * 1000 + 1) {
        const QString d = checkAt(clock, ms);
        QVERIFY2(d.isEmpty(), qPrintable(d));
    }
    const QString d = checkAt(clock, change + 365LL * 24 * hour);
    QVERIFY2(d.isEmpty(), qPrintable(d));
}

void StampClockTest::repeatedWallTimes_data()
{
    QTest::addColumn<QByteArray>("tz");
    QTest::addColumn<qint64>("change"); // where the clock goes back
    QTest::addColumn<int>("shift");     // by so many minutes

    QTest::newRow("CET rules, 1 h")
        << QByteArray("CET-1CEST,M3.5.0,M10.5.0/3") << utcMs("2024-10-27T01:00:00Z") << 60;
    QTest::newRow("Lord Howe, 30 min")
        << QByteArray("Australia/Lord_Howe") << utcMs("2024-04-06T15:00:00Z") << 30;
    QTest::newRow("Magadan, 2 h") << QByteArray("Asia/Magadan") << utcMs("2014-10-25T14:00:00Z")
                                  << 120;
    QTest::newRow("rules, 24 h") << QByteArray("<-10>10<+14>-14,M3.5.0/0,M10.5.0/0")
                                 << utcMs("2024-10-26T10:00:00Z") << 24 * 60;
}

// Where the clock goes back, a wall time stands for two instants, and mktime takes the one its
// last call suggests. So before each stamp Qt converts the instant mirrored across the change,
// which suggests the wrong one; a clock first used there, one used since well before, and one
// used since well after must all still give Qt's own stamp.
void StampClockTest::repeatedWallTimes()
{
    QFETCH(QByteArray, tz);
    QFETCH(qint64, change);
    QFETCH(int, shift);
    const ZoneScope zone(tz);
    const qint64 span = 2 * qint64(shift) * 60 * 1000 + StampClock::marginSecs * 1000;
    StampClock before, after;
    before.at(change - span - 1000);
    after.at(change + span + 1000);
    for (qint64 ms = change - span; ms <= change + span; ms += 10 * 60 * 1000 + 7) {
        StampClock fresh;
        for (StampClock *clock : {&fresh, &before, &after}) {
            QDateTime::fromMSecsSinceEpoch(2 * change - ms, Qt::LocalTime);
            const QString d = checkAt(*clock, ms);
            QVERIFY2(d.isEmpty(), qPrintable(d));
        }
    }
}

void StampClockTest::windowKeepsOffChanges_data()
{
    QTest::addColumn<QByteArray>("tz");
    QTest::addColumn<qint64>("start");
    QTest::addColumn<qint64>("change"); // the next change after start, 0 for none in reach
    QTest::addColumn<int>("offset");    // at start, in seconds

    const QByteArray cet("CET-1CEST,M3.5.0,M10.5.0/3");
    const qint64 forward = utcMs("2024-03-31T01:00:00Z");
    QTest::newRow("CET, a day before the change")
        << cet << utcMs("2024-03-30T00:00:00Z") << forward << 3600;
    QTest::newRow("CET, an hour before") << cet << forward - 3600 * 1000 << forward << 3600;
    QTest::newRow("CET, summer, none in reach")
        << cet << utcMs("2024-07-01T12:00:00Z") << qint64(0) << 7200;
    QTest::newRow("UTC, none at all") << QByteArray("UTC0") << forward << qint64(0) << 0;
    QTest::newRow("Apia, a day before")
        << QByteArray("Pacific/Apia") << utcMs("2011-12-29T10:00:00Z")
        << utcMs("2011-12-30T10:00:00Z") << -36000;
}

// The kept offset is used from where the clock first looked to a margin before the next change,
// and from a margin after it once the clock is there; in between, and only there, Qt's own
// conversion is used. The clock looks at the zone again once it is past the margin after the
// change, and not before.
void StampClockTest::windowKeepsOffChanges()
{
    QFETCH(QByteArray, tz);
    QFETCH(qint64, start);
    QFETCH(qint64, change);
    QFETCH(int, offset);
    const ZoneScope zone(tz);
    const qint64 margin = StampClock::marginSecs * 1000;
    StampClock clock;
    clock.at(start);
    QCOMPARE(clock.refreshes(), 1);
    QCOMPARE(clock.offsetSeconds(), offset);
    QCOMPARE(clock.windowFrom(), start);
    if (change == 0) {
        QCOMPARE(clock.windowUntil(), start + StampClock::horizonSecs * 1000);
        return;
    }
    QCOMPARE(clock.windowUntil(), change - margin);
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
    QTest::addColumn<qint64>("at");

    const qint64 summer = utcMs("2024-07-01T12:00:00.250Z");
    QTest::newRow("UTC -> +14") << QByteArray("UTC0") << QByteArray("<+14>-14") << summer;
    QTest::newRow("+14 -> -12") << QByteArray("<+14>-14") << QByteArray("<-12>12") << summer;
    QTest::newRow("CET rules -> New York")
        << QByteArray("CET-1CEST,M3.5.0,M10.5.0/3") << QByteArray("America/New_York") << summer;
    QTest::newRow("Berlin -> :Europe/Berlin, same zone")
        << QByteArray("Europe/Berlin") << QByteArray(":Europe/Berlin") << summer;
    QTest::newRow("+14 -> unset") << QByteArray("<+14>-14") << QByteArray() << summer;
    QTest::newRow("unset -> +14") << QByteArray() << QByteArray("<+14>-14") << summer;
    QTest::newRow("+14 -> empty (UTC)") << QByteArray("<+14>-14") << QByteArray("") << summer;
}

// The same millisecond before and after the change: what the clock kept for it must not outlive
// the zone it was made in.
void StampClockTest::followsTzChange()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    QFETCH(qint64, at);
    const ZoneScope zone(before);
    StampClock clock;
    QString d = checkAt(clock, at);
    QVERIFY2(d.isEmpty(), qPrintable(d));
    ZoneScope::set(after);
    d = checkAt(clock, at);
    QVERIFY2(d.isEmpty(), qPrintable(d));
    QCOMPARE(clock.refreshes(), 2);
    d = checkAt(clock, at + 1);
    QVERIFY2(d.isEmpty(), qPrintable(d));
    QCOMPARE(clock.refreshes(), 2);
}

// TZ's entry keeps its text while the entries around it come and go; then it changes after its
// place in the environment moved.
void StampClockTest::followsTzThroughEnvironmentChanges()
{
    const ZoneScope zone{QByteArray()};
    qputenv("TARVIK_TEST_AHEAD", "1");
    ZoneScope::set("<+14>-14");
    StampClock clock;
    const qint64 at = utcMs("2024-07-01T12:00:00Z");
    QString d = checkAt(clock, at);
    QVERIFY2(d.isEmpty(), qPrintable(d));

    qputenv("TARVIK_TEST_BEHIND", "1");
    qunsetenv("TARVIK_TEST_AHEAD");
    d = checkAt(clock, at + 1);
    QVERIFY2(d.isEmpty(), qPrintable(d));
    QCOMPARE(clock.refreshes(), 1);

    ZoneScope::set("<-12>12");
    d = checkAt(clock, at + 1);
    QVERIFY2(d.isEmpty(), qPrintable(d));
    QCOMPARE(clock.refreshes(), 2);
    qunsetenv("TARVIK_TEST_BEHIND");
    ZoneScope::set("<+14>-14");
    d = checkAt(clock, at + 1);
    QVERIFY2(d.isEmpty(), qPrintable(d));
    QCOMPARE(clock.refreshes(), 3);
}

// The clock's own time, between two of Qt's, in the same zone, also right after TZ changed.
void StampClockTest::nowIsCurrentLocalTime()
{
    StampClock clock;
    for (const char *tz : {"<+14>-14", "<-12>12", "CET-1CEST,M3.5.0,M10.5.0/3"}) {
        const ZoneScope zone(tz);
        const QDateTime before = QDateTime::currentDateTime();
        const QDateTime now = clock.now();
        const QDateTime after = QDateTime::currentDateTime();
        QVERIFY(before <= now && now <= after);
        QCOMPARE(now.timeSpec(), Qt::LocalTime);
        QCOMPARE(now.offsetFromUtc(), before.offsetFromUtc());
    }
}

QTEST_GUILESS_MAIN(StampClockTest)
#include "tst_stampclock.moc"
