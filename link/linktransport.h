#pragma once

#include <QByteArray>

// What the receive side is waiting for; it decides where arriving bytes go.
enum class Awaiting {
    Nothing,   // between exchanges: whatever comes belongs to no exchange
    Answer,    // UDP: the first datagram; serial: `expected` bytes
    GapEnd,    // serial: bytes up to a quiet gap
    LinkCheck, // the link check's answer; what comes before it settles older requests
    Drain,     // serial: discard until the line is quiet
};

// One form of link to the controller (a UDP socket or a serial port), as the exchange sees it.
// The face, CmdTarvik, keeps what every exchange shares (what is outstanding, whether the link
// is in step, the wait) and hands each request to the transport that carries it; the transport
// sends, receives and waits its own way.
class LinkTransport
{
public:
    virtual ~LinkTransport() = default;

    // Its socket or port has been created.
    virtual bool exists() const = 0;
    // Requests can go out on it (a closed UDP socket still counts; a closed port does not).
    virtual bool usable() const = 0;
    // Closes and deletes its socket or port, as DestroyFree does; 0 when there was one, 1 not.
    virtual int release() = 0;

    // Drops what arrived while no exchange waited.
    virtual void discardStale() = 0;
    // Sends the link check and waits for it as long as this link needs; false when it could not
    // go out. Whether it was answered, the face's bookkeeping tells.
    virtual bool checkLink(const QByteArray &probe) = 0;
    // Sends a request and waits for its answer (see CmdTarvik::SendData).
    virtual int exchange(const QByteArray &frame, int length, QByteArray &reply, int timeoutMs,
                         int expectedLength) = 0;
};
