#include "linkwait.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QPointer>
#include <QTimer>

// Waiting for the receive side: the one place the link sleeps, in the host's event loop; and
// what an arriving answer settles, which decides whether the wait is over.

void LinkWait::await(Awaiting what, int expectedBytes)
{
    awaiting = what;
    expected = expectedBytes;
    answerReady = false;
}

void LinkWait::answerArrived()
{
    answerReady = true;
    if (waitLoop)
        waitLoop->quit();
}

// Runs the host's events until the receive side says the answer is in or ms have passed. The
// thread sleeps in between: a byte, a datagram, a timer or any host event wakes it.
bool LinkWait::waitForAnswer(qint64 ms)
{
    QElapsedTimer clock;
    clock.start();
    QPointer<QObject> self(&holder);
    while (!answerReady && clock.elapsed() < ms) {
        QEventLoop loop;
        QTimer deadline;
        deadline.setSingleShot(true);
        deadline.setTimerType(Qt::PreciseTimer);
        QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
        deadline.start(int(qMax<qint64>(1, ms - clock.elapsed())));
        QEventLoop *outer = waitLoop;
        waitLoop = &loop;
        loop.exec();
        if (!self)
            return false;
        waitLoop = outer;
    }
    return answerReady;
}

void LinkWait::pause(int ms)
{
    // A monotonic clock: a clock step while we wait must not stretch or cut the wait. The
    // thread sleeps in the event loop until the time is up, running the host's events.
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        QEventLoop loop;
        QTimer::singleShot(int(ms - clock.elapsed()), Qt::PreciseTimer, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

// Notes a request about to go out. False when too much is outstanding to send anything: the
// access fails, and the link stays out of step until answers settle what is outstanding.
bool LinkWait::noteSent(Outstanding::Kind kind, int answerSize)
{
    if (outstanding.sent(kind, answerSize))
        return true;
    resyncNeeded = true;
    return false;
}

// Settles an answer from the device against what is outstanding. True when the exchange waiting
// now takes it: the answer is to the request it sent, and to nothing older.
bool LinkWait::settleAnswer(Outstanding::Shape shape)
{
    const Outstanding::Settled settled = outstanding.settle(shape);
    const Outstanding::Owner owner = settled.owner;
    if (owner == Outstanding::Owner::Nobody) {
        // No request gives such an answer: a repeat, an echo or babble puts the link out of step.
        resyncNeeded = true;
        return false;
    }
    if (settled.kind == Outstanding::Kind::LinkCheck) {
        linkAnswered = true;
        ownLinkAnswer = ownLinkAnswer || owner == Outstanding::Owner::Newest;
    }
    // The link check's own answer settles everything sent before it.
    if (awaiting == Awaiting::LinkCheck)
        return ownLinkAnswer;
    const bool exchangeWaits = awaiting == Awaiting::Answer || awaiting == Awaiting::GapEnd;
    return owner == Outstanding::Owner::Newest && exchangeWaits &&
           settled.kind != Outstanding::Kind::LinkCheck;
}

void LinkWait::startLinkCheck()
{
    linkAnswered = false;
    ownLinkAnswer = false;
}

// The link check has done its work when its own answer came. When only an older link check was
// answered (this one's answer lost, or still on its way), it has waited its whole time: it passes
// then if no read or write sent before it can still be answered, so that a lost answer does not
// hold the link out of step for good.
bool LinkWait::linkInStep() const
{
    return ownLinkAnswer || (linkAnswered && !outstanding.awaitsExchange());
}
