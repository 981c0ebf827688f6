#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

#include <optional>

namespace sim {

// Bytes to put into the memory image before anything asks for them: from --poke, --load and the
// control port's poke command.
struct Poke
{
    int area = 0;
    quint32 offset = 0;
    QByteArray bytes;
};

// AREA (name or code), OFFSET (decimal or 0x...), HEX (digit pairs).
std::optional<Poke> makePoke(const QString &area, const QString &offset, const QString &hex,
                             QString *why);
// "AREA:OFFSET=HEX".
std::optional<Poke> parsePoke(const QString &text, QString *why);
// One "AREA:OFFSET=HEX" per line; blank lines and everything after '#' are ignored.
bool loadPokes(const QString &path, QVector<Poke> *out, QString *why);

} // namespace sim
