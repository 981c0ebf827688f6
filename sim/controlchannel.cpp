#include "controlchannel.h"

#include "areatable.h"
#include "framecodec.h"
#include "log.h"
#include "memoryimage.h"
#include "simulator.h"
#include "udpendpoint.h"
#include "wire.h"

#include <QCoreApplication>
#include <QNetworkDatagram>

namespace sim {

namespace {

// Largest peek: its hex reply must still fit a datagram.
constexpr quint64 kMaxPeek = 16384;

struct Command
{
    const char *name;
    int arguments; // exact count, or -1 for any
    const char *usage;
    QString (ControlChannel::*run)(const QStringList &);
};

QString ok(const QString &data = QString())
{
    return data.isEmpty() ? QStringLiteral("ok") : QStringLiteral("ok ") + data;
}

QString error(const QString &why)
{
    return QStringLiteral("error ") + why;
}

} // namespace

ControlChannel::ControlChannel(Simulator &simulator) : simulator_(simulator)
{
    connect(&socket_, &QUdpSocket::readyRead, this, &ControlChannel::readCommands);
}

bool ControlChannel::bind(const QHostAddress &address, quint16 port, QString *why)
{
    if (!socket_.bind(address, port)) {
        *why = QStringLiteral("cannot bind the control port %1: %2")
                   .arg(endpointText(address, port), socket_.errorString());
        return false;
    }
    return true;
}

QString ControlChannel::execute(const QString &line)
{
    static const Command commands[] = {
        {"faults", -1, "faults [fault options]", &ControlChannel::faults},
        {"poke", 3, "poke AREA OFFSET HEX", &ControlChannel::poke},
        {"peek", 3, "peek AREA OFFSET LEN", &ControlChannel::peek},
        {"stats", 0, "stats", &ControlChannel::stats},
        {"clients", 1, "clients MS", &ControlChannel::clients},
        {"writes", 0, "writes", &ControlChannel::writes},
        {"repeats", 0, "repeats", &ControlChannel::repeats},
        {"reset", 0, "reset", &ControlChannel::reset},
        {"close-pty", 0, "close-pty", &ControlChannel::closePty},
        {"open-pty", 0, "open-pty", &ControlChannel::openPty},
        {"quit", 0, "quit", &ControlChannel::quit},
    };
    const QString simplified = line.simplified();
    if (simplified.isEmpty())
        return error(QStringLiteral("empty command"));
    QStringList words = simplified.split(QLatin1Char(' '));
    const QString name = words.takeFirst();
    for (const Command &command : commands) {
        if (name != QLatin1String(command.name))
            continue;
        if (command.arguments >= 0 && words.size() != command.arguments)
            return error(QStringLiteral("usage: %1").arg(QLatin1String(command.usage)));
        return (this->*command.run)(words);
    }
    return error(QStringLiteral("unknown command '%1'").arg(name));
}

void ControlChannel::readCommands()
{
    while (socket_.hasPendingDatagrams()) {
        const QNetworkDatagram datagram = socket_.receiveDatagram();
        const QString line = QString::fromUtf8(datagram.data()).trimmed();
        const QString reply = execute(line);
        note(QStringLiteral("control: %1 -> %2").arg(line, reply));
        socket_.writeDatagram(reply.toUtf8(), datagram.senderAddress(),
                              quint16(datagram.senderPort()));
    }
}

QString ControlChannel::faults(const QStringList &arguments)
{
    FaultSet set;
    QString why;
    if (!parseFaults(arguments, &set, &why) || !simulator_.setFaults(set, &why))
        return error(why);
    return ok();
}

QString ControlChannel::poke(const QStringList &arguments)
{
    QString why;
    const std::optional<Poke> poke = makePoke(arguments[0], arguments[1], arguments[2], &why);
    if (!poke || !simulator_.poke(*poke, &why))
        return error(why);
    return ok();
}

QString ControlChannel::peek(const QStringList &arguments)
{
    const Area *area = areaByName(arguments[0]);
    if (!area)
        return error(QStringLiteral("unknown area '%1'").arg(arguments[0]));
    quint64 offset = 0;
    quint64 length = 0;
    if (!parseNumber(arguments[1], MemoryImage::kAreaCapacity - 1, &offset))
        return error(QStringLiteral("bad offset '%1'").arg(arguments[1]));
    if (!parseNumber(arguments[2], kMaxPeek, &length) || length == 0)
        return error(QStringLiteral("LEN takes 1 to %1").arg(kMaxPeek));
    // Refused as a poke there is: zeros from beyond the area would pass for memory.
    if (offset + length > MemoryImage::kAreaCapacity)
        return error(QStringLiteral("bytes end past the area's capacity"));
    const QByteArray bytes = simulator_.peek(area->code, quint32(offset), quint32(length));
    return ok(QString::fromLatin1(bytes.toHex()));
}

QString ControlChannel::stats(const QStringList &)
{
    const Stats &s = simulator_.stats();
    return ok(QStringLiteral("requests=%1 answered=%2 faulted=%3")
                  .arg(s.requests)
                  .arg(s.answered)
                  .arg(s.faulted));
}

QString ControlChannel::writes(const QStringList &)
{
    return ok(QString::number(simulator_.stats().writes));
}

QString ControlChannel::clients(const QStringList &arguments)
{
    quint64 ms = 0;
    if (!parseNumber(arguments[0], 3600000, &ms))
        return error(QStringLiteral("MS takes 0 to 3600000"));
    return ok(QString::number(simulator_.clientsWithin(qint64(ms))));
}

QString ControlChannel::repeats(const QStringList &)
{
    return ok(QStringLiteral("due=%1").arg(simulator_.stats().repeatsDue));
}

QString ControlChannel::reset(const QStringList &)
{
    simulator_.reset();
    return ok();
}

QString ControlChannel::closePty(const QStringList &)
{
    QString why;
    return simulator_.closePty(&why) ? ok() : error(why);
}

QString ControlChannel::openPty(const QStringList &)
{
    QString pathOrWhy;
    return simulator_.openPty(&pathOrWhy) ? ok(pathOrWhy) : error(pathOrWhy);
}

QString ControlChannel::quit(const QStringList &)
{
    // The reply goes out first; the event loop ends after this datagram's handler returns.
    QCoreApplication::exit(0);
    return ok();
}

} // namespace sim
