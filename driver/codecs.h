#pragma once

#include "DataType.h"

#include <QByteArray>
#include <QVariant>

// The codecs: for each of the twelve transferred types how its elements travel (width, byte
// order of answers) and how answer bytes become a payload list and a payload list becomes the
// bytes of a write. The read path, the write path, the tests and the fuzz target all take them
// from the one table behind codecFor().
namespace tarvik {

enum class ByteOrder { Little, Big };

// Answer bytes to a payload list of exactly n elements (none for n below 1).
using DecodeFn = QVariant (*)(const QByteArray &data, int n);
// The first n elements of the payload, never past the end of its list, appended to out.
using EncodeFn = void (*)(const QVariant &payload, int n, QByteArray *out);
// How many elements the payload's list of the type holds; -1 when it is no such list.
using ElementsFn = int (*)(const QVariant &payload);

struct Codec
{
    DataType type;
    int width;             // bytes per element; for texts 1: one item per length unit
    ByteOrder answerOrder; // writes always go out least significant byte first
    DecodeFn decode;
    EncodeFn encode;
    ElementsFn elements;
};

// The codec of a type code; null for a code that is none of the twelve.
const Codec *codecFor(int type);

// How many elements of the list type that type selects the payload holds; -1 when the payload
// is no such list (another list type, no list, an invalid value) or the type is none of the
// twelve.
int payloadElements(const QVariant &payload, DataType type);

// True when each of the first n texts of a text payload fits one text item: its length byte
// counts at most 255 characters, and the item carries one Latin-1 byte per character, so a
// character outside Latin-1 has no byte to go out as.
bool textsFitItems(const QVariant &payload, int n);

} // namespace tarvik
