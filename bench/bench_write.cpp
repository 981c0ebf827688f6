// WriteVariable round trips against the simulator beside the raw-socket floor for the same
// bytes, measured in the same run, and the encode cost per element. Prints figures; asserts
// nothing.

#include "benchsupport.h"
#include "codecs.h"
#include "libtarvik.h"
#include "simprocess.h"

#include <QCoreApplication>

namespace {

const QByteArray writeInt16 = QByteArray::fromHex("0201010007000000000200 0102");

template <typename E> QVariant listOf(int n, const E &e)
{
    QList<E> list;
    for (int i = 0; i < n; ++i)
        list.append(e);
    return QVariant::fromValue(list);
}

void encodeCosts(int elements)
{
    struct Row
    {
        const char *name;
        DataType type;
        QVariant payload;
    };
    const Row rows[] = {
        {"Bool", Bool, listOf(elements, true)},
        {"Int8", Int8, listOf(elements, 'a')},
        {"Int16", Int16, listOf<short>(elements, 513)},
        {"Int32", Int32, listOf(elements, 0x12345678)},
        {"Float", Float, listOf(elements, -2.5f)},
        {"Int64", Int64, listOf(elements, 0x0102030405060708ll)},
        {"Double", Double, listOf(elements, 1.0)},
        {"String", String, listOf(elements, QStringLiteral("abc"))},
    };
    for (const Row &r : rows) {
        const tarvik::Codec *codec = tarvik::codecFor(r.type);
        const bench::Figures f = bench::measure(200, [&] {
            QByteArray bytes;
            codec->encode(r.payload, elements, &bytes);
            return !bytes.isEmpty();
        });
        bench::out() << QString::asprintf("encode %-6s %5d elements: %7.1f ns per element\n",
                                          r.name, elements, f.medianUs * 1000.0 / elements);
    }
}

CLabelVariable int16Record()
{
    CLabelVariable r;
    r.value = listOf<short>(1, 513);
    return r;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const bench::Options options =
        bench::options(app, "bench_write",
                       "WriteVariable round trips against the simulator beside the raw-socket "
                       "floor, and encode costs.");

    SimProcess sim;
    LibTarvik udp, serial;
    if (!bench::startDevices(sim, udp, serial, {}))
        return 1;

    const CLabelVariable one = int16Record();
    const bench::Figures floor = bench::rawUdpRoundTrip(sim.udpPort(), writeInt16, options.count);
    bench::report("UDP raw sockets, write of one Int16 (floor)", floor);
    bench::report(
        "UDP WriteVariable AI1 Int16",
        bench::measure(
            options.count,
            [&] { return udp.WriteVariable(QStringLiteral("AI1"), Int16, one).result == 0; }),
        floor.medianUs);

    // A write answer's length is not known ahead, so a serial write ends at the quiet gap.
    bench::report(
        "serial (pty) WriteVariable AI1 Int16, answer ends at its gap",
        bench::measure(
            options.count / 100,
            [&] { return serial.WriteVariable(QStringLiteral("AI1"), Int16, one).result == 0; }),
        floor.medianUs);

    encodeCosts(1000);
    return 0;
}
