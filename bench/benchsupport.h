#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QStringList>
#include <QTextStream>

#include <QHostAddress>

#include <functional>
#include <vector>

class LibTarvik;
class QUdpSocket;
class SimProcess;

// What every benchmark of the project shares: timing, the raw-socket floor, pinning, output.
namespace bench {

struct Figures
{
    double medianUs = 0;
    double p99Us = 0;
    int failures = 0;
};

struct Options
{
    int count = 20000;
};

QTextStream &out();

// --quick (a tenth of the exchanges), --spread (no pinning), --unset-tz, --help (prints and
// exits). Pins this process, and so the simulator it starts, to one CPU unless --spread; sets TZ
// when the environment has none, and unsets it with --unset-tz.
Options options(const QCoreApplication &app, const char *name, const char *what);

// Times each call separately; a call answering false counts as a failure.
Figures measure(int count, const std::function<bool()> &call);

// Blocking sendto/recvfrom of request to 127.0.0.1:port: what any client pays at least.
Figures rawUdpRoundTrip(quint16 port, const QByteArray &request, int count);

// The same floor, one round trip a call.
class RawUdpClient
{
public:
    RawUdpClient(quint16 port, const QByteArray &request);
    ~RawUdpClient();
    RawUdpClient(const RawUdpClient &) = delete;
    RawUdpClient &operator=(const RawUdpClient &) = delete;
    bool roundTrip();

private:
    int fd;
    QByteArray request;
    QByteArray to;
    QByteArray answer;
};

// The exchange the driver's UDP link is built on, with nothing of the driver's own:
// writeDatagram of the request, waitForReadyRead(300), readDatagram with the sender (which
// any client must look at). Buffer and sender are kept, as a careful client keeps them.
class QtUdpClient
{
public:
    QtUdpClient(quint16 port, const QByteArray &request);
    ~QtUdpClient();
    QtUdpClient(const QtUdpClient &) = delete;
    QtUdpClient &operator=(const QtUdpClient &) = delete;
    bool roundTrip();

private:
    QUdpSocket *socket;
    QHostAddress peer;
    quint16 port;
    QByteArray request;
    QByteArray answer;
    QHostAddress sender;
};

// Times the calls in turn, one call each per round, so all see the machine in the same state:
// on a shared machine the floor moves by a third from one second to the next. One Figures per
// call, in the calls' order.
std::vector<Figures> measureAlternating(int count, const std::vector<std::function<bool()>> &calls);

// Two calls alternately: the floor and the call measured against it.
void measureSideBySide(int count, const std::function<bool()> &floor,
                       const std::function<bool()> &call, Figures *floorFigures,
                       Figures *callFigures);

void report(const char *what, const Figures &f, double floorUs = 0);
// As report(), with the ratio to a second reference too (the bare Qt exchange, say).
void report(const char *what, const Figures &f, double floorUs, double otherUs,
            const char *otherName);

// Starts the simulator (with simArgs and a pseudo-terminal) and connects one driver over UDP
// and one over the pseudo-terminal at 9600 baud; says what failed and answers false otherwise.
bool startDevices(SimProcess &sim, LibTarvik &udp, LibTarvik &serial, const QStringList &simArgs);

} // namespace bench
