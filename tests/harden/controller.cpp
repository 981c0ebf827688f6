#include "controller.h"

#include "labelarith.h"
#include "simprocess.h"

#include <QList>
#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace controller {

namespace {

constexpr int slot = 256;

template <typename E> QByteArray bytesOfList(const QVariant &payload)
{
    QByteArray out;
    for (const E &e : payload.value<QList<E>>()) {
        char raw[sizeof(E)];
        std::memcpy(raw, &e, sizeof(E));
        if (QSysInfo::ByteOrder == QSysInfo::BigEndian)
            std::reverse(raw, raw + sizeof(E));
        out.append(raw, int(sizeof(E)));
    }
    return out;
}

// A stored text as a read hands it out, in UTF-8: the bytes themselves when they are UTF-8 (they
// survive a round trip through it), otherwise each byte as its Latin-1 letter.
QByteArray asRead(const QByteArray &text)
{
    return QString::fromUtf8(text).toUtf8() == text ? text : QString::fromLatin1(text).toUtf8();
}

} // namespace

Layout layoutOf(const TagKind &kind)
{
    if (kind.type == String)
        return Texts;
    if (kind.type == Bool)
        return Booleans;
    if (kind.width == 8 && (kind.type == Int8 || kind.type == UInt8))
        return Bits;
    if (kind.type == Int64 || kind.type == UInt64)
        return Swapped64;
    return Plain;
}

int offsetOf(const TagKind &kind, int index)
{
    return index * kind.scale;
}

int lengthOf(const TagKind &kind, int count)
{
    return count * (kind.type == String ? slot : kind.width);
}

QByteArray readView(const TagKind &kind, const QByteArray &memory, int count)
{
    QByteArray out;
    switch (layoutOf(kind)) {
    case Plain:
        return memory;
    case Swapped64:
        // 64-bit integers are read most significant byte first.
        out = memory;
        for (int at = 0; at + 8 <= out.size(); at += 8)
            std::reverse(out.begin() + at, out.begin() + at + 8);
        return out;
    case Booleans:
        for (char c : memory)
            out.append(char(c != 0 ? 1 : 0));
        return out;
    case Bits:
        for (int j = 0; j < count; ++j) {
            unsigned b = 0;
            for (int k = 0; k < 8; ++k)
                b |= unsigned(quint8(memory.at(8 * j + k))) << k;
            out.append(char(b & 0xFF));
        }
        return out;
    case Texts:
        for (int k = 0; k < count; ++k) {
            const QByteArray item = memory.mid(k * slot, slot);
            QByteArray text = item.mid(1, quint8(item.at(0)));
            const int zero = text.indexOf('\0');
            out.append(asRead(zero < 0 ? text : text.left(zero))).append('\0');
        }
        return out;
    }
    return out;
}

QByteArray storedBytes(const TagKind &kind, const QVariant &values, int count)
{
    QByteArray out;
    switch (layoutOf(kind)) {
    case Plain:
    case Swapped64:
    case Booleans:
        // Every number is written least significant byte first, 64-bit integers too.
        return bytesOf(values, kind.type).left(lengthOf(kind, count));
    case Bits:
        for (char c : bytesOf(values, kind.type).left(count)) {
            for (int k = 0; k < 8; ++k)
                out.append(char((quint8(c) >> k) & 1));
        }
        return out;
    case Texts:
        for (const QString &text : values.value<QList<QString>>().mid(0, count)) {
            QByteArray item(slot, '\0');
            const QByteArray latin = text.toLatin1();
            item[0] = char(latin.size());
            item.replace(1, latin.size(), latin);
            out.append(item);
        }
        return out;
    }
    return out;
}

QByteArray bytesOf(const QVariant &payload, DataType type)
{
    return tarvik::withElementType(type, [&](auto tag) {
        using E = typename decltype(tag)::type;
        QByteArray out;
        if constexpr (std::is_same_v<E, bool>) {
            for (bool b : payload.value<QList<bool>>())
                out.append(char(b ? 1 : 0));
        } else if constexpr (std::is_same_v<E, QString>) {
            for (const QString &text : payload.value<QList<QString>>())
                out.append(text.toUtf8()).append('\0');
        } else if constexpr (!std::is_void_v<E>) {
            out = bytesOfList<E>(payload);
        }
        return out;
    });
}

QByteArray peek(SimProcess &sim, const char *area, int offset, int length)
{
    const QString reply = sim.control(
        QStringLiteral("peek %1 %2 %3").arg(QLatin1String(area)).arg(offset).arg(length));
    if (!reply.startsWith(QLatin1String("ok ")))
        return QByteArray();
    return QByteArray::fromHex(reply.mid(3).toLatin1());
}

} // namespace controller
