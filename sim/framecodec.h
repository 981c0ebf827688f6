#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace sim {

class MemoryImage;

// Request: 01 (read) or 02 (write), 01 01 00, the area code, a 24-bit address value and a 24-bit
// length value, then a write's data. Answers: 01 01 00 00 + data to a read, 02 01 00 00 to a write,
// and 04 01 to the link check 04 01.
enum class FrameKind { LinkCheck, Read, Write };

struct Request
{
    FrameKind kind = FrameKind::LinkCheck;
    int area = 0;
    quint32 address = 0;
    quint32 length = 0;
    QByteArray data; // a write's data section as received
};

inline constexpr int kHeaderSize = 11;
inline constexpr quint8 kReadCommand = 0x01;
inline constexpr quint8 kWriteCommand = 0x02;
inline constexpr quint8 kLinkCheckCommand = 0x04;
// Largest length value of a byte or bit transfer; one more than the driver ever asks for.
inline constexpr quint32 kMaxTransfer = 1468;
inline constexpr quint32 kSlotSize = 256;
// Text slots one request may move; 16 keep every transfer inside an area's capacity.
inline constexpr quint32 kMaxSlots = 16;

// How much of a serial byte stream the frame at its head takes.
struct FrameExtent
{
    enum Status { Incomplete, Complete, Malformed };
    Status status = Incomplete;
    int size = 0;
    // A bit-area write whose length is not a multiple of 8 carries either 8 * (length / 8) bytes
    // (one per bit of whole bytes) or length bytes (one per boolean element). The header cannot
    // tell which, so size is the shorter reading and longerSize the other; 0 when there is none.
    int longerSize = 0;
    QString why; // Malformed only
};

FrameExtent frameExtent(const QByteArray &stream);

// Checks one whole frame (a datagram, or a frame cut from the serial stream); nullopt with the
// reason when the controller would refuse it.
std::optional<Request> parseRequest(const QByteArray &frame, QString *why);

// A write stores its data before the answer is made; nullopt when the data does not fit.
std::optional<QByteArray> answerRequest(const Request &request, MemoryImage &image);

// Writes into the string area whose length is whole slots carry text items (a length byte and
// that many characters), one per slot, instead of raw bytes.
bool isStringWrite(int area, quint32 length);
// A text slot as stored: [n][n characters], zero to the end of the slot.
QByteArray slotBytes(const QByteArray &text);

} // namespace sim
