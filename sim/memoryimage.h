#pragma once

#include <QByteArray>

#include <unordered_map>

namespace sim {

// The controller's memory: one byte array per area code, grown on first write. A request's
// address value is a byte offset into its area's array.
class MemoryImage
{
public:
    // The furthest a request can reach: a 24-bit address plus the largest transfer behind it.
    static constexpr quint32 kAreaCapacity = (1u << 24) + 4096;

    // Exactly length bytes; bytes never written read as 0.
    QByteArray read(int area, quint32 offset, quint32 length) const;
    // False, and nothing stored, when the bytes would end past kAreaCapacity.
    bool write(int area, quint32 offset, const QByteArray &bytes);
    void clear();

private:
    std::unordered_map<int, QByteArray> areas_;
};

} // namespace sim
