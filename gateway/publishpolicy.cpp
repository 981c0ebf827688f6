#include "publishpolicy.h"

#include "DataType.h"

#include <algorithm>
#include <array>
#include <cmath>

#include <cstring>
#include <vector>

namespace {

// Texts packed one after another, each after its length in characters, doubled, plus one when
// it is held as UTF-16 (any character beyond ASCII) rather than a byte a character. Equal lists
// pack to equal bytes, so a value that did not move is told without unpacking anything. The
// length is written seven bits a byte, low bits first, the top bit set on all but the last.
char *writeLength(char *out, quint32 n)
{
    for (; n >= 0x80; n >>= 7)
        *out++ = char(0x80 | (n & 0x7f));
    *out++ = char(n);
    return out;
}

// Reads a length at *at, short of end; false when the bytes end before it does.
bool readLength(const char **at, const char *end, quint32 *n)
{
    *n = 0;
    for (int shift = 0; *at < end && shift < 32; shift += 7) {
        const quint8 b = quint8(*(*at)++);
        *n |= quint32(b & 0x7f) << shift;
        if (!(b & 0x80))
            return true;
    }
    return false;
}

// The bytes a packed text's characters take, by its length field: two a character when odd.
size_t packedChars(quint32 n)
{
    return n % 2 ? size_t(n / 2) * 2 : size_t(n / 2);
}

// The most bytes the texts can pack to: five for a length, two for a character.
size_t packedBound(const QStringList &texts)
{
    size_t bound = 0;
    for (const QString &t : texts)
        bound += 5 + size_t(t.size()) * 2;
    return bound;
}

char *packWide(const QString &t, char *out)
{
    out = writeLength(out, quint32(t.size()) * 2 + 1);
    std::memcpy(out, t.constData(), size_t(t.size()) * 2);
    return out + t.size() * 2;
}

// Packs one text at out, a byte a character until one is beyond ASCII; returns the end.
char *packText(const QString &t, char *out)
{
    const auto *chars = reinterpret_cast<const ushort *>(t.constData());
    char *at = writeLength(out, quint32(t.size()) * 2);
    for (int i = 0; i < t.size(); ++i) {
        if (chars[i] >= 0x80)
            return packWide(t, out);
        *at++ = char(chars[i]);
    }
    return at;
}

// Whether one text was packed as these bytes; at moves past them.
bool textPackedAt(const QString &t, const char **at, const char *end)
{
    quint32 n = 0;
    if (!readLength(at, end, &n) || n / 2 != quint32(t.size()))
        return false;
    const auto *chars = reinterpret_cast<const ushort *>(t.constData());
    const size_t length = packedChars(n);
    if (length > size_t(end - *at))
        return false;
    const auto *bytes = reinterpret_cast<const quint8 *>(*at);
    *at += length;
    if (n % 2)
        return std::memcmp(bytes, chars, length) == 0;
    // Bytes packed a character each are all ASCII, so a text beyond it never matches them.
    for (int i = 0; i < t.size(); ++i) {
        if (bytes[i] != chars[i])
            return false;
    }
    return true;
}

QStringList unpack(const QByteArray &packed)
{
    QStringList texts;
    quint32 n = 0;
    const char *end = packed.constData() + packed.size();
    for (const char *at = packed.constData(); at < end && readLength(&at, end, &n);) {
        const int chars = int(n / 2);
        const size_t bytes = packedChars(n);
        if (bytes > size_t(end - at))
            break;
        if (n % 2) {
            QString t(chars, Qt::Uninitialized);
            std::memcpy(t.data(), at, bytes);
            texts << t;
        } else {
            texts << QString::fromLatin1(at, chars);
        }
        at += bytes;
    }
    return texts;
}

// Whether the texts pack to these bytes, told in place: a value that did not move is read and
// compared, not packed again.
bool packsTo(const QStringList &texts, const char *bytes, int size)
{
    const char *at = bytes, *end = bytes + size;
    for (const QString &t : texts) {
        if (!textPackedAt(t, &at, end))
            return false;
    }
    return at == end;
}

// Packs the texts into what holds them: written in room the thread keeps, then held at their
// size.
void pack(const QStringList &texts, SmallBytes &into)
{
    thread_local std::vector<char> room;
    room.resize(std::max(room.size(), packedBound(texts)));
    char *end = room.data();
    for (const QString &t : texts)
        end = packText(t, end);
    into.assign(room.data(), size_t(end - room.data()));
}

} // namespace

