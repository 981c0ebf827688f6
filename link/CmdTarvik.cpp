#include "CmdTarvik.h"

#include "linesettings.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QPointer>
#include <QSerialPort>
#include <QTimer>
#include <QUdpSocket>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace {

constexpr quint16 localUdpPort = 500;  // the port the controller expects its peer on
constexpr int udpReadyWaitMs = 300;    // how long a UDP answer may take before polling starts
constexpr int serialReadyWaitMs = 300; // likewise for the first bytes of a serial answer
constexpr int serialWriteWaitMs = 100;
constexpr int pollStepMs = 10;
constexpr int largestAnswer = 1472;     // a 4-byte header and at most 1468 bytes of data
constexpr int datagramCapacity = 65536; // larger than any UDP payload

quint16 senderPortOf(const sockaddr_storage &from)
{
    if (from.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in &>(from).sin_port);
    if (from.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 &>(from).sin6_port);
    return 0;
}

// A port that is closed, or whose device went away (a USB adapter pulled, a pseudo-terminal
// closed), cannot deliver the rest of an answer: waiting on would only spin until the deadline.
bool portGone(const QSerialPort *port)
{
    return !port || !port->isOpen() || port->error() == QSerialPort::ResourceError;
}

void warnLine(const QString &line)
{
    qWarning().noquote() << line;
}

} // namespace

CmdTarvik::CmdTarvik() = default;

CmdTarvik::~CmdTarvik()
{
    DestroyFree();
}

// ---------------------------------------------------------------------------------------------
// Serial link

int CmdTarvik::serialConnectDrive(QString portName, int baud, int dataBits, int stopBits,
                                  QString parity)
{
    if (!serialPort) {
        serialPort = new QSerialPort(this);
        connect(serialPort, &QSerialPort::readyRead, this, &CmdTarvik::serialreadyRead);
    }
    if (serialPort->isOpen()) {
        serialPort->clear(QSerialPort::AllDirections);
        serialPort->close();
    }
    serialPort->setPortName(portName);
    if (!serialPort->open(QIODevice::ReadWrite))
        return -1;

    const LineSettings settings = LineSettings::from(baud, dataBits, stopBits, parity);
    settings.applyTo(serialPort);
    if (settings.gapMs > 0)
        gapMs = settings.gapMs;

    if (!gapTimer) {
        gapTimer = new QTimer(this);
        gapTimer->setSingleShot(false);
        connect(gapTimer, &QTimer::timeout, this, &CmdTarvik::TimerTimeOut);
    }
    return 0;
}

int CmdTarvik::serialDisConnectDrive()
{
    if (!serialPort || !serialPort->isOpen())
        return -1;
    serialPort->clear(QSerialPort::AllDirections);
    serialPort->close();
    return 0;
}

// ---------------------------------------------------------------------------------------------
// UDP link

int CmdTarvik::UDPConnectDrive(QString address, int port)
{
    if (!udpSocket) {
        udpSocket = new QUdpSocket(this);
        connect(udpSocket, &QUdpSocket::readyRead, this, &CmdTarvik::myreadyRead);
        connect(udpSocket, &QUdpSocket::connected, this, &CmdTarvik::myconnected);
        connect(udpSocket, &QUdpSocket::disconnected, this, &CmdTarvik::mydisconnected);
    }
    remotePort = port;
    if (!remoteAddress.setAddress(address))
        return -1;
    // A port beyond 16 bits would be cut to another port: a device nobody named.
    if (port < 0 || port > 0xFFFF)
        return -1;
    // A socket still bound from an earlier connect is released so the bind below can take the
    // new address.
    if (udpSocket->state() != QAbstractSocket::UnconnectedState)
        udpSocket->close();
    // The bind mostly fails (the device's address is rarely one of ours); the first datagram
    // then binds an ephemeral port, and the link check decides either way.
    bindError = udpSocket->bind(remoteAddress, localUdpPort) ? QAbstractSocket::UnknownSocketError
                                                             : udpSocket->error();
    if (connections() == 0)
        return 0;
    UDPConnectDrive();
    return -2;
}

int CmdTarvik::UDPConnectDrive()
{
    if (!udpSocket)
        return 0;
    udpSocket->close();
    if (udpSocket->state() != QAbstractSocket::UnconnectedState)
        udpSocket->waitForDisconnected(30000);
    return 0;
}

int CmdTarvik::connections()
{
    const QByteArray probe("\x04\x01", 2);
    QByteArray reply;
    const int rc = SendData(probe, probe.size(), reply, 50);
    const bool answered =
        rc == 0 && reply.size() >= 2 && reply.at(0) == probe.at(0) && reply.at(1) == probe.at(1);
    return answered ? 0 : 1;
}

