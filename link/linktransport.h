#pragma once

#include "TarvikOutcome.h"

#include <QByteArray>

// What the link's calls return. CmdTarvik takes these as its own; a transport returns them too.
struct LinkCodes
{
    // Results of the exchange and of the request builders.
    enum LinkResult {
        LinkOk = 0,
        NoAnswer = -1,         // nothing (or nothing from the device) within the wait
        ExchangeFailed = -2,   // what the builders report for any failed exchange
        LinkNotOpen = -3,      // nothing was sent
        AnswerNotTrusted = -4, // serial: more bytes came right behind a complete answer
    };

    // Results of opening and closing a link: what ConnectDrive and DisConnectDrive hand the host.
    enum OpenResult {
        Opened = int(tarvik::ConnectOutcome::Connected),
        OpenRefused = int(tarvik::ConnectOutcome::Refused),
        NotAnswered = int(tarvik::ConnectOutcome::NotAnswered),
    };
    enum CloseResult {
        Closed = int(tarvik::CloseOutcome::Closed),
        NothingToClose = int(tarvik::CloseOutcome::NothingToClose),
    };
};

// One form of link to the controller (a UDP socket or a serial port), as the exchange sees it.
// The face, CmdTarvik, hands each request to the transport that carries it; the transport
// sends, receives and waits its own way, and keeps what every exchange shares (what is
// outstanding, whether the link is in step) in the LinkWait it was given.
class LinkTransport
{
public:
    virtual ~LinkTransport() = default;

    // Its socket or port has been created.
    virtual bool exists() const = 0;
    // Requests can go out on it.
    virtual bool usable() const = 0;
    // Closes and deletes its socket or port, as DestroyFree does; 0 when there was one, 1 not.
    virtual int release() = 0;

    // Drops what arrived while no exchange waited.
    virtual void discardStale() = 0;
    // Sends the link check and waits for it as long as this link needs; false when it could not
    // go out. Whether it was answered, the LinkWait tells.
    virtual bool checkLink(const QByteArray &probe) = 0;
    // Sends a request and waits for its answer (see CmdTarvik::SendData).
    virtual int exchange(const QByteArray &frame, int length, QByteArray &reply, int timeoutMs,
                         int expectedLength) = 0;
};
