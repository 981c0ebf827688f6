#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>

class QSerialPort;
class QTimer;
class QUdpSocket;

// The link to one controller: a serial port or a UDP socket, the buffer the receive slots fill,
// and the send-and-wait exchange every request goes through.
class CmdTarvik : public QObject
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
    // answer: a serial answer is taken the moment that many bytes are in.
    int SendData(QByteArray frame, int length, QByteArray &reply, int timeoutMs,
                 int expectedLength = 0);
    int mysleep(int ms);

    // Frames. Builders return 0 on success, -2 when the exchange failed (no answer; for reads
    // also a wrong sequence number or a short answer), -3 when the link is not open.
    int Message_parsing(QByteArray frame, QByteArray *answer, int length, QString tag);
    int Readmemory(int area, int address, int count, QByteArray *out, QString tag);
    int Readbool(int area, int address, int count, QByteArray *out, QString tag);
    int Readstring(int area, int address, int count, QByteArray *out, QString tag);
    int Writememory(int area, int address, int count, QByteArray data, QString tag);
    int Writebool(int area, int address, int count, QByteArray data, QString tag);
    int Writestring(int area, int address, int count, QByteArray data, QString tag);

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
    void discardStale();
    bool takeDatagram();
    bool receiveDatagram(int fd);
    void takeFrom(quint16 senderPort, int size);
    int udpExchange(const QByteArray &frame, int length, QByteArray &reply, int timeoutMs);
    int serialExchange(const QByteArray &frame, QByteArray &reply, int timeoutMs,
                       int expectedLength);
    bool collectSerial(QByteArray &answer, int waitMs);
    int wireTimeMs(int bytes) const;
    void warnForeign(const QHostAddress &sender, quint16 senderPort, qint64 size);

    QByteArray datagram;        // receive scratch, kept to spare an allocation per answer
    QHostAddress senderAddress; // likewise for the sender of each datagram
    int bindError = -1;         // what the last bind to the local port failed with, if it did
};
