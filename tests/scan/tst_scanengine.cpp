#include "libtarvik.h"
#include "payload.h"
#include "scanengine.h"
#include "simprocess.h"
#include "tagaddress.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

// The scan engine against the simulator: merged reads hand every tag what a read of it alone
// hands, over the whole pattern memory and every type; a link that fails is connected again.
// The link keeper's steps against a driver that answers as each row says.
class ScanEngineTest : public QObject
{
    Q_OBJECT

private slots:
    void mergedMatchesSingle_data();
    void mergedMatchesSingle();
    void reconnects_data();
    void reconnects();
    void keeperSteps_data();
    void keeperSteps();
    void upOnlyOnceAnswered();
    void upReadsFailedTagsAgain();
    void retiredTagsAreNotDueAgain_data();
    void retiredTagsAreNotDueAgain();
    void writesTakeTurnsWithReads();
};

namespace {

constexpr int patternBytes = 32768;
constexpr int hour = 3600000;

// Remembers each tag's latest record and the link's changes.
struct Collector : ScanSink
{
    QMap<int, CLabelVariable> records;
    QStringList changes;
    void tagRead(int tag, const CLabelVariable &r, double) override { records[tag] = r; }
    void tagDropped(int tag, const CLabelVariable &r) override { records[tag] = r; }
    void linkChanged(bool up, const QString &) override { changes << (up ? "up" : "down"); }
};

// A driver whose connects and reads answer as the test sets them: a controller that answers the
// link check and no read is one whose connect succeeds and whose reads fail.
struct ScriptedDriver : CDriveBaseClass
{
    int connectCode = 0;
    int readResult = 0;
    int failingReads = 0; // the next so many reads fail with 8 whatever readResult says
    int connects = 0;
    int disconnects = 0;
    QMap<QString, int> reads; // by address

    QString getDriveName() override { return {}; }
    QString getversion_number() override { return {}; }
    QString DebugCmd(EDebugCmdType) override { return {}; }
    int ConnectDrive(QString) override
    {
        ++connects;
        return connectCode;
    }
    int SetConnectPar(QString) override { return 0; }
    int DisConnectDrive() override
    {
        ++disconnects;
        return 0;
    }
    CLabelVariable ReadVariable(QString address, DataType type) override
    {
        return ReadVariable(address, type, 1);
    }
    CLabelVariable ReadVariable(QString address, DataType type, int count) override
    {
        ++reads[address];
        CLabelVariable r;
        r.result = failingReads > 0 ? 8 : readResult;
        failingReads = qMax(failingReads - 1, 0);
        r.address = address;
        r.type = type;
        r.count = count;
        if (r.result == 0)
            r.value = QVariant::fromValue(QVector<short>(count, 0).toList());
        return r;
    }
    CLabelVariable WriteVariable(QString, DataType, CLabelVariable record) override
    {
        return record;
    }
    CLabelVariable WriteVariable(QString, DataType, CLabelVariable record, int) override
    {
        return record;
    }
    int DestroyFree() override { return 0; }
};

// The link's changes and each record, in the order the engine hands them on.
struct Events : Collector
{
    QStringList events;
    void tagRead(int tag, const CLabelVariable &r, double ms) override
    {
        Collector::tagRead(tag, r, ms);
        events << QStringLiteral("%1:%2").arg(r.address).arg(r.result);
    }
    void linkChanged(bool up, const QString &why) override
    {
        Collector::linkChanged(up, why);
        events << changes.last();
    }
};

// Three tags far apart, read hourly: only a connect or an answer makes them due again soon.
QVector<ScanTag> hourlyTags()
{
    return {{"AI1", Int16, 1, hour}, {"AI300", Int16, 1, hour}, {"AI600", Int16, 1, hour}};
}

// Runs the engine, serving events between its turns, until done() or the time is up.
template <typename Done> bool runUntil(ScanEngine &engine, Done done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs) {
        const qint64 next = engine.runDue();
        if (next < 0)
            break;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
        QThread::msleep(ulong(qBound<qint64>(0, next - engine.now(), 2)));
    }
    return done();
}

// Tags across the first patternBytes of an area: points further apart or closer, counts of one to
// three elements (whole byte units for byte types), so every alignment and gap turns up.
QVector<ScanTag> tagsOver(const QString &area, int type)
{
    const int code = tarvik::areaCode(area + QLatin1Char('1'));
    int unit = 1; // elements of a whole byte unit
    while (tarvik::cutsByteUnit(type, unit, code))
        ++unit;
    const int points = tarvik::isBitArea(code) || type == Bool ? patternBytes
                       : type == String                        ? patternBytes / 256
                                        : patternBytes / tarvik::areaScale(code);
    // About 700 tags whatever the area's size, so the test stays short under emulation.
    const int spread = qMax(1, points / 2048);
    static const int steps[] = {1, 2, 1, 3, 5, 1, 8};
    QVector<ScanTag> tags;
    for (int point = 1, k = 0; point < points - 8 * spread; point += spread * steps[k % 7], ++k)
        tags.append({area + QString::number(point), type, (1 + k % 3) * unit, hour});
    return tags;
}

} // namespace

