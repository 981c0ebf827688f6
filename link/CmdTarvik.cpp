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
    // Out of step: the request would be answered behind whatever is still on its way, so it
    // does not go out until the link check has come back.
    if (resyncNeeded && !checkLink())
        return NoAnswer;
    if (udpSocket)
        return udpExchange(frame, length, reply, timeoutMs);
    return serialExchange(frame, reply, timeoutMs, expectedLength);
}

// Whatever arrived while nobody waited belongs to no exchange: it is dropped, and when the
// device sent it the link is out of step.
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

// The link check as the resynchronisation: sent on whichever link carries requests, everything
// the device sends before its answer is discarded.
bool CmdTarvik::checkLink()
{
    const QByteArray probe = linklimits::linkCheckFrame();
    bool answered = false;
    if (udpSocket) {
        if (!remoteAddress.isNull())
            udpSocket->writeDatagram(probe, remoteAddress, quint16(remotePort));
        answered = !remoteAddress.isNull() &&
                   udpAwait(Awaiting::LinkCheck,
                            linklimits::udpReadyWaitMs + linklimits::linkCheckBudgetMs);
    } else if (serialPort) {
        answered = serialSend(probe) &&
                   serialAwait(Awaiting::LinkCheck,
                               linklimits::serialReadyWaitMs + linklimits::linkCheckBudgetMs +
                                   wireTimeUs(linklimits::largestAnswer) / 1000);
    }
    awaiting = Awaiting::Nothing;
    recvBuffer.clear();
    resyncNeeded = !answered;
    return answered;
}
