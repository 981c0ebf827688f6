// Answer handling of the six request builders: the link is a real UDP link to an in-process
// peer on 127.0.0.1 that answers the request with bytes from the input (after a decoy from
// another address, when the input asks for one). A read reports success exactly when the answer
// repeats the sequence bytes and holds what the request asked for, and then delivers exactly
// the bytes of that answer; a write succeeds on any answer and sends the data its length names.
//
// Input: builder, area, point (24 bits), count (16 bits), flags; a write's data length (16 bits)
// and data; then the answer.

#include "CmdTarvik.h"
#include "fuzzsupport.h"
#include "peers.h"
#include "tagaddress.h"

#include <QHostAddress>
#include <QMutex>
#include <QMutexLocker>

#include <optional>

namespace {

enum Builder { ReadMemory, ReadBool, ReadString, WriteMemory, WriteBool, WriteString, Builders };

constexpr int header = 4;
constexpr int slot = tarvik::stringSlot;
constexpr quint8 decoyFlag = 0x01;
constexpr quint8 traceFlag = 0x02;

// What the peer answers the next request with: the datagram of the input, after an optional
// decoy from another address. Link checks are always answered, so the link opens and resyncs.
class Answers
{
public:
    void set(const QByteArray &answer, const QByteArray &decoy)
    {
        QMutexLocker lock(&mutex);
        current = answer;
        currentDecoy = decoy;
    }

    QVector<PeerReply> replyTo(const QByteArray &request)
    {
        PeerReply reply;
        if (request == QByteArray("\x04\x01", 2)) {
            reply.data = request;
            return {reply};
        }
        QMutexLocker lock(&mutex);
        QVector<PeerReply> replies;
        if (!currentDecoy.isEmpty()) {
            PeerReply decoy;
            decoy.data = currentDecoy;
            decoy.from = PeerReply::OtherAddress;
            replies << decoy;
        }
        reply.data = current;
        return replies << reply;
    }

private:
    QMutex mutex;
    QByteArray current;
    QByteArray currentDecoy;
};

struct Harness
{
    Answers answers;
    UdpPeer peer{[this](const QByteArray &request) { return answers.replyTo(request); }};
    CmdTarvik link;
};

Harness *harness = nullptr;

QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.left(64).toHex(' '));
}

// What a read must deliver for this answer, or nothing when the answer must be refused. Worked
// out from the answer alone: bit areas pack eight wire bytes into one, text slots are a length
// byte and that many characters, everything else is the data bytes as they came.
std::optional<QByteArray> expectedRead(Builder builder, int area, int count,
                                       const QByteArray &answer)
{
    auto at = [&](int i) { return i < answer.size() ? quint8(answer.at(i)) : 0; };
    if (answer.size() < header || at(0) != 0x01 || at(1) != 0x01)
        return std::nullopt;
    QByteArray out;
    if (builder == ReadString) {
        for (int k = 0; k < count; ++k) {
            const int base = header + slot * k;
            if (base >= answer.size() || base + 1 + at(base) > answer.size())
                return std::nullopt;
            out += answer.mid(base, 1 + at(base));
        }
        return out;
    }
    if (builder == ReadMemory && tarvik::isBitArea(area)) {
        const int bytes = count / 8;
        if (answer.size() < header + 8 * bytes)
            return std::nullopt;
        for (int j = 0; j < bytes; ++j) {
            unsigned b = 0;
            for (int k = 0; k < 8; ++k)
                b |= unsigned(at(header + 8 * j + k)) << k;
            out.append(char(b & 0xFF));
        }
        return out;
    }
    if (answer.size() < header + count)
        return std::nullopt;
    return answer.mid(header, count);
}

// The data section a write request carries for these arguments.
int expectedWriteData(Builder builder, int area, int count, const QByteArray &data)
{
    if (builder == WriteString)
        return data.size();
    if (builder == WriteMemory && tarvik::isBitArea(area))
        return 8 * (count / 8);
    return count;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzz::startQt(argc, argv);
    harness = new Harness;
    FUZZ_CHECK(harness->peer.port() != 0, QStringLiteral("no loopback peer"));
    FUZZ_CHECK(harness->link.UDPConnectDrive(QStringLiteral("127.0.0.1"), harness->peer.port()) ==
                   0,
               QStringLiteral("the link to the peer did not open"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    const Builder builder = Builder(in.u8() % Builders);
    const int area = in.u8();
    const int point = int(in.u24());
    // The driver's paths never ask for more than the largest transfer.
    const int count = in.u16() % (tarvik::largestTransfer + 1);
    const quint8 flags = in.u8();
    const bool write = builder >= WriteMemory;
    const QByteArray written = write ? in.bytes(in.u16() % 2048) : QByteArray();
    const QByteArray answer = in.rest();
    // Without an answer the link waits out its whole budget: nothing to learn at that price.
    if (answer.isEmpty())
        return 0;

    CmdTarvik &link = harness->link;
    link.traceOn = flags & traceFlag;
    QByteArray decoy;
    if (flags & decoyFlag) {
        decoy = answer;
        for (char &c : decoy)
            c = char(~quint8(c));
    }
    harness->answers.set(answer, decoy);
    harness->peer.takeRequests();

    const QString tag = QStringLiteral("fuzz");
    QByteArray out;
    int rc = 0;
    switch (builder) {
    case ReadMemory:
        rc = link.Readmemory(area, point, count, &out, tag);
        break;
    case ReadBool:
        rc = link.Readbool(area, point, count, &out, tag);
        break;
    case ReadString:
        rc = link.Readstring(area, point, count, &out, tag);
        break;
    case WriteMemory:
        rc = link.Writememory(area, point, count, written, tag);
        break;
    case WriteBool:
        rc = link.Writebool(area, point, count, written, tag);
        break;
    case WriteString:
        rc = link.Writestring(area, point, count, written, tag);
        break;
    case Builders:
        break;
    }

    const QString what = QStringLiteral("builder %1 area %2 count %3 rc %4 answer %5")
                             .arg(builder)
                             .arg(area)
                             .arg(count)
                             .arg(rc)
                             .arg(hex(answer));
    if (write) {
        FUZZ_CHECK(rc == 0, what);
        const QList<QByteArray> requests = harness->peer.takeRequests();
        const QByteArray request = requests.isEmpty() ? QByteArray() : requests.last();
        FUZZ_CHECK(request.size() == 11 + expectedWriteData(builder, area, count, written),
                   what + QStringLiteral(" request ") + hex(request));
        return 0;
    }
    const std::optional<QByteArray> expected = expectedRead(builder, area, count, answer);
    FUZZ_CHECK(rc == (expected ? 0 : -2), what);
    if (expected)
        FUZZ_CHECK(out == *expected, what + QStringLiteral(" out ") + hex(out));
    else
        FUZZ_CHECK(out.isEmpty(), what);
    return 0;
}
