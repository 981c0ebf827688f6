#pragma once

#include "frame.h"

#include <QAbstractSocket>
#include <QString>

#include <array>
#include <cstddef>

class QByteArray;
class QHostAddress;

// The link's lines in the message log: every warning and every trace line goes out through here,
// one string each, in QDebug's default form for strings (quoted), which log tools reading the
// hosts' logs expect.
namespace protocollog {

// The pieces of text that tell the link's warning lines apart: readers of the log (the host
// program among them) know a line's kind by them, so each format below is made from its piece.
inline constexpr char noAnswerMarker[] = "返回的报文长度为0";
inline constexpr char trailingMarker[] = "answer followed by more bytes";
inline constexpr char wrongSequenceMarker[] = "返回的序号错误";
inline constexpr char shortMarker[] = "返回的报文长度不足";
inline constexpr char foreignMarker[] = "dropped len =";
inline constexpr char foreignSummaryMarker[] = "more datagrams from other senders dropped";
// How a socket fault's line ends: QDebug names the error with its enumeration's scope.
inline constexpr char socketErrorMarker[] = "QAbstractSocket::";

// The texts one after the other, as one string known at compile time.
template <std::size_t... N> constexpr auto joined(const char (&...parts)[N])
{
    std::array<char, (N + ...) - sizeof...(N) + 1> out{};
    std::size_t at = 0;
    const auto append = [&out, &at](const char *text, std::size_t size) {
        for (std::size_t i = 0; i + 1 < size; ++i)
            out[at++] = text[i];
    };
    (append(parts, N), ...);
    return out;
}

// A datagram from another sender than the device: the device's address and port, the sender's
// address and port, and the datagram's size (%1 to %5).
inline constexpr auto foreignFormat =
    joined("lib[Tarvik]%1:%2  datagram from %3:%4 ", foreignMarker, " %5");
// How many more such datagrams were dropped unwarned: the device's address and port, the number.
inline constexpr auto foreignSummaryFormat = joined("lib[Tarvik]%1:%2  %3 ", foreignSummaryMarker);

// The warning for a fault of a read answer, to be filled by line(); null for AnswerFault::None.
const char *answerFaultFormat(frame::AnswerFault fault);

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
