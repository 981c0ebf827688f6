#include "controller.h"
#include "labelarith.h"
#include "libtarvik.h"
#include "simprocess.h"

#include <QRandomGenerator>
#include <QTest>

#include <cstring>
#include <iterator>
#include <type_traits>

// Thousands of reads and writes of random tags, types and counts against the simulator while it
// misbehaves at random, over UDP and over its pseudo-terminal. A result 0 must carry exactly
// what the controller holds (a read) or has just stored (a write); a failure must be 8 and must
// follow a fault the simulator owns up to. The counts are printed.
//
// TARVIK_SOAK_OPS (operations per link; by default 2000 over UDP and 800 over the slower
// pseudo-terminal), TARVIK_SOAK_RATE (share of answers given a random fault, default 0.1) and
// TARVIK_SOAK_SEED (default 1) set the run; the long run:
//   TARVIK_SOAK_OPS=20000 build/tests/harden/tst_faultsoak
class FaultSoakTest : public QObject
{
    Q_OBJECT

private slots:
    void soak_data();
    void soak();
    void inOrder_data();
    void inOrder();
};

namespace {

// The next read goes out only once every repeated answer planned so far has been sent and has had
// spacingMs to reach the driver: a repeat that came behind the next request could not be told
// from its answer (the protocol has no request identifier), however loaded the machine is.
void letRepeatsLand(SimProcess &sim, int spacingMs)
{
    if (!sim.awaitRepeatsSent())
        qWarning("the simulator still had repeated answers to send after 10 s");
    QTest::qWait(spacingMs);
}

using controller::TagKind;

// Tags of every type, each where the controller takes it: bytes in bit areas travel as 8 wire
// bytes each, bytes in word and half-word areas in whole words.
const TagKind kinds[] = {
    {"DO", Bool, 1, 1, 1467, 1},     {"AI", Bool, 1, 1, 1467, 1},  {"DI", Int8, 1, 8, 183, 1},
    {"HDS", UInt8, 1, 8, 183, 1},    {"AI", UInt8, 4, 1, 1464, 4}, {"SA", UInt8, 2, 1, 1466, 2},
    {"Custom", Int8, 1, 1, 1466, 2}, {"AI", Int16, 4, 2, 733, 1},  {"AO", UInt16, 4, 2, 733, 1},
    {"LW", Int32, 4, 4, 366, 1},     {"LW", UInt32, 4, 4, 366, 1}, {"AO", Float, 4, 4, 366, 1},
    {"NAO", Float, 4, 4, 366, 1},    {"LA", Double, 4, 8, 183, 1}, {"NAI", Int64, 4, 8, 183, 1},
    {"NAI", UInt64, 4, 8, 183, 1},   {"SI", String, 256, 1, 5, 1},
};

// A stretch of the run with one set of faults on every answer (on top of the random ones).
struct Phase
{
    const char *name;
    const char *faults;
    bool udp;
    bool serial;
    int maxLength; // longest transfer in bytes, where the faults make every byte slow
    bool alone;    // no random faults on top
    int spacingMs; // pause after each operation
};

// An answer cut short and then padded is the right size with the wrong bytes, and nothing in a
// frame tells it from a good one: the oversize stretch runs without random faults, which could
// cut its answers. Likewise a line's own bytes just ahead of an answer cut short by as many:
// the streaming stretch runs alone; and right behind it, when a loaded machine delays the
// babble's next byte past the moment the answer is trusted: the babbling stretch runs alone. A
// repeated answer that arrives after the next request went out cannot be told from that request's
// answer: the stretch with repeats spaces its operations further apart than the repeats come, and
// runs alone (link checks answered twice are read through in the in-order table below, which looks
// at values only). The random faults reach link checks too, and include echoes on the serial line.
const Phase phases[] = {
    {"random faults only", "", true, true, 0, false, 0},
    {"late, within the wait", "--late 40", true, true, 0, false, 0},
    {"oversized", "--oversize 7", true, true, 0, true, 0},
    {"decoy from another address first", "--decoy", true, false, 0, false, 0},
    {"from another port", "--other-port", true, false, 0, false, 0},
    {"trickled", "--pace 38400", false, true, 96, false, 0},
    {"chunked", "--chunk 3 --pace 38400", false, true, 384, false, 0},
    {"babbling after each answer", "--babble 20", false, true, 0, true, 0},
    {"streaming while idle", "--stream 9600", false, true, 0, true, 0},
    {"answers repeated", "--duplicate 20 --duplicate-rate 0.05", true, true, 0, true, 60},
    {"echoing line", "--echo", false, true, 0, false, 0},
};

// The driver warns about every failed answer and dropped datagram; the soak counts those lines
// and keeps its own, which would drown among them.
QtMessageHandler previousHandler = nullptr;
int driverWarnings = 0;
QStringList recentWarnings; // the driver's last few lines, shown when something went wrong

void countDriverWarnings(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (text.startsWith(QLatin1String("\"lib[Tarvik]"))) {
        ++driverWarnings;
        recentWarnings.append(text.left(200));
        while (recentWarnings.size() > 4)
            recentWarnings.removeFirst();
        return;
    }
    previousHandler(type, context, text);
}

struct Counts
{
    int reads = 0, writes = 0, succeeded = 0, failed = 0, otherOutcomes = 0, unexplained = 0,
        wrong = 0, faulted = 0;
};

int envNumber(const char *name, int fallback)
{
    bool ok = false;
    const int v = qEnvironmentVariableIntValue(name, &ok);
    return ok ? v : fallback;
}

double envRate()
{
    bool ok = false;
    const double v = qEnvironmentVariable("TARVIK_SOAK_RATE").toDouble(&ok);
    return ok && v >= 0 && v <= 1 ? v : 0.1;
}

class Soak
{
public:
    Soak(SimProcess &sim, bool udp, quint32 seed) : sim(sim), udp(udp), random(seed) {}

