#pragma once

#include "outstanding.h"
#include "seriallink.h"
#include "udplink.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>

class QEventLoop;
class QSerialPort;
class QTimer;
class QUdpSocket;

// The link to one controller: a serial port or a UDP socket, the buffer the receive slots fill,
// and the send-and-wait exchange every request goes through.
//
// The protocol carries no request identifier, and a controller answers one request after
// another. So the link keeps count of what it sent and is still unanswered (Outstanding): an
// answer goes to the oldest request that could have given it, and an exchange takes only an
// answer that no older request could have given. A read or a write goes out only when no older
// read or write is outstanding; until then the link check goes first, and its answer settles
// everything sent before it. Whatever no request could have given (a repeat, babble), and an
// exchange that failed, mark the link as out of step: the next access checks the link first.
class CmdTarvik : public QObject
{
    Q_OBJECT

public:
    // Results of the exchange and of the request builders.
    enum LinkResult {
        LinkOk = 0,
        NoAnswer = -1,         // nothing (or nothing from the device) within the wait
        ExchangeFailed = -2,   // what the builders report for any failed exchange
        LinkNotOpen = -3,      // nothing was sent
        AnswerNotTrusted = -4, // serial: more bytes came right behind a complete answer
    };

    // Results of opening a link.
    enum OpenResult {
        Opened = 0,
        OpenRefused = -1, // the port did not open, or the address is no numeric IP address
        NotAnswered = -2, // UDP: no answer to the link check; the socket is closed again
    };

    // Results of closing a link.
    enum CloseResult { Closed = 0, NothingToClose = -1 };

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
    bool needsResync() const { return resyncNeeded; }
    // Bytes and datagrams from the device that belonged to no exchange, dropped so far.
    quint64 droppedBytes() const { return dropped; }
    // Serial: requests the line echoed back ahead of their answers, discarded so far.
    quint64 echoesDiscarded() const { return echoes; }
    // Requests sent whose answers have not come (and may still come).
    int unanswered() const { return outstanding.count(); }

    // Frames. Builders return LinkOk, ExchangeFailed when the exchange failed (no answer; for
    // reads also a wrong sequence number or a short answer), or LinkNotOpen. address is the point
    // index; length is the request's length field, textSlots the number of 256-byte text slots.
    int Message_parsing(QByteArray frame, QByteArray *answer, int length, QString tag);
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
    friend class UdpLink;
    friend class SerialLink;

    int checkReadAnswer(int rc, const QByteArray &request, const QByteArray &answer, int length,
                        const QString &tag, int needs);

    // The transport that carries requests: UDP when both links exist.
    LinkTransport *carrier();
    bool checkLink();
    void discardStale();

    // What is outstanding, and whose an answer is.
    bool noteSent(Outstanding::Kind kind, int answerSize);
    bool settleAnswer(Outstanding::Shape shape);
    bool linkInStep() const;

    // Waiting.
    void await(Awaiting what, int expected = 0);
    bool waitForAnswer(qint64 ms);
    void answerArrived();

    UdpLink udp{*this};
    SerialLink serial{*this};

    Outstanding outstanding;
    bool linkAnswered = false;  // a link check was answered since the last one went out
    bool ownLinkAnswer = false; // and it was that one's own answer
    Awaiting awaiting = Awaiting::Nothing;
    int expected = 0; // bytes that complete a serial answer
    bool answerReady = false;
    QEventLoop *waitLoop = nullptr;
    bool resyncNeeded = false;
    quint64 dropped = 0;
    quint64 echoes = 0;
};
