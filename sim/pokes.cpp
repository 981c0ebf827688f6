#include "pokes.h"

#include "areatable.h"
#include "memoryimage.h"
#include "wire.h"

#include <QFile>
#include <QRegularExpression>
#include <QTextStream>

namespace sim {

std::optional<Poke> makePoke(const QString &area, const QString &offset, const QString &hex,
                             QString *why)
{
    Poke poke;
    const Area *found = areaByName(area);
    if (!found) {
        *why = QStringLiteral("unknown area '%1' (known: %2)").arg(area, areaNames());
        return std::nullopt;
    }
    poke.area = found->code;
    quint64 value = 0;
    if (!parseNumber(offset, MemoryImage::kAreaCapacity - 1, &value)) {
        *why = QStringLiteral("bad offset '%1'").arg(offset);
        return std::nullopt;
    }
    poke.offset = quint32(value);
    if (!parseHex(hex, &poke.bytes)) {
        *why = QStringLiteral("bad hex bytes '%1'").arg(hex);
        return std::nullopt;
    }
    if (quint64(poke.offset) + quint64(poke.bytes.size()) > MemoryImage::kAreaCapacity) {
        *why = QStringLiteral("bytes end past the area's capacity");
        return std::nullopt;
    }
    return poke;
}

std::optional<Poke> parsePoke(const QString &text, QString *why)
{
    static const QRegularExpression form(QStringLiteral("^\\s*([^:\\s]+):([^=\\s]+)=(.*?)\\s*$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch()) {
        *why = QStringLiteral("'%1' is not AREA:OFFSET=HEX").arg(text);
        return std::nullopt;
    }
    return makePoke(match.captured(1), match.captured(2), match.captured(3), why);
}

bool loadPokes(const QString &path, QVector<Poke> *out, QString *why)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *why = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    QTextStream in(&file);
    for (int lineNumber = 1; !in.atEnd(); ++lineNumber) {
        const QString line = in.readLine().section(QLatin1Char('#'), 0, 0).trimmed();
        if (line.isEmpty())
            continue;
        const std::optional<Poke> poke = parsePoke(line, why);
        if (!poke) {
            *why = QStringLiteral("%1:%2: %3").arg(path).arg(lineNumber).arg(*why);
            return false;
        }
        out->append(*poke);
    }
    return true;
}

} // namespace sim
