// Round trips of the link against the project's simulator, beside the floor a raw socket
// reaches in the same run. Prints figures; asserts nothing.

#include "CmdTarvik.h"
#include "areamodel.h"
#include "benchsupport.h"
#include "frame.h"
#include "simprocess.h"

#include <QSerialPort>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const bench::Options options = bench::options(
        app, "bench_link",
        "Round trips of the UDP link check and of serial exchanges against the simulator, with "
        "the raw-socket floor measured in the same run.");

    SimProcess sim;
    if (!sim.start({QStringLiteral("--pty")})) {
        bench::out() << "the simulator did not start\n";
        return 1;
    }
    const QByteArray probe("\x04\x01", 2);
    const bench::Figures floor = bench::rawUdpRoundTrip(sim.udpPort(), probe, options.count);
    bench::report("UDP raw sockets, link check 04 01 (floor)", floor);

    CmdTarvik udp;
    if (udp.UDPConnectDrive(QStringLiteral("127.0.0.1"), sim.udpPort()) != 0) {
        bench::out() << "UDP link check failed\n";
        return 1;
    }
    bench::report("UDP link check through the driver's exchange",
                  bench::measure(options.count, [&] { return udp.connections() == 0; }),
                  floor.medianUs);

    CmdTarvik serial;
    if (serial.serialConnectDrive(sim.ptyPath(), 9600, 8, 1, QString()) != 0) {
        bench::out() << "cannot open " << sim.ptyPath() << "\n";
        return 1;
    }
    // The exchange proper, with requests the controller answers as it answers the builders: a
    // read of two bytes at AI0, whose answer (4 + 2 bytes) is taken when complete, and a write of
    // the same two bytes, whose answer ends at the line's quiet gap. A link check goes through
    // the link check, never through an exchange, which takes no link check answer.
    const int ai = tarvik::areaCode(QStringLiteral("AI"));
    const int address = frame::scaledAddress(0, tarvik::areaScale(ai));
    const QByteArray read = frame::requestHeader(frame::readOp, ai, address, 2);
    const QByteArray write =
        frame::requestHeader(frame::writeOp, ai, address, 2) + QByteArray("\x12\x34", 2);
    auto serialExchange = [&](const QByteArray &request, int expected) {
        return [&serial, request, expected] {
            QByteArray reply;
            return serial.SendData(request, request.size(), reply, 50, expected) == 0 &&
                   frame::sequenceMatches(request, reply) &&
                   (expected == 0 || reply.size() == expected);
        };
    };
    bench::report("serial (pty) exchange, answer length known",
                  bench::measure(options.count / 10, serialExchange(read, 4 + 2)), floor.medianUs);
    bench::report("serial (pty) exchange, answer ends at its 3-ms gap",
                  bench::measure(200, serialExchange(write, 0)), floor.medianUs);

    // For comparison: the sequence that waits for everything (written bytes, then ready-read)
    // spends its full waits on every exchange.
    QSerialPort *port = serial.serialPort;
    bench::report("serial, waiting for written bytes, then ready-read",
                  bench::measure(5,
                                 [&] {
                                     port->write(probe);
                                     port->flush();
                                     port->waitForBytesWritten(100);
                                     port->waitForReadyRead(300);
                                     QCoreApplication::processEvents();
                                     port->readAll();
                                     return true;
                                 }),
                  floor.medianUs);
    return 0;
}
