#pragma once

#include <QByteArray>
#include <QCommandLineOption>
#include <QList>
#include <QRandomGenerator>
#include <QStringList>

class QCommandLineParser;

namespace sim {

// Misbehaviour on cue. The same options switch it on from the command line and from the control
// port's "faults" command.
struct FaultSet
{
    bool silent = false;
    int lateMs = 0;
    bool wrongSeq = false;
    int shortBy = 0;
    int oversize = 0;
    bool garbage = false;
    bool foreign = false;
    bool decoy = false;
    bool otherPort = false;
    int paceBaud = 0;
    int chunk = 0;
    int babbleMs = 0;
    int babbleBaud = 9600;
    int streamBaud = 0;
    bool streamFull = false;
    bool hangUp = false; // once: the next request closes the line
    double rate = 0.0;
    quint32 seed = 1;
    bool linkCheckToo = false;
    int duplicateMs = 0;          // each answer goes out again this long after it
    double duplicateRate = 1.0;   // below 1: only this share, each after 1 to duplicateMs ms
    bool echo = false;            // serial: the line echoes every request ahead of its answer
    double lateRate = 1.0;        // below 1: only this share of the answers is late
    bool repeatLinkCheck = false; // every link check is answered twice
};

QList<QCommandLineOption> faultOptions();
// Reads the options of faultOptions() from a parser that has parsed them.
bool readFaults(const QCommandLineParser &parser, FaultSet *faults, QString *why);
// The control command's arguments, e.g. {"--late", "300", "--short", "2"}.
bool parseFaults(const QStringList &arguments, FaultSet *faults, QString *why);

enum class Transport { Udp, Serial };
enum class Sender { Main, Foreign, OtherPort };

// What to do with one answer.
struct Delivery
{
    bool send = true;
    int delayMs = 0;
    QByteArray bytes;
    QByteArray decoy; // sent from the foreign address just before bytes, when not empty
    Sender sender = Sender::Main;
    int paceBaud = 0; // serial: one byte every 10 bit times at this rate; 0 all at once
    int chunk = 0;    // serial: that many bytes at a time
    int babbleMs = 0; // serial: noise follows the answer on the line for this long
    int babbleBaud = 0;
    bool hangUp = false;    // serial: close the line instead of answering
    int repeatAfterMs = -1; // the answer goes out again this long after it; -1 never
    bool echo = false;      // serial: the request comes back at once, the answer a turnaround later
    bool faulted = false;
};

class FaultInjector
{
public:
    void setFaults(const FaultSet &faults);
    const FaultSet &faults() const { return faults_; }

    // Link checks pass unharmed unless the fault set includes them. A hang-up happens once.
    Delivery plan(const QByteArray &answer, bool linkCheck, Transport transport);

private:
    FaultSet faults_;
    QRandomGenerator random_{1};
};

} // namespace sim
