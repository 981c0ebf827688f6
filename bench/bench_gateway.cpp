// The gateway under load: 1,000 tags of one simulated controller over UDP (four areas, two
// types in each), values changing every scan, a subscriber counting what arrives. Prints
// updates per second, exchanges per scan merged and unmerged, CPU and memory of the gateway and
// the broker, change-to-subscriber latency and a write's round trip; then the batch form at a
// 10 ms interval. The same loads as a Sparkplug B edge node: metrics delivered in DDATA, set
// beside the JSON figures; then how long a rebirth of ten controllers takes. Last, the broker goes
// away for a while with values changing, and comes back: what the store holds on disk, what the
// gateway costs meanwhile, how fast the backlog is delivered and how late live values are while
// it is. After the batch phases (before the rebirths) come the goals' loads: the batch form from 10
// controllers of 1,000 tags, the per-tag ceiling, and 100 controllers of 1,000 tags for the memory.
// Beside each phase, the gateway's instructions per value (perf stat, or callgrind with
// --callgrind). Nothing is asserted.

#include "benchsupport.h"
#include "brokerprocess.h"
#include "simprocess.h"
#include "sparkplugpayload.h"
#include "sparkplugtopics.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
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
#include <sys/resource.h>
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
QByteArray areaTagLines(int perArea = tagsPerArea, int areaCount = 4)
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
    return lines;
}

// The area tags and one writable tag, for the writes' round trip.
QByteArray tagLines(int perArea = tagsPerArea, int areaCount = 4)
{
    return areaTagLines(perArea, areaCount) + "tag = w AO1 Int16 writable interval=3600000\n";
}

