#include "CmdTarvik.h"

#include "linklimits.h"

#include <QSerialPort>
#include <QTimer>
#include <QUdpSocket>

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
    if (!serialPort) {
        serialPort = new QSerialPort(this);
        // Between exchanges the port holds at most this much, whatever the line does.
        serialPort->setReadBufferSize(linklimits::receiveLimit);
        connect(serialPort, &QSerialPort::readyRead, this, &CmdTarvik::serialreadyRead);
        connect(serialPort, &QSerialPort::errorOccurred, this, [this] { serial.portError(); });
    }
    const int opened = serial.open(portName, baud, dataBits, stopBits, parity);
    if (opened == Opened && !gapTimer) {
        gapTimer = new QTimer(this);
        gapTimer->setSingleShot(false);
        connect(gapTimer, &QTimer::timeout, this, &CmdTarvik::TimerTimeOut);
    }
    return opened;
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
    if (!udpSocket) {
        udpSocket = new QUdpSocket(this);
        connect(udpSocket, &QUdpSocket::readyRead, this, &CmdTarvik::myreadyRead);
        connect(udpSocket, &QUdpSocket::connected, this, &CmdTarvik::myconnected);
        connect(udpSocket, &QUdpSocket::disconnected, this, &CmdTarvik::mydisconnected);
    }
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

// The event-pumping pause of the exchange; the link's waits all live with LinkWait.
int CmdTarvik::mysleep(int ms)
{
    LinkWait::pause(ms);
    return 0;
}

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
    if ((wait.resyncNeeded || wait.outstanding.awaitsExchange()) && !checkLink())
        return NoAnswer;
    return link->exchange(frame, length, reply, timeoutMs, expectedLength);
}

// Whatever arrived while nobody waited belongs to no exchange: it is dropped (UDP answers settle
// what they answer first), and when the device sent something no request asked for, the link is
// out of step.
void CmdTarvik::discardStale()
{
    recvBuffer.clear();
    wait.awaiting = Awaiting::Nothing;
    udp.discardStale();
    serial.discardStale();
}

// The link check as the resynchronisation, on whichever link carries requests: answers that
// come before its own settle what they answer and are discarded, and so is whatever no request
// could have sent.
bool CmdTarvik::checkLink()
{
    wait.startLinkCheck();
    LinkTransport *link = carrier();
    const bool sent = link && link->checkLink(linklimits::linkCheckFrame());
    wait.awaiting = Awaiting::Nothing;
    recvBuffer.clear();
    const bool inStep = sent && !serial.lost() && wait.linkInStep();
    wait.resyncNeeded = !inStep;
    return inStep;
}
