#include "libtarvik.h"

#include "TarvikOutcome.h"
#include "codecs.h"

#include <array>

// What the read path and the write path share: the outcome a record carries for a request
// builder's code, and the codecs under the names hosts know them by, each its type's row of the
// codec table.

namespace {

using tarvik::Outcome;

// What a record carries for a request builder's failure code.
struct LinkFailure
{
    int linkResult;
    Outcome outcome;
};

constexpr std::array<LinkFailure, 3> linkFailures = {{
    {CmdTarvik::NoAnswer, Outcome::NoAnswer},
    {CmdTarvik::ExchangeFailed, Outcome::ExchangeFailed},
    {CmdTarvik::LinkNotOpen, Outcome::LinkNotOpen},
}};

// One behaviour, whichever way in: the named members take the table's rows.
QVariant decodeAs(DataType type, const QByteArray &data, int n)
{
    return tarvik::codecFor(type)->decode(data, n);
}

int encodeAs(DataType type, const CLabelVariable &record, int n, QByteArray *out)
{
    tarvik::codecFor(type)->encode(record.value, n, out);
    return 0;
}

} // namespace

// The outcome code a record carries for a request builder's code; other codes keep fallback.
int LibTarvik::builderOutcome(int rc, int fallback)
{
    for (const LinkFailure &f : linkFailures) {
        if (f.linkResult == rc)
            return int(f.outcome);
    }
    return fallback;
}

QVariant LibTarvik::set_variant_bool(QByteArray data, int n)
{
    return decodeAs(Bool, data, n);
}

QVariant LibTarvik::set_variant_Int8(QByteArray data, int n)
{
    return decodeAs(Int8, data, n);
}

QVariant LibTarvik::set_variant_UInt8(QByteArray data, int n)
{
    return decodeAs(UInt8, data, n);
}

QVariant LibTarvik::set_variant_Int16(QByteArray data, int n)
{
    return decodeAs(Int16, data, n);
}

QVariant LibTarvik::set_variant_UInt16(QByteArray data, int n)
{
    return decodeAs(UInt16, data, n);
}

QVariant LibTarvik::set_variant_Int32(QByteArray data, int n)
{
    return decodeAs(Int32, data, n);
}

QVariant LibTarvik::set_variant_UInt32(QByteArray data, int n)
{
    return decodeAs(UInt32, data, n);
}

QVariant LibTarvik::set_variant_fload(QByteArray data, int n)
{
    return decodeAs(Float, data, n);
}

QVariant LibTarvik::set_variant_Int64(QByteArray data, int n)
{
    return decodeAs(Int64, data, n);
}

QVariant LibTarvik::set_variant_UInt64(QByteArray data, int n)
{
    return decodeAs(UInt64, data, n);
}

QVariant LibTarvik::set_variant_double(QByteArray data, int n)
{
    return decodeAs(Double, data, n);
}

QVariant LibTarvik::set_variant_string(QByteArray data, int n)
{
    return decodeAs(String, data, n);
}

int LibTarvik::Wset_variant_bool(CLabelVariable record, int n, QByteArray *out)
{
    return encodeAs(Bool, record, n, out);
}

int LibTarvik::Wset_variant_Int8(CLabelVariable record, int n, QByteArray *out)
{
    return encodeAs(Int8, record, n, out);
}

int LibTarvik::Wset_variant_UInt8(CLabelVariable record, int n, QByteArray *out)
{
    return encodeAs(UInt8, record, n, out);
}

int LibTarvik::Wset_variant_Int16(CLabelVariable record, int n, QByteArray *out)
{
    return encodeAs(Int16, record, n, out);
}

int LibTarvik::Wset_variant_uInt16(CLabelVariable record, int n, QByteArray *out)
{
    return encodeAs(UInt16, record, n, out);
}

int LibTarvik::Wset_variant_Int32(CLabelVariable record, int n, QByteArray *out)
{
    return encodeAs(Int32, record, n, out);
}

int LibTarvik::Wset_variant_UInt32(CLabelVariable record, int n, QByteArray *out)
{
    return encodeAs(UInt32, record, n, out);
}

int LibTarvik::Wset_variant_float(CLabelVariable record, int n, QByteArray *out)
{
    return encodeAs(Float, record, n, out);
}

int LibTarvik::Wset_variant_Int64(CLabelVariable record, int n, QByteArray *out)
{
    return encodeAs(Int64, record, n, out);
}

int LibTarvik::Wset_variant_UInt64(CLabelVariable record, int n, QByteArray *out)
{
    return encodeAs(UInt64, record, n, out);
}

int LibTarvik::Wset_variant_double(CLabelVariable record, int n, QByteArray *out)
{
    return encodeAs(Double, record, n, out);
}

int LibTarvik::Wset_variant_string(CLabelVariable record, int n, QByteArray *out)
{
    return encodeAs(String, record, n, out);
}
