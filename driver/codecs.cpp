#include "codecs.h"

#include "frame.h"
#include "tagaddress.h"

#include <QList>
#include <QTextCodec>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace {

using tarvik::ByteOrder;
using tarvik::Codec;

constexpr int utf8Mib = 106;         // the IANA number of UTF-8
constexpr int largestTextItem = 255; // what one length byte can announce

// Qt's own unsigned types: its byte-order functions are made for exactly these.
template <size_t Width> struct UnsignedOf;
template <> struct UnsignedOf<1>
{
    using type = quint8;
};
template <> struct UnsignedOf<2>
{
    using type = quint16;
};
template <> struct UnsignedOf<4>
{
    using type = quint32;
};
template <> struct UnsignedOf<8>
{
    using type = quint64;
};

template <typename E> using Bits = typename UnsignedOf<sizeof(E)>::type;

// The element whose bits are v: nonzero is true, the IEEE 754 pattern for float and double,
// two's complement through the unsigned type of the same width for integers, whatever the
// signedness of plain char.
template <typename E> E fromBits(Bits<E> v)
{
    if constexpr (std::is_same_v<E, bool>) {
        return v != 0;
    } else if constexpr (std::is_floating_point_v<E>) {
        E e;
        std::memcpy(&e, &v, sizeof e);
        return e;
    } else {
        return E(v);
    }
}

// The element's bits as an unsigned number of its width: the inverse of fromBits, 1 for true.
template <typename E> Bits<E> bitsOf(E e)
{
    if constexpr (std::is_floating_point_v<E>) {
        Bits<E> u;
        std::memcpy(&u, &e, sizeof u);
        return u;
    } else {
        return Bits<E>(e);
    }
}

// True when the record's value is a list of E, or one Qt converts to such a list.
template <typename E> bool holdsList(const QVariant &payload)
{
    return payload.canConvert(qMetaTypeId<QList<E>>());
}

// The payload as a list of E, read from the record's value itself: the stored list when it is
// one, Qt's conversion when there is one, otherwise nothing.
template <typename E> QList<E> listOf(const QVariant &payload)
{
    return holdsList<E>(payload) ? payload.value<QList<E>>() : QList<E>();
}

template <typename E> int heldElements(const QVariant &payload)
{
    return holdsList<E>(payload) ? payload.value<QList<E>>().size() : -1;
}

// The bits of the element whose bytes begin at `base`, in the given byte order. An element
// wholly inside the answer is one load; bytes past the end read as 0.
template <typename E, ByteOrder order> Bits<E> elementBits(const QByteArray &data, qint64 base)
{
    constexpr int width = int(sizeof(E));
    if (base >= 0 && base + width <= data.size()) {
        const char *at = data.constData() + base;
        return order == ByteOrder::Little ? qFromLittleEndian<Bits<E>>(at)
                                          : qFromBigEndian<Bits<E>>(at);
    }
    quint64 v = 0;
    for (int i = 0; i < width; ++i) {
        const qint64 at = base + i;
        const quint64 b = at < data.size() ? frame::byteAt(data, int(at)) : 0;
        const int shift = order == ByteOrder::Little ? 8 * i : 8 * (width - 1 - i);
        v |= b << shift;
    }
    return Bits<E>(v);
}

// Element k from bytes k*w to k*w + w - 1 of the answer; bytes past the end read as 0, surplus
// bytes are ignored.
template <typename E, ByteOrder order> QVariant decodeFixed(const QByteArray &data, int n)
{
    constexpr int width = int(sizeof(E));
    QList<E> list;
    if (n > 0)
        list.reserve(n);
    for (int k = 0; k < n; ++k)
        list.append(fromBits<E>(elementBits<E, order>(data, qint64(k) * width)));
    return QVariant::fromValue(list);
}

// Every number least significant byte first, the 64-bit integers too: the controller stores
// writes in its own order and only reads those back the other way round.
template <typename E> void encodeFixed(const QVariant &payload, int n, QByteArray *out)
{
    constexpr int width = int(sizeof(E));
    const QList<E> list = listOf<E>(payload);
    const int end = qMax(qMin(n, list.size()), 0);
    const int start = out->size();
    out->resize(start + end * width);
    char *at = out->data() + start;
    for (int i = 0; i < end; ++i)
        qToLittleEndian(bitsOf(list.at(i)), at + i * width);
}

