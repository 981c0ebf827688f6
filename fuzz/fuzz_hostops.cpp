// A host's sequence of operations against the controller simulator (started once per process,
// on UDP and a pseudo-terminal): connect, read, write, disconnect, DestroyFree, with fuzzed
// addresses, types, counts and records, on a driver obtained from getSharedLibrary and deleted
// the way a host deletes it. Every outcome is one the driver documents, every record names the
// tag, type and count it was asked for, and a successful read carries a list of its type.
//
// Input: operations as hostops.h lays them out, at most maxOps of them.

#include "ExportTCPDLL.h"
#include "codecs.h"
#include "fuzzsupport.h"
#include "hostops.h"
#include "labelarith.h"
#include "simprocess.h"

#include <QSet>

#include <climits>
#include <cstring>
#include <type_traits>

namespace {

constexpr int maxOps = 12;
constexpr int maxElements = 64;

SimProcess *sim = nullptr;

QString textFrom(fuzz::Input &in)
{
    return QString::fromUtf8(in.bytes(in.u8() % 64));
}

QString digitsOf(const QString &text)
{
    QString out;
    for (QChar c : text) {
        if (c.isDigit() && c.unicode() < 0x80)
            out.append(c);
    }
    return out;
}

QString withoutSeparators(QString text)
{
    return text.replace(QLatin1Char(':'), QLatin1Char('_'))
        .replace(QLatin1Char(','), QLatin1Char('_'));
}

// Strings that open nothing: a UDP port on 127.0.0.1 only (traffic never leaves loopback), a
// text of neither form, or a serial device that does not exist.
QString otherConnection(fuzz::Input &in)
{
    const quint8 kind = in.u8() % 3;
    const QString text = textFrom(in);
    if (kind == 0)
        return QStringLiteral("127.0.0.1:") + digitsOf(text).left(6);
    if (kind == 1)
        return withoutSeparators(text);
    return QStringLiteral("/nonexistent-tarvik/%1,%2,8,1")
        .arg(withoutSeparators(text).remove(QLatin1Char('/')))
        .arg(in.u16());
}

QString addressFrom(fuzz::Input &in)
{
    const quint8 kind = in.u8() % 4;
    const QString name = hostops::areaName(in.u8());
    switch (kind) {
    case hostops::NamePoint:
        return name + QString::number(in.u24());
    case hostops::NameText:
        return name + textFrom(in);
    case hostops::Text:
        return textFrom(in);
    default:
        return name + QString(1 + in.u8() % 40, QLatin1Char('9'));
    }
}

int countFrom(fuzz::Input &in)
{
    static const int table[hostops::countTableSize] = {INT_MIN, -1, 0,  1,    2,    3,   4,
                                                       7,       8,  16, 1467, 1468, 256, INT_MAX};
    const quint8 pick = in.u8();
    return pick < hostops::countTableSize ? table[pick] : int(in.u16());
}

template <typename E> QVariant listFrom(fuzz::Input &in, int n)
{
    QList<E> list;
    for (int i = 0; i < n; ++i) {
        E e;
        const QByteArray bytes = in.bytes(int(sizeof(E)));
        std::memset(&e, 0, sizeof e);
        std::memcpy(&e, bytes.constData(), size_t(bytes.size()));
        if constexpr (std::is_same_v<E, bool>)
            e = bytes.size() == 1 && bytes.at(0) & 1;
        list.append(e);
    }
    return QVariant::fromValue(list);
}

// A record as a host might fill one: a list of any of the twelve element types (or none, or a
// lone value), with its own count.
CLabelVariable recordFrom(fuzz::Input &in)
{
    CLabelVariable record;
    const quint8 kind = in.u8() % 15;
    const int n = in.u8() % (maxElements + 1);
    record.count = n;
    record.type = DataType(kind);
    if (kind == 13) {
        record.value = QVariant(textFrom(in));
        return record;
    }
    record.value = tarvik::withElementType(DataType(kind), [&](auto tag) {
        using E = typename decltype(tag)::type;
        if constexpr (std::is_void_v<E>) {
            return QVariant(); // no payload at all
        } else if constexpr (std::is_same_v<E, QString>) {
            QList<QString> texts;
            for (int i = 0; i < n; ++i)
                texts.append(QString::fromUtf8(in.bytes(in.u8())));
            return QVariant::fromValue(texts);
        } else {
            return listFrom<E>(in, n);
        }
    });
    return record;
}

void checkRecord(const CLabelVariable &r, const QString &address, int type, int count,
                 const QSet<int> &outcomes, const QString &what)
{
    FUZZ_CHECK(outcomes.contains(r.result), what + QStringLiteral(" -> %1").arg(r.result));
    FUZZ_CHECK(r.address == address && r.type == type && r.count == count, what);
}

void run(CDriveBaseClass *driver, fuzz::Input &in)
{
    static const QSet<int> readOutcomes = {0, 2, 3, 4, 7, 8, 9};
    static const QSet<int> writeOutcomes = {0, 2, 3, 4, 8, 9};
    static const int bauds[] = {9600, 19200, 115200, 1200, 0, -5};
    for (int op = 0; op < maxOps && !in.empty(); ++op) {
        const quint8 code = in.u8() % hostops::Ops;
        switch (code) {
        case hostops::ConnectUdp:
            FUZZ_CHECK(driver->ConnectDrive(sim->udpConnectionString()) == 0,
                       QStringLiteral("connect ") + sim->udpConnectionString());
            break;
        case hostops::ConnectSerial: {
            const int baud = bauds[in.u8() % 6];
            const int rc = driver->ConnectDrive(sim->serialConnectionString(baud));
            FUZZ_CHECK(
                rc == 0 || baud <= 0,
                QStringLiteral("connect %1 -> %2").arg(sim->serialConnectionString(baud)).arg(rc));
            break;
        }
        case hostops::ConnectOther: {
            const QString conn = otherConnection(in);
            const int rc = driver->ConnectDrive(conn);
            // The fuzzer may come upon the simulator's own port.
            const bool simulator = conn == sim->udpConnectionString();
            FUZZ_CHECK(rc == -1 || rc == -2 || (rc == 0 && simulator),
                       QStringLiteral("connect %1 -> %2").arg(conn).arg(rc));
            break;
        }
        case hostops::SetPar:
            driver->SetConnectPar(textFrom(in));
            break;
        case hostops::Read:
        case hostops::ReadOne: {
            const QString address = addressFrom(in);
            const int type = qint8(in.u8());
            const int count = code == hostops::Read ? countFrom(in) : 1;
            const CLabelVariable r = code == hostops::Read
                                         ? driver->ReadVariable(address, DataType(type), count)
                                         : driver->ReadVariable(address, DataType(type));
            const QString what =
                QStringLiteral("read %1 type %2 count %3").arg(address).arg(type).arg(count);
            checkRecord(r, address, type, count, readOutcomes, what);
            if (r.result == 0)
                FUZZ_CHECK(tarvik::payloadElements(r.value, DataType(type)) >= 0, what);
            break;
        }
        case hostops::Write: {
            const QString address = addressFrom(in);
            const int type = qint8(in.u8());
            const int count = countFrom(in);
            const CLabelVariable r =
                driver->WriteVariable(address, DataType(type), recordFrom(in), count);
            checkRecord(
                r, address, type, count, writeOutcomes,
                QStringLiteral("write %1 type %2 count %3").arg(address).arg(type).arg(count));
            break;
        }
        case hostops::Disconnect:
            driver->DisConnectDrive();
            break;
        case hostops::Destroy:
            driver->DestroyFree();
            break;
        case hostops::Debug:
            driver->DebugCmd(EDebugCmdType(qint8(in.u8())));
            break;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzz::startQt(argc, argv);
    sim = new SimProcess;
    FUZZ_CHECK(sim->start({QStringLiteral("--pty"), QStringLiteral("--pattern")}),
               QStringLiteral("the simulator did not start"));
    // The simulator goes with the process: libFuzzer ends it with exit().
    std::atexit([] { delete sim; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    CDriveBaseClass *driver = getSharedLibrary();
    run(driver, in);
    driver->DestroyFree();
    delete dynamic_cast<QObject *>(driver);
    return 0;
}
