#pragma once

#include "linktransport.h"
#include "linkwait.h"
#include "seriallink.h"
#include "udplink.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>

class QSerialPort;
class QTimer;
class QUdpSocket;

// The link to one controller: a serial port or a UDP socket, the buffer the receive slots fill,
// and the send-and-wait exchange every request goes through. A read or a write goes out only
// when no older read or write is outstanding; until then the link check goes first, and its
// answer settles everything sent before it (see LinkWait).
class CmdTarvik : public QObject, public LinkCodes
{
    Q_OBJECT

public:
    CmdTarvik();
    ~CmdTarvik() override;

    // Link transport.
    int serialConnectDrive(QString portName, int baud, int dataBits, int stopBits, QString parity);
    int serialDisConnectDrive();
    int UDPConnectDrive(QString address, int port);
    int UDPConnectDrive();
    int connections();
    int Connection_status();
    int deleteSerialPort();
    int deletetcpSocket();
    int DestroyFree();

    // Releases one form of link entirely, as DestroyFree does for it; 0 when there was one.
    int releaseSerial();
    int releaseUdp();

    // Request exchange. expectedLength, when the caller knows it, is the size of a complete
    // answer: a serial answer is taken the moment that many bytes are in, and refused when more
    // follow at once.
    int SendData(QByteArray frame, int length, QByteArray &reply, int timeoutMs,
                 int expectedLength = 0);
    int mysleep(int ms);

    // True while the link is out of step: the next exchange checks the link first.
    bool needsResync() const { return wait.resyncNeeded; }
    // Bytes and datagrams from the device that belonged to no exchange, dropped so far.
    quint64 droppedBytes() const { return wait.dropped; }
    // Serial: requests the line echoed back ahead of their answers, discarded so far.
    quint64 echoesDiscarded() const { return wait.echoes; }
    // Requests sent whose answers have not come (and may still come).
    int unanswered() const { return wait.outstanding.count(); }

    // Frames. Builders return LinkOk, ExchangeFailed when the exchange failed (no answer; for
    // reads also a wrong sequence number or a short answer), or LinkNotOpen. address is the point
    // index; length is the request's length field, textSlots the number of 256-byte text slots.
    int Message_parsing(QByteArray frame, QByteArray *answer, int length, QString tag);
    // The read request for these header fields (frame::requestHeader).
    QByteArray readRequest(int area, int address, int length);
    int Readmemory(int area, int address, int length, QByteArray *out, QString tag);
    int Readbool(int area, int address, int length, QByteArray *out, QString tag);
    int Readstring(int area, int address, int textSlots, QByteArray *out, QString tag);
    int Writememory(int area, int address, int length, QByteArray data, QString tag);
    int Writebool(int area, int address, int length, QByteArray data, QString tag);
    int Writestring(int area, int address, int textSlots, QByteArray data, QString tag);

public slots:
    void myconnected();
    void mydisconnected();
    void myreadyRead();
    void serialreadyRead();
    void TimerTimeOut();

public:
    QByteArray recvBuffer;
    QTimer *gapTimer = nullptr;
    QSerialPort *serialPort = nullptr;
    QHostAddress remoteAddress;
    QUdpSocket *udpSocket = nullptr;
    int remotePort = 0;
    int gapMs = 2;
    bool traceOn = false;

private:
    int checkReadAnswer(int rc, const QByteArray &request, const QByteArray &answer, int length,
                        const QString &tag, int needs);

    // The transport that carries requests: UDP when both links exist.
    LinkTransport *carrier();
    bool checkLink();
    void discardStale();

    struct KeptRequest
    {
        int area = -1; // no request yet
        int address = 0;
        int length = 0;
        QByteArray frame;
    };
    KeptRequest keptRead;

    LinkWait wait{*this, recvBuffer};
    UdpLink udp{wait, udpSocket, remoteAddress, remotePort};
    SerialLink serial{wait, serialPort, gapTimer, gapMs};
};