    bool connect()
    {
        const QString conn = udp ? sim.udpConnectionString() : sim.serialConnectionString(9600);
        return driver.ConnectDrive(conn) == 0;
    }

    void run(int operations, double rate)
    {
        int done = 0;
        while (done < operations) {
            const Phase &phase = pickPhase();
            const QString faults =
                QStringLiteral("faults %1 --fault-link-check --fault-rate %2 --seed %3")
                    .arg(QLatin1String(phase.faults))
                    .arg(phase.alone ? 0.0 : rate)
                    .arg(random.generate());
            if (sim.control(faults) != QLatin1String("ok"))
                qFatal("the simulator refused '%s'", qPrintable(faults));
            const int stretch = qMin(operations - done, 50 + int(random.bounded(100)));
            for (int i = 0; i < stretch; ++i) {
                operate(phase);
                if (phase.spacingMs > 0)
                    letRepeatsLand(sim, phase.spacingMs);
            }
            done += stretch;
        }
        counts.faulted = faultedSoFar();
    }

    Counts counts;

private:
    const Phase &pickPhase()
    {
        for (;;) {
            const Phase &p = phases[random.bounded(int(std::size(phases)))];
            if (udp ? p.udp : p.serial)
                return p;
        }
    }

    int faultedSoFar()
    {
        const QString stats = sim.control(QStringLiteral("stats"));
        const int at = stats.indexOf(QLatin1String("faulted="));
        return at < 0 ? -1 : stats.mid(at + 8).toInt();
    }

    int pickCount(const TagKind &kind, const Phase &phase)
    {
        int most = kind.maxCount;
        if (phase.maxLength > 0)
            most = qMax(kind.step,
                        qMin(most, phase.maxLength / qMax(1, controller::lengthOf(kind, 1))));
        // Mostly a few elements, now and then up to the longest transfer.
        const int top = random.bounded(10) < 7 ? qMin(most, 8 * kind.step) : most;
        const int steps = top / kind.step;
        return kind.step * (1 + int(random.bounded(qMax(1, steps))));
    }

    QString text()
    {
        static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789 ";
        const int length = random.bounded(20) == 0 ? 255 : int(random.bounded(21));
        QString out;
        for (int k = 0; k < length; ++k)
            out.append(QLatin1Char(letters[random.bounded(int(sizeof letters) - 1)]));
        return out;
    }

    // count random values of the kind's type: any bit pattern, texts of letters and digits.
    QVariant values(const TagKind &kind, int count)
    {
        return tarvik::withElementType(kind.type, [&](auto tag) {
            using E = typename decltype(tag)::type;
            if constexpr (std::is_void_v<E>) {
                return QVariant();
            } else {
                QList<E> out;
                for (int i = 0; i < count; ++i) {
                    if constexpr (std::is_same_v<E, QString>) {
                        out.append(text());
                    } else if constexpr (std::is_same_v<E, bool>) {
                        out.append(random.bounded(2) == 1);
                    } else {
                        const quint64 bits = random.generate64();
                        E e;
                        std::memcpy(&e, &bits, sizeof e);
                        out.append(e);
                    }
                }
                return QVariant::fromValue(out);
            }
        });
    }

