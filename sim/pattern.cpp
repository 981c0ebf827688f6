#include "pattern.h"

#include "framecodec.h"
#include "memoryimage.h"

namespace sim {

quint8 patternByte(const Area &area, quint32 offset)
{
    const quint32 code = quint32(area.code);
    if (area.bits)
        return (offset + code) % 3 == 0 ? 1 : 0;
    return quint8(1 + (code * 37 + offset * 11) % 255);
}

QByteArray patternText(quint32 slot)
{
    return QByteArrayLiteral("SI") + QByteArray::number(slot + 1);
}

namespace {

QByteArray patternBlock(const Area &area)
{
    QByteArray block(int(kPatternBytes), '\0');
    if (area.code == kStringArea) {
        for (quint32 slot = 0; slot < kPatternBytes / kSlotSize; ++slot)
            block.replace(int(slot * kSlotSize), int(kSlotSize), slotBytes(patternText(slot)));
        return block;
    }
    for (quint32 offset = 0; offset < kPatternBytes; ++offset)
        block[int(offset)] = char(patternByte(area, offset));
    return block;
}

} // namespace

void fillPattern(MemoryImage &image)
{
    for (const Area &area : kAreas)
        image.write(area.code, 0, patternBlock(area));
}

} // namespace sim