int CmdTarvik::Connection_status()
{
    if (serialPort)
        return serialPort->isOpen() ? 0 : -3;
    // A closed UDP socket still counts: datagrams need no connection.
    return udpSocket ? 0 : -3;
}

// ---------------------------------------------------------------------------------------------
// Receive side

void CmdTarvik::myconnected() {}

void CmdTarvik::mydisconnected()
{
    // A failed bind is expected and no fault of the link: it is not worth a warning later.
    if (!udpSocket || udpSocket->error() == QAbstractSocket::UnknownSocketError ||
        udpSocket->error() == bindError)
        return;
    qWarning().noquote() << QStringLiteral("lib[Tarvik]%1:%2 ")
                                .arg(remoteAddress.toString(), 0, QLatin1Char(' '))
                                .arg(remotePort, 0, 10, QLatin1Char(' '))
                         << udpSocket->error();
}

void CmdTarvik::myreadyRead()
{
    while (udpSocket && udpSocket->state() == QAbstractSocket::BoundState &&
           udpSocket->hasPendingDatagrams() && takeDatagram()) {
    }
}

// Reads one datagram; only the device may answer (from any port of its own): anything else is
// dropped with a warning. False when there was nothing to read.
// Reads one datagram straight from the socket, without waiting: the exchange's own read path,
// which spares an answer the socket layer's bookkeeping. False when nothing was waiting.
bool CmdTarvik::receiveDatagram(int fd)
{
    if (datagram.size() != datagramCapacity)
        datagram.resize(datagramCapacity);
    sockaddr_storage from{};
    socklen_t length = sizeof from;
    const ssize_t n = ::recvfrom(fd, datagram.data(), size_t(datagram.size()), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr *>(&from), &length);
    if (n < 0)
        return false;
    senderAddress.setAddress(reinterpret_cast<const sockaddr *>(&from));
    takeFrom(senderPortOf(from), int(n));
    return true;
}

// Keeps the datagram now in the scratch buffer as the answer when the device sent it.
void CmdTarvik::takeFrom(quint16 senderPort, int size)
{
    if (!senderAddress.isEqual(remoteAddress, QHostAddress::TolerantConversion))
        warnForeign(senderAddress, senderPort, size);
    else
        recvBuffer = QByteArray(datagram.constData(), size);
}

bool CmdTarvik::takeDatagram()
{
    if (datagram.size() != datagramCapacity)
        datagram.resize(datagramCapacity);
    quint16 senderPort = 0;
    const qint64 n =
        udpSocket->readDatagram(datagram.data(), datagram.size(), &senderAddress, &senderPort);
    if (n < 0)
        return false;
    takeFrom(senderPort, int(n));
    return true;
}

void CmdTarvik::warnForeign(const QHostAddress &sender, quint16 senderPort, qint64 size)
{
    warnLine(QStringLiteral("lib[Tarvik]%1:%2  datagram from %3:%4 dropped len = %5")
                 .arg(remoteAddress.toString())
                 .arg(remotePort)
                 .arg(sender.toString())
                 .arg(senderPort)
                 .arg(size));
}

void CmdTarvik::serialreadyRead()
{
    if (!gapTimer)
        return;
    gapTimer->stop();
    gapTimer->start(gapMs);
}

void CmdTarvik::TimerTimeOut()
{
    if (gapTimer && gapTimer->isActive())
        gapTimer->stop();
    if (serialPort)
        recvBuffer = serialPort->readAll();
}

// ---------------------------------------------------------------------------------------------
// Teardown

int CmdTarvik::deleteSerialPort()
{
    if (serialPort) {
        disconnect(serialPort, &QSerialPort::readyRead, this, &CmdTarvik::serialreadyRead);
        delete serialPort;
        serialPort = nullptr;
    }
    if (gapTimer) {
        disconnect(gapTimer, &QTimer::timeout, this, &CmdTarvik::TimerTimeOut);
        delete gapTimer;
        gapTimer = nullptr;
    }
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
// Exchange

int CmdTarvik::SendData(QByteArray frame, int length, QByteArray &reply, int timeoutMs,
                        int expectedLength)
{
    discardStale();
    if (udpSocket)
        return udpExchange(frame, length, reply, timeoutMs);
    if (serialPort)
        return serialExchange(frame, reply, timeoutMs, expectedLength);
    // No link: nothing goes out and nothing can come back; the budget still runs.
    if (timeoutMs < 1)
        return -1;
    mysleep(timeoutMs);
    return -1;
}

// Whatever arrived after an earlier exchange gave up belongs to that exchange: a late answer to
// one tag must never become the value of the next.
void CmdTarvik::discardStale()
{
    recvBuffer.clear();
    if (udpSocket && udpSocket->state() == QAbstractSocket::BoundState) {
        const int fd = int(udpSocket->socketDescriptor());
        char sink;
        while (::recv(fd, &sink, 1, MSG_DONTWAIT) >= 0) {
        }
    }
    if (serialPort) {
        if (gapTimer)
            gapTimer->stop();
        if (serialPort->isOpen())
            serialPort->clear(QSerialPort::Input);
    }
}

int CmdTarvik::udpExchange(const QByteArray &frame, int length, QByteArray &reply, int timeoutMs)
{
    const int size = qBound(0, length, frame.size());
    udpSocket->writeDatagram(frame.constData(), size, remoteAddress, quint16(remotePort));
    if (timeoutMs < 1)
        return -1;

    // The answer is read straight from the socket the moment it is there. A datagram from a
    // stranger is dropped and the wait goes on.
    QElapsedTimer clock;
    clock.start();
    const int fd = int(udpSocket->socketDescriptor());
    while (recvBuffer.isEmpty() && fd >= 0) {
        const qint64 left = udpReadyWaitMs - clock.elapsed();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, int(left)) <= 0 || !receiveDatagram(fd))
            break;
    }

    // Then the polling budget, in 10-ms steps that keep the host's events running.
    int waited = 0;
    while (recvBuffer.isEmpty()) {
        waited += pollStepMs;
        mysleep(pollStepMs);
        while (recvBuffer.isEmpty() && udpSocket && receiveDatagram(fd)) {
        }
        if (waited >= timeoutMs)
            return -1;
    }
    reply.append(recvBuffer);
    recvBuffer.clear();
    return 0;
}

