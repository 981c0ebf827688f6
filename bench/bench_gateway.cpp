// The gateway under load: 1,000 tags of one simulated controller over UDP (four areas, two
// types in each), values changing every scan, a subscriber counting what arrives. Prints
// updates per second, exchanges per scan merged and unmerged, CPU and memory of the gateway and
// the broker, change-to-subscriber latency and a write's round trip; then the batch form at a
// 10 ms interval. Last, the broker goes away for a while with values changing, and comes back:
// what the store holds on disk, what the gateway costs meanwhile, how fast the backlog is
// delivered and how late live values are while it is. Nothing is asserted.

#include "benchsupport.h"
#include "brokerprocess.h"
#include "simprocess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <mutex>
#include <unistd.h>
#include <vector>

#ifndef TARVIK_GATEWAY_PATH
#error "TARVIK_GATEWAY_PATH must name the gateway executable"
#endif

namespace {

using bench::out;

constexpr int tagsPerArea = 250;

// Areas and their two types, alternating point by point; the values are the scan generation.
struct AreaLoad
{
    const char *area;
    const char *types[2];
    int bytesPerPoint; // the area's scale: point i starts at byte i * bytesPerPoint
};
const AreaLoad areas[] = {{"AI", {"Int16", "UInt16"}, 4},
                          {"LW", {"Int32", "UInt32"}, 4},
                          {"NAI", {"Float", "Int32"}, 4},
                          {"DI", {"Bool", "Bool"}, 1}};

// The tags of the first `areaCount` areas, perArea each.
QByteArray tagLines(int perArea = tagsPerArea, int areaCount = 4)
{
    QByteArray lines;
    for (int n = 0; n < areaCount; ++n) {
        const AreaLoad &a = areas[n];
        for (int i = 1; i <= perArea; ++i)
            lines += QStringLiteral("tag = %1%2 %1%2 %3\n")
                         .arg(QLatin1String(a.area))
                         .arg(i)
                         .arg(QLatin1String(a.types[i % 2]))
                         .toUtf8();
    }
    return lines + "tag = w AO1 Int16 writable interval=3600000\n";
}

// The memory of an area holding generation g in every tag.
QString pokeHex(const AreaLoad &a, int g, int perArea)
{
    QByteArray bytes(perArea * a.bytesPerPoint, '\0');
    for (int i = 0; i < perArea; ++i) {
        char *p = bytes.data() + i * a.bytesPerPoint;
        const bool isFloat = a.area == QLatin1String("NAI") && (i + 1) % 2 == 0;
        if (a.bytesPerPoint == 1) {
            p[0] = char(g & 1);
        } else if (isFloat) {
            const float f = float(g);
            std::memcpy(p, &f, 4);
        } else {
            const quint32 v = quint32(g);
            std::memcpy(p, &v, 4); // little-endian, as the controller keeps it
        }
    }
    return QString::fromLatin1(bytes.toHex());
}

void poke(SimProcess &sim, int g, int perArea = tagsPerArea, int areaCount = 4)
{
    for (int n = 0; n < areaCount; ++n)
        sim.control(QStringLiteral("poke %1 0 %2")
                        .arg(QLatin1String(areas[n].area), pokeHex(areas[n], g, perArea)));
}

struct ProcessUse
{
    double cpuSeconds = 0;
    qint64 rssKiB = 0;
};

ProcessUse useOf(qint64 pid)
{
    ProcessUse u;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> f = stat.readAll().split(')').value(1).split(' ');
        // Fields after the name: state is 1; utime 12 and stime 13.
        u.cpuSeconds =
            (f.value(12).toDouble() + f.value(13).toDouble()) / double(sysconf(_SC_CLK_TCK));
    }
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly)) {
        const QRegularExpression rss(QStringLiteral("VmRSS:\\s+(\\d+)"));
        u.rssKiB = rss.match(QString::fromLatin1(status.readAll())).captured(1).toLongLong();
    }
    return u;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p / 100 * double(v.size())))];
}

// A subscriber in this process (libmosquitto on its own thread): counts tag messages and the
// values in batch messages, takes each value's generation for the latency.
class Counter
{
public:
    std::atomic<qint64> messages{0};
    std::atomic<qint64> values{0};
    std::atomic<qint64> historyValues{0};
    std::atomic<qint64> firstHistoryAt{-1}; // ms on clock
    std::atomic<qint64> lastHistoryAt{-1};
    std::mutex lock;
    std::vector<double> latencies;  // ms
    std::vector<double> writeTrips; // ms
    QElapsedTimer clock;
    std::vector<qint64> changedAt; // ms on clock, by generation
    qint64 writeSentAt = 0;
    std::atomic<bool> measuring{false};
    QByteArray lastStats; // the gateway's own counters, as it last published them

