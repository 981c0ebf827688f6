#include "faults.h"

#include <QCommandLineParser>

namespace sim {

namespace {

// Serial chunks without --pace arrive at the rate of a common line.
constexpr int kDefaultChunkBaud = 9600;
constexpr quint8 kFillByte = 0xEE;
constexpr int kLinkCheckRepeatMs = 1;

struct IntOption
{
    const char *name;
    int FaultSet::*field;
    int min;
    int max;
};

constexpr IntOption kIntOptions[] = {
    {"late", &FaultSet::lateMs, 0, 600000},
    {"short", &FaultSet::shortBy, 0, 65535},
    {"oversize", &FaultSet::oversize, 0, 60000},
    {"pace", &FaultSet::paceBaud, 50, 4000000},
    {"chunk", &FaultSet::chunk, 1, 65536},
    {"babble", &FaultSet::babbleMs, 0, 60000},
    {"babble-baud", &FaultSet::babbleBaud, 50, 4000000},
    {"stream", &FaultSet::streamBaud, 50, 4000000},
    {"duplicate", &FaultSet::duplicateMs, 1, 60000},
};

struct FlagOption
{
    const char *name;
    bool FaultSet::*field;
};

constexpr FlagOption kFlagOptions[] = {
    {"silent", &FaultSet::silent},
    {"wrong-seq", &FaultSet::wrongSeq},
    {"garbage", &FaultSet::garbage},
    {"foreign", &FaultSet::foreign},
    {"decoy", &FaultSet::decoy},
    {"other-port", &FaultSet::otherPort},
    {"fault-link-check", &FaultSet::linkCheckToo},
    {"stream-full", &FaultSet::streamFull},
    {"hangup", &FaultSet::hangUp},
    {"echo", &FaultSet::echo},
    {"repeat-link-check", &FaultSet::repeatLinkCheck},
};

// One row per fault: where it makes sense, whether a set switches it on, what it does, and how
// --fault-rate switches it on alone (no arm: never picked at random).
struct FaultRule
{
    bool udp;
    bool serial;
    bool (*active)(const FaultSet &);
    void (*apply)(const FaultSet &, Delivery &, QRandomGenerator &);
    void (*arm)(FaultSet &);
};

QByteArray randomBytes(int size, QRandomGenerator &random)
{
    QByteArray bytes(size, '\0');
    for (char &byte : bytes)
        byte = char(quint8(random.bounded(256)));
    return bytes;
}

void applyGarbage(const FaultSet &, Delivery &d, QRandomGenerator &random)
{
    const QByteArray real = d.bytes;
    d.bytes = randomBytes(real.size(), random);
    // Random bytes may start like the real answer; garbage must never pass for one.
    if (!d.bytes.isEmpty() && d.bytes.at(0) == real.at(0))
        d.bytes[0] = char(quint8(d.bytes.at(0)) ^ 0x80);
}

void applyWrongSeq(const FaultSet &, Delivery &d, QRandomGenerator &)
{
    if (d.bytes.size() > 1)
        d.bytes[1] = char(quint8(quint8(d.bytes.at(1)) + 1));
}

void applyShort(const FaultSet &f, Delivery &d, QRandomGenerator &)
{
    d.bytes.chop(f.shortBy);
}

void applyOversize(const FaultSet &f, Delivery &d, QRandomGenerator &)
{
    d.bytes.append(QByteArray(f.oversize, char(kFillByte)));
}

// A well-formed answer of the right size whose data bytes are all wrong.
void applyDecoy(const FaultSet &, Delivery &d, QRandomGenerator &)
{
    d.decoy = d.bytes.left(4);
    d.decoy.append(QByteArray(qMax(0, d.bytes.size() - 4), char(kFillByte)));
}

// The repeat of a --duplicate-rate pick comes after a delay drawn from 1 ms up to the option's.
void applyDuplicate(const FaultSet &f, Delivery &d, QRandomGenerator &random)
{
    if (f.duplicateRate >= 1.0) {
        d.repeatAfterMs = f.duplicateMs;
        return;
    }
    if (random.generateDouble() < f.duplicateRate)
        d.repeatAfterMs = 1 + int(random.bounded(f.duplicateMs));
}

const FaultRule kRules[] = {
    // Content faults first, so the decoy is built from the real answer.
    {true, false, [](const FaultSet &f) { return f.decoy; }, applyDecoy,
     [](FaultSet &f) { f.decoy = true; }},
    {true, true, [](const FaultSet &f) { return f.garbage; }, applyGarbage,
     [](FaultSet &f) { f.garbage = true; }},
    {true, true, [](const FaultSet &f) { return f.wrongSeq; }, applyWrongSeq,
     [](FaultSet &f) { f.wrongSeq = true; }},
    {true, true, [](const FaultSet &f) { return f.shortBy > 0; }, applyShort,
     [](FaultSet &f) { f.shortBy = f.shortBy > 0 ? f.shortBy : 2; }},
    {true, true, [](const FaultSet &f) { return f.oversize > 0; }, applyOversize,
     [](FaultSet &f) { f.oversize = f.oversize > 0 ? f.oversize : 3; }},
    {true, true, [](const FaultSet &f) { return f.lateMs > 0; },
     [](const FaultSet &f, Delivery &d, QRandomGenerator &random) {
         if (f.lateRate >= 1.0 || random.generateDouble() < f.lateRate)
             d.delayMs = f.lateMs;
     },
     [](FaultSet &f) { f.lateMs = f.lateMs > 0 ? f.lateMs : 400; }},
    {false, true, [](const FaultSet &f) { return f.paceBaud > 0 || f.chunk > 0; },
     [](const FaultSet &f, Delivery &d, QRandomGenerator &) {
         d.paceBaud = f.paceBaud > 0 ? f.paceBaud : kDefaultChunkBaud;
         d.chunk = f.chunk > 0 ? f.chunk : 1;
     },
     [](FaultSet &f) { f.chunk = f.chunk > 0 ? f.chunk : 8; }},
    {false, true, [](const FaultSet &f) { return f.babbleMs > 0; },
     [](const FaultSet &f, Delivery &d, QRandomGenerator &) {
         d.babbleMs = f.babbleMs;
         d.babbleBaud = f.babbleBaud;
     },
     [](FaultSet &f) { f.babbleMs = f.babbleMs > 0 ? f.babbleMs : 30; }},
    // The serial endpoints stream by themselves; every answer given meanwhile is in the noise.
    {false, true, [](const FaultSet &f) { return f.streamBaud > 0 || f.streamFull; },
     [](const FaultSet &, Delivery &, QRandomGenerator &) {}, nullptr},
    {true, false, [](const FaultSet &f) { return f.foreign; },
     [](const FaultSet &, Delivery &d, QRandomGenerator &) { d.sender = Sender::Foreign; },
     [](FaultSet &f) { f.foreign = true; }},
    {true, false, [](const FaultSet &f) { return f.otherPort && !f.foreign; },
     [](const FaultSet &, Delivery &d, QRandomGenerator &) { d.sender = Sender::OtherPort; },
     [](FaultSet &f) { f.otherPort = true; }},
    {false, true, [](const FaultSet &f) { return f.hangUp; },
     [](const FaultSet &, Delivery &d, QRandomGenerator &) {
         d.send = false;
         d.hangUp = true;
     },
     nullptr},
    // Never picked at random: a repeat that comes after the next request went out cannot be told
    // from that request's answer, so it is switched on only where requests are spaced.
    {true, true, [](const FaultSet &f) { return f.duplicateMs > 0; }, applyDuplicate, nullptr},
    {false, true, [](const FaultSet &f) { return f.echo; },
     [](const FaultSet &, Delivery &d, QRandomGenerator &) { d.echo = true; },
     [](FaultSet &f) { f.echo = true; }},
    {true, true, [](const FaultSet &f) { return f.silent; },
     [](const FaultSet &, Delivery &d, QRandomGenerator &) { d.send = false; },
     [](FaultSet &f) { f.silent = true; }},
};

bool ruleFits(const FaultRule &rule, Transport transport)
{
    return transport == Transport::Udp ? rule.udp : rule.serial;
}

bool pickable(const FaultRule &rule, Transport transport)
{
    return rule.arm && ruleFits(rule, transport);
}

void armRandomFault(FaultSet &faults, Transport transport, QRandomGenerator &random)
{
    int fitting = 0;
    for (const FaultRule &rule : kRules)
        fitting += pickable(rule, transport) ? 1 : 0;
    int pick = int(random.bounded(fitting));
    for (const FaultRule &rule : kRules) {
        if (pickable(rule, transport) && pick-- == 0) {
            rule.arm(faults);
            return;
        }
    }
}

struct RateOption
{
    const char *name;
    const char *of; // the fault whose share of answers it sets
    double FaultSet::*field;
};

bool readRate(const QCommandLineParser &parser, FaultSet *faults, QString *why)
{
    if (parser.isSet(QStringLiteral("fault-rate"))) {
        bool ok = false;
        faults->rate = parser.value(QStringLiteral("fault-rate")).toDouble(&ok);
        if (!ok || !(faults->rate >= 0.0 && faults->rate <= 1.0)) {
            *why = QStringLiteral("--fault-rate takes a probability from 0 to 1");
            return false;
        }
    }
    const RateOption rates[] = {{"duplicate-rate", "duplicate", &FaultSet::duplicateRate},
                                {"late-rate", "late", &FaultSet::lateRate}};
    for (const RateOption &option : rates) {
        const QString name = QLatin1String(option.name);
        if (!parser.isSet(name))
            continue;
        // A share of answers that no fault applies to would be asked for and do nothing.
        if (!parser.isSet(QLatin1String(option.of))) {
            *why = QStringLiteral("--%1 goes with --%2").arg(name, QLatin1String(option.of));
            return false;
        }
        bool ok = false;
        faults->*option.field = parser.value(name).toDouble(&ok);
        if (!ok || !(faults->*option.field >= 0.0 && faults->*option.field <= 1.0)) {
            *why = QStringLiteral("--%1 takes a probability from 0 to 1").arg(name);
            return false;
        }
    }
    if (parser.isSet(QStringLiteral("seed"))) {
        bool ok = false;
        faults->seed = parser.value(QStringLiteral("seed")).toUInt(&ok);
        if (!ok) {
            *why = QStringLiteral("--seed takes an unsigned 32-bit number");
            return false;
        }
    }
    return true;
}

} // namespace

QList<QCommandLineOption> faultOptions()
{
    return {
        {QStringLiteral("silent"), QStringLiteral("Fault: answer nothing.")},
        {QStringLiteral("late"), QStringLiteral("Fault: answer after <ms> milliseconds."),
         QStringLiteral("ms")},
        {QStringLiteral("wrong-seq"),
         QStringLiteral("Fault: change answer byte 1, so the sequence bytes do not match.")},
        {QStringLiteral("short"), QStringLiteral("Fault: leave off the answer's last <n> bytes."),
         QStringLiteral("n")},
        {QStringLiteral("oversize"), QStringLiteral("Fault: append <n> bytes 0xEE to the answer."),
         QStringLiteral("n")},
        {QStringLiteral("garbage"), QStringLiteral("Fault: random bytes instead of the answer.")},
        {QStringLiteral("foreign"),
         QStringLiteral("Fault (UDP): answer only from another loopback address, 127.0.0.2.")},
        {QStringLiteral("decoy"),
         QStringLiteral("Fault (UDP): first an answer with all data bytes 0xEE from 127.0.0.2, "
                        "then the real one.")},
        {QStringLiteral("other-port"),
         QStringLiteral("Fault (UDP): answer from the right address but another port.")},
        {QStringLiteral("pace"),
         QStringLiteral("Fault (serial): write the answer byte by byte at <baud> (10 bit times "
                        "a byte)."),
         QStringLiteral("baud")},
        {QStringLiteral("chunk"),
         QStringLiteral("Fault (serial): deliver the answer <n> bytes at a time, each chunk after "
                        "n byte times at the --pace rate (9600 without --pace)."),
         QStringLiteral("n")},
        {QStringLiteral("babble"),
         QStringLiteral("Fault (serial): after each answer the line carries bytes 0x01 for <ms> "
                        "milliseconds (0-60000), starting right after the answer's last byte."),
         QStringLiteral("ms")},
        {QStringLiteral("babble-baud"),
         QStringLiteral("Rate of the --babble bytes (default 9600, 10 bit times a byte)."),
         QStringLiteral("baud")},
        {QStringLiteral("stream"),
         QStringLiteral("Fault (serial): while no request is under way the line carries bytes "
                        "0x01 at <baud> (50-4000000, 10 bit times a byte); it stops as a request "
                        "starts to arrive and goes on 20 ms after the answer."),
         QStringLiteral("baud")},
        {QStringLiteral("stream-full"),
         QStringLiteral("Fault (serial): as --stream, as fast as the line takes the bytes.")},
        {QStringLiteral("hangup"),
         QStringLiteral("Fault (serial): on the next request close the pty (as close-pty does) "
                        "instead of answering; open-pty makes a new one. With --device, the "
                        "simulator closes the device and serves it no more.")},
        {QStringLiteral("duplicate"),
         QStringLiteral("Fault: send each answer again <ms> milliseconds (1-60000) after it, as a "
                        "network that duplicates datagrams or a device that repeats itself does."),
         QStringLiteral("ms")},
        {QStringLiteral("duplicate-rate"),
         QStringLiteral("With --duplicate: repeat only a share <p> of the answers, each after a "
                        "delay drawn from 1 ms to the --duplicate delay."),
         QStringLiteral("p")},
        {QStringLiteral("late-rate"),
         QStringLiteral("With --late: make only a share <p> of the answers late."),
         QStringLiteral("p")},
        {QStringLiteral("repeat-link-check"),
         QStringLiteral("Fault: answer every link check twice, the second 1 ms after the first.")},
        {QStringLiteral("echo"),
         QStringLiteral("Fault (serial): the line echoes every request back at once, link checks "
                        "included, as a 2-wire adapter does; the answer follows 3 ms later.")},
        {QStringLiteral("fault-rate"),
         QStringLiteral("Give each answer, with probability <p>, one more fault chosen at random "
                        "among those its link can show (--late 400, --short 2, --oversize 3, "
                        "--chunk 8 and --babble 30 unless given, --echo)."),
         QStringLiteral("p")},
        {QStringLiteral("seed"),
         QStringLiteral("Seed of the random choices of --fault-rate and --garbage (default 1)."),
         QStringLiteral("s")},
        {QStringLiteral("fault-link-check"),
         QStringLiteral("Apply the faults to link check answers too (spared by default).")},
    };
}

bool readFaults(const QCommandLineParser &parser, FaultSet *faults, QString *why)
{
    FaultSet read;
    for (const FlagOption &flag : kFlagOptions)
        read.*flag.field = parser.isSet(QLatin1String(flag.name));
    for (const IntOption &option : kIntOptions) {
        const QString name = QLatin1String(option.name);
        if (!parser.isSet(name))
            continue;
        bool ok = false;
        const int value = parser.value(name).toInt(&ok);
        if (!ok || value < option.min || value > option.max) {
            *why = QStringLiteral("--%1 takes a number from %2 to %3")
                       .arg(name)
                       .arg(option.min)
                       .arg(option.max);
            return false;
        }
        read.*option.field = value;
    }
    if (!readRate(parser, &read, why))
        return false;
    *faults = read;
    return true;
}

bool parseFaults(const QStringList &arguments, FaultSet *faults, QString *why)
{
    QCommandLineParser parser;
    parser.addOptions(faultOptions());
    if (!parser.parse(QStringList{QStringLiteral("faults")} + arguments)) {
        *why = parser.errorText();
        return false;
    }
    if (!parser.positionalArguments().isEmpty()) {
        *why = QStringLiteral("unexpected '%1'").arg(parser.positionalArguments().first());
        return false;
    }
    return readFaults(parser, faults, why);
}

void FaultInjector::setFaults(const FaultSet &faults)
{
    faults_ = faults;
    random_.seed(faults.seed);
}

Delivery FaultInjector::plan(const QByteArray &answer, bool linkCheck, Transport transport)
{
    Delivery delivery;
    delivery.bytes = answer;
    // An echo is the line's, not the device's: it spares no request.
    delivery.echo = transport == Transport::Serial && faults_.echo;
    if (linkCheck && faults_.repeatLinkCheck) {
        delivery.repeatAfterMs = kLinkCheckRepeatMs;
        delivery.faulted = true;
    }
    if (linkCheck && !faults_.linkCheckToo)
        return delivery;

    FaultSet faults = faults_;
    if (faults.rate > 0.0 && random_.generateDouble() < faults.rate)
        armRandomFault(faults, transport, random_);
    for (const FaultRule &rule : kRules) {
        if (ruleFits(rule, transport) && rule.active(faults)) {
            rule.apply(faults, delivery, random_);
            delivery.faulted = true;
        }
    }
    // The line it closes is gone; a new one serves until told to hang up again.
    if (delivery.hangUp)
        faults_.hangUp = false;
    return delivery;
}

} // namespace sim
