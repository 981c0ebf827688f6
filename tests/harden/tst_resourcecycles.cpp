#include "ExportTCPDLL.h"
#include "harden.h"
#include "libtarvik.h"
#include "simprocess.h"

#include <QTest>

// Connect, read, disconnect and DestroyFree over and over, over UDP and over the simulator's
// pseudo-terminal, and drivers obtained from getSharedLibrary and deleted as a host deletes
// them: the process's open descriptors and resident memory stay where they were after a warm-up.
// The deltas are printed.
//
// TARVIK_CYCLES (default 10000) and TARVIK_DRIVER_CYCLES (default 1000) set the counts. Under
// AddressSanitizer and valgrind the memory figure is only printed.
class ResourceCyclesTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void linkCycles_data();
    void linkCycles();
    void driverCycles();

private:
    SimProcess sim;
};

namespace {

// Memory a run may gain after its warm-up without anything leaking: allocator caches and
// Qt's own lazily built tables. Over 9000 cycles a leak of 60 bytes a cycle exceeds it.
constexpr qint64 memorySlackKiB = 512;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

// AddressSanitizer and valgrind (whose preload library is in LD_PRELOAD) both hold freed memory
// back on purpose: there resident memory says nothing about leaks, and they look for leaks
// themselves.
bool memoryHeldBack()
{
    return sanitized || qEnvironmentVariable("LD_PRELOAD").contains(QLatin1String("vgpreload"));
}

bool memoryFlat(qint64 deltaKiB)
{
    return memoryHeldBack() || deltaKiB <= memorySlackKiB;
}

int cycles(const char *variable, int fallback)
{
    bool ok = false;
    const int n = qEnvironmentVariableIntValue(variable, &ok);
    return ok && n > 0 ? n : fallback;
}

struct Figures
{
    int descriptors;
    qint64 residentKiB;
};

Figures now()
{
    return {harden::openDescriptors(), harden::residentKiB()};
}

// Runs cycle() n times, a tenth of them as the warm-up, and reports the change after it.
template <typename Cycle> bool measure(const char *what, int n, Figures *delta, Cycle cycle)
{
    const int warmUp = qMax(1, n / 10);
    Figures before{};
    for (int i = 0; i < n; ++i) {
        if (i == warmUp)
            before = now();
        if (!cycle(i)) {
            qWarning("%s: cycle %d failed", what, i);
            return false;
        }
    }
    const Figures after = now();
    delta->descriptors = after.descriptors - before.descriptors;
    delta->residentKiB = after.residentKiB - before.residentKiB;
    qInfo("%s: %d cycles, open descriptors %+d, resident memory %+lld KiB (now %lld KiB)", what, n,
          delta->descriptors, delta->residentKiB, after.residentKiB);
    return true;
}

} // namespace

void ResourceCyclesTest::initTestCase()
{
    QVERIFY(sim.start({QStringLiteral("--pty"), QStringLiteral("--pattern")}));
}

void ResourceCyclesTest::linkCycles_data()
{
    QTest::addColumn<bool>("udp");
    QTest::newRow("udp") << true;
    QTest::newRow("serial") << false;
}

void ResourceCyclesTest::linkCycles()
{
    QFETCH(bool, udp);
    const QString conn = udp ? sim.udpConnectionString() : sim.serialConnectionString(115200);
    LibTarvik driver;
    Figures delta{};
    const bool ran =
        measure(udp ? "udp" : "serial", cycles("TARVIK_CYCLES", 10000), &delta, [&](int) {
            return driver.ConnectDrive(conn) == 0 &&
                   driver.ReadVariable(QStringLiteral("AI1"), Int16, 4).result == 0 &&
                   driver.DisConnectDrive() == 0 && driver.DestroyFree() == 0;
        });
    QVERIFY(ran);
    QCOMPARE(delta.descriptors, 0);
    QVERIFY2(memoryFlat(delta.residentKiB), qPrintable(QString::number(delta.residentKiB)));
}

void ResourceCyclesTest::driverCycles()
{
    const QString conn = sim.udpConnectionString();
    Figures delta{};
    const bool ran = measure(
        "getSharedLibrary/delete", cycles("TARVIK_DRIVER_CYCLES", 1000), &delta, [&](int i) {
            CDriveBaseClass *driver = getSharedLibrary();
            // Every other driver goes with its link still open: the
            // destructor releases it.
            const bool ok = driver->ConnectDrive(conn) == 0 &&
                            driver->ReadVariable(QStringLiteral("AO2"), Float, 2).result == 0 &&
                            (i % 2 == 1 || driver->DestroyFree() == 0);
            delete dynamic_cast<QObject *>(driver);
            return ok;
        });
    QVERIFY(ran);
    QCOMPARE(delta.descriptors, 0);
    QVERIFY2(memoryFlat(delta.residentKiB), qPrintable(QString::number(delta.residentKiB)));
}

QTEST_GUILESS_MAIN(ResourceCyclesTest)
#include "tst_resourcecycles.moc"
