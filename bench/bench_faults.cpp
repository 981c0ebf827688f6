// What a misbehaving device costs the host: the processor while reads wait on a silent device,
// and memory while a serial line streams without a pause. Prints figures; asserts nothing.

#include "benchsupport.h"
#include "libtarvik.h"
#include "simprocess.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <sys/resource.h>

namespace {

qint64 cpuMicroseconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000000LL + u.ru_utime.tv_usec +
           u.ru_stime.tv_usec;
}

// Resident memory of this process in KiB, from the kernel's own count.
qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Reads of a failing device, back to back for about `seconds`: the share of one processor the
// host spends while it waits, and how long each read takes to fail.
void silentWait(const QString &what, LibTarvik &driver, double seconds)
{
    QElapsedTimer clock;
    clock.start();
    const qint64 cpuBefore = cpuMicroseconds();
    int reads = 0;
    while (clock.elapsed() < qint64(seconds * 1000)) {
        driver.ReadVariable(QStringLiteral("AI1"), Int16);
        ++reads;
    }
    const double cpu = double(cpuMicroseconds() - cpuBefore) / 1000.0;
    const double wall = double(clock.elapsed());
    bench::out() << QString::asprintf(
        "%-52s %5.2f %% of a core, %6.1f ms a read (%d reads, %.0f ms CPU in %.0f ms)\n",
        qPrintable(what), 100.0 * cpu / wall, wall / qMax(reads, 1), reads, cpu, wall);
}

// Runs the host's event loop for ms while the line streams, noting the largest resident size.
qint64 largestResidentWhile(int ms)
{
    qint64 largest = residentKiB();
    QEventLoop loop;
    QTimer sample;
    QObject::connect(&sample, &QTimer::timeout,
                     [&largest] { largest = qMax(largest, residentKiB()); });
    sample.start(50);
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    return qMax(largest, residentKiB());
}

// Reads of 20 tags back to back while the device repeats a share of its answers a few
// milliseconds later: a repeat that arrives after the next request went out cannot be told from
// that request's answer. Prints how many values were another tag's, per repeated answer.
void repeatsBackToBack(SimProcess &sim, LibTarvik &driver, int reads)
{
    QVector<QList<qint16>> truth;
    for (int i = 1; i <= 20; ++i)
        truth.append(
            driver.ReadVariable(QStringLiteral("AI%1").arg(i), Int16).value.value<QList<qint16>>());
    sim.control(QStringLiteral("faults --duplicate 20 --duplicate-rate 0.02 --seed 2"));
    int wrong = 0, failed = 0;
    for (int n = 0; n < reads; ++n) {
        const CLabelVariable r = driver.ReadVariable(QStringLiteral("AI%1").arg(1 + n % 20), Int16);
        if (r.result != 0)
            ++failed;
        else if (r.value.value<QList<qint16>>() != truth.at(n % 20))
            ++wrong;
    }
    sim.control(QStringLiteral("faults"));
    const double repeats = 0.02 * reads;
    bench::out() << QString::asprintf(
        "%d reads back to back, about %.0f answers repeated 1-20 ms later: %d wrong values "
        "(%.2f a repeat), %d failed\n",
        reads, repeats, wrong, wrong / repeats, failed);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const bench::Options options =
        bench::options(app, "bench_faults",
                       "The processor while reads wait on a silent device (UDP and serial) and "
                       "resident memory while a serial line streams at full rate for 10 s.");

    SimProcess sim;
    LibTarvik udp, serial;
    if (!bench::startDevices(sim, udp, serial, {QStringLiteral("--pattern")}))
        return 1;

    const double seconds = options.count >= 20000 ? 5.0 : 1.5;
    sim.control(QStringLiteral("faults --silent"));
    silentWait(QStringLiteral("waiting for a silent device, UDP"), udp, seconds);
    for (const int baud : {115200, 9600, 1200}) {
        serial.ConnectDrive(sim.serialConnectionString(baud));
        silentWait(QStringLiteral("waiting for a silent device, serial at %1").arg(baud), serial,
                   seconds);
    }
    // A line that never goes quiet: every read finds bytes but no answer it can trust.
    sim.control(QStringLiteral("faults --babble 60000 --babble-baud 9600"));
    serial.ConnectDrive(sim.serialConnectionString(9600));
    silentWait(QStringLiteral("a line that never goes quiet, serial at 9600"), serial, seconds);
    sim.control(QStringLiteral("faults"));
    repeatsBackToBack(sim, udp, options.count >= 20000 ? 20000 : 2000);

    const int streamMs = options.count >= 20000 ? 10000 : 2000;
    const qint64 idle = largestResidentWhile(500);
    if (sim.control(QStringLiteral("faults --stream-full")) != QLatin1String("ok")) {
        bench::out() << "the simulator cannot stream; no memory figure\n";
        return 0;
    }
    const qint64 streaming = largestResidentWhile(streamMs);
    sim.control(QStringLiteral("faults"));
    bench::out() << QString::asprintf(
        "resident memory, idle host: %lld KiB; while the line "
        "streams at full rate for %d s: at most %lld KiB (+%lld KiB)\n",
        idle, streamMs / 1000, streaming, streaming - idle);
    return 0;
}