    void operate(const Phase &phase)
    {
        const TagKind &kind = kinds[random.bounded(int(std::size(kinds)))];
        const int count = pickCount(kind, phase);
        const int index = int(random.bounded(kind.type == String ? 30 : 200));
        const QString address = QLatin1String(kind.area) + QString::number(index + 1);
        const bool write = random.bounded(2) == 1;
        const int faultedBefore = faultedSoFar();

        QVariant sent;
        CLabelVariable r;
        if (write) {
            ++counts.writes;
            sent = values(kind, count);
            CLabelVariable record;
            record.value = sent;
            r = driver.WriteVariable(address, kind.type, record, count);
        } else {
            ++counts.reads;
            r = driver.ReadVariable(address, kind.type, count);
        }
        const QString what = QStringLiteral("%1 %2 type %3 count %4 (%5)")
                                 .arg(write ? "write" : "read", address)
                                 .arg(kind.type)
                                 .arg(count)
                                 .arg(QLatin1String(phase.name));

        if (r.result != 0) {
            ++counts.failed;
            if (r.result != 8) {
                ++counts.otherOutcomes;
                qWarning().noquote() << what << "ended with" << r.result;
            }
            if (faultedSoFar() == faultedBefore) {
                ++counts.unexplained;
                qWarning().noquote()
                    << what << "failed without a fault after" << previous
                    << "; the driver's last lines:" << recentWarnings.join(QLatin1String(" | "));
            }
            // No pause: the next access goes out at once, while a late answer to this one may
            // still be on its way.
            previous = what + QStringLiteral(" -> %1").arg(r.result);
            return;
        }
        ++counts.succeeded;
        const QByteArray memory = controller::peek(
            sim, kind.area, controller::offsetOf(kind, index), controller::lengthOf(kind, count));
        const QByteArray expected = write ? controller::storedBytes(kind, sent, count)
                                          : controller::readView(kind, memory, count);
        const QByteArray got = write ? memory : controller::bytesOf(r.value, kind.type);
        const QString before = previous;
        previous = what + QStringLiteral(" -> 0");
        if (got != expected) {
            if (++counts.wrong <= 5)
                qWarning().noquote()
                    << what << "after" << before << "carried" << got.left(32).toHex(' ')
                    << "where the controller has" << expected.left(32).toHex(' ');
        }
    }

    SimProcess &sim;
    bool udp;
    QString previous; // the access before, and its result
    QRandomGenerator random;
    LibTarvik driver;
};

} // namespace

void FaultSoakTest::soak_data()
{
    QTest::addColumn<bool>("udp");
    QTest::addColumn<int>("operations");
    QTest::newRow("udp") << true << 2000;
    QTest::newRow("pty") << false << 800;
}

void FaultSoakTest::soak()
{
    QFETCH(bool, udp);
    QFETCH(int, operations);
    operations = envNumber("TARVIK_SOAK_OPS", operations);
    const double rate = envRate();
    const quint32 seed = quint32(envNumber("TARVIK_SOAK_SEED", 1));

    SimProcess sim;
    QVERIFY(sim.start({QStringLiteral("--pty"), QStringLiteral("--pattern")}));
    driverWarnings = 0;
    previousHandler = qInstallMessageHandler(countDriverWarnings);
    Soak soak(sim, udp, seed);
    QVERIFY(soak.connect());
    soak.run(operations, rate);
    qInstallMessageHandler(previousHandler);

    const Counts &c = soak.counts;
    qInfo().noquote()
        << QStringLiteral("soak %1: %2 operations (%3 reads, %4 writes), %5 succeeded, %6 failed "
                          "(%7 with an outcome other than 8, %8 without a fault), %9 answers "
                          "faulted, %10 wrong values, %11 driver warnings; rate %12, seed %13")
               .arg(udp ? "udp" : "pty")
               .arg(c.reads + c.writes)
               .arg(c.reads)
               .arg(c.writes)
               .arg(c.succeeded)
               .arg(c.failed)
               .arg(c.otherOutcomes)
               .arg(c.unexplained)
               .arg(c.faulted)
               .arg(c.wrong)
               .arg(driverWarnings)
               .arg(rate)
               .arg(seed);
    QCOMPARE(c.wrong, 0);
    QCOMPARE(c.otherOutcomes, 0);
    QCOMPARE(c.unexplained, 0);
    QCOMPARE(c.reads + c.writes, operations);
    if (rate > 0 && operations >= 200)
        QVERIFY2(c.failed > 0 && c.faulted > c.failed, "the faults never bit");
}

