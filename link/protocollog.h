#pragma once

#include <QAbstractSocket>
#include <QString>

class QByteArray;
class QHostAddress;

// The link's lines in the message log: every warning and every trace line goes out through here,
// one string each, in QDebug's default form for strings (quoted), which log tools reading the
// hosts' logs expect.
namespace protocollog {

// One protocol line: format filled with peer address, peer port, tag, length and the bytes in
// hex (%1 to %5).
QString line(const char *format, const QHostAddress &peer, int port, const QString &tag, int length,
             const QByteArray &bytes);

// The peer as a line's head: "lib[Tarvik]address:port ".
QString peerHead(const QHostAddress &peer, int port);

void warnLine(const QString &text);
// A socket fault: the text, then the socket's own name for the error.
void warnLine(const QString &text, QAbstractSocket::SocketError error);
void traceLine(const QString &text);

} // namespace protocollog
