#pragma once

#include "outstanding.h"

#include <QByteArray>

class QEventLoop;
class QObject;

// What the receive side is waiting for; it decides where arriving bytes go.
enum class Awaiting {
    Nothing,   // between exchanges: whatever comes belongs to no exchange
    Answer,    // UDP: the first datagram; serial: `expected` bytes
    GapEnd,    // serial: bytes up to a quiet gap
    LinkCheck, // the link check's answer; what comes before it settles older requests
    Drain,     // serial: discard until the line is quiet
};

// What every exchange of one link shares, whichever transport carries it: what was sent and is
// still unanswered, whether the link is in step, what the receive side waits for, and the wait
// itself, the one place the link sleeps.
//
// The protocol carries no request identifier, and a controller answers one request after
// another. So an answer goes to the oldest request that could have given it, and an exchange
// takes only an answer that no older request could have given. Whatever no request could have
// given (a repeat, babble), and an exchange that failed, mark the link as out of step: the next
// access checks the link first.
class LinkWait
{
public:
    // holder: the object whose deletion inside a wait ends it; received: where answers go.
    LinkWait(QObject &holder, QByteArray &received) : received(received), holder(holder) {}

    // Waiting.
    void await(Awaiting what, int expectedBytes = 0);
    bool waitForAnswer(qint64 ms);
    void answerArrived();
    bool waiting() const { return waitLoop; }
    // Sleeps ms, running the thread's events.
    static void pause(int ms);

    // What is outstanding, and whose an answer is.
    bool noteSent(Outstanding::Kind kind, int answerSize);
    bool settleAnswer(Outstanding::Shape shape);
    // A link check goes out: only answers from now on tell whether the link is in step.
    void startLinkCheck();
    bool linkInStep() const;

    QByteArray &received; // the latest answer (the face's recvBuffer)
    Outstanding outstanding;
    Awaiting awaiting = Awaiting::Nothing;
    int expected = 0; // bytes that complete a serial answer
    bool answerReady = false;
    bool ownLinkAnswer = false; // the link check now out was answered, by its own answer
    bool resyncNeeded = false;
    quint64 dropped = 0; // bytes and datagrams from the device that belonged to no exchange
    quint64 echoes = 0;  // serial: requests the line echoed back ahead of their answers

private:
    QObject &holder;
    QEventLoop *waitLoop = nullptr;
    bool linkAnswered = false; // a link check was answered since the last one went out
};
