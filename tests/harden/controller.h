#pragma once

#include "DataType.h"

#include <QByteArray>
#include <QString>
#include <QVariant>

class SimProcess;

// What the controller holds for a tag, worked out from its memory as the simulator's peek shows
// it, independently of the driver: where a tag's elements lie, and how a read hands them out and
// a write stores them. Values are compared as bytes: each element's bit pattern, least
// significant byte first; booleans as 0 or 1; texts as UTF-8, each followed by a zero byte.
namespace controller {

// A kind of tag the soak reads and writes: an area, a type, and how its elements lie there.
struct TagKind
{
    const char *area;
    DataType type;
    int scale;    // point index times scale = byte offset of the first element
    int width;    // bytes per element in memory: 1 for booleans, 8 wire bytes for bit areas' bytes
    int maxCount; // the longest transfer the driver takes for it
    int step;     // counts come in multiples of this (whole words for bytes in word areas)
};

enum Layout { Plain, Swapped64, Booleans, Bits, Texts };
Layout layoutOf(const TagKind &kind);

// The byte offset and length of a tag's elements in the controller's memory.
int offsetOf(const TagKind &kind, int index);
int lengthOf(const TagKind &kind, int count);

// The values a read must deliver, from the memory bytes the tag covers.
QByteArray readView(const TagKind &kind, const QByteArray &memory, int count);
// The memory bytes a write of these values must leave.
QByteArray storedBytes(const TagKind &kind, const QVariant &values, int count);
// A payload as bytes (see above).
QByteArray bytesOf(const QVariant &payload, DataType type);

// The memory bytes from the simulator's control port; empty when it did not answer.
QByteArray peek(SimProcess &sim, const char *area, int offset, int length);

} // namespace controller
