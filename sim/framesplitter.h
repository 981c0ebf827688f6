#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace sim {

// Cuts the serial byte stream into request frames by the lengths their headers announce.
class FrameSplitter
{
public:
    void append(const QByteArray &bytes) { buffer_.append(bytes); }

    // The next whole frame, if there is one. lineQuiet says that no byte has arrived for a while;
    // only then is a bit-area write whose header allows two sizes taken at the shorter one.
    // A malformed head is dropped together with everything behind it and reported in dropped.
    std::optional<QByteArray> next(bool lineQuiet, QString *dropped);

    bool hasPartial() const { return !buffer_.isEmpty(); }
    // Drops a partial frame; returns what was dropped.
    QByteArray discard();

private:
    QByteArray take(int size);

    QByteArray buffer_;
};

} // namespace sim
