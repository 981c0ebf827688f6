// ReadVariable round trips against the simulator beside the raw-socket floor and the bare
// QUdpSocket exchange for the same bytes, measured in the same run, and the decode cost per
// element. Prints figures; asserts nothing.
//
// --calls N makes only N of each of the three exchanges, untimed, each kind in a function of its
// own: under valgrind --tool=callgrind the inclusive cost of exchangeRaw, exchangeBareQt and
// exchangeReadVariable divided by N is what one exchange costs, start-up left out. With
// --spaced the reads are 1.1 ms apart (the pause is exchangeReadVariable's only other callee),
// so none shares its time stamp with the read before, as with a host polling at a slower pace.

#include "benchsupport.h"
#include "codecs.h"
#include "libtarvik.h"
#include "simprocess.h"

#include <QCoreApplication>

#include <unistd.h>

namespace {

const QByteArray readInt16 = QByteArray::fromHex("0101010007000000000200");
const QByteArray read183Double = QByteArray::fromHex("010101000700000000b805"); // 1464 bytes

void decodeCosts(int elements)
{
    struct Row
    {
        const char *name;
        DataType type;
    };
    const Row rows[] = {
        {"Bool", Bool},   {"Int8", Int8},   {"Int16", Int16},   {"Int32", Int32},
        {"Float", Float}, {"Int64", Int64}, {"Double", Double}, {"String", String},
    };
    constexpr int textItem = 4; // "\x03" + three characters
    for (const Row &r : rows) {
        const tarvik::Codec *codec = tarvik::codecFor(r.type);
        QByteArray bytes(elements * (r.type == String ? textItem : codec->width), '\x01');
        if (r.type == String) {
            for (int i = 0; i < elements; ++i)
                bytes[i * textItem] = textItem - 1;
        }
        const bench::Figures f = bench::measure(200, [&] {
            const QVariant v = codec->decode(bytes, elements);
            return v.isValid();
        });
        bench::out() << QString::asprintf("decode %-6s %5d elements: %7.1f ns per element\n",
                                          r.name, elements, f.medianUs * 1000.0 / elements);
    }
}

// Kept out of line so that callgrind shows each kind of exchange as one function.
Q_NEVER_INLINE int exchangeRaw(bench::RawUdpClient &raw, int n)
{
    int ok = 0;
    for (int i = 0; i < n; ++i)
        ok += raw.roundTrip();
    return ok;
}

Q_NEVER_INLINE int exchangeBareQt(bench::QtUdpClient &qt, int n)
{
    int ok = 0;
    for (int i = 0; i < n; ++i)
        ok += qt.roundTrip();
    return ok;
}

Q_NEVER_INLINE int exchangeReadVariable(LibTarvik &udp, int n, bool spaced)
{
    int ok = 0;
    for (int i = 0; i < n; ++i) {
        if (spaced)
            ::usleep(1100);
        ok += udp.ReadVariable(QStringLiteral("AI1"), Int16).result == 0;
    }
    return ok;
}

// The count after --calls, or 0 when it is not given.
int callsOption(const QStringList &args)
{
    const int at = args.indexOf(QStringLiteral("--calls"));
    return at >= 0 && at + 1 < args.size() ? args.at(at + 1).toInt() : 0;
}

int countCalls(LibTarvik &udp, quint16 port, int n, bool spaced)
{
    bench::RawUdpClient raw(port, readInt16);
    bench::QtUdpClient qt(port, readInt16);
    const int raws = exchangeRaw(raw, n);
    const int qts = exchangeBareQt(qt, n);
    const int reads = exchangeReadVariable(udp, n, spaced);
    bench::out() << "answered: raw " << raws << ", bare Qt " << qts << ", ReadVariable " << reads
                 << " of " << n << " each\n";
    return raws == n && qts == n && reads == n ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const bench::Options options = bench::options(app, "bench_read",
                                                  "ReadVariable round trips against the simulator "
                                                  "beside the raw-socket floor, and decode costs.");

    SimProcess sim;
    LibTarvik udp, serial;
    if (!bench::startDevices(sim, udp, serial, {QStringLiteral("--pattern")}))
        return 1;

    if (const int calls = callsOption(app.arguments()))
        return countCalls(udp, sim.udpPort(), calls,
                          app.arguments().contains(QStringLiteral("--spaced")));

    bench::RawUdpClient raw(sim.udpPort(), readInt16);
    bench::QtUdpClient qt(sim.udpPort(), readInt16);
    const std::vector<bench::Figures> side = bench::measureAlternating(
        options.count,
        {[&raw] { return raw.roundTrip(); }, [&qt] { return qt.roundTrip(); },
         [&] { return udp.ReadVariable(QStringLiteral("AI1"), Int16).result == 0; }});
    const bench::Figures &floor = side[0];
    bench::report("UDP raw sockets, read of one Int16 (floor)", floor);
    bench::report("UDP bare QUdpSocket exchange, same request", side[1], floor.medianUs);
    bench::report("UDP ReadVariable AI1 Int16, alternating with both", side[2], floor.medianUs,
                  side[1].medianUs, "bare Qt");

    const bench::Figures floor183 =
        bench::rawUdpRoundTrip(sim.udpPort(), read183Double, options.count / 4);
    bench::report("UDP raw sockets, read of 183 Double (floor)", floor183);
    bench::report(
        "UDP ReadVariable AI1 Double x183",
        bench::measure(
            options.count / 4,
            [&] { return udp.ReadVariable(QStringLiteral("AI1"), Double, 183).result == 0; }),
        floor183.medianUs);

    bench::report(
        "serial (pty) ReadVariable AI1 Int16",
        bench::measure(
            options.count / 10,
            [&] { return serial.ReadVariable(QStringLiteral("AI1"), Int16).result == 0; }),
        floor.medianUs);
    bench::report(
        "serial (pty) ReadVariable AI1 Double x183",
        bench::measure(
            options.count / 20,
            [&] { return serial.ReadVariable(QStringLiteral("AI1"), Double, 183).result == 0; }),
        floor.medianUs);

    // The same port at 115200 baud: the answer of known length is taken as soon as it is in,
    // then checked for bytes right behind it for two character times.
    if (serial.ConnectDrive(sim.serialConnectionString(115200)) == 0)
        bench::report(
            "serial (pty, 115200) ReadVariable AI1 Int16",
            bench::measure(
                options.count / 10,
                [&] { return serial.ReadVariable(QStringLiteral("AI1"), Int16).result == 0; }),
            floor.medianUs);

    decodeCosts(1000);
    return 0;
}
