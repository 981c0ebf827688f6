#include "CmdTarvik.h"

#include "linklimits.h"

#include <array>

CmdTarvik::CmdTarvik() = default;

CmdTarvik::~CmdTarvik()
{
    DestroyFree();
}

// ---------------------------------------------------------------------------------------------
// Which link does what. A host that connected once by serial and once by UDP has both: requests
// then go out as datagrams, while the port decides the link's state and is released first.

LinkTransport *CmdTarvik::carrier()
{
    if (udp.exists())
        return &udp;
    return serial.exists() ? &serial : nullptr;
}

int CmdTarvik::Connection_status()
{
    for (LinkTransport *link : std::array<LinkTransport *, 2>{&serial, &udp}) {
        if (link->exists())
            return link->usable() ? LinkOk : LinkNotOpen;
    }
    return LinkNotOpen;
}

int CmdTarvik::DestroyFree()
{
    for (LinkTransport *link : std::array<LinkTransport *, 2>{&serial, &udp}) {
        if (link->exists())
            return link->release();
    }
    return 1;
}

int CmdTarvik::releaseSerial()
{
    return serial.release();
}

int CmdTarvik::releaseUdp()
{
    return udp.release();
}

// ---------------------------------------------------------------------------------------------
// Opening and closing

int CmdTarvik::serialConnectDrive(QString portName, int baud, int dataBits, int stopBits,
                                  QString parity)
{
    return serial.open(portName, baud, dataBits, stopBits, parity);
}

int CmdTarvik::serialDisConnectDrive()
{
    return serial.close();
}

int CmdTarvik::deleteSerialPort()
{
    return serial.deletePort();
}

int CmdTarvik::UDPConnectDrive(QString address, int port)
{
    const int opened = udp.open(address, port);
    if (opened != Opened)
        return opened;
    if (connections() == 0)
        return Opened;
    UDPConnectDrive();
    return NotAnswered;
}

int CmdTarvik::UDPConnectDrive()
{
    return udp.close();
}

int CmdTarvik::deletetcpSocket()
{
    return udp.deleteSocket();
}

int CmdTarvik::connections()
{
    discardStale();
    return checkLink() ? 0 : 1;
}

// ---------------------------------------------------------------------------------------------
// Slots: each link's signals go to its transport.

void CmdTarvik::myconnected() {}

void CmdTarvik::mydisconnected()
{
    udp.disconnected();
}

void CmdTarvik::myreadyRead()
{
    udp.readPending();
}

void CmdTarvik::serialreadyRead()
{
    serial.bytesArrived();
}

void CmdTarvik::TimerTimeOut()
{
    serial.lineQuiet();
}

// ---------------------------------------------------------------------------------------------
// Exchange

int CmdTarvik::SendData(QByteArray frame, int length, QByteArray &reply, int timeoutMs,
                        int expectedLength)
{
    discardStale();
    LinkTransport *link = carrier();
    if (!link) {
        // No link: nothing goes out and nothing can come back; the budget still runs.
        mysleep(timeoutMs);
        return NoAnswer;
    }
    // Out of step, or an older read or write may still be answered: this request's answer could
    // not be told from that one's, so it does not go out until the link check has come back.
    if ((resyncNeeded || outstanding.awaits(Outstanding::Kind::Exchange)) && !checkLink())
        return NoAnswer;
    return link->exchange(frame, length, reply, timeoutMs, expectedLength);
}

// Whatever arrived while nobody waited belongs to no exchange: it is dropped (UDP answers settle
// what they answer first), and when the device sent something no request asked for, the link is
// out of step.
void CmdTarvik::discardStale()
{
    recvBuffer.clear();
    awaiting = Awaiting::Nothing;
    udp.discardStale();
    serial.discardStale();
}

// The link check as the resynchronisation, on whichever link carries requests: answers that
// come before its own settle what they answer and are discarded, and so is whatever no request
// could have sent.
bool CmdTarvik::checkLink()
{
    linkAnswered = false;
    ownLinkAnswer = false;
    LinkTransport *link = carrier();
    const bool sent = link && link->checkLink(linklimits::linkCheckFrame());
    awaiting = Awaiting::Nothing;
    recvBuffer.clear();
    const bool inStep = sent && !serial.lost() && linkInStep();
    resyncNeeded = !inStep;
    return inStep;
}

// Notes a request about to go out. False when too much is outstanding to send anything: the
// access fails, and the link stays out of step until answers settle what is outstanding.
bool CmdTarvik::noteSent(Outstanding::Kind kind, int answerSize)
{
    if (outstanding.sent(kind, answerSize))
        return true;
    resyncNeeded = true;
    return false;
}

// Settles an answer from the device against what is outstanding. True when the exchange waiting
// now takes it: the answer is to the request it sent, and to nothing older.
bool CmdTarvik::settleAnswer(Outstanding::Kind kind)
{
    const Outstanding::Owner owner = outstanding.settle(kind);
    if (owner == Outstanding::Owner::Nobody) {
        // No request gives such an answer: a repeat, an echo or babble puts the link out of step.
        resyncNeeded = true;
        return false;
    }
    if (kind == Outstanding::Kind::LinkCheck) {
        linkAnswered = true;
        ownLinkAnswer = ownLinkAnswer || owner == Outstanding::Owner::Newest;
    }
    // The link check's own answer settles everything sent before it.
    if (awaiting == Awaiting::LinkCheck)
        return ownLinkAnswer;
    const bool exchangeWaits = awaiting == Awaiting::Answer || awaiting == Awaiting::GapEnd;
    return owner == Outstanding::Owner::Newest && exchangeWaits &&
           kind == Outstanding::Kind::Exchange;
}

// The link check has done its work when its own answer came. When only an older link check was
// answered (this one's answer lost, or still on its way), it has waited its whole time: it passes
// then if no read or write sent before it can still be answered, so that a lost answer does not
// hold the link out of step for good.
bool CmdTarvik::linkInStep() const
{
    return ownLinkAnswer || (linkAnswered && !outstanding.awaits(Outstanding::Kind::Exchange));
}
