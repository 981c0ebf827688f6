#include "framesplitter.h"

#include "framecodec.h"
#include "wire.h"

namespace sim {

std::optional<QByteArray> FrameSplitter::next(bool lineQuiet, QString *dropped)
{
    const FrameExtent extent = frameExtent(buffer_);
    switch (extent.status) {
    case FrameExtent::Incomplete:
        return std::nullopt;
    case FrameExtent::Malformed:
        *dropped = QStringLiteral("%1: %2").arg(extent.why, hexText(discard()));
        return std::nullopt;
    case FrameExtent::Complete:
        break;
    }
    if (extent.longerSize == 0 || buffer_.size() >= extent.longerSize)
        return take(extent.longerSize ? extent.longerSize : extent.size);
    if (lineQuiet)
        return take(extent.size);
    return std::nullopt;
}

QByteArray FrameSplitter::discard()
{
    QByteArray dropped;
    dropped.swap(buffer_);
    return dropped;
}

QByteArray FrameSplitter::take(int size)
{
    const QByteArray frame = buffer_.left(size);
    buffer_.remove(0, size);
    return frame;
}

} // namespace sim
