// A sequence of exchanges against a controller that answers in request order but misbehaves as
// the input says, request by request (link checks included): at once, late, not at all, or twice.
// The link is a real UDP link to an in-process peer on 127.0.0.1 whose thread answers one request
// after another, so a late answer holds back every answer behind it. Each read asks for another
// point, and the peer's data is a function of the point: a read with result 0 must deliver
// exactly its own point's bytes, whatever came late or twice before it.
//
// A repeat that arrives after the next request went out cannot be told from that request's
// answer (the protocol has no request identifier): when a read took its answer and the peer
// repeats it, the sequence goes on once the link has dropped the repeat.
//
// Input: the number of steps and the first point, per step one byte (bits 0-1: read, read, write or
// pause; bits 2-5: element count or pause), then the peer's behaviour, one byte per request it gets
// (bits 0-1: at once, late, not at all, twice; bits 2-7: how late, in milliseconds).

#include "CmdTarvik.h"
#include "fuzzsupport.h"
#include "linklimits.h"
#include "peers.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QMutexLocker>

#include <deque>
#include <memory>

namespace {

constexpr int area = 12; // a byte area: a point's data is its bytes as they come
constexpr int maxSteps = 12;

enum Action : quint8 { AtOnce, Late, Lost, Twice };

// The peer's data for a point: every point's bytes differ from its neighbours'.
QByteArray pointData(int point, int count)
{
    QByteArray out;
    for (int i = 0; i < count; ++i)
        out.append(char(quint8(point * 31 + i * 7 + 1)));
    return out;
}

int field24(const QByteArray &frame, int at)
{
    auto b = [&](int i) { return i < frame.size() ? int(quint8(frame.at(i))) : 0; };
    return (b(at) << 16) | b(at + 1) | (b(at + 2) << 8);
}

QByteArray answerFor(const QByteArray &request)
{
    if (request.startsWith(linklimits::linkCheckFrame()))
        return linklimits::linkCheckFrame();
    if (request.startsWith("\x02"))
        return QByteArray("\x02\x01\x00\x00", 4);
    return QByteArray("\x01\x01\x00\x00", 4) + pointData(field24(request, 5), field24(request, 8));
}

// What the input tells the peer to do, request by request; once it runs out, answers come at
// once. The peer's thread takes them, the fuzzing thread looks at what was done.
class Script
{
public:
    explicit Script(const QByteArray &actions) : pending(actions.begin(), actions.end()) {}

    QVector<PeerReply> reply(const QByteArray &request)
    {
        QMutexLocker lock(&mutex);
        const quint8 action = pending.empty() ? AtOnce : pending.front();
        if (!pending.empty())
            pending.pop_front();
        last = Action(action & 3);
        const QByteArray answer = answerFor(request);
        switch (last) {
        case AtOnce:
            return {PeerReply{answer}};
        case Late:
            return {PeerReply{answer, action >> 2}};
        case Lost:
            return {};
        case Twice:
            return {PeerReply{answer}, PeerReply{answer, 1}};
        }
        return {};
    }

    Action lastAction() const
    {
        QMutexLocker lock(&mutex);
        return last;
    }

private:
    mutable QMutex mutex;
    std::deque<quint8> pending;
    Action last = AtOnce;
};

// Runs the event loop until the link has dropped more than `before` bytes, for a bounded time.
void awaitDropped(CmdTarvik &link, quint64 before)
{
    QElapsedTimer clock;
    clock.start();
    while (link.droppedBytes() <= before && clock.elapsed() < 2000)
        link.mysleep(1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    const int steps = 1 + in.u8() % maxSteps;
    const int base = 1 + in.u8();
    const QByteArray plan = in.bytes(steps);
    auto script = std::make_shared<Script>(in.rest());
    UdpPeer peer([script](const QByteArray &request) { return script->reply(request); });

    CmdTarvik link;
    if (link.UDPConnectDrive(QStringLiteral("127.0.0.1"), peer.port()) != 0)
        return 0; // the input made the link check fail: nothing more to learn from it

    for (int step = 0; step < plan.size(); ++step) {
        const quint8 op = quint8(plan.at(step));
        const int count = 1 + ((op >> 2) & 15);
        const int point = base + 17 * step;
        const QString tag = QStringLiteral("P%1").arg(point);
        switch (op & 3) {
        case 0:
        case 1: {
            QByteArray out;
            const int rc = link.Readmemory(area, point, count, &out, tag);
            if (rc != 0)
                break;
            const QByteArray expected = pointData(point, count);
            FUZZ_CHECK(out == expected, QStringLiteral("step %1: %2 carried %3 where it holds %4")
                                            .arg(step)
                                            .arg(tag, QString::fromLatin1(out.toHex(' ')),
                                                 QString::fromLatin1(expected.toHex(' '))));
            // The repeat comes right behind the answer taken, and nothing else comes before the
            // next request.
            if (script->lastAction() == Twice)
                awaitDropped(link, link.droppedBytes());
            break;
        }
        case 2:
            link.Writememory(area, point, count, pointData(point, count), tag);
            break;
        case 3:
            link.mysleep(count);
            break;
        }
    }
    return 0;
}
