// Decode, encode, decode again, for all twelve types. Decoding gives exactly n elements
// whatever the bytes; encoding them gives back the bytes they came from (booleans as 0 or 1,
// 64-bit integers with their bytes turned round, since they are read most significant byte
// first and written least significant byte first); decoding that again gives the same
// elements. Texts make the round trip exactly when they are plain ASCII.
//
// Input: type, element count (16 bits; the top bit makes it negative), then the bytes.

#include "fuzzsupport.h"
#include "libtarvik.h"

#include <algorithm>
#include <array>

namespace {

using Decoder = QVariant (LibTarvik::*)(QByteArray, int);
using Encoder = int (LibTarvik::*)(CLabelVariable, int, QByteArray *);

struct Codec
{
    Decoder decode;
    Encoder encode;
    int width; // bytes per element; 0 for texts
};

// Indexed by type code.
const std::array<Codec, 13> codecs = {{
    {nullptr, nullptr, 0},
    {&LibTarvik::set_variant_bool, &LibTarvik::Wset_variant_bool, 1},
    {&LibTarvik::set_variant_Int8, &LibTarvik::Wset_variant_Int8, 1},
    {&LibTarvik::set_variant_UInt8, &LibTarvik::Wset_variant_UInt8, 1},
    {&LibTarvik::set_variant_Int16, &LibTarvik::Wset_variant_Int16, 2},
    {&LibTarvik::set_variant_UInt16, &LibTarvik::Wset_variant_uInt16, 2},
    {&LibTarvik::set_variant_Int32, &LibTarvik::Wset_variant_Int32, 4},
    {&LibTarvik::set_variant_UInt32, &LibTarvik::Wset_variant_UInt32, 4},
    {&LibTarvik::set_variant_fload, &LibTarvik::Wset_variant_float, 4},
    {&LibTarvik::set_variant_Int64, &LibTarvik::Wset_variant_Int64, 8},
    {&LibTarvik::set_variant_UInt64, &LibTarvik::Wset_variant_UInt64, 8},
    {&LibTarvik::set_variant_double, &LibTarvik::Wset_variant_double, 8},
    {&LibTarvik::set_variant_string, &LibTarvik::Wset_variant_string, 0},
}};

LibTarvik *driver = nullptr;

QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.left(48).toHex(' '));
}

QByteArray encode(const Codec &codec, int type, const QVariant &value, int n)
{
    CLabelVariable record;
    record.type = DataType(type);
    record.value = value;
    record.count = n;
    QByteArray out;
    (driver->*codec.encode)(record, n, &out);
    return out;
}

// The bytes the encoder must give back for n elements decoded from data.
QByteArray expectedBytes(int type, int width, const QByteArray &data, int n)
{
    QByteArray bytes = data.left(n * width);
    bytes.append(QByteArray(n * width - bytes.size(), '\0'));
    if (type == Bool) {
        for (char &c : bytes)
            c = c != 0 ? 1 : 0;
    } else if (type == Int64 || type == UInt64) {
        for (int at = 0; at < bytes.size(); at += 8)
            std::reverse(bytes.begin() + at, bytes.begin() + at + 8);
    }
    return bytes;
}

QByteArray turnRound64(int type, QByteArray bytes)
{
    if (type == Int64 || type == UInt64) {
        for (int at = 0; at + 8 <= bytes.size(); at += 8)
            std::reverse(bytes.begin() + at, bytes.begin() + at + 8);
    }
    return bytes;
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
    const QList<QString> first = (driver->*codec.decode)(data, n).value<QList<QString>>();
    FUZZ_CHECK(first.size() == qMax(n, 0), what);
    const QByteArray encoded = encode(codec, String, QVariant::fromValue(first), n);
    int size = 0;
    for (const QString &text : first) {
        FUZZ_CHECK(text.size() <= 255, what);
        FUZZ_CHECK(quint8(encoded.at(size)) == text.size(), what);
        size += 1 + text.size();
    }
    FUZZ_CHECK(encoded.size() == size, what + QStringLiteral(" encoded ") + hex(encoded));
    if (!plainAscii(first))
        return;
    const QList<QString> second = (driver->*codec.decode)(encoded, n).value<QList<QString>>();
    FUZZ_CHECK(second == first, what + QStringLiteral(" encoded ") + hex(encoded));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzz::startQt(argc, argv);
    driver = new LibTarvik;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    const int type = 1 + in.u8() % 12;
    const quint16 raw = in.u16();
    const int n = (raw & 0x8000) ? -int(raw & 0x7FFF) : int(raw % 2048);
    const QByteArray bytes = in.rest();
    const Codec &codec = codecs[size_t(type)];
    const QString what = QStringLiteral("type %1 n %2 bytes %3").arg(type).arg(n).arg(hex(bytes));

    if (type == String) {
        checkTexts(codec, bytes, n, what);
        return 0;
    }
    const QVariant first = (driver->*codec.decode)(bytes, n);
    const QByteArray encoded = encode(codec, type, first, n);
    const int elements = qMax(n, 0);
    FUZZ_CHECK(encoded == expectedBytes(type, codec.width, bytes, elements),
               what + QStringLiteral(" encoded ") + hex(encoded));
    // Read back the way the controller would hand the stored bytes out.
    const QVariant second = (driver->*codec.decode)(turnRound64(type, encoded), n);
    FUZZ_CHECK(encode(codec, type, second, n) == encoded, what);
    return 0;
}