void ScanEngineTest::mergedMatchesSingle_data()
{
    QTest::addColumn<QString>("area");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("gap"); // SI keeps a point every 256 bytes: a wider gap merges
    const auto row = [](const char *area, int type, int gap) {
        QTest::addRow("%s type %d", area, type) << QString::fromLatin1(area) << type << gap;
    };
    for (int type = Int16; type <= Double; ++type) {
        for (const char *area : {"AI", "SA", "Custom", "AO_F"})
            row(area, type, 16);
        row("SI", type, 400);
    }
    for (const char *area : {"DI", "AI", "SA", "Custom", "SI"}) {
        row(area, Int8, 16);
        row(area, UInt8, 16);
    }
    row("DI_F", Bool, 16);
    row("AI", Bool, 16);
    row("SI", String, 16);
    row("AI", String, 16);
    // Type 0: tags of every numeric type over one area, so one engine's reads take turns with
    // types and the record each tag is cut into changes its element type.
    row("AI", 0, 16);
}

void ScanEngineTest::mergedMatchesSingle()
{
    QFETCH(QString, area);
    QFETCH(int, type);
    QFETCH(int, gap);
    SimProcess sim;
    QVERIFY(sim.start({QStringLiteral("--pattern")}));
    LibTarvik driver;
    QCOMPARE(driver.ConnectDrive(sim.udpConnectionString()), 0);

    QVector<ScanTag> tags;
    for (int t = type == 0 ? Int16 : type; t <= (type == 0 ? Double : type); ++t) {
        const QVector<ScanTag> over = tagsOver(area, t);
        tags += type == 0 ? over.mid(0, 150) : over;
    }
    Collector got;
    ScanEngine engine(&driver, tags, {true, gap}, got);
    QVERIFY(runUntil(
        engine, [&] { return got.records.size() == tags.size(); }, 60000));
    qInfo("%d tags in %lld requests", int(tags.size()), engine.counters().requests);
    // Int8 reads of SI drop a byte of every slot and are never merged.
    const bool merges = !(type == Int8 && area == QLatin1String("SI"));
    QVERIFY(engine.counters().requests < tags.size() || !merges);

    for (int i = 0; i < tags.size(); ++i) {
        const ScanTag &t = tags[i];
        const CLabelVariable alone = driver.ReadVariable(t.address, DataType(t.type), t.count);
        const CLabelVariable &merged = got.records[i];
        QCOMPARE(alone.result, 0);
        const auto shown = [](const CLabelVariable &r) {
            return QStringLiteral("%1 %2 %3 %4 %5")
                .arg(r.result)
                .arg(r.address)
                .arg(r.count)
                .arg(int(r.type))
                .arg(describe(r.value));
        };
        QCOMPARE(shown(merged), shown(alone));
    }
}

void ScanEngineTest::reconnects_data()
{
    QTest::addColumn<bool>("serial");
    QTest::newRow("UDP, silent controller") << false;
    QTest::newRow("serial line hung up, back on the same path") << true;
}

// The link goes down after failed reads (or at once when the device went away), is connected
// again once the controller is back, and the tags are read again.
void ScanEngineTest::reconnects()
{
    QFETCH(bool, serial);
    SimProcess sim;
    QVERIFY(sim.start({QStringLiteral("--pattern"), QStringLiteral("--pty")}));
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("ttyController"));
    QVERIFY(QFile::link(sim.ptyPath(), link));
    const QString connection =
        serial ? link + QStringLiteral(",9600,8,1") : sim.udpConnectionString();
    LibTarvik driver;
    QCOMPARE(driver.ConnectDrive(connection), 0);

    Collector got;
    ScanEngine engine(&driver, {{QStringLiteral("AI1"), Int16, 2, 50}}, {}, got);
    engine.keepLink(connection, {true, 3, 100, 400}, true);
    const auto answered = [&] { return got.records.value(0).result == 0; };
    QVERIFY(runUntil(engine, answered, 5000));

    QCOMPARE(sim.control(serial ? QStringLiteral("faults --hangup")
                                : QStringLiteral("faults --silent --fault-link-check")),
             QStringLiteral("ok"));
    QVERIFY(runUntil(
        engine, [&] { return got.changes == QStringList{"down"}; }, 10000));
    QVERIFY(!answered());
    if (serial) {
        const QString fresh = sim.control(QStringLiteral("open-pty")).section(QLatin1Char(' '), 1);
        QVERIFY(QFile::remove(link) && QFile::link(fresh, link));
    } else {
        QCOMPARE(sim.control(QStringLiteral("faults")), QStringLiteral("ok"));
    }
    QVERIFY(runUntil(
        engine, [&] { return got.changes.size() == 2 && answered(); }, 10000));
    QCOMPARE(got.changes, (QStringList{"down", "up"}));
}

