#include "publishpolicy.h"

#include "DataType.h"

#include <algorithm>
#include <array>
#include <cmath>

#include <cstring>

namespace {

// Texts packed one after another, each after its length in characters, doubled, plus one when
// it is held as UTF-16 (any character beyond ASCII) rather than a byte a character. Equal lists
// pack to equal bytes, so a value that did not move is told without unpacking anything.
void appendLength(QByteArray &out, quint32 n)
{
    for (; n >= 0x80; n >>= 7)
        out += char(0x80 | (n & 0x7f));
    out += char(n);
}

bool readLength(const QByteArray &in, int *at, quint32 *n)
{
    *n = 0;
    for (int shift = 0; *at < in.size() && shift < 32; shift += 7) {
        const quint8 b = quint8(in[(*at)++]);
        *n |= quint32(b & 0x7f) << shift;
        if (!(b & 0x80))
            return true;
    }
    return false;
}

bool isAscii(const QString &t)
{
    return std::all_of(t.begin(), t.end(), [](QChar c) { return c.unicode() < 0x80; });
}

void pack(const QStringList &texts, QByteArray &out)
{
    for (const QString &t : texts) {
        const bool wide = !isAscii(t);
        appendLength(out, quint32(t.size()) * 2 + (wide ? 1 : 0));
        if (wide) {
            out.append(reinterpret_cast<const char *>(t.utf16()), t.size() * 2);
        } else {
            for (const QChar c : t)
                out += char(c.unicode());
        }
    }
}

QStringList unpack(const QByteArray &packed)
{
    QStringList texts;
    quint32 n = 0;
    for (int at = 0; at < packed.size() && readLength(packed, &at, &n);) {
        const int chars = int(n / 2);
        const int bytes = n % 2 ? chars * 2 : chars;
        if (bytes > packed.size() - at)
            break;
        if (n % 2) {
            QString t(chars, Qt::Uninitialized);
            std::memcpy(t.data(), packed.constData() + at, size_t(bytes));
            texts << t;
        } else {
            texts << QString::fromLatin1(packed.constData() + at, bytes);
        }
        at += bytes;
    }
    return texts;
}

// The record's texts packed, in room the thread keeps: most reads are of values that did not
// move, and are told so without a block made for them.
const QByteArray &packedNow(const QStringList &texts)
{
    thread_local QByteArray scratch;
    scratch.reserve(qMax(scratch.capacity(), 64)); // reserved room stays when it is emptied
    scratch.resize(0);
    pack(texts, scratch);
    return scratch;
}

} // namespace

SmallBytes &SmallBytes::operator=(const QByteArray &bytes)
{
    if (bytes.size() <= inPlace) {
        std::memcpy(small, bytes.constData(), size_t(bytes.size()));
        smallSize = qint8(bytes.size());
        large = QByteArray();
    } else {
        // At its size: a copy of the caller's room would keep what it does not use.
        large = QByteArray(bytes.constData(), bytes.size());
        smallSize = -1;
    }
    return *this;
}

bool SmallBytes::operator==(const QByteArray &bytes) const
{
    if (smallSize < 0)
        return large == bytes;
    return bytes.size() == smallSize &&
           std::memcmp(small, bytes.constData(), size_t(smallSize)) == 0;
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
        lastTexts = packedNow(texts);
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
    if (memory.lastTexts == packedNow(texts))
        return false;
    // Texts differ: without a band, or for texts and booleans, that is a move. Only a band over
    // numbers needs the last texts back.
    if (deadband <= 0 || comparisonOf(record.type) == Comparison::Text)
        return true;
    return movedBeyond(record.type, memory.texts(), texts, deadband);
}

QString refusalWords(const QString &why)
{
    return QStringLiteral("refused: ") + why;
}

} // namespace publishpolicy
