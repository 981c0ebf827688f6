#include "simulator.h"

#include "controlchannel.h"
#include "devicelink.h"
#include "framecodec.h"
#include "log.h"
#include "pattern.h"
#include "ptylink.h"
#include "serialendpoint.h"
#include "udpendpoint.h"

namespace sim {

Simulator::Simulator(const Settings &settings) : settings_(settings)
{
    setVerbose(settings.verbose);
    fillMemory();
    for (const Poke &poke : settings_.pokes)
        image_.write(poke.area, poke.offset, poke.bytes);
}

Simulator::~Simulator() = default;

bool Simulator::start(QString *why)
{
    if (!setFaults(settings_.faults, why))
        return false;
    for (int i = 0; settings_.udp && i < settings_.udpPorts; ++i) {
        udp_.push_back(std::make_unique<UdpEndpoint>(*this));
        if (!udp_.back()->bind(settings_.address, i == 0 ? settings_.port : 0, why))
            return false;
    }
    control_ = std::make_unique<ControlChannel>(*this);
    if (!control_->bind(settings_.address, settings_.controlPort, why))
        return false;
    if (settings_.pty) {
        QString path;
        if (!openPty(&path)) {
            *why = path;
            return false;
        }
    }
    if (!settings_.device.isEmpty()) {
        auto link = std::make_unique<DeviceLink>();
        if (!link->open(settings_.device, settings_.deviceBaud, why))
            return false;
        device_ = std::make_unique<SerialEndpoint>(*this, std::move(link));
        forgetWhenHungUp(device_);
        applyLineFaults();
    }
    return true;
}

QStringList Simulator::announcements() const
{
    QStringList lines;
    for (const auto &udp : udp_)
        lines << QStringLiteral("udp ") + endpointText(settings_.address, udp->port());
    lines << QStringLiteral("control ") + endpointText(settings_.address, control_->port());
    if (pty_)
        lines << QStringLiteral("pty %1").arg(pty_->path());
    if (device_)
        lines << QStringLiteral("serial %1").arg(device_->path());
    return lines;
}

std::optional<Delivery> Simulator::respond(const QByteArray &frame, Transport transport,
                                           const QString &from)
{
    QString why;
    const std::optional<Request> request = parseRequest(frame, &why);
    if (!request) {
        note(QStringLiteral("%1: refused: %2").arg(from, why));
        return std::nullopt;
    }
    ++stats_.requests;
    stats_.writes += request->kind == FrameKind::Write ? 1 : 0;
    noteClient(from);
    const std::optional<QByteArray> answer = answerRequest(*request, image_);
    if (!answer) {
        note(QStringLiteral("%1: refused: the write does not fit the area").arg(from));
        return std::nullopt;
    }
    Delivery delivery = faults_.plan(*answer, request->kind == FrameKind::LinkCheck, transport);
    if (delivery.faulted)
        ++stats_.faulted;
    return delivery;
}

// Clients are forgotten a minute after their last request once many have come: a test that
// opens connection after connection costs no memory.
void Simulator::noteClient(const QString &from)
{
    constexpr int manyClients = 1000;
    constexpr qint64 forgetMs = 60000;
    if (!clock_.isValid())
        clock_.start();
    const qint64 now = clock_.elapsed();
    if (lastRequestMs_.size() >= manyClients) {
        for (auto c = lastRequestMs_.begin(); c != lastRequestMs_.end();)
            c = now - c.value() > forgetMs ? lastRequestMs_.erase(c) : std::next(c);
    }
    lastRequestMs_.insert(from, now);
}

int Simulator::clientsWithin(qint64 ms) const
{
    const qint64 now = clock_.isValid() ? clock_.elapsed() : 0;
    int count = 0;
    for (const qint64 at : lastRequestMs_)
        count += now - at <= ms ? 1 : 0;
    return count;
}

bool Simulator::setFaults(const FaultSet &faults, QString *why)
{
    const bool ipv6 = settings_.address.protocol() == QAbstractSocket::IPv6Protocol;
    if (ipv6 && (faults.foreign || faults.decoy)) {
        *why = QStringLiteral("--foreign and --decoy need an IPv4 loopback address");
        return false;
    }
    faults_.setFaults(faults);
    applyLineFaults();
    return true;
}

// The endpoint hangs up in the middle of its own work: it is let go once that has returned, and
// only if it is still the one in the slot (close-pty may have come first).
void Simulator::forgetWhenHungUp(std::unique_ptr<SerialEndpoint> &line)
{
    SerialEndpoint *endpoint = line.get();
    connect(
        endpoint, &SerialEndpoint::hungUp, this,
        [&line, endpoint] {
            if (line.get() == endpoint)
                line.reset();
        },
        Qt::QueuedConnection);
}

// What the serial lines do by themselves, between answers.
void Simulator::applyLineFaults()
{
    const FaultSet &faults = faults_.faults();
    for (SerialEndpoint *line : {pty_.get(), device_.get()}) {
        if (line)
            line->setStream(faults.streamBaud, faults.streamFull);
    }
}

bool Simulator::poke(const Poke &poke, QString *why)
{
    if (!image_.write(poke.area, poke.offset, poke.bytes)) {
        *why = QStringLiteral("bytes end past the area's capacity");
        return false;
    }
    return true;
}

QByteArray Simulator::peek(int area, quint32 offset, quint32 length) const
{
    return image_.read(area, offset, length);
}

void Simulator::reset()
{
    image_.clear();
    fillMemory();
    stats_ = {};
}

bool Simulator::openPty(QString *pathOrWhy)
{
    if (pty_) {
        *pathOrWhy = QStringLiteral("a pty is open already: %1").arg(pty_->path());
        return false;
    }
    auto link = std::make_unique<PtyLink>();
    if (!link->open(pathOrWhy))
        return false;
    pty_ = std::make_unique<SerialEndpoint>(*this, std::move(link));
    forgetWhenHungUp(pty_);
    applyLineFaults();
    *pathOrWhy = pty_->path();
    return true;
}

bool Simulator::closePty(QString *why)
{
    if (!pty_) {
        *why = QStringLiteral("no pty is open");
        return false;
    }
    pty_.reset();
    return true;
}

void Simulator::fillMemory()
{
    if (settings_.pattern)
        fillPattern(image_);
}

} // namespace sim
