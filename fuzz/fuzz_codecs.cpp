// Decode, encode, decode again, for all twelve types. Decoding gives exactly n elements
// whatever the bytes; encoding them gives back the bytes they came from (booleans as 0 or 1,
// 64-bit integers with their bytes turned round, since they are read most significant byte
// first and written least significant byte first); decoding that again gives the same
// elements. Texts make the round trip exactly when they are plain ASCII.
//
// Input: type, element count (16 bits; the top bit makes it negative), then the bytes.

#include "codecs.h"
#include "fuzzsupport.h"

#include <algorithm>

namespace {

using tarvik::Codec;

QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.left(48).toHex(' '));
}

QByteArray encode(const Codec &codec, const QVariant &value, int n)
{
    QByteArray out;
    codec.encode(value, n, &out);
    return out;
}

// Elements of an answer that comes most significant byte first, turned round.
QByteArray turnRound(const Codec &codec, QByteArray bytes)
{
    if (codec.answerOrder == tarvik::ByteOrder::Big) {
        for (int at = 0; at + codec.width <= bytes.size(); at += codec.width)
            std::reverse(bytes.begin() + at, bytes.begin() + at + codec.width);
    }
    return bytes;
}

// The bytes the encoder must give back for n elements decoded from data: the answer bytes,
// zeros where it fell short, booleans as 0 or 1, and every element least significant byte first.
QByteArray expectedBytes(const Codec &codec, const QByteArray &data, int n)
{
    QByteArray bytes = data.left(n * codec.width);
    bytes.append(QByteArray(n * codec.width - bytes.size(), '\0'));
    if (codec.type == Bool) {
        for (char &c : bytes)
            c = c != 0 ? 1 : 0;
    }
    return turnRound(codec, bytes);
}

bool plainAscii(const QList<QString> &texts)
{
    for (const QString &text : texts) {
        for (QChar c : text) {
            if (c.unicode() >= 0x80)
                return false;
        }
    }
    return true;
}

void checkTexts(const Codec &codec, const QByteArray &data, int n, const QString &what)
{
    const QList<QString> first = codec.decode(data, n).value<QList<QString>>();
    FUZZ_CHECK(first.size() == qMax(n, 0), what);
    const QByteArray encoded = encode(codec, QVariant::fromValue(first), n);
    int size = 0;
    for (const QString &text : first) {
        FUZZ_CHECK(text.size() <= 255, what);
        FUZZ_CHECK(quint8(encoded.at(size)) == text.size(), what);
        size += 1 + text.size();
    }
    FUZZ_CHECK(encoded.size() == size, what + QStringLiteral(" encoded ") + hex(encoded));
    if (!plainAscii(first))
        return;
    const QList<QString> second = codec.decode(encoded, n).value<QList<QString>>();
    FUZZ_CHECK(second == first, what + QStringLiteral(" encoded ") + hex(encoded));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    const int type = 1 + in.u8() % 12;
    const quint16 raw = in.u16();
    const int n = (raw & 0x8000) ? -int(raw & 0x7FFF) : int(raw % 2048);
    const QByteArray bytes = in.rest();
    const Codec &codec = *tarvik::codecFor(type);
    const QString what = QStringLiteral("type %1 n %2 bytes %3").arg(type).arg(n).arg(hex(bytes));

    if (type == String) {
        checkTexts(codec, bytes, n, what);
        return 0;
    }
    const QVariant first = codec.decode(bytes, n);
    const QByteArray encoded = encode(codec, first, n);
    FUZZ_CHECK(encoded == expectedBytes(codec, bytes, qMax(n, 0)),
               what + QStringLiteral(" encoded ") + hex(encoded));
    // Read back the way the controller would hand the stored bytes out.
    const QVariant second = codec.decode(turnRound(codec, encoded), n);
    FUZZ_CHECK(encode(codec, second, n) == encoded, what);
    return 0;
}