// A controller that answers each request at most once and in request order, however late (link
// checks included), that repeats an answer now and then, or that sits behind a line echoing every
// request: round after round of reads over 20 tags, and every read with result 0 carries exactly
// what the controller holds. Reads are spaced as a poll would space them; where answers are
// repeated, further apart than the repeats come, with room for a loaded machine.
void FaultSoakTest::inOrder_data()
{
    QTest::addColumn<bool>("udp");
    QTest::addColumn<QString>("faults");
    QTest::addColumn<int>("reads");
    QTest::addColumn<int>("spacingMs");
    QTest::addColumn<bool>("allSucceed");

    for (const int late : {360, 380, 450, 700}) {
        const QString faults = QStringLiteral("--late %1 --fault-link-check").arg(late);
        QTest::addRow("udp, every answer %d ms late", late) << true << faults << 24 << 0 << false;
        QTest::addRow("pty, every answer %d ms late", late) << false << faults << 24 << 0 << false;
    }
    const QString duplicates = QStringLiteral("--duplicate 20 --duplicate-rate 0.02 --seed 2");
    QTest::newRow("udp, 2% repeated") << true << duplicates << 200 << 60 << false;
    QTest::newRow("pty, 2% repeated") << false << duplicates << 200 << 60 << false;
    const QString twice = QStringLiteral("--repeat-link-check --late 400 --late-rate 0.1");
    QTest::newRow("udp, link checks twice, 10% late") << true << twice << 150 << 0 << false;
    QTest::newRow("pty, link checks twice, 10% late") << false << twice << 150 << 0 << false;
    QTest::newRow("pty, echoing line") << false << QStringLiteral("--echo") << 100 << 0 << true;
}

void FaultSoakTest::inOrder()
{
    QFETCH(bool, udp);
    QFETCH(QString, faults);
    QFETCH(int, reads);
    QFETCH(int, spacingMs);
    QFETCH(bool, allSucceed);

    SimProcess sim;
    QVERIFY(sim.start({QStringLiteral("--pty"), QStringLiteral("--pattern")}));
    LibTarvik driver;
    QCOMPARE(
        driver.ConnectDrive(udp ? sim.udpConnectionString() : sim.serialConnectionString(115200)),
        0);

    // Twenty words, and booleans of the size whose request an echo matches in length.
    struct Tag
    {
        const TagKind *kind;
        int index;
        int count;
        QByteArray expected;
    };
    const TagKind words = {"AI", Int16, 4, 2, 733, 1};
    const TagKind booleans = {"DO", Bool, 1, 1, 1467, 1};
    QVector<Tag> tags;
    for (int i = 0; i < 20; ++i)
        tags.append(i % 5 == 4 ? Tag{&booleans, i, 7, {}} : Tag{&words, i, 1, {}});
    for (Tag &tag : tags) {
        const QByteArray memory =
            controller::peek(sim, tag.kind->area, controller::offsetOf(*tag.kind, tag.index),
                             controller::lengthOf(*tag.kind, tag.count));
        tag.expected = controller::readView(*tag.kind, memory, tag.count);
    }
    QCOMPARE(sim.control(QStringLiteral("faults ") + faults), QStringLiteral("ok"));

    int succeeded = 0, wrong = 0;
    for (int n = 0; n < reads; ++n) {
        const Tag &tag = tags.at(n % tags.size());
        const QString address = QLatin1String(tag.kind->area) + QString::number(tag.index + 1);
        const CLabelVariable r = driver.ReadVariable(address, tag.kind->type, tag.count);
        if (r.result == 0) {
            ++succeeded;
            const QByteArray got = controller::bytesOf(r.value, tag.kind->type);
            if (got != tag.expected && ++wrong <= 5)
                qWarning().noquote() << address << "carried" << got.toHex(' ') << "where it holds"
                                     << tag.expected.toHex(' ');
        }
        if (spacingMs > 0)
            letRepeatsLand(sim, spacingMs);
    }
    qInfo().noquote() << QStringLiteral("%1 reads, %2 succeeded, %3 wrong; %4 dropped bytes, %5 "
                                        "echoes, %6 unanswered")
                             .arg(reads)
                             .arg(succeeded)
                             .arg(wrong)
                             .arg(driver.link.droppedBytes())
                             .arg(driver.link.echoesDiscarded())
                             .arg(driver.link.unanswered());
    QCOMPARE(wrong, 0);
    if (allSucceed)
        QCOMPARE(succeeded, reads);
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // A long soak outlasts QtTest's five minutes a test function; give it a bound of its own:
    // a second an operation, with a hundred operations of headroom.
    if (!qEnvironmentVariableIsSet("QTEST_FUNCTION_TIMEOUT")) {
        const int operations = qMax(envNumber("TARVIK_SOAK_OPS", 2000), 2000);
        qputenv("QTEST_FUNCTION_TIMEOUT", QByteArray::number(qint64(operations + 100) * 1000));
    }
    FaultSoakTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_faultsoak.moc"
