#include "encoding.h"
#include "labelarith.h"
#include "libtarvik.h"

#include <QList>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace {

// The payload as a list of E, read from the record's value itself: the stored list when it is
// one, Qt's conversion when there is one, otherwise nothing.
template <typename E> bool holdsList(const QVariant &payload)
{
    return payload.canConvert(qMetaTypeId<QList<E>>());
}

template <typename E> QList<E> listOf(const QVariant &payload)
{
    return holdsList<E>(payload) ? payload.value<QList<E>>() : QList<E>();
}

template <size_t Width> struct UnsignedOf;
template <> struct UnsignedOf<1>
{
    using type = std::uint8_t;
};
template <> struct UnsignedOf<2>
{
    using type = std::uint16_t;
};
template <> struct UnsignedOf<4>
{
    using type = std::uint32_t;
};
template <> struct UnsignedOf<8>
{
    using type = std::uint64_t;
};

// The element's bits as an unsigned number of its width: two's complement for integers (plain
// char included, whichever its sign), the IEEE 754 pattern for float and double, 1 for true.
template <typename E> auto bitsOf(E e)
{
    using U = typename UnsignedOf<sizeof(E)>::type;
    if constexpr (std::is_floating_point_v<E>) {
        U u;
        std::memcpy(&u, &e, sizeof u);
        return u;
    } else {
        return U(e);
    }
}

// Every number least significant byte first, the 64-bit integers too: the controller stores
// writes in its own order and only reads those back the other way round.
template <typename E> void putElement(char *at, E e)
{
    const auto bits = bitsOf(e);
    for (size_t k = 0; k < sizeof(E); ++k)
        at[k] = char((bits >> (8 * k)) & 0xFF);
}

// A text item: its length in one byte, then one Latin-1 byte per character ('?' for those
// outside Latin-1).
void appendText(QByteArray &out, const QString &text)
{
    out.append(char(text.size() & 0xFF));
    out.append(text.toLatin1());
}

constexpr int largestTextItem = 255; // what one length byte can announce

bool isLatin1(QChar c)
{
    return c.unicode() <= 0xFF;
}

bool fitsItem(const QString &text)
{
    return text.size() <= largestTextItem && std::all_of(text.begin(), text.end(), isLatin1);
}

// The first n elements, never past the end of the list.
template <typename E> int encode(const CLabelVariable &record, int n, QByteArray *out)
{
    const QList<E> list = listOf<E>(record.value);
    const int end = qMax(qMin(n, list.size()), 0);
    if constexpr (std::is_same_v<E, QString>) {
        for (int i = 0; i < end; ++i)
            appendText(*out, list.at(i));
    } else {
        const int start = out->size();
        out->resize(start + end * int(sizeof(E)));
        char *at = out->data() + start;
        for (int i = 0; i < end; ++i)
            putElement(at + i * int(sizeof(E)), list.at(i));
    }
    return 0;
}

} // namespace

namespace tarvik {

int payloadElements(const QVariant &payload, DataType type)
{
    return withElementType(type, [&](auto tag) {
        using E = typename decltype(tag)::type;
        if constexpr (std::is_void_v<E>)
            return -1;
        else
            return holdsList<E>(payload) ? listOf<E>(payload).size() : -1;
    });
}

bool textsFitItems(const QVariant &payload, int n)
{
    const QList<QString> texts = listOf<QString>(payload);
    for (int i = 0; i < qMin(n, texts.size()); ++i) {
        if (!fitsItem(texts.at(i)))
            return false;
    }
    return true;
}

} // namespace tarvik

int LibTarvik::Wset_variant_bool(CLabelVariable record, int n, QByteArray *out)
{
    return encode<bool>(record, n, out);
}

int LibTarvik::Wset_variant_Int8(CLabelVariable record, int n, QByteArray *out)
{
    return encode<char>(record, n, out);
}

int LibTarvik::Wset_variant_UInt8(CLabelVariable record, int n, QByteArray *out)
{
    return encode<unsigned char>(record, n, out);
}

int LibTarvik::Wset_variant_Int16(CLabelVariable record, int n, QByteArray *out)
{
    return encode<short>(record, n, out);
}

int LibTarvik::Wset_variant_uInt16(CLabelVariable record, int n, QByteArray *out)
{
    return encode<unsigned short>(record, n, out);
}

int LibTarvik::Wset_variant_Int32(CLabelVariable record, int n, QByteArray *out)
{
    return encode<int>(record, n, out);
}

int LibTarvik::Wset_variant_UInt32(CLabelVariable record, int n, QByteArray *out)
{
    return encode<unsigned int>(record, n, out);
}

int LibTarvik::Wset_variant_float(CLabelVariable record, int n, QByteArray *out)
{
    return encode<float>(record, n, out);
}

int LibTarvik::Wset_variant_Int64(CLabelVariable record, int n, QByteArray *out)
{
    return encode<long long>(record, n, out);
}

int LibTarvik::Wset_variant_UInt64(CLabelVariable record, int n, QByteArray *out)
{
    return encode<unsigned long long>(record, n, out);
}

int LibTarvik::Wset_variant_double(CLabelVariable record, int n, QByteArray *out)
{
    return encode<double>(record, n, out);
}

int LibTarvik::Wset_variant_string(CLabelVariable record, int n, QByteArray *out)
{
    return encode<QString>(record, n, out);
}
