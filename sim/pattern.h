#pragma once

#include "areatable.h"

#include <QByteArray>

namespace sim {

class MemoryImage;

// A recognisable memory content for tests that read without writing first. It covers the first
// kPatternBytes bytes of every named area; no byte of a byte area is zero there.
inline constexpr quint32 kPatternBytes = 32768;

// Bit areas: point i is set when (i + code) % 3 == 0. Byte areas: 1 + (code * 37 + i * 11) % 255.
quint8 patternByte(const Area &area, quint32 offset);
// String slot k holds the text "SI<k+1>": the name of the tag that reads it.
QByteArray patternText(quint32 slot);

void fillPattern(MemoryImage &image);

} // namespace sim