    bool start(quint16 port, const char *pattern)
    {
        clock.start();
        changedAt.assign(100000, -1);
        mosq = mosquitto_new(nullptr, true, this);
        mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
        mosquitto_message_v5_callback_set(mosq, &Counter::onMessage);
        if (mosquitto_connect(mosq, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS)
            return false;
        mosquitto_subscribe(mosq, nullptr, pattern, 0);
        return mosquitto_loop_start(mosq) == MOSQ_ERR_SUCCESS;
    }
    void stop()
    {
        mosquitto_disconnect(mosq);
        mosquitto_loop_stop(mosq, true);
        mosquitto_destroy(mosq);
    }
    void sendWrite(int value)
    {
        mosquitto_property *props = nullptr;
        mosquitto_property_add_string(&props, MQTT_PROP_RESPONSE_TOPIC, "reply/w");
        const QByteArray payload = QByteArray::number(value);
        {
            std::lock_guard<std::mutex> g(lock);
            writeSentAt = clock.elapsed();
        }
        mosquitto_publish_v5(mosq, nullptr, "b/c/w/set", payload.size(), payload.constData(), 0,
                             false, props);
        mosquitto_property_free_all(&props);
    }

private:
    static void onMessage(mosquitto *, void *self, const mosquitto_message *m,
                          const mosquitto_property *)
    {
        static_cast<Counter *>(self)->take(m);
    }

    void take(const mosquitto_message *m)
    {
        const qint64 now = clock.elapsed();
        const QByteArray topic(m->topic);
        const QByteArray payload(static_cast<const char *>(m->payload), m->payloadlen);
        if (topic.startsWith("reply/")) {
            std::lock_guard<std::mutex> g(lock);
            writeTrips.push_back(double(now - writeSentAt));
            return;
        }
        if (topic == "b/gateway/stats" && measuring) {
            std::lock_guard<std::mutex> g(lock);
            lastStats = payload;
            return;
        }
        if (!measuring || topic.endsWith("/status") || topic.startsWith("b/gateway"))
            return;
        if (topic.endsWith("/history")) {
            historyValues += payload.count("{\"tag\":");
            if (firstHistoryAt < 0)
                firstHistoryAt = now;
            lastHistoryAt = now;
            return;
        }
        if (topic.endsWith("/scan")) {
            values += payload.count("\"value\"");
            return;
        }
        ++messages;
        ++values;
        const int at = payload.indexOf("\"value\":");
        bool ok = false;
        const int g = payload.mid(at + 8, payload.indexOf(',', at) - at - 8).toDouble(&ok);
        if (ok && g > 1 && g < int(changedAt.size()) && changedAt[size_t(g)] >= 0) {
            std::lock_guard<std::mutex> l(lock);
            latencies.push_back(double(now - changedAt[size_t(g)]));
        }
    }

    mosquitto *mosq = nullptr;
};

// Writes the configuration into dir and starts the gateway on it.
void startGateway(QProcess &gateway, const QTemporaryDir &dir, const QByteArray &config)
{
    QFile conf(dir.filePath(QStringLiteral("gateway.conf")));
    conf.open(QIODevice::WriteOnly);
    conf.write(config);
    conf.close();
    gateway.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    gateway.start(QStringLiteral(TARVIK_GATEWAY_PATH), {conf.fileName()});
    gateway.waitForStarted(3000);
}

void stopGateway(QProcess &gateway)
{
    if (gateway.processId() > 0) // never kill(0): that is the whole process group
        ::kill(pid_t(gateway.processId()), SIGTERM);
    gateway.waitForFinished(10000);
}

struct Phase
{
    const char *title;
    int intervalMs;
    bool merge;
    bool batch;
    int seconds;
};

// One run of the gateway over the load; prints its figures.
void run(const Phase &phase, BrokerProcess &broker, SimProcess &sim)
{
    QTemporaryDir dir;
    const QByteArray config =
        "[broker]\nport = " + QByteArray::number(broker.port()) +
        "\nprefix = b\nqos = 0\nstats_interval = 1\nqueue_limit = 100000\nstore = " +
        dir.filePath(QStringLiteral("history.sqlite")).toUtf8() +
        "\n[controller c]\nconnection = " + sim.udpConnectionString().toUtf8() +
        "\ninterval = " + QByteArray::number(phase.intervalMs) +
        "\nmax_age = 3600\nmerge = " + (phase.merge ? "on" : "off") +
        "\ntag_messages = " + (phase.batch ? "off" : "on") +
        "\nscan_messages = " + (phase.batch ? "on" : "off") + "\n" + tagLines();

    // Tag messages to one subscriber; writes and their replies over a client of their own, so a
    // reply never waits behind the flood of tag messages in a subscriber's queue.
    Counter counter, probe;
    counter.start(broker.port(), "b/#");
    probe.start(broker.port(), "reply/#");
    QProcess gateway;
    startGateway(gateway, dir, config);
    QThread::msleep(1500); // connected, first scan made

    const int requestsBefore = sim.requestsSeen();
    const ProcessUse gwBefore = useOf(gateway.processId());
    const ProcessUse brokerBefore = useOf(broker.processId());
    QElapsedTimer window;
    window.start();
    counter.measuring = true;
    int generation = 2;
    int writes = 0;
    // Values change five times a scan interval (at 10 ms and less, every 10 ms), so every scan
    // finds them changed; a write every 100 ms.
    const int changeMs = std::max(phase.intervalMs / 5, 10);
    while (window.elapsed() < phase.seconds * 1000) {
        counter.changedAt[size_t(generation)] = counter.clock.elapsed();
        poke(sim, generation);
        ++generation;
        if (!phase.batch && window.elapsed() / 100 > writes)
            probe.sendWrite(++writes);
        const qint64 next = qint64(generation - 2) * changeMs;
        QThread::msleep(ulong(std::max<qint64>(0, next - window.elapsed())));
    }
    counter.measuring = false;
    const double seconds = window.elapsed() / 1000.0;
    const ProcessUse gwAfter = useOf(gateway.processId());
    const ProcessUse brokerAfter = useOf(broker.processId());
    const int requests = sim.requestsSeen() - requestsBefore;
    stopGateway(gateway);
    counter.stop();
    probe.stop();

    // Pokes and the write's own requests are not scans: the control port is another socket, and
    // the few writes (each with its read back) are taken off.
    const double scans = seconds * 1000.0 / phase.intervalMs;
    out() << "== " << phase.title << "\n";
    out() << QStringLiteral("  exchanges per scan          %1 (%2 requests in %3 s)\n")
                 .arg((requests - 2 * writes) / scans, 0, 'f', 1)
                 .arg(requests)
                 .arg(seconds, 0, 'f', 1);
    if (phase.batch)
        out() << QStringLiteral("  tag values delivered/s      %1 (in scan messages)\n")
                     .arg(counter.values / seconds, 0, 'f', 0);
    else
        out() << QStringLiteral("  tag updates delivered/s     %1\n")
                     .arg(counter.messages / seconds, 0, 'f', 0);
    out() << QStringLiteral("  gateway CPU                 %1 % of a core, RSS %2 MiB\n")
                 .arg(100 * (gwAfter.cpuSeconds - gwBefore.cpuSeconds) / seconds, 0, 'f', 1)
                 .arg(gwAfter.rssKiB / 1024.0, 0, 'f', 1);
    out() << QStringLiteral("  broker CPU                  %1 % of a core, RSS %2 MiB\n")
                 .arg(100 * (brokerAfter.cpuSeconds - brokerBefore.cpuSeconds) / seconds, 0, 'f', 1)
                 .arg(brokerAfter.rssKiB / 1024.0, 0, 'f', 1);
    std::lock_guard<std::mutex> g(counter.lock);
    const QRegularExpression readsPerS(QStringLiteral("\"reads_per_s\":([0-9.]+)"));
    out() << QStringLiteral("  tag values read and decoded/s %1 (the gateway's stats)\n")
                 .arg(readsPerS.match(QString::fromUtf8(counter.lastStats)).captured(1));
    if (!phase.batch) {
        out() << QStringLiteral("  change to subscriber        p50 %1 ms, p99 %2 ms (%3 samples)\n")
                     .arg(percentile(counter.latencies, 50), 0, 'f', 1)
                     .arg(percentile(counter.latencies, 99), 0, 'f', 1)
                     .arg(counter.latencies.size());
        out() << QStringLiteral("  write round trip            p50 %1 ms, p99 %2 ms (%3 writes)\n")
                     .arg(percentile(probe.writeTrips, 50), 0, 'f', 1)
                     .arg(percentile(probe.writeTrips, 99), 0, 'f', 1)
                     .arg(probe.writeTrips.size());
    }
    out().flush();
}

// The broker stopped for outageS with values changing, then started again on its port. Three
// areas without the Bool one: a Bool would not change at every scan, and every scan is to find
// every value changed. A subscriber is connected before the gateway's next attempt, which its
// backoff puts up to 30 s after the broker is back; the delivery is timed from the first history
// message.
void outage(int outageS, BrokerProcess &broker, SimProcess &sim)
{
    constexpr int perArea = 34, areaCount = 3, intervalMs = 100, changeMs = 20;
    constexpr int deliveryLimitS = 300;
    QTemporaryDir dir;
    const QString storePath = dir.filePath(QStringLiteral("history.sqlite"));
    QProcess gateway;
    startGateway(gateway, dir,
                 "[broker]\nport = " + QByteArray::number(broker.port()) +
                     "\nprefix = b\nqos = 1\nstats_interval = 1\nstore = " + storePath.toUtf8() +
                     "\n[controller c]\nconnection = " + sim.udpConnectionString().toUtf8() +
                     "\ninterval = " + QByteArray::number(intervalMs) + "\nmax_age = 3600\n" +
                     tagLines(perArea, areaCount));
    QThread::msleep(1500); // connected, first scan made
    const qint64 pid = gateway.processId();

    Counter counter;
    qint64 rssMaxKiB = 0;
    qint64 nextSampleMs = 0;
    int generation = 2;
    QElapsedTimer pace;
    pace.start();
    // One change every changeMs, timed for the latency once history flows; the gateway's memory
    // once a second.
    auto step = [&] {
        if (counter.firstHistoryAt >= 0 && size_t(generation) < counter.changedAt.size())
            counter.changedAt[size_t(generation)] = counter.clock.elapsed();
        poke(sim, generation, perArea, areaCount);
        ++generation;
        if (pace.elapsed() >= nextSampleMs) {
            rssMaxKiB = std::max(rssMaxKiB, useOf(pid).rssKiB);
            nextSampleMs += 1000;
        }
        const qint64 next = qint64(generation - 2) * changeMs;
        QThread::msleep(ulong(std::max<qint64>(0, next - pace.elapsed())));
    };

    broker.stop();
    const ProcessUse holdingFrom = useOf(pid);
    QElapsedTimer window;
    window.start();
    while (window.elapsed() < outageS * qint64(1000))
        step();

    const bool back = broker.start({}, true);
    counter.start(broker.port(), "b/#");
    counter.measuring = true;
    const qint64 backAt = counter.clock.elapsed();
    const QRegularExpression storeFigures(
        QStringLiteral("\"store\":\\{\"held\":(\\d+),\"bytes\":\\d+,\"oldest_s\":\\d+,"
                       "\"delivered\":(\\d+),\"dropped\":(\\d+)"));
    QRegularExpressionMatch figures;
    // The gateway holds on until its next attempt: holding ends when history flows.
    ProcessUse holdingTo;
    double holdingS = 0;
    qint64 holdingRssKiB = 0, storeBytes = 0;
    for (int checkedS = 0; back && window.elapsed() < (outageS + deliveryLimitS) * qint64(1000);) {
        if (holdingS == 0 && counter.firstHistoryAt >= 0) {
            holdingTo = useOf(pid);
            holdingS = window.elapsed() / 1000.0;
            holdingRssKiB = rssMaxKiB;
        }
        if (holdingS == 0)
            storeBytes =
                QFileInfo(storePath).size() + QFileInfo(storePath + QStringLiteral("-wal")).size();
        step();
        if (window.elapsed() / 1000 > checkedS) {
            checkedS = int(window.elapsed() / 1000);
            std::lock_guard<std::mutex> g(counter.lock);
            figures = storeFigures.match(QString::fromUtf8(counter.lastStats));
            if (figures.hasMatch() && figures.captured(1) == QLatin1String("0"))
                break;
        }
    }
    const ProcessUse replayTo = useOf(pid);
    if (holdingS == 0) {
        holdingTo = replayTo;
        holdingS = window.elapsed() / 1000.0;
        holdingRssKiB = rssMaxKiB;
    }
    const double replayS = (counter.clock.elapsed() - counter.firstHistoryAt) / 1000.0;
    counter.measuring = false;
    stopGateway(gateway);
    counter.stop();

    const qint64 held = figures.captured(1).toLongLong();
    const qint64 delivered = figures.captured(2).toLongLong();
    const qint64 dropped = figures.captured(3).toLongLong();
    const qint64 heldValues = held + delivered + dropped; // none is held once history flows
    const double deliveryS =
        std::max<qint64>(1, counter.lastHistoryAt - counter.firstHistoryAt) / 1000.0;
    out() << QStringLiteral("== outage of %1 s: broker stopped, %2 tags changing at every 100 ms "
                            "scan, QoS 1\n")
                 .arg(outageS)
                 .arg(perArea * areaCount);
    if (!back)
        out() << "  the broker did not start again\n";
    out() << QStringLiteral("  values held                 %1 in %2 s (%3/s)%4\n")
                 .arg(heldValues)
                 .arg(holdingS, 0, 'f', 1)
                 .arg(heldValues / holdingS, 0, 'f', 0)
                 .arg(dropped > 0 ? QStringLiteral(", %1 dropped").arg(dropped) : QString());
    out() << QStringLiteral("  on disk per held value      %1 bytes (%2 MiB)   goal <= 100\n")
                 .arg(heldValues > 0 ? double(storeBytes) / double(heldValues) : 0, 0, 'f', 1)
                 .arg(storeBytes / 1048576.0, 0, 'f', 1);
    out() << QStringLiteral("  gateway while holding       CPU %1 % of a core, RSS max %2 MiB\n")
                 .arg(100 * (holdingTo.cpuSeconds - holdingFrom.cpuSeconds) / holdingS, 0, 'f', 1)
                 .arg(holdingRssKiB / 1024.0, 0, 'f', 1);
    out() << QStringLiteral(
                 "  broker back to history      %1 s (the gateway's reconnect backoff)\n")
                 .arg(counter.firstHistoryAt < 0
                          ? QStringLiteral("-")
                          : QString::number((counter.firstHistoryAt - backAt) / 1000.0, 'f', 1));
    out() << QStringLiteral("  backlog delivered           %1 values in %2 s, %3 values/s   goal "
                            ">= 50000/s%4\n")
                 .arg(counter.historyValues)
                 .arg(deliveryS, 0, 'f', 1)
                 .arg(counter.historyValues / deliveryS, 0, 'f', 0)
                 .arg(held > 0 || !figures.hasMatch()
                          ? QStringLiteral("; gave up with %1 still held")
                                .arg(figures.hasMatch() ? figures.captured(1) : "?")
                          : QString());
    std::lock_guard<std::mutex> g(counter.lock);
    out() << QStringLiteral("  live change to subscriber   p50 %1 ms, p99 %2 ms (%3 samples)   "
                            "goal p99 <= 1000 ms\n")
                 .arg(percentile(counter.latencies, 50), 0, 'f', 1)
                 .arg(percentile(counter.latencies, 99), 0, 'f', 1)
                 .arg(counter.latencies.size());
    if (counter.firstHistoryAt >= 0)
        out() << QStringLiteral("  gateway while delivering    CPU %1 % of a core\n")
                     .arg(100 * (replayTo.cpuSeconds - holdingTo.cpuSeconds) / replayS, 0, 'f', 1);
    out() << QStringLiteral("  gateway RSS max throughout  %1 MiB   goal <= 64 MiB\n")
                 .arg(rssMaxKiB / 1024.0, 0, 'f', 1);
    out().flush();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.contains(QStringLiteral("--help"))) {
        out() << "bench_gateway [--quick] [--outage S]\n  the gateway with 1,000 tags, a mosquitto "
                 "broker and a subscriber; then the broker away for a while\n"
                 "  --quick     shorter measuring windows and a 20 s outage\n"
                 "  --outage S  the broker away for S seconds (600)\n";
        return 0;
    }
    const bool quick = args.contains(QStringLiteral("--quick"));
    const int outageAt = args.indexOf(QStringLiteral("--outage"));
    const int outageS = outageAt > 0 ? args.value(outageAt + 1).toInt() : quick ? 20 : 600;
    if (outageS <= 0) {
        out() << "--outage wants a number of seconds\n";
        return 2;
    }
    if (!qEnvironmentVariableIsSet("TZ"))
        qputenv("TZ", ":/etc/localtime");
    const int seconds = quick ? 3 : 10;
    mosquitto_lib_init();
    BrokerProcess broker;
    SimProcess sim;
    if (!broker.start() || !sim.start({QStringLiteral("--pattern")})) {
        out() << "could not start the broker or the simulator\n";
        return 1;
    }
    out() << "1,000 tags on one simulated controller over UDP: AI Int16/UInt16, LW Int32/UInt32, "
             "NAI Float/Int32, DI Bool; QoS 0; values change every scan; gateway, broker, "
             "simulator and subscribers share this machine's CPUs\n";
    const Phase phases[] = {
        {"per-tag messages, 100 ms, merged", 100, true, false, seconds},
        {"per-tag messages, 100 ms, unmerged", 100, false, false, std::max(3, seconds / 3)},
        {"batch form (PREFIX/c/scan), 10 ms, merged", 10, true, true, seconds},
    };
    for (const Phase &p : phases)
        run(p, broker, sim);
    outage(outageS, broker, sim);
    mosquitto_lib_cleanup();
    return 0;
}