void ScanEngineTest::keeperSteps_data()
{
    QTest::addColumn<bool>("connected"); // open when the keeper takes it; else startDown()
    // C, c: a connect that succeeds, that fails; R, r, n: a read answered, failed (8), link not
    // open (9). Each step as told: ^ came up, v went down, +N the wait before the next connect.
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("told");

    QTest::newRow("link check answered, reads never: down once, the wait doubles to its cap")
        << true << "r r r C r r r C r r r c c C R"
        << "r r rv+500 C r r r+1000 C r r r+2000 c+4000 c+4000 C R^";
    QTest::newRow("never up: down once at its first failure, up at its first answer")
        << false << "c C r r r C R R"
        << "cv+500 C r r r+1000 C R^ R";
    QTest::newRow("connected, then failures: down at the first, up at the answer")
        << false << "C r r r C R"
        << "C r r rv+500 C R^";
    QTest::newRow("after an answer the next outage waits the first backoff again")
        << false << "C R r r r c C R r r r"
        << "C R^ r r rv+500 c+1000 C R^ r r rv+500";
    QTest::newRow("link not open drops at once, opened or up") << true << "n C n C R n"
                                                               << "nv+500 C n+1000 C R^ nv+500";
    QTest::newRow("an answer between failures keeps the link; up already, nothing told")
        << true << "r r R r r R"
        << "r r R r r R";
}

void ScanEngineTest::keeperSteps()
{
    QFETCH(bool, connected);
    QFETCH(QString, steps);
    QFETCH(QString, told);
    ScriptedDriver driver;
    LinkKeeper keeper(&driver, QStringLiteral("127.0.0.1:7000"), {true, 3, 500, 4000});
    qint64 now = 1000;
    if (!connected)
        keeper.startDown(now);
    QStringList got;
    for (const QString &step : steps.split(' ')) {
        const char c = step.at(0).toLatin1();
        const bool connect = c == 'C' || c == 'c';
        QCOMPARE(keeper.carriesRequests(), !connect); // no read while closed, no connect while open
        LinkKeeper::Change change;
        if (connect) {
            QVERIFY(keeper.nextAttemptMs() >= now);
            now = keeper.nextAttemptMs();
            driver.connectCode = c == 'C' ? 0 : -2;
            change = keeper.attempt(now);
        } else {
            now += 10;
            change = keeper.noteRead(c == 'R' ? 0 : c == 'r' ? 8 : 9, now);
        }
        QString shown = step;
        if (change != LinkKeeper::Change::None)
            shown += change == LinkKeeper::Change::CameUp ? "^" : "v";
        if (!keeper.carriesRequests())
            shown += QStringLiteral("+%1").arg(keeper.nextAttemptMs() - now);
        got << shown;
    }
    QCOMPARE(got.join(' '), told);
}

// A controller that answers the link check and no read: each connect reads every tag at once,
// hour intervals or not, and the reads failing drop the link again; it is said down once and
// never up. Once reads are answered it is said up once, before the answer that proved it.
void ScanEngineTest::upOnlyOnceAnswered()
{
    ScriptedDriver driver;
    driver.readResult = 8;
    Events got;
    ScanEngine engine(&driver, hourlyTags(), {false, 0}, got);
    engine.keepLink(QStringLiteral("127.0.0.1:7000"), {true, 3, 1, 8}, false);
    QVERIFY(runUntil(
        engine, [&] { return driver.disconnects >= 4; }, 10000));
    QCOMPARE(got.changes, QStringList{"down"});
    QVERIFY(!engine.linkUp());
    for (const ScanTag &t : hourlyTags())
        QCOMPARE(driver.reads.value(t.address), driver.disconnects);

    driver.readResult = 0;
    got.events.clear();
    QVERIFY(runUntil(
        engine, [&] { return got.records.value(2).result == 0; }, 10000));
    QCOMPARE(got.changes, (QStringList{"down", "up"}));
    QVERIFY(engine.linkUp());
    QCOMPARE(got.events, (QStringList{"up", "AI1:0", "AI300:0", "AI600:0"}));
}

