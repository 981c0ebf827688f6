#include "CmdTarvik.h"

#include "linklimits.h"

#include <QSerialPort>
#include <QTimer>
#include <QUdpSocket>

CmdTarvik::CmdTarvik() = default;

CmdTarvik::~CmdTarvik()
{
    DestroyFree();
}

int CmdTarvik::Connection_status()
{
    // A port whose device went away still counts: its requests fail at once with no answer,
    // and DisConnectDrive and a new connect work as for any open port.
    if (serialPort)
        return serialPort->isOpen() || portLost ? LinkOk : LinkNotOpen;
    // A closed UDP socket still counts: datagrams need no connection.
    return udpSocket ? LinkOk : LinkNotOpen;
}

// ---------------------------------------------------------------------------------------------
// Teardown

int CmdTarvik::deleteSerialPort()
{
    if (serialPort) {
        disconnect(serialPort, nullptr, this, nullptr);
        delete serialPort;
        serialPort = nullptr;
    }
    if (gapTimer) {
        disconnect(gapTimer, &QTimer::timeout, this, &CmdTarvik::TimerTimeOut);
        delete gapTimer;
        gapTimer = nullptr;
    }
    portLost = false;
    outstanding.clear();
    return 0;
}

int CmdTarvik::deletetcpSocket()
{
    if (udpSocket) {
        disconnect(udpSocket, &QUdpSocket::connected, this, &CmdTarvik::myconnected);
        disconnect(udpSocket, &QUdpSocket::disconnected, this, &CmdTarvik::mydisconnected);
        disconnect(udpSocket, &QUdpSocket::readyRead, this, &CmdTarvik::myreadyRead);
        delete udpSocket;
        udpSocket = nullptr;
    }
    outstanding.clear();
    return 0;
}

int CmdTarvik::releaseSerial()
{
    if (!serialPort)
        return 1;
    serialDisConnectDrive();
    deleteSerialPort();
    return 0;
}

int CmdTarvik::releaseUdp()
{
    if (!udpSocket)
        return 1;
    if (udpSocket->state() != QAbstractSocket::UnconnectedState)
        UDPConnectDrive();
    deletetcpSocket();
    return 0;
}

int CmdTarvik::DestroyFree()
{
    if (serialPort)
        return releaseSerial();
    return releaseUdp();
}

// ---------------------------------------------------------------------------------------------
// Opening a UDP link and the link check

int CmdTarvik::UDPConnectDrive(QString address, int port)
{
    const int opened = udpOpen(address, port);
    if (opened != Opened)
        return opened;
    if (connections() == 0)
        return Opened;
    UDPConnectDrive();
    return NotAnswered;
}

int CmdTarvik::connections()
{
    discardStale();
    return checkLink() ? 0 : 1;
}

// ---------------------------------------------------------------------------------------------
// Exchange

int CmdTarvik::SendData(QByteArray frame, int length, QByteArray &reply, int timeoutMs,
                        int expectedLength)
{
    discardStale();
    if (!udpSocket && !serialPort) {
        // No link: nothing goes out and nothing can come back; the budget still runs.
        mysleep(timeoutMs);
        return NoAnswer;
    }
    // Out of step, or an older read or write may still be answered: this request's answer could
    // not be told from that one's, so it does not go out until the link check has come back.
    if ((resyncNeeded || outstanding.awaits(Outstanding::Kind::Exchange)) && !checkLink())
        return NoAnswer;
    if (udpSocket)
        return udpExchange(frame, length, reply, timeoutMs, expectedLength);
    return serialExchange(frame, reply, timeoutMs, expectedLength);
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

// Whatever arrived while nobody waited belongs to no exchange: it is dropped (UDP answers settle
// what they answer first), and when the device sent something no request asked for, the link is
// out of step.
void CmdTarvik::discardStale()
{
    recvBuffer.clear();
    awaiting = Awaiting::Nothing;
    if (udpSocket && udpSocket->state() == QAbstractSocket::BoundState) {
        const int fd = int(udpSocket->socketDescriptor());
        while (receiveDatagram(fd)) {
        }
    }
    if (serialPort && serialPort->isOpen()) {
        if (gapTimer)
            gapTimer->stop();
        if (serialPort->bytesAvailable() > 0 || bytesFollowWithin(0)) {
            resyncNeeded = true;
            dropped += quint64(serialPort->bytesAvailable());
        }
        serialPort->clear(QSerialPort::Input);
    }
}

// The link check as the resynchronisation: sent on whichever link carries requests; answers
// that come before its own settle what they answer and are discarded, and so is whatever no
// request could have sent.
bool CmdTarvik::checkLink()
{
    const QByteArray probe = linklimits::linkCheckFrame();
    linkAnswered = false;
    ownLinkAnswer = false;
    bool sent = false;
    if (udpSocket) {
        sent = !remoteAddress.isNull() && noteSent(Outstanding::Kind::LinkCheck, 2) &&
               udpSocket->writeDatagram(probe, remoteAddress, quint16(remotePort)) >= 0;
        if (sent)
            udpAwait(Awaiting::LinkCheck,
                     linklimits::udpReadyWaitMs + linklimits::linkCheckBudgetMs);
    } else if (serialPort) {
        // The wait covers the probe and its answer on the line, not whatever else may be on it.
        const qint64 wireMs = (wireTimeUs(probe.size()) + wireTimeUs(probe.size()) + 999) / 1000;
        sent = noteSent(Outstanding::Kind::LinkCheck, 2) && serialSend(probe);
        if (sent)
            serialAwait(Awaiting::LinkCheck,
                        linklimits::serialReadyWaitMs + linklimits::linkCheckBudgetMs + wireMs);
    }
    awaiting = Awaiting::Nothing;
    recvBuffer.clear();
    const bool inStep = sent && !portLost && linkInStep();
    resyncNeeded = !inStep;
    return inStep;
}
