// Round trips of the link against the project's simulator, beside the floor a raw socket
// reaches in the same run. Prints figures; asserts nothing.

#include "CmdTarvik.h"
#include "simprocess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSerialPort>
#include <QTextStream>

#include <algorithm>
#include <arpa/inet.h>
#include <functional>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

QTextStream out(stdout);

struct Figures
{
    double medianUs = 0;
    double p99Us = 0;
    int failures = 0;
};

// Times each call separately; a call answering false counts as a failure.
Figures measure(int count, const std::function<bool()> &exchange)
{
    std::vector<qint64> ns;
    ns.reserve(size_t(count));
    Figures f;
    QElapsedTimer clock;
    for (int i = 0; i < count; ++i) {
        clock.start();
        if (!exchange())
            ++f.failures;
        ns.push_back(clock.nsecsElapsed());
    }
    std::sort(ns.begin(), ns.end());
    f.medianUs = ns[ns.size() / 2] / 1000.0;
    f.p99Us = ns[ns.size() * 99 / 100] / 1000.0;
    return f;
}

void report(const char *what, const Figures &f, double floorUs = 0)
{
    out << QString::asprintf("%-58s median %9.1f us  p99 %9.1f us", what, f.medianUs, f.p99Us);
    if (floorUs > 0)
        out << QString::asprintf("  x%.2f floor", f.medianUs / floorUs);
    if (f.failures)
        out << "  failures " << f.failures;
    out << "\n";
    out.flush();
}

// Blocking sendto/recvfrom of the link check: what any client pays at least.
Figures rawUdpFloor(quint16 port, int count)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    timeval timeout{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const char probe[2] = {4, 1};
    char answer[64];
    const Figures f = measure(count, [&] {
        ::sendto(fd, probe, sizeof probe, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        return ::recvfrom(fd, answer, sizeof answer, 0, nullptr, nullptr) == 2;
    });
    ::close(fd);
    return f;
}

// Pins this process, and so the simulator it starts, to one CPU: a wake-up across CPUs would
// add tens of microseconds to every round trip and hide what the code costs.
bool pinToOneCpu()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(0, &set);
    return ::sched_setaffinity(0, sizeof set, &set) == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const bool spread = args.contains(QStringLiteral("--spread"));
    const int count = args.contains(QStringLiteral("--quick")) ? 2000 : 20000;
    if (args.contains(QStringLiteral("--help"))) {
        out << "bench_link [--quick] [--spread]\n"
               "  Round trips of the UDP link check and of serial exchanges against the\n"
               "  simulator, with the raw-socket floor measured in the same run.\n"
               "  --quick   a tenth of the exchanges\n"
               "  --spread  do not pin client and simulator to one CPU\n";
        return 0;
    }
    if (!spread)
        out << (pinToOneCpu() ? "client and simulator pinned to CPU 0\n"
                              : "could not pin to one CPU\n");

    SimProcess sim;
    if (!sim.start({QStringLiteral("--pty")})) {
        out << "the simulator did not start\n";
        return 1;
    }

    const Figures floor = rawUdpFloor(sim.udpPort(), count);
    report("UDP raw sockets, link check 04 01 (floor)", floor);

    CmdTarvik udp;
    if (udp.UDPConnectDrive(QStringLiteral("127.0.0.1"), sim.udpPort()) != 0) {
        out << "UDP link check failed\n";
        return 1;
    }
    report("UDP link check through the driver's exchange",
           measure(count, [&] { return udp.connections() == 0; }), floor.medianUs);

    CmdTarvik serial;
    if (serial.serialConnectDrive(sim.ptyPath(), 9600, 8, 1, QString()) != 0) {
        out << "cannot open " << sim.ptyPath() << "\n";
        return 1;
    }
    const QByteArray probe("\x04\x01", 2);
    auto serialExchange = [&](int expected) {
        return [&serial, &probe, expected] {
            QByteArray reply;
            return serial.SendData(probe, probe.size(), reply, 50, expected) == 0 && reply == probe;
        };
    };
    const int serialCount = count / 10;
    report("serial (pty) exchange, answer length known", measure(serialCount, serialExchange(2)),
           floor.medianUs);
    report("serial (pty) exchange, answer ends at its 3-ms quiet gap",
           measure(200, serialExchange(0)), floor.medianUs);

    // For comparison: the sequence that waits for everything (written bytes, then ready-read)
    // spends its full waits on every exchange.
    QSerialPort *port = serial.serialPort;
    report("serial, waiting for written bytes and ready-read (5 runs)",
           measure(5,
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