// A text item's bytes as text: UTF-8 where they are valid UTF-8; otherwise Latin-1, the form
// this driver writes texts in, which takes every byte as a letter, so none turns into U+FFFD.
QString textOf(const QByteArray &bytes)
{
    QTextCodec::ConverterState state;
    const QString utf8 =
        QTextCodec::codecForMib(utf8Mib)->toUnicode(bytes.constData(), bytes.size(), &state);
    if (state.invalidChars == 0 && state.remainingChars == 0)
        return utf8;
    return QString::fromLatin1(bytes);
}

// Text items: a length byte, then that many bytes of text, cut at the first zero byte.
// Once the input is used up, every further item is an empty text.
QVariant decodeTexts(const QByteArray &data, int n)
{
    QList<QString> list;
    int at = 0;
    for (int k = 0; k < n; ++k) {
        const int length = frame::byteAt(data, at);
        const int start = qMin(at + 1, data.size());
        const int available = qMin(length, data.size() - start);
        const QByteArray text = data.mid(start, available);
        const int zero = text.indexOf('\0');
        list.append(textOf(zero < 0 ? text : text.left(zero)));
        at = qMin(at + 1 + length, data.size());
    }
    return QVariant::fromValue(list);
}

// A text item: its length in one byte, then one Latin-1 byte per character ('?' for those
// outside Latin-1).
void encodeTexts(const QVariant &payload, int n, QByteArray *out)
{
    const QList<QString> list = listOf<QString>(payload);
    const int end = qMax(qMin(n, list.size()), 0);
    for (int i = 0; i < end; ++i) {
        out->append(char(list.at(i).size() & 0xFF));
        out->append(list.at(i).toLatin1());
    }
}

bool isLatin1(QChar c)
{
    return c.unicode() <= 0xFF;
}

bool fitsItem(const QString &text)
{
    return text.size() <= largestTextItem && std::all_of(text.begin(), text.end(), isLatin1);
}

// The row of a type whose elements all have the width of E.
template <typename E, ByteOrder order = ByteOrder::Little> constexpr Codec fixed(DataType type)
{
    return {type, int(sizeof(E)), order, &decodeFixed<E, order>, &encodeFixed<E>, &heldElements<E>};
}

// The controller hands out 64-bit integers most significant byte first. Int8 payloads hold the
// controller's raw bytes in plain char. In type code order.
constexpr std::array<Codec, 12> codecs = {{
    fixed<bool>(Bool),
    fixed<char>(Int8),
    fixed<unsigned char>(UInt8),
    fixed<short>(Int16),
    fixed<unsigned short>(UInt16),
    fixed<int>(Int32),
    fixed<unsigned int>(UInt32),
    fixed<float>(Float),
    fixed<long long, ByteOrder::Big>(Int64),
    fixed<unsigned long long, ByteOrder::Big>(UInt64),
    fixed<double>(Double),
    {String, 1, ByteOrder::Little, &decodeTexts, &encodeTexts, &heldElements<QString>},
}};

static_assert(sizeof(bool) == 1 && sizeof(float) == 4 && sizeof(double) == 8,
              "elements travel in the widths of the target's types");

constexpr bool inTypeOrder()
{
    for (size_t i = 0; i < codecs.size(); ++i) {
        if (codecs[i].type != DataType(Bool + int(i)))
            return false;
    }
    return true;
}
static_assert(inTypeOrder(), "codecFor() finds a codec by its type code");

constexpr bool widthsAgree()
{
    for (const Codec &c : codecs) {
        if (c.width != tarvik::elementWidth(c.type))
            return false;
    }
    return true;
}
static_assert(widthsAgree(), "elements decode in the widths transfer lengths are sized by");

} // namespace

namespace tarvik {

const Codec *codecFor(int type)
{
    return type >= Bool && type <= String ? &codecs[size_t(type - Bool)] : nullptr;
}

int payloadElements(const QVariant &payload, DataType type)
{
    const Codec *codec = codecFor(type);
    return codec ? codec->elements(payload) : -1;
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