void SmallBytes::assign(const char *bytes, size_t size)
{
    if (size <= size_t(inPlace)) {
        std::memcpy(small, bytes, size);
        smallSize = qint8(size);
        if (!large.isNull())
            large = QByteArray();
    } else {
        large = QByteArray(bytes, int(size));
        smallSize = -1;
    }
}

QByteArray SmallBytes::bytes() const
{
    return smallSize < 0 ? large : QByteArray(small, smallSize);
}

QStringList TagMemory::texts() const
{
    return unpack(lastTexts.bytes());
}

void TagMemory::published(const CLabelVariable &record, const QStringList &texts, qint64 now)
{
    if (record.result == 0) {
        haveGood = true;
        pack(texts, lastTexts);
        lastType = record.type;
        lastCount = record.count;
        lastTime = record.time;
    }
    lastResult = record.result;
    publishedAt = now;
    confirmWrite = false;
}

namespace publishpolicy {
namespace {

// How a type's elements are compared against the deadband, by type code.
enum class Comparison { Text, Number, Signed64, Unsigned64 };
constexpr std::array<Comparison, 13> comparisons = {
    Comparison::Text,   Comparison::Text,     Comparison::Number,     Comparison::Number,
    Comparison::Number, Comparison::Number,   Comparison::Number,     Comparison::Number,
    Comparison::Number, Comparison::Signed64, Comparison::Unsigned64, Comparison::Number,
    Comparison::Text,
};

Comparison comparisonOf(int type)
{
    return type >= 0 && type < int(comparisons.size()) ? comparisons[size_t(type)]
                                                       : Comparison::Text;
}

// The distance between two 64-bit integers, exact: it always fits in 64 unsigned bits.
template <typename T> bool apartBeyond(T a, T b, double deadband)
{
    const quint64 distance = a > b ? quint64(a) - quint64(b) : quint64(b) - quint64(a);
    return double(distance) > deadband;
}

bool moved(Comparison how, const QString &before, const QString &now, double deadband)
{
    if (before == now)
        return false;
    if (deadband <= 0 || how == Comparison::Text)
        return true;
    bool a = false, b = false;
    if (how == Comparison::Signed64) {
        const qint64 x = before.toLongLong(&a), y = now.toLongLong(&b);
        return !a || !b || apartBeyond(x, y, deadband);
    }
    if (how == Comparison::Unsigned64) {
        const quint64 x = before.toULongLong(&a), y = now.toULongLong(&b);
        return !a || !b || apartBeyond(x, y, deadband);
    }
    const double x = before.toDouble(&a), y = now.toDouble(&b);
    return !a || !b || !(std::fabs(x - y) <= deadband);
}

bool movedBeyond(int type, const QStringList &x, const QStringList &y, double deadband)
{
    if (x.size() != y.size())
        return true;
    const Comparison how = comparisonOf(type);
    for (int i = 0; i < x.size(); ++i) {
        if (moved(how, x[i], y[i], deadband))
            return true;
    }
    return false;
}

} // namespace

bool due(const TagMemory &memory, const CLabelVariable &record, const QStringList &texts,
         double deadband, qint64 now, qint64 maxAgeMs)
{
    if (memory.lastResult != record.result || now - memory.publishedAt >= maxAgeMs)
        return true;
    if (record.result != 0)
        return false;
    if (memory.confirmWrite || !memory.haveGood)
        return true;
    if (packsTo(texts, memory.lastTexts.data(), memory.lastTexts.size()))
        return false;
    // Texts differ: without a band, or for texts and booleans, that is a move. Only a band
    // over numbers needs the last texts back.
    if (deadband <= 0 || comparisonOf(record.type) == Comparison::Text)
        return true;
    return movedBeyond(record.type, memory.texts(), texts, deadband);
}

QString refusalWords(const QString &why)
{
    return QStringLiteral("refused: ") + why;
}

} // namespace publishpolicy
