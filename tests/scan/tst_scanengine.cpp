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
class ScanEngineTest : public QObject
{
    Q_OBJECT

private slots:
    void mergedMatchesSingle_data();
    void mergedMatchesSingle();
    void reconnects_data();
    void reconnects();
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

    const QVector<ScanTag> tags = tagsOver(area, type);
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