// A serial answer is complete when the expected number of bytes is in; without an expected
// length, at its first quiet gap. Neither waits for what has already happened: the answer is
// taken the moment it is complete.
int CmdTarvik::serialExchange(const QByteArray &frame, QByteArray &reply, int timeoutMs,
                              int expectedLength)
{
    QPointer<QSerialPort> port(serialPort);
    port->clearError(); // judge this exchange by what happens in it
    port->write(frame);
    port->flush();
    if (port->bytesToWrite() > 0)
        port->waitForBytesWritten(serialWriteWaitMs);
    if (timeoutMs < 1)
        return -1;

    QByteArray answer;
    QElapsedTimer clock;
    clock.start();
    const qint64 firstBytesBy = serialReadyWaitMs + timeoutMs;
    while (answer.isEmpty()) {
        const qint64 left = firstBytesBy - clock.elapsed();
        if (left <= 0 || portGone(port))
            return -1;
        collectSerial(answer, int(qMin<qint64>(left, pollStepMs)));
    }

    if (expectedLength > 0) {
        // Bytes may come in bursts with pauses longer than the quiet gap (a UART FIFO, a USB
        // adapter): wait for the rest as long as the line needs to carry it, plus the budget.
        const qint64 restBy = clock.elapsed() + wireTimeMs(expectedLength) + timeoutMs;
        while (answer.size() < expectedLength && !portGone(port)) {
            const qint64 left = restBy - clock.elapsed();
            if (left <= 0)
                break;
            collectSerial(answer, int(qMin<qint64>(left, pollStepMs)));
        }
    } else {
        const qint64 gapBy = clock.elapsed() + timeoutMs + wireTimeMs(largestAnswer);
        while (!portGone(port) && clock.elapsed() < gapBy) {
            if (!collectSerial(answer, gapMs))
                break;
        }
    }
    if (gapTimer)
        gapTimer->stop();
    reply.append(answer);
    return 0;
}

// Waits up to waitMs for bytes and moves whatever is in to answer; true when bytes came. The
// host's events run whenever the slice passed without bytes.
bool CmdTarvik::collectSerial(QByteArray &answer, int waitMs)
{
    QPointer<QSerialPort> port(serialPort);
    const int before = answer.size();
    if (recvBuffer.isEmpty() && port->bytesAvailable() == 0 && !port->waitForReadyRead(waitMs))
        QCoreApplication::processEvents();
    answer.append(recvBuffer);
    recvBuffer.clear();
    if (port)
        answer.append(port->readAll());
    return answer.size() > before;
}

// Time the line needs to carry that many bytes: start bit, data bits, parity and stop bits each.
int CmdTarvik::wireTimeMs(int bytes) const
{
    const qint64 baud = serialPort && serialPort->baudRate() > 0 ? serialPort->baudRate() : 9600;
    int bitsPerByte = 10;
    if (serialPort) {
        bitsPerByte = 1 + int(serialPort->dataBits()) +
                      (serialPort->parity() == QSerialPort::NoParity ? 0 : 1) +
                      (serialPort->stopBits() == QSerialPort::OneStop ? 1 : 2);
    }
    return int((qint64(bytes) * bitsPerByte * 1000 + baud - 1) / baud);
}

int CmdTarvik::mysleep(int ms)
{
    // A monotonic clock: a clock step while we wait must not stretch or cut the wait.
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        QCoreApplication::processEvents();
    return 0;
}
