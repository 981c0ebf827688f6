#include "libtarvik.h"

#include "frame.h"

#include <QTextCodec>

#include <cstring>
#include <type_traits>

namespace {

enum class Order { Little, Big };

constexpr int utf8Mib = 106; // the IANA number of UTF-8

// The element of type T whose bits are the low bytes of v.
template <typename T> T fromBits(quint64 v)
{
    if constexpr (std::is_same_v<T, bool>) {
        return v != 0;
    } else if constexpr (std::is_floating_point_v<T>) {
        using Bits = std::conditional_t<sizeof(T) == 4, quint32, quint64>;
        const Bits bits = Bits(v);
        T t;
        std::memcpy(&t, &bits, sizeof t);
        return t;
    } else {
        // Through the unsigned type of the same width: two's complement, whatever the
        // signedness of plain char.
        return T(std::make_unsigned_t<T>(v));
    }
}

// Element k of width w from bytes k*w to k*w + w - 1; bytes past the end read as 0, surplus
// bytes are ignored. The list always holds exactly n elements.
template <typename T, int Width, Order order> QVariant decodeFixed(const QByteArray &data, int n)
{
    QList<T> list;
    if (n > 0)
        list.reserve(n);
    for (int k = 0; k < n; ++k) {
        const qint64 base = qint64(k) * Width;
        quint64 v = 0;
        for (int i = 0; i < Width; ++i) {
            const qint64 at = base + i;
            const quint64 b = at < data.size() ? frame::byteAt(data, int(at)) : 0;
            const int shift = order == Order::Little ? 8 * i : 8 * (Width - 1 - i);
            v |= b << shift;
        }
        list.append(fromBits<T>(v));
    }
    return QVariant::fromValue(list);
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

} // namespace

QVariant LibTarvik::set_variant_bool(QByteArray data, int n)
{
    return decodeFixed<bool, 1, Order::Little>(data, n);
}

QVariant LibTarvik::set_variant_Int8(QByteArray data, int n)
{
    return decodeFixed<char, 1, Order::Little>(data, n);
}

QVariant LibTarvik::set_variant_UInt8(QByteArray data, int n)
{
    return decodeFixed<unsigned char, 1, Order::Little>(data, n);
}

QVariant LibTarvik::set_variant_Int16(QByteArray data, int n)
{
    return decodeFixed<short, 2, Order::Little>(data, n);
}

QVariant LibTarvik::set_variant_UInt16(QByteArray data, int n)
{
    return decodeFixed<unsigned short, 2, Order::Little>(data, n);
}

QVariant LibTarvik::set_variant_Int32(QByteArray data, int n)
{
    return decodeFixed<int, 4, Order::Little>(data, n);
}

QVariant LibTarvik::set_variant_UInt32(QByteArray data, int n)
{
    return decodeFixed<unsigned int, 4, Order::Little>(data, n);
}

QVariant LibTarvik::set_variant_fload(QByteArray data, int n)
{
    return decodeFixed<float, 4, Order::Little>(data, n);
}

// The controller hands out 64-bit integers most significant byte first.
QVariant LibTarvik::set_variant_Int64(QByteArray data, int n)
{
    return decodeFixed<long long, 8, Order::Big>(data, n);
}

QVariant LibTarvik::set_variant_UInt64(QByteArray data, int n)
{
    return decodeFixed<unsigned long long, 8, Order::Big>(data, n);
}

QVariant LibTarvik::set_variant_double(QByteArray data, int n)
{
    return decodeFixed<double, 8, Order::Little>(data, n);
}

// Text items: a length byte, then that many bytes of text, cut at the first zero byte.
// Once the input is used up, every further item is an empty text.
QVariant LibTarvik::set_variant_string(QByteArray data, int n)
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
