#pragma once

#include <QByteArray>
#include <QString>

// Request and answer frames: the shared steps of every request builder. All wire bytes are read
// through byteAt(), which answers 0 beyond the end.
namespace frame {

constexpr int headerSize = 11; // every request starts with this; a read request is only this
constexpr int answerHeaderSize = 4;
constexpr int cutLimit = 1468; // the answer cut works within the first 4 + 1468 bytes
constexpr char readOp = 0x01;
constexpr char writeOp = 0x02;

// Appends a 24-bit field as the controller expects it: bits 16-23, then the low 16 bits
// least significant byte first. Bits above 23 are not sent.
void put24(QByteArray &out, int value);

// Largest value a 24-bit field carries; an address beyond it would reach another point.
constexpr int fieldMax = 0xFFFFFF;

// Point index times scale, the address value of a request. Computed wide, so an index too
// large for the field cannot overflow on the way; bits above 23 are cut by put24().
int scaledAddress(int index, int scale);

// True when the index is a point (not negative) and index times scale fits a 24-bit field.
bool addressFits(int index, int scale);

// The 11-byte header: operation byte, 01 01 00, area, address and length fields.
QByteArray requestHeader(char op, int area, int address, int length);

// Byte i of data as 0..255, or 0 when i lies outside it.
inline quint8 byteAt(const QByteArray &data, int i)
{
    return i >= 0 && i < data.size() ? quint8(data.at(i)) : 0;
}

// Keeps the answer header and the length data bytes a request asked for: bytes from index
// length + 4 up to index 1471 are removed; bytes from 1472 on stay behind them.
void cutAnswer(QByteArray &answer, int length);

// True when the answer repeats bytes 0 and 1 of its request.
bool sequenceMatches(const QByteArray &request, const QByteArray &answer);

// What is wrong with a read answer, if anything.
enum class AnswerFault { None, Missing, NotTrusted, WrongSequence, Short };

// The read answer check of an answer that arrived, in its fixed order: it repeats the request's
// sequence bytes, then it holds the `needs` bytes the extraction reads.
AnswerFault checkAnswer(const QByteArray &request, const QByteArray &answer, int needs);

// Packs wire bytes 8 to a byte, wire byte 8j + k giving bit k of byte j. A wire byte other than
// 0 or 1 also sets higher bits, as the controller's bit areas are read.
QByteArray packBits(const QByteArray &wire, int offset, int bytes);

// Spreads each bit of data over one wire byte (0x00 or 0x01), bit 0 first; bytes beyond the
// end of data count as 0.
QByteArray spreadBits(const QByteArray &data, int bytes);

// Exactly bytes bytes: the first ones of data, 0x00 where data ends early.
QByteArray leading(const QByteArray &data, int bytes);

} // namespace frame
