#pragma once

#include "DataType.h"

#include <QString>

#include <array>
#include <cstddef>
#include <functional>
#include <type_traits>

// Element rules of the record's operators, and the element type they work on for a type code.
namespace tarvik {

// The host has type codes beyond the twelve the driver transfers; the operators read 13 to 24
// and 33 to 40 as the transferred type whose payload list they share. Indexed by type code.
constexpr std::array<DataType, 41> operandTypes = {
    DataType(0), Bool,        Int8,        UInt8,       Int16,       UInt16,      Int32,
    UInt32,      Float,       Int64,       UInt64,      Double,      String,      Int16,
    Int16,       UInt16,      UInt16,      Int32,       Int32,       Int32,       Int32,
    UInt32,      UInt32,      UInt32,      UInt32,      DataType(0), DataType(0), DataType(0),
    DataType(0), DataType(0), DataType(0), DataType(0), DataType(0), Float,       Float,
    Float,       Float,       Double,      Double,      Double,      Double,
};

// The transferred type whose elements the operators use for a record of this type code, or 0.
constexpr DataType operandType(int type)
{
    return type >= 0 && type < int(operandTypes.size()) ? operandTypes[std::size_t(type)]
                                                        : DataType(0);
}

template <typename E> struct Tag
{
    using type = E;
};

// Calls f with the tag of the element type that the payload of a transferred type holds;
// Tag<void> when the code is no transferred type.
template <typename F> auto withElementType(DataType type, F &&f)
{
    switch (type) {
    case Bool:
        return f(Tag<bool>());
    case Int8:
        return f(Tag<char>());
    case UInt8:
        return f(Tag<unsigned char>());
    case Int16:
        return f(Tag<short>());
    case UInt16:
        return f(Tag<unsigned short>());
    case Int32:
        return f(Tag<int>());
    case UInt32:
        return f(Tag<unsigned int>());
    case Float:
        return f(Tag<float>());
    case Int64:
        return f(Tag<long long>());
    case UInt64:
        return f(Tag<unsigned long long>());
    case Double:
        return f(Tag<double>());
    case String:
        return f(Tag<QString>());
    default:
        return f(Tag<void>());
    }
}

// Int8 payloads hold the controller's raw bytes. On the target plain char is unsigned, so the
// rules see byte values 0 to 255; converting through unsigned char gives the same results where
// char is signed (0xFC / 2 is 0x7E, not 0xFE).
template <typename E> using Operand = std::conditional_t<std::is_same_v<E, char>, unsigned char, E>;

template <typename E> Operand<E> operand(const E &e)
{
    return static_cast<Operand<E>>(e);
}

// Integer results wrap to the element width. The operation runs in an unsigned type at least as
// wide as int, where overflow is defined: narrower types would otherwise be promoted to int,
// which overflows for 65535 * 65535.
template <typename E>
using Wrapping =
    std::conditional_t<(sizeof(E) < sizeof(unsigned)), unsigned, std::make_unsigned_t<E>>;

template <typename E>
using IfNumber = std::enable_if_t<std::is_arithmetic_v<E> && !std::is_same_v<E, bool>>;

template <typename E, typename Op> E apply(E a, E b, Op op)
{
    if constexpr (std::is_floating_point_v<E>) {
        return op(a, b); // float stays single precision: float op float is a float
    } else {
        using W = Wrapping<E>;
        return E(op(W(a), W(b)));
    }
}

// Integer division never traps: a host's zero divisor gives 0, and the most negative value
// divided by -1 wraps to itself as every other result does.
template <typename E> E quotient(E a, E b)
{
    if constexpr (std::is_floating_point_v<E>) {
        return a / b;
    } else {
        if (b == 0)
            return 0;
        if constexpr (std::is_signed_v<E>) {
            if (b == -1)
                return apply(E(0), a, std::minus<>());
        }
        return E(a / b);
    }
}

// An operator supports exactly the element types its rule can be called with: text is added
// but neither subtracted, multiplied nor divided.
struct Plus
{
    bool operator()(bool a, bool b) const { return a || b; }
    QString operator()(const QString &a, const QString &b) const { return a + b; }
    template <typename E, typename = IfNumber<E>> E operator()(E a, E b) const
    {
        return apply(a, b, std::plus<>());
    }
};

struct Minus
{
    bool operator()(bool a, bool b) const { return a != b; }
    template <typename E, typename = IfNumber<E>> E operator()(E a, E b) const
    {
        return apply(a, b, std::minus<>());
    }
};

struct Times
{
    bool operator()(bool a, bool b) const { return a && b; }
    template <typename E, typename = IfNumber<E>> E operator()(E a, E b) const
    {
        return apply(a, b, std::multiplies<>());
    }
};

struct Divide
{
    // Dividing by false gives false, as an integer division by zero gives 0.
    bool operator()(bool a, bool b) const { return b ? a : false; }
    template <typename E, typename = IfNumber<E>> E operator()(E a, E b) const
    {
        return quotient(a, b);
    }
};

} // namespace tarvik