// Reads that failed after the connect are made again at once when a later one is answered: the
// controller answered again without a new connect.
void ScanEngineTest::upReadsFailedTagsAgain()
{
    ScriptedDriver driver;
    driver.failingReads = 2;
    Events got;
    ScanEngine engine(&driver, hourlyTags(), {false, 0}, got);
    engine.keepLink(QStringLiteral("127.0.0.1:7000"), {true, 3, 1, 8}, false);
    QVERIFY(runUntil(
        engine, [&] { return got.events.size() == 6; }, 10000));
    QCOMPARE(got.events, (QStringList{"AI1:8", "AI300:8", "up", "AI600:0", "AI1:0", "AI300:0"}));
    QCOMPARE(driver.connects, 1);
    QVERIFY(engine.runDue() > engine.now()); // the hour starts now for each
}

void ScanEngineTest::retiredTagsAreNotDueAgain_data()
{
    QTest::addColumn<bool>("silent");
    QTest::newRow("answered") << false;
    QTest::newRow("silent controller, link dropped") << true;
}

// A front end that reads each tag a few times retires it after its last read: the engine then
// has nothing left to do (-1), whether the read was answered or failed and took the link down,
// and does not wait an interval or reconnect for a read nobody wants.
void ScanEngineTest::retiredTagsAreNotDueAgain()
{
    QFETCH(bool, silent);
    SimProcess sim;
    QVERIFY(sim.start({QStringLiteral("--pattern")}));
    LibTarvik driver;
    QCOMPARE(driver.ConnectDrive(sim.udpConnectionString()), 0);
    if (silent)
        QCOMPARE(sim.control(QStringLiteral("faults --silent --fault-link-check")),
                 QStringLiteral("ok"));

    struct Retiring : Collector
    {
        ScanEngine *engine = nullptr;
        void tagRead(int tag, const CLabelVariable &r, double ms) override
        {
            Collector::tagRead(tag, r, ms);
            engine->retire(tag);
        }
    } got;
    ScanEngine engine(&driver, {{QStringLiteral("AI1"), Int16, 1, hour}}, {}, got);
    got.engine = &engine;
    engine.keepLink(sim.udpConnectionString(), {true, 1, 100, 400}, true);
    QCOMPARE(engine.runDue(), qint64(-1));
    QCOMPARE(got.records.value(0).result, silent ? 8 : 0);
    QCOMPARE(got.changes, silent ? QStringList{"down"} : QStringList{});
}

// Writes that keep arriving while the driver waits (here: one more for each write answered) take
// turns with the reads: a turn ends once its reads are made, with one write more than the reads,
// and the rest of the writes go in the turns that follow.
void ScanEngineTest::writesTakeTurnsWithReads()
{
    SimProcess sim;
    QVERIFY(sim.start({QStringLiteral("--pattern")}));
    LibTarvik driver;
    QCOMPARE(driver.ConnectDrive(sim.udpConnectionString()), 0);

    constexpr int flood = 40;
    struct Flooding : Collector
    {
        ScanEngine *engine = nullptr;
        int queued = 0;
        QVector<int> results;
        void queue()
        {
            ScanWrite w;
            w.tag = 0;
            w.payload.value = QVariant::fromValue(QList<short>{short(queued++)});
            w.payload.count = 1;
            engine->queueWrite(w);
        }
        void written(const ScanWrite &, const CLabelVariable &r) override
        {
            results << r.result;
            if (queued < flood)
                queue();
        }
    } got;
    // Three reads due now, far apart so that none is merged with another.
    ScanEngine engine(&driver,
                      {{QStringLiteral("AI1"), Int16, 1, hour},
                       {QStringLiteral("AI300"), Int16, 1, hour},
                       {QStringLiteral("AI600"), Int16, 1, hour}},
                      {}, got);
    got.engine = &engine;
    got.queue();
    const qint64 next = engine.runDue();
    QCOMPARE(got.results.size(), 4);
    QVERIFY(next >= 0 && next <= engine.now()); // more writes: due at once
    QVERIFY(got.records.contains(1) && got.records.contains(2));
    QVERIFY(runUntil(
        engine, [&] { return got.results.size() == flood; }, 10000));
    QCOMPARE(got.results, QVector<int>(flood, 0));
    QCOMPARE(sim.control(QStringLiteral("peek AI 0 2")), QStringLiteral("ok 2700"));
}

QTEST_GUILESS_MAIN(ScanEngineTest)
#include "tst_scanengine.moc"