// The memory of an area holding generation g in every tag, `bit` in every Bool.
QString pokeHex(const AreaLoad &a, int g, bool bit, int perArea)
{
    QByteArray bytes(perArea * a.bytesPerPoint, '\0');
    for (int i = 0; i < perArea; ++i) {
        char *p = bytes.data() + i * a.bytesPerPoint;
        const bool isFloat = a.area == QLatin1String("NAI") && (i + 1) % 2 == 0;
        if (a.bytesPerPoint == 1) {
            p[0] = char(bit);
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

// Generation g. A Bool flips once every pokesPerScan generations: flipping at each, it would
// come out unchanged in every scan that happens to span an even number of them.
void poke(SimProcess &sim, int g, int pokesPerScan = 1, int perArea = tagsPerArea,
          int areaCount = 4)
{
    const bool bit = (g / pokesPerScan) % 2 != 0;
    for (int n = 0; n < areaCount; ++n)
        sim.control(QStringLiteral("poke %1 0 %2")
                        .arg(QLatin1String(areas[n].area), pokeHex(areas[n], g, bit, perArea)));
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

// The scan generation a metric carries (every numeric tag holds it): -1 for a Bool or a null.
template <typename T> int firstElement(const sparkplug::Elements &elements)
{
    const auto *v = std::get_if<std::vector<T>>(&elements);
    return v && !v->empty() ? int(v->front()) : -1;
}

int generationOf(const SparkplugMetric &m)
{
    return std::max({firstElement<quint64>(m.value), firstElement<qint64>(m.value),
                     firstElement<double>(m.value)});
}

// A subscriber in this process (libmosquitto on its own thread): counts tag messages and the
// values in batch messages, the metrics in DDATA, takes each value's generation for the latency;
// keeps the DBIRTHs as they come, and publishes the node's commands.
class Counter
{
public:
    // A DBIRTH: when it came (ns on clock) and its payload, decoded once the timing is done.
    struct Birth
    {
        qint64 atNs;
        QByteArray payload;
    };

    std::atomic<qint64> messages{0};
    std::atomic<qint64> values{0};
    std::atomic<qint64> undecoded{0};
    std::atomic<qint64> historyValues{0};
    std::atomic<qint64> firstHistoryAt{-1}; // ms on clock
    std::atomic<qint64> lastHistoryAt{-1};
    std::mutex lock;
    std::vector<double> latencies;  // ms
    std::vector<double> writeTrips; // ms
    std::vector<Birth> births;
    QElapsedTimer clock;
    std::vector<qint64> changedAt; // ms on clock, by generation
    qint64 writeSentAt = 0;
    std::atomic<bool> measuring{false};
    QByteArray lastStats;                  // the gateway's own counters, as it last published them
    std::atomic<double> nodeReadsPerS{-1}; // the same figure, as the Sparkplug node sends it

    bool start(quint16 port, std::initializer_list<const char *> patterns)
    {
        clock.start();
        changedAt.assign(100000, -1);
        mosq = mosquitto_new(nullptr, true, this);
        mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
        mosquitto_message_v5_callback_set(mosq, &Counter::onMessage);
        if (mosquitto_connect(mosq, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS)
            return false;
        for (const char *pattern : patterns)
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
    void publish(const char *topic, const QByteArray &payload)
    {
        mosquitto_publish_v5(mosq, nullptr, topic, payload.size(), payload.constData(), 0, false,
                             nullptr);
    }
    // Waits until `count` DBIRTHs have come since the last takeBirths(); false after timeoutMs.
    bool awaitBirths(std::size_t count, int timeoutMs)
    {
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < timeoutMs) {
            {
                std::lock_guard<std::mutex> g(lock);
                if (births.size() >= count)
                    return true;
            }
            QThread::msleep(1);
        }
        return false;
    }
    std::vector<Birth> takeBirths()
    {
        std::lock_guard<std::mutex> g(lock);
        std::vector<Birth> taken;
        taken.swap(births);
        return taken;
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
        if (topic.startsWith("spBv1.0/")) {
            takeSparkplug(topic, payload, now);
            return;
        }
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
        if (ok)
            noteLatency(g, now);
    }

    void takeSparkplug(const QByteArray &topic, const QByteArray &payload, qint64 nowMs)
    {
        if (topic.contains("/DBIRTH/")) {
            std::lock_guard<std::mutex> g(lock);
            births.push_back({clock.nsecsElapsed(), payload});
        } else if (topic.contains("/NBIRTH/")) {
            takeNodeBirth(payload);
        } else if (measuring && topic.contains("/NDATA/")) {
            takeNodeData(payload);
        } else if (measuring && topic.contains("/DDATA/")) {
            takeData(payload, nowMs);
        }
    }

    // The alias of the node's reads per second: NDATA names it by that alone.
    void takeNodeBirth(const QByteArray &payload)
    {
        SparkplugPayload birth;
        QString why;
        if (!sparkplug::decode(payload, &birth, &why))
            return;
        for (const SparkplugMetric &m : birth.metrics)
            if (m.name == QLatin1String("Gateway/Reads per second") && m.alias)
                readsAlias = *m.alias;
    }

    void takeNodeData(const QByteArray &payload)
    {
        SparkplugPayload data;
        QString why;
        if (!sparkplug::decode(payload, &data, &why))
            return;
        for (const SparkplugMetric &m : data.metrics) {
            const auto *v = std::get_if<std::vector<double>>(&m.value);
            if (m.alias && *m.alias == readsAlias && v && !v->empty())
                nodeReadsPerS = v->front();
        }
    }

    // A DDATA counts as one message and its metrics as values; the first metric, the first tag
    // that changed, is timed.
    void takeData(const QByteArray &payload, qint64 now)
    {
        SparkplugPayload data;
        QString why;
        if (!sparkplug::decode(payload, &data, &why)) {
            ++undecoded;
            return;
        }
        ++messages;
        values += qint64(data.metrics.size());
        if (!data.metrics.empty())
            noteLatency(generationOf(data.metrics.front()), now);
    }

    // The time from the change to generation g until now, when that change was timed.
    void noteLatency(int g, qint64 now)
    {
        if (g > 1 && g < int(changedAt.size()) && changedAt[size_t(g)] >= 0) {
            std::lock_guard<std::mutex> l(lock);
            latencies.push_back(double(now - changedAt[size_t(g)]));
        }
    }

    mosquitto *mosq = nullptr;
    std::atomic<quint64> readsAlias{0};
};

// With --callgrind the gateway runs under callgrind, its instructions counted only over the
// measuring windows (where perf stat cannot count them, as in most virtual machines); its
// files go here.
QString callgrindDir;

// Writes the configuration into dir and starts the gateway on it.
void startGateway(QProcess &gateway, const QTemporaryDir &dir, const QByteArray &config)
{
    QFile conf(dir.filePath(QStringLiteral("gateway.conf")));
    conf.open(QIODevice::WriteOnly);
    conf.write(config);
    conf.close();
    gateway.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    // Its log goes to a file beside its configuration: a pipe nobody reads would fill and stop
    // the gateway at its next line (a thousand controllers log 2,000 lines as they start).
    gateway.setStandardErrorFile(dir.filePath(QStringLiteral("gateway.log")));
    if (callgrindDir.isEmpty())
        gateway.start(QStringLiteral(TARVIK_GATEWAY_PATH), {conf.fileName()});
    else
        gateway.start(QStringLiteral("valgrind"),
                      {QStringLiteral("--tool=callgrind"), QStringLiteral("--instr-atstart=no"),
                       QStringLiteral("--callgrind-out-file=%1/callgrind.%p").arg(callgrindDir),
                       QStringLiteral(TARVIK_GATEWAY_PATH), conf.fileName()});
    gateway.waitForStarted(3000);
}

// Time for a gateway to connect and make its first scans: under callgrind it starts slowly.
void awaitWarm()
{
    QThread::msleep(callgrindDir.isEmpty() ? 1500 : 8000);
}

void stopGateway(QProcess &gateway)
{
    if (gateway.processId() > 0) // never kill(0): that is the whole process group
        ::kill(pid_t(gateway.processId()), SIGTERM);
    gateway.waitForFinished(10000);
}

// The [broker] block of the measuring phases: QoS 0, stats every second, a queue long enough to
// drop nothing.
QByteArray brokerLines(const BrokerProcess &broker, const QTemporaryDir &dir)
{
    return "[broker]\nport = " + QByteArray::number(broker.port()) +
           "\nprefix = b\nqos = 0\nstats_interval = 1\nqueue_limit = 100000\nstore = " +
           dir.filePath(QStringLiteral("history.sqlite")).toUtf8() + "\n";
}

// The gateway as a Sparkplug B edge node only, no JSON topics beside; its rebirth command.
const QByteArray sparkplugLines =
    "output = sparkplug\nsparkplug_group = bench\nsparkplug_node = gw\n";
const char rebirthTopic[] = "spBv1.0/bench/NCMD/gw";

QByteArray controllerLines(const QString &name, const QString &connection, int intervalMs,
                           bool merge)
{
    return "[controller " + name.toUtf8() + "]\nconnection = " + connection.toUtf8() +
           "\ninterval = " + QByteArray::number(intervalMs) +
           "\nmax_age = 3600\nmerge = " + (merge ? "on" : "off") + "\n";
}

QByteArray controllerLines(const QString &name, SimProcess &sim, int intervalMs, bool merge)
{
    return controllerLines(name, sim.udpConnectionString(), intervalMs, merge);
}

double cpuPercent(const ProcessUse &from, const ProcessUse &to, double seconds)
{
    return 100 * (to.cpuSeconds - from.cpuSeconds) / seconds;
}

// How a phase's values go out: a message per tag, a message per scan, or Sparkplug DDATA.
enum class Form { Tags, Batch, Sparkplug };

struct Phase
{
    const char *title;
    int intervalMs;
    bool merge;
    Form form;
    int seconds;
    // Controllers of 1,000 tags each, one port of the simulator each (all on one memory).
    int controllers = 1;
};

QByteArray phaseConfig(const Phase &phase, const BrokerProcess &broker, SimProcess &sim,
                       const QTemporaryDir &dir)
{
    const bool batch = phase.form == Form::Batch;
    QByteArray config =
        brokerLines(broker, dir) + (phase.form == Form::Sparkplug ? sparkplugLines : "");
    const QStringList ports = sim.udpConnectionStrings();
    for (int i = 0; i < phase.controllers; ++i) {
        // One controller is c, as the writes address it; several are c0, c1, ...
        const QString name =
            phase.controllers == 1 ? QStringLiteral("c") : QStringLiteral("c%1").arg(i);
        config += controllerLines(name, ports.value(i), phase.intervalMs, phase.merge) +
                  "tag_messages = " + (batch ? "off" : "on") +
                  "\nscan_messages = " + (batch ? "on" : "off") + "\n" + tagLines();
    }
    return config;
}

// The instructions a process runs in user space over a window, as perf stat counts them; what a
// value costs there, beside the CPU time a busy, shared machine makes noisy.
class InstructionCount
{
public:
    void start(qint64 pid)
    {
        this->pid = pid;
        if (!callgrindDir.isEmpty()) {
            callgrind(QStringLiteral("-i"), QStringLiteral("on"));
            return;
        }
        file = dir.filePath(QStringLiteral("perf.csv"));
        perf.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        perf.start(QStringLiteral("perf"),
                   {QStringLiteral("stat"), QStringLiteral("-x"), QStringLiteral(","),
                    QStringLiteral("-e"), QStringLiteral("instructions:u"), QStringLiteral("-p"),
                    QString::number(pid), QStringLiteral("-o"), file});
        perf.waitForStarted(3000);
    }
    // The instructions counted since start(); -1 when perf is not there or could not count.
    double stop()
    {
        if (!callgrindDir.isEmpty())
            return fromCallgrind();
        if (perf.state() != QProcess::Running)
            return -1;
        ::kill(pid_t(perf.processId()), SIGINT);
        if (!perf.waitForFinished(5000))
            return -1;
        QFile csv(file);
        if (!csv.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray &line : csv.readAll().split('\n')) {
            if (!line.contains("instructions"))
                continue;
            bool ok = false;
            const double n = line.split(',').value(0).toDouble(&ok);
            return ok ? n : -1;
        }
        return -1;
    }

private:
    void callgrind(const QString &option, const QString &value = {})
    {
        QStringList args{option};
        if (!value.isEmpty())
            args << value;
        QProcess control;
        control.start(QStringLiteral("callgrind_control"), args << QString::number(pid));
        control.waitForFinished(30000);
    }
    // Instrumentation off, then the window's counts dumped: "totals:" is what the window ran.
    // callgrind_control takes a while to be answered, so the window it counts is not the one
    // the subscriber counted in: the values handed on to the outputs are counted in its own
    // window, as calls of ControllerOutputs::tagUpdated, and the values read as calls of
    // ControllerWorker::publishRead.
    double fromCallgrind()
    {
        callgrind(QStringLiteral("-i"), QStringLiteral("off"));
        callgrind(QStringLiteral("-d"));
        QFile dump(QStringLiteral("%1/callgrind.%2.1").arg(callgrindDir).arg(pid));
        if (!dump.open(QIODevice::ReadOnly))
            return -1;
        double totals = -1;
        QHash<QByteArray, QByteArray> names; // "(id)" -> the function's name
        double *into = nullptr;              // the count the calls line that follows adds to
        for (const QByteArray &line : dump.readAll().split('\n')) {
            if (line.startsWith("totals:"))
                totals = line.mid(7).trimmed().toDouble();
            if (line.startsWith("fn=") || line.startsWith("cfn=")) {
                const QByteArray ref = line.mid(line.indexOf('=') + 1);
                const QByteArray id = ref.left(ref.indexOf(')') + 1);
                if (ref.size() > id.size())
                    names.insert(id, ref.mid(id.size() + 1));
                const QByteArray callee = line.startsWith("cfn=") ? names.value(id) : "";
                into = callee.startsWith("ControllerOutputs::tagUpdated(")   ? &handedOn
                       : callee.startsWith("ControllerWorker::publishRead(") ? &read
                                                                             : nullptr;
            } else if (line.startsWith("calls=") && into) {
                *into += line.mid(6, line.indexOf(' ') - 6).toDouble();
                into = nullptr;
            }
        }
        return totals;
    }

    QTemporaryDir dir;
    QString file;
    QProcess perf;
    qint64 pid = 0;

public:
    // Under callgrind, in its window: the values handed to the outputs, and the values read.
    double handedOn = 0;
    double read = 0;
};

// "N instructions a WHAT": the count over what was delivered, or why there is none.
QString perValue(double instructions, double delivered, const char *what)
{
    if (instructions < 0)
        return QStringLiteral("not counted (perf stat is not there or may not count: try "
                              "--callgrind)");
    if (delivered <= 0)
        return QStringLiteral("%1 instructions, nothing delivered").arg(instructions, 0, 'f', 0);
    return QStringLiteral("%1 a %2 (%3 M in the window)")
        .arg(instructions / delivered, 0, 'f', 0)
        .arg(QLatin1String(what))
        .arg(instructions / 1e6, 0, 'f', 1);
}

// What a phase's measuring window saw.
struct Window
{
    double seconds = 0;
    int requests = 0; // by the simulator
    int writes = 0;
    double instructions = -1; // the gateway's, in user space
    double handedOn = 0;      // to its outputs, where callgrind counted
    ProcessUse gatewayFrom, gatewayTo, brokerFrom, brokerTo;
};

// What a phase delivered a second (tag updates, values or metrics) and what the gateway took.
struct Delivered
{
    double perS = 0;
    double cpuPercent = 0;
    double rssMiB = 0;
};

void printLatencies(const Phase &phase, Counter &counter, Counter &probe)
{
    std::lock_guard<std::mutex> g(counter.lock);
    out() << QStringLiteral("  change to subscriber        p50 %1 ms, p99 %2 ms (%3 samples)\n")
                 .arg(percentile(counter.latencies, 50), 0, 'f', 1)
                 .arg(percentile(counter.latencies, 99), 0, 'f', 1)
                 .arg(counter.latencies.size());
    if (phase.form == Form::Tags && phase.controllers == 1)
        out() << QStringLiteral("  write round trip            p50 %1 ms, p99 %2 ms (%3 writes)\n")
                     .arg(percentile(probe.writeTrips, 50), 0, 'f', 1)
                     .arg(percentile(probe.writeTrips, 99), 0, 'f', 1)
                     .arg(probe.writeTrips.size());
}

// The tag values the gateway says it read a second, as it said so last in the phase.
QString readsPerS(const Phase &phase, Counter &counter)
{
    if (phase.form == Form::Sparkplug)
        return counter.nodeReadsPerS < 0 ? QString()
                                         : QString::number(counter.nodeReadsPerS, 'f', 1);
    std::lock_guard<std::mutex> g(counter.lock);
    const QRegularExpression figure(QStringLiteral("\"reads_per_s\":([0-9.]+)"));
    return figure.match(QString::fromUtf8(counter.lastStats)).captured(1);
}

// What the gateway's queue held and had dropped when it said so last: a delivery short of the
// reads is either still waiting there or gone.
QString queueFigures(Counter &counter)
{
    std::lock_guard<std::mutex> g(counter.lock);
    const QRegularExpression figures(QStringLiteral("\"queue\":([0-9]+),\"dropped\":([0-9]+)"));
    const QRegularExpressionMatch m = figures.match(QString::fromUtf8(counter.lastStats));
    return m.hasMatch() ? QStringLiteral("; queue %1, dropped %2").arg(m.captured(1), m.captured(2))
                        : QString();
}

// The phase's figures; what it delivered a second for a comparison.
Delivered printPhase(const Phase &phase, const Window &w, Counter &counter, Counter &probe)
{
    // Pokes and the write's own requests are not scans: the control port is another socket, and
    // the few writes (each with its read back) are taken off.
    const double scans = w.seconds * 1000.0 / phase.intervalMs * phase.controllers;
    const Delivered d{(phase.form == Form::Tags ? counter.messages : counter.values) / w.seconds,
                      cpuPercent(w.gatewayFrom, w.gatewayTo, w.seconds),
                      w.gatewayTo.rssKiB / 1024.0};
    out() << "== " << phase.title << "\n";
    out() << QStringLiteral("  exchanges per scan          %1 (%2 requests in %3 s)\n")
                 .arg((w.requests - 2 * w.writes) / scans, 0, 'f', 1)
                 .arg(w.requests)
                 .arg(w.seconds, 0, 'f', 1);
    if (phase.form == Form::Batch)
        out() << QStringLiteral("  tag values delivered/s      %1 (in scan messages)\n")
                     .arg(d.perS, 0, 'f', 0);
    else if (phase.form == Form::Sparkplug)
        out() << QStringLiteral("  DDATA metrics delivered/s   %1 (in %2 DDATA/s%3)\n")
                     .arg(d.perS, 0, 'f', 0)
                     .arg(counter.messages / w.seconds, 0, 'f', 1)
                     .arg(counter.undecoded > 0
                              ? QStringLiteral("; %1 did not decode").arg(counter.undecoded)
                              : QString());
    else
        out() << QStringLiteral("  tag updates delivered/s     %1\n").arg(d.perS, 0, 'f', 0);
    out() << QStringLiteral("  gateway CPU                 %1 % of a core, RSS %2 MiB\n")
                 .arg(d.cpuPercent, 0, 'f', 1)
                 .arg(d.rssMiB, 0, 'f', 1);
    out() << QStringLiteral("  broker CPU                  %1 % of a core, RSS %2 MiB\n")
                 .arg(cpuPercent(w.brokerFrom, w.brokerTo, w.seconds), 0, 'f', 1)
                 .arg(w.brokerTo.rssKiB / 1024.0, 0, 'f', 1);
    out() << "  gateway instructions        "
          << (w.handedOn > 0 ? perValue(w.instructions, w.handedOn, "value published")
                             : perValue(w.instructions, double(counter.values), "delivered value"))
          << "\n";
    out() << QStringLiteral("  tag values read and decoded/s %1 (the gateway's %2)\n")
                 .arg(readsPerS(phase, counter),
                      phase.form == Form::Sparkplug
                          ? QStringLiteral("NDATA")
                          : QStringLiteral("stats") + queueFigures(counter));
    if (phase.form != Form::Batch)
        printLatencies(phase, counter, probe);
    out().flush();
    return d;
}

// One run of the gateway over the load; prints its figures.
Delivered run(const Phase &phase, BrokerProcess &broker, SimProcess &sim)
{
    QTemporaryDir dir;
    // Tag messages to one subscriber; writes and their replies over a client of their own, so a
    // reply never waits behind the flood of tag messages in a subscriber's queue.
    Counter counter, probe;
    counter.start(broker.port(), {"b/#", "spBv1.0/#"});
    probe.start(broker.port(), {"reply/#"});
    QProcess gateway;
    startGateway(gateway, dir, phaseConfig(phase, broker, sim, dir));
    awaitWarm(); // connected, first scan made

    Window w;
    const int requestsBefore = sim.requestsSeen();
    w.gatewayFrom = useOf(gateway.processId());
    w.brokerFrom = useOf(broker.processId());
    QElapsedTimer window;
    window.start();
    InstructionCount instructions;
    instructions.start(gateway.processId());
    counter.measuring = true;
    int generation = 2;
    // Values change five times a scan interval (at 10 ms and less, every 10 ms), so every scan
    // finds them changed (a Bool flips once an interval); a write every 100 ms with tag messages.
    const int changeMs = std::max(phase.intervalMs / 5, 10);
    while (window.elapsed() < phase.seconds * 1000) {
        counter.changedAt[size_t(generation)] = counter.clock.elapsed();
        poke(sim, generation, phase.intervalMs / changeMs);
        ++generation;
        if (phase.form == Form::Tags && phase.controllers == 1 && window.elapsed() / 100 > w.writes)
            probe.sendWrite(++w.writes);
        const qint64 next = qint64(generation - 2) * changeMs;
        QThread::msleep(ulong(std::max<qint64>(0, next - window.elapsed())));
    }
    counter.measuring = false;
    w.seconds = window.elapsed() / 1000.0;
    w.gatewayTo = useOf(gateway.processId());
    w.brokerTo = useOf(broker.processId());
    w.instructions = instructions.stop();
    w.handedOn = instructions.handedOn;
    w.requests = sim.requestsSeen() - requestsBefore;
    stopGateway(gateway);
    counter.stop();
    probe.stop();
    return printPhase(phase, w, counter, probe);
}

// The JSON figures of the same load in this run, beside a Sparkplug phase's; then its goal.
void printBeside(const Delivered &json, const char *what, const char *goal = nullptr)
{
    out() << QStringLiteral("  JSON, same load, this run   %1 %2/s, gateway CPU %3 % of a core, "
                            "RSS %4 MiB\n")
                 .arg(json.perS, 0, 'f', 0)
                 .arg(QLatin1String(what))
                 .arg(json.cpuPercent, 0, 'f', 1)
                 .arg(json.rssMiB, 0, 'f', 1);
    if (goal)
        out() << "  goal                        " << goal << "\n";
    out().flush();
}

// The node's Rebirth command: Node Control/Rebirth set true.
QByteArray rebirthCommand()
{
    SparkplugMetric rebirth;
    rebirth.name = QString::fromUtf8(sparkplug::rebirthMetric);
    rebirth.datatype = sparkplug::Datatype::Boolean;
    rebirth.value = std::vector<bool>{true};
    SparkplugPayload command;
    command.timestampMs = quint64(QDateTime::currentMSecsSinceEpoch());
    command.metrics.push_back(rebirth);
    return sparkplug::encode(command);
}

// The metrics the births carry; -1 when one of them does not decode.
qint64 metricsOf(const std::vector<Counter::Birth> &births)
{
    qint64 metrics = 0;
    for (const Counter::Birth &b : births) {
        SparkplugPayload birth;
        QString why;
        if (!sparkplug::decode(b.payload, &birth, &why))
            return -1;
        metrics += qint64(birth.metrics.size());
    }
    return metrics;
}

qint64 bytesOf(const std::vector<Counter::Birth> &births)
{
    qint64 bytes = 0;
    for (const Counter::Birth &b : births)
        bytes += b.payload.size();
    return bytes;
}

// One rebirth asked: the ms from publishing the command to the first and to the last of the
// `devices` DBIRTHs that follow; false when they did not all come in time. The births are left
// in *births.
bool timeRebirth(Counter &counter, std::size_t devices, double *firstMs, double *lastMs,
                 std::vector<Counter::Birth> *births)
{
    constexpr int birthsLimitMs = 10000;
    counter.takeBirths(); // a birth before the command is none of its
    const QByteArray command = rebirthCommand();
    const qint64 askedNs = counter.clock.nsecsElapsed();
    counter.publish(rebirthTopic, command);
    const bool all = counter.awaitBirths(devices, birthsLimitMs);
    *births = counter.takeBirths();
    if (!all)
        return false;
    *firstMs = double(births->front().atNs - askedNs) / 1e6;
    *lastMs = double((*births)[devices - 1].atNs - askedNs) / 1e6;
    return true;
}

constexpr int rebirthControllers = 10;
constexpr int rebirthIntervalMs = 100;

// The gateway as a node of ten devices, each a simulator of its own with 1,000 tags.
QByteArray rebirthConfig(const BrokerProcess &broker, SimProcess *sims, const QTemporaryDir &dir)
{
    QByteArray config = brokerLines(broker, dir) + sparkplugLines;
    for (int i = 0; i < rebirthControllers; ++i)
        config += controllerLines(QStringLiteral("c%1").arg(i), sims[i], rebirthIntervalMs, true) +
                  areaTagLines();
    return config;
}

struct Rebirths
{
    std::vector<double> firstMs, lastMs;
    std::vector<Counter::Birth> births; // of the last rebirth
    int missed = 0;                     // rebirths whose births did not all come
};

// `count` rebirths, the births of each given time to reach the subscriber and settle.
Rebirths askRebirths(Counter &counter, int count)
{
    Rebirths r;
    for (int i = 0; i < count; ++i) {
        QThread::msleep(300);
        double firstMs = 0, lastMs = 0;
        if (timeRebirth(counter, rebirthControllers, &firstMs, &lastMs, &r.births)) {
            r.firstMs.push_back(firstMs);
            r.lastMs.push_back(lastMs);
        } else {
            ++r.missed;
        }
    }
    return r;
}

void printRebirths(const Rebirths &r, const ProcessUse &from, const ProcessUse &to, double seconds)
{
    const qint64 metrics = metricsOf(r.births);
    out() << QStringLiteral("  command to last DBIRTH      p50 %1 ms, worst %2 ms (%3 rebirths%4)"
                            "   goal <= 100 ms for 10,000 metrics\n")
                 .arg(percentile(r.lastMs, 50), 0, 'f', 1)
                 .arg(r.lastMs.empty() ? 0 : *std::max_element(r.lastMs.begin(), r.lastMs.end()), 0,
                      'f', 1)
                 .arg(r.lastMs.size())
                 .arg(r.missed > 0 ? QStringLiteral("; %1 without all births").arg(r.missed)
                                   : QString());
    out() << QStringLiteral("  command to first DBIRTH     p50 %1 ms\n")
                 .arg(percentile(r.firstMs, 50), 0, 'f', 1);
    out() << QStringLiteral("  a rebirth's DBIRTHs         %1 metrics in %2 messages, %3 KiB\n")
                 .arg(metrics < 0 ? QStringLiteral("?") : QString::number(metrics))
                 .arg(r.births.size())
                 .arg(bytesOf(r.births) / 1024.0, 0, 'f', 0);
    out() << QStringLiteral("  gateway CPU                 %1 % of a core, RSS %2 MiB (the scans "
                            "and the rebirths)\n")
                 .arg(cpuPercent(from, to, seconds), 0, 'f', 1)
                 .arg(to.rssKiB / 1024.0, 0, 'f', 1);
    out().flush();
}

// Ten controllers of 1,000 tags each at a 100 ms scan, their values as they are, the gateway a
// Sparkplug node of ten devices. Once the ten DBIRTHs of the first birth are in, Rebirth is
// asked `count` times.
void rebirthPhase(int count, BrokerProcess &broker)
{
    constexpr int firstBirthLimitMs = 30000;
    out() << QStringLiteral("== Sparkplug B rebirth: %1 controllers x 1,000 tags, a simulator "
                            "each, %2 ms scans, values unchanging\n")
                 .arg(rebirthControllers)
                 .arg(rebirthIntervalMs);
    SimProcess sims[rebirthControllers];
    for (SimProcess &sim : sims)
        if (!sim.start({QStringLiteral("--pattern")})) {
            out() << "  could not start a simulator\n";
            return;
        }
    QTemporaryDir dir;
    Counter counter;
    counter.start(broker.port(), {"spBv1.0/#"});
    QProcess gateway;
    startGateway(gateway, dir, rebirthConfig(broker, sims, dir));
    if (counter.awaitBirths(rebirthControllers, firstBirthLimitMs)) {
        const ProcessUse from = useOf(gateway.processId());
        QElapsedTimer window;
        window.start();
        const Rebirths r = askRebirths(counter, count);
        printRebirths(r, from, useOf(gateway.processId()), window.elapsed() / 1000.0);
    } else {
        out() << "  the first births did not all come\n";
    }
    stopGateway(gateway);
    counter.stop();
    for (SimProcess &sim : sims)
        sim.stop();
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
        poke(sim, generation, 1, perArea, areaCount);
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
    counter.start(broker.port(), {"b/#"});
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

// ---- Failover: two gateways of one configuration (standby = on), the active one killed.

// A gateway of the pair, its log read as it comes.
struct PairMember
{
    QProcess process;
    QByteArray log;

    bool start(const QString &config)
    {
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start(QStringLiteral(TARVIK_GATEWAY_PATH), {config});
        return process.waitForStarted(3000);
    }
    bool logged(const QByteArray &what, int timeoutMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!log.contains(what) && !deadline.hasExpired()) {
            process.waitForReadyRead(50);
            log += process.readAllStandardError();
        }
        return log.contains(what);
    }
    void end(int signal)
    {
        if (process.processId() > 0)
            ::kill(pid_t(process.processId()), signal);
        process.waitForFinished(10000);
    }
};

// One takeover: ms from the SIGKILL of the active instance to the other's first publish (its
// status online), or -1 when it does not come within 30 s.
double takeover(const QString &config, quint16 brokerPort)
{
    PairMember first, second;
    SubscriberProcess status;
    if (!status.start(brokerPort, QStringLiteral("f/gateway/status")) || !first.start(config) ||
        !first.logged("is the active gateway", 30000) || !second.start(config) ||
        !second.logged("stands by", 30000) ||
        status.waitFor(QStringLiteral("^f/gateway/status \\d  online$"), 30000).isEmpty())
        return -1;
    const int seen = int(status.lines().size());
    QElapsedTimer took;
    took.start();
    first.end(SIGKILL);
    const bool published =
        !status.waitFor(QStringLiteral("^f/gateway/status \\d  online$"), 30000, seen).isEmpty();
    const double ms = took.nsecsElapsed() / 1e6;
    second.end(SIGTERM);
    return published ? ms : -1;
}

void failoverPhase(int count, BrokerProcess &broker, SimProcess &sim)
{
    QTemporaryDir dir;
    QFile conf(dir.filePath(QStringLiteral("pair.conf")));
    conf.open(QIODevice::WriteOnly);
    conf.write("[broker]\nport = " + QByteArray::number(broker.port()) +
               "\nprefix = f\nstandby = on\nkeepalive = 5\nstore = off\n" +
               controllerLines(QStringLiteral("c"), sim, 100, true) + tagLines(10, 1));
    conf.close();
    std::vector<double> ms;
    int missed = 0;
    for (int i = 0; i < count; ++i) {
        const double t = takeover(conf.fileName(), broker.port());
        if (t < 0)
            ++missed;
        else
            ms.push_back(t);
    }
    out() << "== failover: two gateways with standby = on (keepalive 5 s), the active one killed "
             "with SIGKILL, "
          << count << " times\n";
    if (ms.empty()) {
        out() << "  no takeover came\n";
        return;
    }
    out() << QStringLiteral("  to the other's first publish: median %1 ms, worst %2 ms%3 "
                            "(goal <= 3000 ms; the broker sees a killed process's connection "
                            "close at once, a machine gone after 1.5 keepalives)\n")
                 .arg(percentile(ms, 50), 0, 'f', 0)
                 .arg(*std::max_element(ms.begin(), ms.end()), 0, 'f', 0)
                 .arg(missed ? QStringLiteral(", %1 did not come").arg(missed) : QString());
}

// ---- A broker node lost: three nats-server nodes, the gateway's node killed while a value
// changes; a subscriber on another node takes the changes live or as history.

// t1's value in a message line of the subscriber ("TOPIC RETAIN  PAYLOAD"), live or history.
QStringList t1Values(const QString &line)
{
    static const QRegularExpression value(QStringLiteral("\"tag\":\"t1\",\"value\":(-?\\d+)"));
    static const QRegularExpression live(QStringLiteral("^n/c/t1 .*\"value\":(-?\\d+),"));
    QStringList values;
    if (const QRegularExpressionMatch m = live.match(line); m.hasMatch())
        values << m.captured(1);
    for (auto m = value.globalMatch(line); m.hasNext();)
        values << m.next().captured(1);
    return values;
}

void nodeLossPhase(int seconds, SimProcess &sim)
{
    NatsCluster cluster;
    if (!cluster.start(3)) {
        out() << "== broker node lost: the nats-server cluster did not start\n";
        return;
    }
    QTemporaryDir dir;
    QByteArray hosts;
    for (int i = 0; i < 3; ++i)
        hosts += (i ? ", 127.0.0.1:" : "127.0.0.1:") + QByteArray::number(cluster.mqttPort(i));
    SubscriberProcess sub;
    QProcess gateway;
    if (!sub.start(cluster.mqttPort(2), QStringLiteral("n/c/+"), {"-V", "311"}))
        return;
    startGateway(gateway, dir,
                 "[broker]\nhost = " + hosts + "\nprotocol = 3.1.1\nprefix = n\nstore = " +
                     dir.filePath(QStringLiteral("history.sqlite")).toUtf8() + "\n" +
                     controllerLines(QStringLiteral("c"), sim, 50, true) + "tag = t1 AI1 Int16\n");
    sub.waitFor(QStringLiteral("^n/c/t1 "), 30000);
    // A new value every 200 ms, read about four times each; the node killed a third of the way.
    QElapsedTimer clock;
    clock.start();
    std::vector<double> liveAt; // ms on clock
    QSet<QString> poked, seen;
    int read = 0;
    for (int v = 1; clock.elapsed() < seconds * 1000; ++v) {
        const QByteArray point = QByteArray(1, char(v & 0xff)) + char((v >> 8) & 0x7f) + "\0\0";
        sim.control(QStringLiteral("poke AI 0 ") + QString::fromLatin1(point.toHex()));
        poked << QString::number(v & 0x7fff);
        if (v == seconds * 5 / 3)
            cluster.kill(0);
        for (const QDeadlineTimer step(200); !step.hasExpired();) {
            sub.waitFor(QStringLiteral("^$never"), 20);
            const QStringList lines = sub.lines();
            for (; read < lines.size(); ++read) {
                if (lines[read].startsWith(QLatin1String("n/c/t1 ")))
                    liveAt.push_back(clock.nsecsElapsed() / 1e6);
                for (const QString &value : t1Values(lines[read]))
                    seen << value;
            }
        }
    }
    // What was held comes as history once the gateway is with another node.
    for (const QDeadlineTimer rest(30000); !rest.hasExpired() && !(poked - seen).isEmpty();) {
        sub.waitFor(QStringLiteral("^$never"), 100);
        const QStringList lines = sub.lines();
        for (; read < lines.size(); ++read) {
            for (const QString &value : t1Values(lines[read]))
                seen << value;
        }
    }
    double longestGap = 0;
    for (std::size_t i = 1; i < liveAt.size(); ++i)
        longestGap = std::max(longestGap, liveAt[i] - liveAt[i - 1]);
    stopGateway(gateway);
    out() << "== broker node lost: three nats-server nodes, the gateway's node killed (SIGKILL) "
             "while "
             "a value changes every 200 ms; a subscriber on another node\n"
          << QStringLiteral("  longest time without a live delivery %1 ms; values lost %2 of %3 "
                            "(goal 0; the gap's values come as history)\n")
                 .arg(longestGap, 0, 'f', 0)
                 .arg((poked - seen).size())
                 .arg(poked.size());
}

// ---- Scale: one gateway reading many controllers of 10 or 1,000 tags each at 1 s (one simulator
// answering on as many ports).

int threadsOf(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QRegularExpression threads(QStringLiteral("Threads:\\s+(\\d+)"));
    return threads.match(QString::fromLatin1(status.readAll())).captured(1).toInt();
}

// Each controller, and its socket in the gateway and in the simulator, is a file descriptor:
// the soft limit (often 1,024) is raised to the hard one for this process and its children.
void allowManyFiles()
{
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
}

// The tags of one controller in the scale phase: ten Int16, or the four areas' mix.
QByteArray scaleTagLines(int tags)
{
    if (tags != 10)
        return areaTagLines(tags / 4);
    QByteArray lines;
    for (int t = 1; t <= 10; ++t)
        lines += "tag = t" + QByteArray::number(t) + " AI" + QByteArray::number(t) + " Int16\n";
    return lines;
}

void scalePhase(int controllers, int seconds, BrokerProcess &broker, int tags = 10)
{
    allowManyFiles();
    SimProcess sim;
    if (!sim.start({QStringLiteral("--pattern"), QStringLiteral("--udp-ports"),
                    QString::number(controllers)},
                   60000) ||
        sim.udpConnectionStrings().size() != controllers) {
        out() << "== scale: the simulator did not serve " << controllers << " ports\n";
        return;
    }
    QByteArray config = "[broker]\nport = " + QByteArray::number(broker.port()) +
                        "\nprefix = s\nstore = off\nstats_interval = 5\n";
    const QStringList ports = sim.udpConnectionStrings();
    for (int i = 0; i < controllers; ++i) {
        config += "[controller c" + QByteArray::number(i) + "]\nconnection = " + ports[i].toUtf8() +
                  "\ninterval = 1000\n" + scaleTagLines(tags);
    }
    SubscriberProcess statuses;
    statuses.start(broker.port(), QStringLiteral("s/+/status"));
    QTemporaryDir dir;
    QProcess gateway;
    QElapsedTimer clock;
    clock.start();
    startGateway(gateway, dir, config);
    // Every controller online: its status said so.
    qint64 allOnlineMs = -1;
    for (const QDeadlineTimer deadline(120000); !deadline.hasExpired();) {
        statuses.waitFor(QStringLiteral("^$never"), 200);
        if (statuses.lines().filter(QRegularExpression(QStringLiteral(" online$"))).size() >=
            controllers) {
            allOnlineMs = clock.elapsed();
            break;
        }
    }
    const qint64 pid = gateway.processId();
    const ProcessUse from = useOf(pid);
    InstructionCount instructions;
    instructions.start(pid);
    // The most it held: sampled every 100 ms of the window.
    qint64 rssMaxKiB = from.rssKiB;
    for (const QDeadlineTimer window(seconds * 1000); !window.hasExpired();) {
        QThread::msleep(100);
        rssMaxKiB = std::max(rssMaxKiB, useOf(pid).rssKiB);
    }
    const ProcessUse to = useOf(pid);
    const double counted = instructions.stop();
    const int threads = threadsOf(pid);
    stopGateway(gateway);
    out() << "== scale: one gateway, " << controllers << " controllers of " << tags
          << " tags at 1 s (one simulator answering on as many ports)\n"
          << QStringLiteral("  every controller online %1 s after the start; then, over %2 s: "
                            "CPU %3 % of a core, RSS %4 MiB (max %5), %6 threads (goals %7)\n")
                 .arg(allOnlineMs < 0 ? QStringLiteral("not within 120")
                                      : QString::number(allOnlineMs / 1000.0, 'f', 1))
                 .arg(seconds)
                 .arg(cpuPercent(from, to, seconds), 0, 'f', 1)
                 .arg(to.rssKiB / 1024.0, 0, 'f', 1)
                 .arg(rssMaxKiB / 1024.0, 0, 'f', 1)
                 .arg(threads)
                 .arg(tags == 10 ? QStringLiteral("<= 50 %, <= 256 MiB")
                                 : QStringLiteral("<= 64 MiB for 100,000 tags"));
    // Unchanged values are read, compared and not published: the cost of a read, at the
    // configured once a second per tag.
    out() << "  gateway instructions        "
          << perValue(counted,
                      instructions.read > 0 ? instructions.read
                                            : double(controllers) * tags * seconds,
                      "tag read")
          << "\n";
}

// The loads the goals name: 10 controllers of 1,000 tags in the batch form at 10 ms; per-tag
// messages at 10 ms from as many controllers as saturate the gateway or the broker; 100
// controllers of 1,000 tags held in one gateway.
void goalPhases(int seconds, bool quick, BrokerProcess &broker)
{
    allowManyFiles();
    SimProcess many;
    if (!many.start(
            {QStringLiteral("--pattern"), QStringLiteral("--udp-ports"), QStringLiteral("10")},
            30000) ||
        many.udpConnectionStrings().size() != 10) {
        out() << "== goals: the simulator did not serve 10 ports\n";
        return;
    }
    run({"batch form, 10 controllers x 1,000 tags, 10 ms, merged (goal 1,000,000 values/s at "
         "<= 100 % of a core)",
         10, true, Form::Batch, seconds, 10},
        broker, many);
    run({"per-tag ceiling: 4 controllers x 1,000 tags, 10 ms, merged (400,000 updates/s "
         "offered)",
         10, true, Form::Tags, seconds, 4},
        broker, many);
    scalePhase(100, quick ? 5 : 20, broker, 1000);
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.contains(QStringLiteral("--help"))) {
        out()
            << "bench_gateway [--quick] [--outage S] [--sparkplug] [--failover] [--goals]\n"
               "              [--scale [N] [--tags T]] [--callgrind]\n"
               "  the gateway with 1,000 tags, a mosquitto broker and a subscriber, as JSON and "
               "as a Sparkplug B node; the goals' loads; rebirths of ten controllers; failover; "
               "then the broker away for a while\n"
               "  --quick      shorter measuring windows, fewer rebirths and a 20 s outage\n"
               "  --outage S   the broker away for S seconds (600)\n"
               "  --sparkplug  only the Sparkplug phases, the JSON ones they are set beside and "
               "the rebirths\n"
               "  --failover   only the takeovers of a standby pair and a broker node's loss\n"
               "  --scale [N]  only one gateway with N controllers of 10 tags (1,000)\n"
               "  --tags T     with --scale: T tags per controller, the four areas' mix (the goal: "
               "--scale 100 --tags 1000)\n"
               "  --callgrind  the gateway under callgrind, its instructions counted in the "
               "windows\n"
               "  --goals      only the loads of the goals: per-tag messages at 100 ms, the batch "
               "form from 1 and from 10 controllers, the per-tag ceiling, 100 x 1,000 tags\n";
        return 0;
    }
    const bool quick = args.contains(QStringLiteral("--quick"));
    const bool sparkplugOnly = args.contains(QStringLiteral("--sparkplug"));
    const bool failoverOnly = args.contains(QStringLiteral("--failover"));
    const bool scaleOnly = args.contains(QStringLiteral("--scale"));
    const bool goalsOnly = args.contains(QStringLiteral("--goals"));
    const int outageAt = args.indexOf(QStringLiteral("--outage"));
    const int outageS = outageAt > 0 ? args.value(outageAt + 1).toInt() : quick ? 20 : 600;
    if (outageS <= 0) {
        out() << "--outage wants a number of seconds\n";
        return 2;
    }
    if (!qEnvironmentVariableIsSet("TZ"))
        qputenv("TZ", ":/etc/localtime");
    const int seconds = quick ? 3 : 10;
    QTemporaryDir callgrindFiles;
    if (args.contains(QStringLiteral("--callgrind"))) {
        // Each window's profile stays for callgrind_annotate: callgrind.PID.1 per gateway.
        callgrindFiles.setAutoRemove(false);
        callgrindDir = callgrindFiles.path();
        out() << "callgrind's files are kept in " << callgrindDir << "\n";
    }
    mosquitto_lib_init();
    BrokerProcess broker;
    SimProcess sim;
    if (!broker.start() || !sim.start({QStringLiteral("--pattern")})) {
        out() << "could not start the broker or the simulator\n";
        return 1;
    }
    if (scaleOnly) {
        const int controllers = args.value(args.indexOf(QStringLiteral("--scale")) + 1).toInt();
        const int tagsAt = args.indexOf(QStringLiteral("--tags"));
        const int tags = tagsAt > 0 ? args.value(tagsAt + 1).toInt() : 10;
        scalePhase(controllers > 0 ? controllers : 1000, quick ? 10 : 30, broker,
                   tags > 0 ? tags : 10);
        return 0;
    }
    if (failoverOnly) {
        failoverPhase(quick ? 3 : 10, broker, sim);
        nodeLossPhase(quick ? 6 : 15, sim);
        return 0;
    }
    if (goalsOnly) {
        run({"per-tag messages, 100 ms, merged (goal 10,000 updates/s at <= 3 % of a core)", 100,
             true, Form::Tags, seconds},
            broker, sim);
        run({"batch form (PREFIX/c/scan), 10 ms, merged", 10, true, Form::Batch, seconds}, broker,
            sim);
        goalPhases(seconds, quick, broker);
        return 0;
    }
    out() << "1,000 tags on one simulated controller over UDP: AI Int16/UInt16, LW Int32/UInt32, "
             "NAI Float/Int32, DI Bool; QoS 0; values change every scan; gateway, broker, "
             "simulator and subscribers share this machine's CPUs\n";
    const Delivered perTag =
        run({"per-tag messages, 100 ms, merged", 100, true, Form::Tags, seconds}, broker, sim);
    run({"Sparkplug B DDATA, 100 ms, merged (the per-tag load)", 100, true, Form::Sparkplug,
         seconds},
        broker, sim);
    printBeside(perTag, "tag updates",
                ">= 10000 metric changes/s at <= 10 % of a core (this load offers at most "
                "10000/s: 1,000 tags x 10 scans)");
    if (!sparkplugOnly)
        run({"per-tag messages, 100 ms, unmerged", 100, false, Form::Tags,
             std::max(3, seconds / 3)},
            broker, sim);
    const Delivered batch = run(
        {"batch form (PREFIX/c/scan), 10 ms, merged", 10, true, Form::Batch, seconds}, broker, sim);
    run({"Sparkplug B DDATA, 10 ms, merged (the batch form's load)", 10, true, Form::Sparkplug,
         seconds},
        broker, sim);
    printBeside(batch, "tag values");
    if (!sparkplugOnly)
        goalPhases(seconds, quick, broker);
    rebirthPhase(quick ? 5 : 20, broker);
    if (!sparkplugOnly) {
        failoverPhase(quick ? 3 : 10, broker, sim);
        nodeLossPhase(quick ? 6 : 15, sim);
        scalePhase(1000, quick ? 10 : 30, broker);
        outage(outageS, broker, sim);
    }
    mosquitto_lib_cleanup();
    return 0;
}
