#include "memoryimage.h"

#include <cstring>

namespace sim {

QByteArray MemoryImage::read(int area, quint32 offset, quint32 length) const
{
    QByteArray out(int(qMin<quint64>(length, kAreaCapacity)), '\0');
    const auto found = areas_.find(area);
    if (found == areas_.end())
        return out;
    const QByteArray &stored = found->second;
    const quint64 storedSize = quint64(stored.size());
    if (offset >= storedSize)
        return out;
    const quint64 available = qMin<quint64>(quint64(out.size()), storedSize - offset);
    std::memcpy(out.data(), stored.constData() + offset, size_t(available));
    return out;
}

bool MemoryImage::write(int area, quint32 offset, const QByteArray &bytes)
{
    const quint64 end = quint64(offset) + quint64(bytes.size());
    if (end > kAreaCapacity)
        return false;
    QByteArray &stored = areas_[area];
    if (quint64(stored.size()) < end)
        stored.append(QByteArray(int(end) - stored.size(), '\0'));
    std::memcpy(stored.data() + offset, bytes.constData(), size_t(bytes.size()));
    return true;
}

void MemoryImage::clear()
{
    areas_.clear();
}

} // namespace sim
