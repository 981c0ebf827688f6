#pragma once

#include "linktransport.h"
#include "linkwait.h"

#include <QString>

class QSerialPort;
class QTimer;

// The serial link: one port and the gap timer that finds the end of a reply, both the face's
// (serialPort, gapTimer and gapMs), which creates them. A reply is a run of bytes; a read answer of
// known length is complete when that many bytes are in, and trusted when the line then stays quiet.
// The line's echo of a request and late link check answers ahead of an answer are taken off first.
class SerialLink : public LinkTransport
{
public:
    SerialLink(LinkWait &wait, QSerialPort *&port, QTimer *&gapTimer, int &gapMs)
        : wait(wait), port(port), gapTimer(gapTimer), gapMs(gapMs)
    {
    }

    int open(const QString &portName, int baud, int dataBits, int stopBits, const QString &parity);
    int close();
    int deletePort();

    bool exists() const override;
    bool usable() const override; // open, or lost with its device (its requests then fail)
    int release() override;
    void discardStale() override; // drops unread what came, which puts the link out of step
    int exchange(const QByteArray &frame, int length, QByteArray &reply, int timeoutMs,
                 int expectedLength) override;
    bool checkLink(const QByteArray &probe) override;

    // The port's and the gap timer's signals.
    void bytesArrived();
    void lineQuiet();
    void portError();

    // The device went away: the port was closed for it.
    bool lost() const { return portLost; }

private:
    bool send(const QByteArray &frame);
    bool await(Awaiting what, qint64 ms, int expectedBytes = 0);
    void takeQuickBytes();
    int quietMs() const;
    bool bytesFollowWithin(qint64 us);
    void drainLine(qint64 ms);
    qint64 wireTimeUs(int bytes) const;
    bool stripAhead();
    void settleBurst(const QByteArray &burst);

    LinkWait &wait;
    QSerialPort *&port;
    QTimer *&gapTimer;
    int &gapMs;
    bool portLost = false;
    QByteArray lastRequest;   // the request just sent, as its echo would look
    bool echoPending = false; // the line may still echo lastRequest
};
