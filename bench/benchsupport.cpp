#include "benchsupport.h"

#include "libtarvik.h"
#include "simprocess.h"

#include <QElapsedTimer>
#include <QUdpSocket>

#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace bench {

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

Options options(const QCoreApplication &app, const char *name, const char *what)
{
    const QStringList args = app.arguments();
    Options o;
    if (args.contains(QStringLiteral("--help"))) {
        out() << name << " [--quick] [--spread] [--unset-tz]\n  " << what
              << "\n  --quick     a tenth of the exchanges\n"
                 "  --spread    do not pin client and simulator to one CPU\n"
                 "  --unset-tz  leave TZ unset (else :/etc/localtime when the environment has "
                 "none)\n";
        out().flush();
        std::exit(0);
    }
    if (args.contains(QStringLiteral("--quick")))
        o.count /= 10;
    // Else every time stamp re-reads the zone file; --unset-tz measures what that costs.
    if (args.contains(QStringLiteral("--unset-tz")))
        qunsetenv("TZ");
    else if (!qEnvironmentVariableIsSet("TZ"))
        qputenv("TZ", ":/etc/localtime");
    out() << (qEnvironmentVariableIsSet("TZ") ? "TZ=" + qgetenv("TZ") : "TZ unset") << "\n";
    if (!args.contains(QStringLiteral("--spread"))) {
        // A wake-up across CPUs adds tens of microseconds to every round trip and would hide
        // what the code costs: client and simulator share CPU 0.
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(0, &set);
        out() << (::sched_setaffinity(0, sizeof set, &set) == 0
                      ? "client and simulator pinned to CPU 0\n"
                      : "could not pin to one CPU\n");
    }
    out().flush();
    return o;
}

namespace {

Figures figuresOf(std::vector<qint64> &ns, int failures)
{
    Figures f;
    f.failures = failures;
    if (ns.empty())
        return f;
    std::sort(ns.begin(), ns.end());
    f.medianUs = ns[ns.size() / 2] / 1000.0;
    f.p99Us = ns[ns.size() * 99 / 100] / 1000.0;
    return f;
}

qint64 timed(const std::function<bool()> &call, int *failures)
{
    QElapsedTimer clock;
    clock.start();
    if (!call())
        ++*failures;
    return clock.nsecsElapsed();
}

} // namespace

Figures measure(int count, const std::function<bool()> &call)
{
    std::vector<qint64> ns;
    ns.reserve(size_t(count));
    int failures = 0;
    // A peer that stopped answering would make every call wait out its timeout: give up early.
    for (int i = 0; i < count && failures < 20; ++i)
        ns.push_back(timed(call, &failures));
    return figuresOf(ns, failures);
}

std::vector<Figures> measureAlternating(int count, const std::vector<std::function<bool()>> &calls)
{
    std::vector<std::vector<qint64>> ns(calls.size());
    for (std::vector<qint64> &v : ns)
        v.reserve(size_t(count));
    std::vector<int> failures(calls.size(), 0);
    int allFailures = 0;
    for (int i = 0; i < count && allFailures < 20; ++i) {
        for (size_t c = 0; c < calls.size(); ++c) {
            const int before = failures[c];
            ns[c].push_back(timed(calls[c], &failures[c]));
            allFailures += failures[c] - before;
        }
    }
    std::vector<Figures> figures;
    for (size_t c = 0; c < calls.size(); ++c)
        figures.push_back(figuresOf(ns[c], failures[c]));
    return figures;
}

void measureSideBySide(int count, const std::function<bool()> &floor,
                       const std::function<bool()> &call, Figures *floorFigures,
                       Figures *callFigures)
{
    const std::vector<Figures> f = measureAlternating(count, {floor, call});
    *floorFigures = f[0];
    *callFigures = f[1];
}

RawUdpClient::RawUdpClient(quint16 port, const QByteArray &request)
    : fd(::socket(AF_INET, SOCK_DGRAM, 0)), request(request), answer(65536, '\0')
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    to = QByteArray(reinterpret_cast<const char *>(&address), sizeof address);
    timeval timeout{0, 200000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

RawUdpClient::~RawUdpClient()
{
    ::close(fd);
}

bool RawUdpClient::roundTrip()
{
    ::sendto(fd, request.constData(), size_t(request.size()), 0,
             reinterpret_cast<const sockaddr *>(to.constData()), socklen_t(to.size()));
    return ::recvfrom(fd, answer.data(), size_t(answer.size()), 0, nullptr, nullptr) > 0;
}

QtUdpClient::QtUdpClient(quint16 port, const QByteArray &request)
    : socket(new QUdpSocket), peer(QHostAddress::LocalHost), port(port), request(request),
      answer(65536, '\0')
{
}

QtUdpClient::~QtUdpClient()
{
    delete socket;
}

bool QtUdpClient::roundTrip()
{
    socket->writeDatagram(request.constData(), request.size(), peer, port);
    if (!socket->waitForReadyRead(300))
        return false;
    quint16 senderPort = 0;
    return socket->readDatagram(answer.data(), answer.size(), &sender, &senderPort) > 0;
}

Figures rawUdpRoundTrip(quint16 port, const QByteArray &request, int count)
{
    RawUdpClient client(port, request);
    return measure(count, [&client] { return client.roundTrip(); });
}

void report(const char *what, const Figures &f, double floorUs)
{
    report(what, f, floorUs, 0, nullptr);
}

void report(const char *what, const Figures &f, double floorUs, double otherUs,
            const char *otherName)
{
    out() << QString::asprintf("%-52s median %9.1f us  p99 %9.1f us", what, f.medianUs, f.p99Us);
    if (floorUs > 0)
        out() << QString::asprintf("  x%.2f floor", f.medianUs / floorUs);
    if (otherUs > 0)
        out() << QString::asprintf("  x%.2f %s", f.medianUs / otherUs, otherName);
    if (f.failures)
        out() << "  failures " << f.failures;
    out() << "\n";
    out().flush();
}

bool startDevices(SimProcess &sim, LibTarvik &udp, LibTarvik &serial, const QStringList &simArgs)
{
    if (!sim.start(QStringList{QStringLiteral("--pty")} + simArgs)) {
        out() << "the simulator did not start\n";
        return false;
    }
    if (udp.ConnectDrive(sim.udpConnectionString()) != 0) {
        out() << "cannot connect over UDP to " << sim.udpConnectionString() << "\n";
        return false;
    }
    if (serial.ConnectDrive(sim.serialConnectionString(9600)) != 0) {
        out() << "cannot open " << sim.ptyPath() << "\n";
        return false;
    }
    return true;
}

} // namespace bench
