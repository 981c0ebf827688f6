#include "CmdTarvik.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QPointer>
#include <QTimer>

// Waiting for the receive side: the one place the link sleeps, in the host's event loop.

void CmdTarvik::await(Awaiting what, int expectedBytes)
{
    awaiting = what;
    expected = expectedBytes;
    answerReady = false;
}

void CmdTarvik::answerArrived()
{
    answerReady = true;
    if (waitLoop)
        waitLoop->quit();
}

// Runs the host's events until the receive side says the answer is in or ms have passed. The
// thread sleeps in between: a byte, a datagram, a timer or any host event wakes it.
bool CmdTarvik::waitForAnswer(qint64 ms)
{
    QElapsedTimer clock;
    clock.start();
    QPointer<CmdTarvik> self(this);
    while (!answerReady && clock.elapsed() < ms) {
        QEventLoop loop;
        QTimer deadline;
        deadline.setSingleShot(true);
        deadline.setTimerType(Qt::PreciseTimer);
        connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
        deadline.start(int(qMax<qint64>(1, ms - clock.elapsed())));
        QEventLoop *outer = waitLoop;
        waitLoop = &loop;
        loop.exec();
        if (!self)
            return false;
        waitLoop = outer;
        if (serial.lost())
            break;
    }
    return answerReady;
}

int CmdTarvik::mysleep(int ms)
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
    return 0;
}
