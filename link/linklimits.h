#pragma once

#include "frame.h"
#include "outstanding.h"

#include <QByteArray>

// Figures of the link that more than one part of it needs.
namespace linklimits {

// The fuzz targets play long sequences of lost and late answers: their build waits a tenth as
// long, so a sequence costs milliseconds instead of seconds.
#ifdef TARVIK_QUICK_WAITS
constexpr int waitDivisor = 10;
#else
constexpr int waitDivisor = 1;
#endif

constexpr quint16 localUdpPort = 500; // the port the controller expects its peer on
// How long a UDP answer, or the first bytes of a serial one, may take before the budget starts.
constexpr int udpReadyWaitMs = 300 / waitDivisor;
constexpr int serialReadyWaitMs = 300 / waitDivisor;
constexpr int serialWriteWaitMs = 100;
// How long each exchange waits for its answer beyond the ready wait: the link check, a read and
// a write.
constexpr int linkCheckBudgetMs = 50 / waitDivisor;
constexpr int readBudgetMs = 50 / waitDivisor;
constexpr int writeBudgetMs = 50 / waitDivisor;
constexpr int largestAnswer = 1472;     // a 4-byte header and at most 1468 bytes of data
constexpr int datagramCapacity = 65536; // larger than any UDP payload
// An answer from a nearby device is usually in within this time: it is waited for without the
// event loop's round trip, and a host's events wait at most this long. Longer than the kernel's
// tick: a shorter wait arms a timer of its own on every exchange, which costs a virtual machine
// about 3 us a read.
constexpr int quickAnswerMs = 5;
// What the serial receive side holds at most, whatever the line does.
constexpr int receiveLimit = 64 * 1024;
// An answer followed by more bytes within this many character times is not trusted.
constexpr int trailingCharacters = 2;
// Bytes a UART FIFO or a serial adapter may hold back before passing them on, in characters.
constexpr int heldBackCharacters = 16;

// Every controller answers 04 01 with 04 01.
inline QByteArray linkCheckFrame()
{
    return QByteArray("\x04\x01", 2);
}

inline bool isLinkCheckAnswer(const char *data, int size)
{
    return size >= 2 && quint8(data[0]) == 0x04 && quint8(data[1]) == 0x01;
}

inline bool isLinkCheckAnswer(const QByteArray &bytes)
{
    return isLinkCheckAnswer(bytes.constData(), bytes.size());
}

// An answer still in a receive buffer is looked at where it lies.
inline Outstanding::Shape shapeOf(const char *data, int size)
{
    return isLinkCheckAnswer(data, size) ? Outstanding::Shape::LinkCheck
                                         : Outstanding::Shape::Other;
}

inline Outstanding::Shape shapeOf(const QByteArray &answer)
{
    return shapeOf(answer.constData(), answer.size());
}

// An exchange whose complete answer size is known is a read; a write's answer has no fixed size.
inline Outstanding::Kind exchangeKind(int expectedLength)
{
    return expectedLength > 0 ? Outstanding::Kind::Read : Outstanding::Kind::Write;
}

} // namespace linklimits
