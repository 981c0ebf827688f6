// Writes the seed corpora of the fuzz targets into the directory named on the command line: the
// requests of the tags the tests use, relayed to the simulator (with its pattern memory), and
// the answers it gave; the data of those answers for the codecs; the tests' tag addresses; and
// a few host sessions. Run by scripts/fuzz.sh --seeds; the output is kept in the repository.

#include "CmdTarvik.h"
#include "DataType.h"
#include "hostops.h"
#include "peers.h"
#include "simprocess.h"
#include "tagaddress.h"
#ifdef TARVIK_FUZZ_SPARKPLUG
#include "sparkplugpayload.h"
#endif

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>

#include <climits>
#include <cstdio>

namespace {

enum Builder { ReadMemory, ReadBool, ReadString, WriteMemory, WriteBool, WriteString };

struct Row
{
    const char *name;
    Builder builder;
    int area;
    int point;
    int count;
    const char *dataHex; // writes only
    int type;            // the type whose data this read carries, for the codec seeds; 0: none
};

// Area codes: DI 1, DO 4, DO_F 5, AI 7, AO 10, SA 14, NAI 17, LW 24, SI 28, Custom 29.
const Row rows[] = {
    {"read-AI3-Int16x4", ReadMemory, 7, 2, 8, "", Int16},
    {"read-AO1-UInt16x2", ReadMemory, 10, 0, 4, "", UInt16},
    {"read-LW1-Int32x2", ReadMemory, 24, 0, 8, "", Int32},
    {"read-LW2-UInt32x1", ReadMemory, 24, 1, 4, "", UInt32},
    {"read-AO2-Floatx2", ReadMemory, 10, 1, 8, "", Float},
    {"read-NAI1-Int64x1", ReadMemory, 17, 0, 8, "", Int64},
    {"read-NAI2-UInt64x2", ReadMemory, 17, 1, 16, "", UInt64},
    {"read-AI1-Doublex1", ReadMemory, 7, 0, 8, "", Double},
    {"read-SA2-UInt8x2", ReadMemory, 14, 1, 2, "", UInt8},
    {"read-Custom5-Int8x4", ReadMemory, 29, 4, 4, "", Int8},
    {"read-DI1-bits16", ReadMemory, 1, 0, 16, "", 0},
    {"read-DO_F2-Boolx3", ReadBool, 5, 1, 3, "", Bool},
    {"read-DI1-Boolx8", ReadBool, 1, 0, 8, "", Bool},
    {"read-SI1-Stringx2", ReadString, 28, 0, 2, "", String},
    {"read-SI4-Stringx1", ReadString, 28, 3, 1, "", String},
    {"write-AO1-4bytes", WriteMemory, 10, 0, 4, "01020304", 0},
    {"write-LW2-Int32x2", WriteMemory, 24, 1, 8, "78563412feffffff", 0},
    {"write-DO3-bits8", WriteMemory, 4, 2, 8, "81", 0},
    {"write-DO_F2-Boolx3", WriteBool, 5, 1, 3, "010001", 0},
    {"write-SI1-Stringx2", WriteString, 28, 0, 2, "03616263026869", 0},
};

bool save(const QString &dir, const QString &name, const QByteArray &bytes)
{
    QDir().mkpath(dir);
    QFile file(dir + QLatin1Char('/') + name);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray le(quint32 value, int bytes)
{
    QByteArray out;
    for (int i = 0; i < bytes; ++i)
        out.append(char((value >> (8 * i)) & 0xFF));
    return out;
}

int run(CmdTarvik &link, const Row &row)
{
    const QByteArray data = QByteArray::fromHex(row.dataHex);
    const QString tag = QLatin1String(row.name);
    QByteArray out;
    switch (row.builder) {
    case ReadMemory:
        return link.Readmemory(row.area, row.point, row.count, &out, tag);
    case ReadBool:
        return link.Readbool(row.area, row.point, row.count, &out, tag);
    case ReadString:
        return link.Readstring(row.area, row.point, row.count, &out, tag);
    case WriteMemory:
        return link.Writememory(row.area, row.point, row.count, data, tag);
    case WriteBool:
        return link.Writebool(row.area, row.point, row.count, data, tag);
    case WriteString:
        return link.Writestring(row.area, row.point, row.count, data, tag);
    }
    return -1;
}

bool answerSeeds(const QString &root, SimProcess &sim)
{
    // The simulator answers through the peer, which keeps the answer it passed on last.
    QMutex mutex;
    QByteArray lastAnswer;
    const PeerScript relay = relayTo(sim.udpPort());
    UdpPeer peer([&](const QByteArray &request) {
        const QVector<PeerReply> replies = relay(request);
        QMutexLocker lock(&mutex);
        lastAnswer = replies.isEmpty() ? QByteArray() : replies.first().data;
        return replies;
    });
    CmdTarvik link;
    if (peer.port() == 0 || link.UDPConnectDrive(QStringLiteral("127.0.0.1"), peer.port()) != 0)
        return false;
    for (const Row &row : rows) {
        if (run(link, row) != 0) {
            std::fprintf(stderr, "%s: no answer from the simulator\n", row.name);
            return false;
        }
        QMutexLocker lock(&mutex);
        const QByteArray answer = lastAnswer;
        lock.unlock();
        const QByteArray data = QByteArray::fromHex(row.dataHex);
        QByteArray seed;
        seed.append(char(row.builder)).append(char(row.area)).append(le(quint32(row.point), 3));
        seed.append(le(quint32(row.count), 2)).append(char(0));
        if (row.builder >= WriteMemory)
            seed.append(le(quint32(data.size()), 2)).append(data);
        seed.append(answer);
        if (!save(root + QStringLiteral("/answers"), QLatin1String(row.name), seed))
            return false;
        if (row.type != 0) {
            const int n = row.count / tarvik::elementWidth(row.type);
            const QByteArray codec = char(row.type - 1) + le(quint32(n), 2) + answer.mid(4);
            if (!save(root + QStringLiteral("/codecs"), QLatin1String(row.name), codec))
                return false;
        }
    }
    return true;
}

bool addressSeeds(const QString &root)
{
    struct Address
    {
        const char *name;
        QByteArray text;
        int type;
        int count;
        quint8 encoding; // 0 UTF-8, 1 Latin-1, 2 UTF-16
    };
    const Address addresses[] = {
        {"DI_F7-Bool", "DI_F7", Bool, 1, 0},
        {"AO12-Float", "AO12", Float, 2, 0},
        {"HDS3-Int8", "HDS3", Int8, 3, 0},
        {"SI1-String", "SI1", String, 1, 0},
        {"Custom9-UInt8", "Custom9", UInt8, 6, 0},
        {"NDO16-Int16", "NDO16", Int16, 733, 0},
        {"AI_S4-Int64", "AI_S4", Int64, 184, 0},
        {"LW2-Int32-INT_MAX", "LW2", Int32, INT_MAX, 0},
        {"SI5-Int8-256", "SI5", Int8, 512, 0},
        {"empty", "", Int16, 1, 0},
        {"blanks", "   ", Int16, 1, 0},
        {"AI-blank-4x5", "AI 4x5", UInt16, 1, 0},
        {"AO-huge", "AO99999999999", Double, 1, 0},
        {"LW-2147483648", "LW2147483648", UInt32, 1, 0},
        {"LW-2147483649", "LW2147483649", UInt32, 1, 0},
        {"DO_F0", "DO_F0", Bool, 1, 0},
        {"DI_F-arabic-digit", "DI_F\xd9\xa3", Bool, 1, 0},
        {"latin1-umlaut",
         "\xdc"
         "1",
         Int16, 1, 1},
        {"utf16-AI2",
         QByteArray("A\0I\0"
                    "2\0",
                    6),
         Int16, 2, 2},
        {"type-minus5", "AI2", -5, 1, 0},
        {"type-50", "AI2", 50, 1, 0},
        {"count-INT_MIN", "AI2", Int16, INT_MIN, 0},
        {"long", QByteArray(300, 'A') + "5", Int16, 1, 0},
    };
    for (const Address &a : addresses) {
        const QByteArray seed =
            char(qint8(a.type)) + le(quint32(a.count), 4) + char(a.encoding) + a.text;
        if (!save(root + QStringLiteral("/tagaddress"), QLatin1String(a.name), seed))
            return false;
    }
    return true;
}

bool hostSeeds(const QString &root)
{
    using namespace hostops;
    auto op = [](Op o) { return QByteArray(1, char(o)); };
    auto type = [](int t) { return QByteArray(1, char(qint8(t))); };
    const QByteArray tableMin(1, char(0)), tableMax(1, char(13)), table1468(1, char(11));
    struct Session
    {
        const char *name;
        QByteArray ops;
    };
    const Session sessions[] = {
        {"udp-write-read-Int16", op(ConnectUdp) + op(Write) + address("AI", 3) + type(Int16) +
                                     count(2) + shortRecord({513, -1}) + op(Read) +
                                     address("AI", 3) + type(Int16) + count(2) + op(Disconnect) +
                                     op(Destroy)},
        {"serial-texts-and-bools",
         op(ConnectSerial) + char(0) + op(Write) + address("SI", 1) + type(String) + count(2) +
             textRecord({"abc", "hi"}) + op(Read) + address("SI", 1) + type(String) + count(2) +
             op(ReadOne) + address("DO_F", 2) + type(Bool) + op(Disconnect) + op(ConnectSerial) +
             char(2) + op(Read) + address("DI", 1) + type(Int8) + count(2) + op(Destroy)},
        {"udp-trace-wide-types",
         op(ConnectUdp) + op(Debug) + char(0) + op(Read) + address("LW", 1) + type(Int32) +
             count(4) + op(ReadOne) + address("NAI", 1) + type(Int64) + op(Debug) + char(1) +
             op(ConnectOther) + char(1) + text("x") + op(ReadOne) + address("AI", 1) + type(Int16)},
        {"hostile-counts-and-types",
         op(ConnectUdp) + op(Read) + address("AI", 2) + type(-5) + tableMin + op(Read) +
             address("AO", 1) + type(Double) + tableMax + op(Read) + address("DO", 1) + type(Bool) +
             table1468 + op(Write) + address("LW", 2) + type(Int32) + count(1) + shortRecord({7}) +
             op(Destroy) + op(ReadOne) + address("AI", 2) + type(Int16)},
        {"reconnect-after-destroy", op(ConnectUdp) + op(Destroy) + op(ConnectSerial) + char(1) +
                                        op(ReadOne) + address("AI", 1) + type(UInt16) +
                                        op(Destroy) + op(ConnectUdp) + op(ReadOne) +
                                        address("AI", 1) + type(UInt16) + op(SetPar) + text("42")},
    };
    for (const Session &s : sessions) {
        if (!save(root + QStringLiteral("/hostops"), QLatin1String(s.name), s.ops))
            return false;
    }
    return true;
}

// Write request payloads, each after its type code.
bool payloadSeeds(const QString &root)
{
    const QList<QPair<const char *, QByteArray>> payloads = {
        {"Float-number", char(Float) + QByteArray("42.5")},
        {"Int16-list", char(Int16) + QByteArray(" [1, -2, true, \"x\"] ")},
        {"Int64-beyond-2-53", char(Int64) + QByteArray("9007199254740993")},
        {"UInt64-as-text", char(UInt64) + QByteArray("[\"18446744073709551615\"]")},
        {"String-escapes", char(String) + QByteArray("\"a\\u0000b\\n\\u00e9\\ud83d\\ude00\"")},
        {"Double-specials", char(Double) + QByteArray("[\"NaN\",\"-Infinity\",1e-320,5.0]")},
    };
    for (const auto &p : payloads) {
        if (!save(root + QStringLiteral("/setpayload"), QLatin1String(p.first), p.second))
            return false;
    }
    return true;
}

// Sparkplug B commands: a scalar with its time and sequence number, a 64-bit integer with its
// Quality, arrays of each packing, a null metric.
bool sparkplugSeeds(const QString &root)
{
#ifdef TARVIK_FUZZ_SPARKPLUG
    using sparkplug::Datatype;
    const auto metric = [](const char *name, Datatype datatype, sparkplug::Elements value) {
        SparkplugMetric m;
        m.name = QLatin1String(name);
        m.datatype = datatype;
        m.value = std::move(value);
        return m;
    };
    SparkplugPayload command;
    command.timestampMs = 1700000000000;
    command.seq = 3;
    command.metrics = {metric("Tank/Level", Datatype::Double, std::vector<double>{12.5})};
    SparkplugPayload quality;
    quality.metrics = {metric("Counter", Datatype::Int64, std::vector<qint64>{LLONG_MIN})};
    quality.metrics[0].alias = 2;
    quality.metrics[0].quality = sparkplug::qualityGood;
    SparkplugPayload arrays;
    arrays.metrics = {metric("b", Datatype::BooleanArray, std::vector<bool>{true, false, true}),
                      metric("s", Datatype::StringArray, QStringList{"a", ""}),
                      metric("i", Datatype::Int16Array, std::vector<qint64>{-2, 1})};
    SparkplugPayload null;
    null.metrics = {metric("n", Datatype::String, {})};
    null.metrics[0].isNull = true;
    const QList<QPair<const char *, SparkplugPayload>> payloads = {
        {"DCMD-Double", command}, {"Int64-Quality", quality}, {"Arrays", arrays}, {"Null", null}};
    for (const auto &p : payloads) {
        if (!save(root + QStringLiteral("/sparkplug"), QLatin1String(p.first),
                  sparkplug::encode(p.second)))
            return false;
    }
#else
    Q_UNUSED(root)
#endif
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS-DIRECTORY\n", argv[0]);
        return 2;
    }
    const QString root = QString::fromLocal8Bit(argv[1]);
    SimProcess sim;
    if (!sim.start({QStringLiteral("--pattern")})) {
        std::fprintf(stderr, "the simulator did not start\n");
        return 1;
    }
    const bool ok = answerSeeds(root, sim) && addressSeeds(root) && hostSeeds(root) &&
                    payloadSeeds(root) && sparkplugSeeds(root);
    return ok ? 0 : 1;
}
