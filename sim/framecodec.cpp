#include "framecodec.h"

#include "areatable.h"
#include "memoryimage.h"
#include "wire.h"

namespace sim {

namespace {

struct Header
{
    quint8 command = 0;
    const Area *area = nullptr;
    quint32 address = 0;
    quint32 length = 0;
};

// Request bytes 1 to 3 never vary.
constexpr quint8 kFixedBytes[] = {0x01, 0x01, 0x00};

bool fixedBytesMatch(const QByteArray &frame, int available)
{
    for (int i = 0; i < 3 && 1 + i < available; ++i) {
        if (byteAt(frame, 1 + i) != kFixedBytes[i])
            return false;
    }
    return true;
}

quint32 lengthLimit(const Header &header)
{
    const bool slots = header.command == kReadCommand
                           ? header.length % kSlotSize == 0
                           : isStringWrite(header.area->code, header.length);
    return slots ? kMaxSlots * kSlotSize : kMaxTransfer;
}

std::optional<Header> readHeader(const QByteArray &frame, QString *why)
{
    Header header;
    header.command = byteAt(frame, 0);
    if (header.command != kReadCommand && header.command != kWriteCommand) {
        *why =
            QStringLiteral("unknown command byte %1").arg(header.command, 2, 16, QLatin1Char('0'));
        return std::nullopt;
    }
    if (!fixedBytesMatch(frame, kHeaderSize)) {
        *why = QStringLiteral("bytes 1-3 are not 01 01 00");
        return std::nullopt;
    }
    header.area = areaByCode(byteAt(frame, 4));
    if (!header.area) {
        *why = QStringLiteral("unknown area code %1").arg(byteAt(frame, 4));
        return std::nullopt;
    }
    header.address = field24At(frame, 5);
    header.length = field24At(frame, 8);
    if (header.length > lengthLimit(header)) {
        *why = QStringLiteral("length %1 too large").arg(header.length);
        return std::nullopt;
    }
    return header;
}

// Bytes the text items of a string write take, or -1 while data ends before the last item.
int textItemsSize(const QByteArray &data, quint32 items)
{
    int size = 0;
    for (quint32 k = 0; k < items; ++k) {
        if (size >= data.size())
            return -1;
        size += 1 + byteAt(data, size);
    }
    return size <= data.size() ? size : -1;
}

// The data section a write header announces; for text items it depends on the data itself,
// -1 meaning not all of it is there yet.
struct Section
{
    int size = 0;
    int longerSize = 0;
};

Section writeSection(const Header &header, const QByteArray &data)
{
    if (isStringWrite(header.area->code, header.length))
        return {textItemsSize(data, header.length / kSlotSize), 0};
    const int length = int(header.length);
    if (header.area->bits && length % 8 != 0)
        return {8 * (length / 8), length};
    return {length, 0};
}

FrameExtent malformed(const QString &why)
{
    FrameExtent extent;
    extent.status = FrameExtent::Malformed;
    extent.why = why;
    return extent;
}

FrameExtent complete(int size, int longerSize = 0)
{
    FrameExtent extent;
    extent.status = FrameExtent::Complete;
    extent.size = size;
    extent.longerSize = longerSize;
    return extent;
}

FrameExtent linkCheckExtent(const QByteArray &stream)
{
    if (stream.size() < 2)
        return {};
    if (byteAt(stream, 1) != 0x01)
        return malformed(QStringLiteral("link check byte 1 is not 01"));
    return complete(2);
}

std::optional<Request> parseLinkCheck(const QByteArray &frame, QString *why)
{
    if (frame.size() != 2 || byteAt(frame, 1) != 0x01) {
        *why = QStringLiteral("link check is not exactly 04 01");
        return std::nullopt;
    }
    return Request{};
}

bool storeTextItems(const Request &request, MemoryImage &image)
{
    const quint32 firstSlot = request.address / kSlotSize;
    int at = 0;
    for (quint32 k = 0; k < request.length / kSlotSize; ++k) {
        const int textLength = byteAt(request.data, at);
        const QByteArray text = request.data.mid(at + 1, textLength);
        if (!image.write(request.area, (firstSlot + k) * kSlotSize, slotBytes(text)))
            return false;
        at += 1 + textLength;
    }
    return true;
}

bool storeWrite(const Request &request, MemoryImage &image)
{
    if (isStringWrite(request.area, request.length))
        return storeTextItems(request, image);
    return image.write(request.area, request.address, request.data);
}

} // namespace

bool isStringWrite(int area, quint32 length)
{
    return area == kStringArea && length >= kSlotSize && length % kSlotSize == 0;
}

QByteArray slotBytes(const QByteArray &text)
{
    const QByteArray kept = text.left(int(kSlotSize) - 1);
    QByteArray slot(int(kSlotSize), '\0');
    slot[0] = char(quint8(kept.size()));
    slot.replace(1, kept.size(), kept);
    return slot;
}

FrameExtent frameExtent(const QByteArray &stream)
{
    if (stream.isEmpty())
        return {};
    if (byteAt(stream, 0) == kLinkCheckCommand)
        return linkCheckExtent(stream);
    if (stream.size() < kHeaderSize) {
        // Refuse early what can never become a request, so the stream resynchronises at once.
        const quint8 command = byteAt(stream, 0);
        if (command != kReadCommand && command != kWriteCommand)
            return malformed(QStringLiteral("unknown command byte"));
        if (!fixedBytesMatch(stream, stream.size()))
            return malformed(QStringLiteral("bytes 1-3 are not 01 01 00"));
        return {};
    }
    QString why;
    const std::optional<Header> header = readHeader(stream, &why);
    if (!header)
        return malformed(why);
    if (header->command == kReadCommand)
        return complete(kHeaderSize);
    const Section section = writeSection(*header, stream.mid(kHeaderSize));
    if (section.size < 0 || stream.size() < kHeaderSize + section.size)
        return {};
    return complete(kHeaderSize + section.size,
                    section.longerSize ? kHeaderSize + section.longerSize : 0);
}

std::optional<Request> parseRequest(const QByteArray &frame, QString *why)
{
    if (frame.isEmpty()) {
        *why = QStringLiteral("empty frame");
        return std::nullopt;
    }
    if (byteAt(frame, 0) == kLinkCheckCommand)
        return parseLinkCheck(frame, why);
    if (frame.size() < kHeaderSize) {
        *why = QStringLiteral("%1 bytes are too short for a request").arg(frame.size());
        return std::nullopt;
    }
    const std::optional<Header> header = readHeader(frame, why);
    if (!header)
        return std::nullopt;

    Request request;
    request.kind = header->command == kReadCommand ? FrameKind::Read : FrameKind::Write;
    request.area = header->area->code;
    request.address = header->address;
    request.length = header->length;
    request.data = frame.mid(kHeaderSize);
    if (request.kind == FrameKind::Read) {
        if (!request.data.isEmpty()) {
            *why = QStringLiteral("a read request is 11 bytes, not %1").arg(frame.size());
            return std::nullopt;
        }
        return request;
    }
    const Section section = writeSection(*header, request.data);
    const int size = request.data.size();
    if (size != section.size && (section.longerSize == 0 || size != section.longerSize)) {
        *why = QStringLiteral("write data of %1 bytes does not match length %2")
                   .arg(size)
                   .arg(request.length);
        return std::nullopt;
    }
    return request;
}

std::optional<QByteArray> answerRequest(const Request &request, MemoryImage &image)
{
    switch (request.kind) {
    case FrameKind::LinkCheck:
        return QByteArrayLiteral("\x04\x01");
    case FrameKind::Read:
        return QByteArrayLiteral("\x01\x01\x00\x00") +
               image.read(request.area, request.address, request.length);
    case FrameKind::Write:
        if (!storeWrite(request, image))
            return std::nullopt;
        return QByteArrayLiteral("\x02\x01\x00\x00");
    }
    return std::nullopt;
}

} // namespace sim
