#pragma once

#include "CLabelVariable.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>
#include <variant>
#include <vector>

// The payload of Sparkplug B messages as plain values, its encoding (protobuf, by protobuf-c) and
// what the gateway's records and writes become in it. The session of an edge node (births,
// deaths, sequence numbers) is built on these and is not here.
namespace sparkplug {

// Sparkplug's datatype codes. Any code can arrive; decode takes those the gateway carries.
enum class Datatype : quint32 {
    Unknown = 0,
    Int8 = 1,
    Int16 = 2,
    Int32 = 3,
    Int64 = 4,
    UInt8 = 5,
    UInt16 = 6,
    UInt32 = 7,
    UInt64 = 8,
    Float = 9,
    Double = 10,
    Boolean = 11,
    String = 12,
    DateTime = 13,
    Text = 14,
    UUID = 15,
    DataSet = 16,
    Bytes = 17,
    File = 18,
    Template = 19,
    PropertySet = 20,
    PropertySetList = 21,
    Int8Array = 22,
    Int16Array = 23,
    Int32Array = 24,
    Int64Array = 25,
    UInt8Array = 26,
    UInt16Array = 27,
    UInt32Array = 28,
    UInt64Array = 29,
    FloatArray = 30,
    DoubleArray = 31,
    BooleanArray = 32,
    StringArray = 33,
    DateTimeArray = 34,
};

// The Quality property's values.
constexpr int qualityBad = 0;
constexpr int qualityGood = 192;
constexpr int qualityStale = 500;

// The largest payload decode takes.
constexpr int maxPayloadBytes = 64 * 1024;

// A value's elements, one for a scalar: the signed integer types (Int8 to Int64), the unsigned
// ones (UInt8 to UInt64, DateTime in ms since the epoch), floating point (a Float is held
// exactly as a double), booleans, and texts (String, Text, UUID). None for a null metric.
using Elements = std::variant<std::monostate, std::vector<qint64>, std::vector<quint64>,
                              std::vector<double>, std::vector<bool>, QStringList>;

} // namespace sparkplug

struct SparkplugMetric
{
    QString name; // empty: not sent (data that names the metric by its alias)
    std::optional<quint64> alias;
    std::optional<quint64> timestampMs;
    sparkplug::Datatype datatype = sparkplug::Datatype::Unknown;
    bool isNull = false;
    bool isHistorical = false;
    int quality = -1; // the Quality property; -1: none
    sparkplug::Elements value;
};

struct SparkplugPayload
{
    std::optional<quint64> timestampMs;
    std::optional<quint64> seq;
    std::vector<SparkplugMetric> metrics;
};

namespace sparkplug {

// The payload's protobuf bytes; empty when a metric's value does not fit its datatype (another
// kind of element, a scalar of other than one element, an integer beyond the type's range).
// A text is carried up to its first NUL character, where the strings of the wire end.
QByteArray encode(const SparkplugPayload &payload);

// The payload of protobuf bytes. False, with why, for bytes that are no payload, more than
// maxPayloadBytes of them, or a metric whose value does not fit its datatype or whose datatype
// the gateway does not carry; *payload is then left as it was.
bool decode(const QByteArray &bytes, SparkplugPayload *payload, QString *why);

// The datatype of a tag of the record's type (value/DataType.h) and element count: the type of
// the same width and signedness, its array type for more than one element. Unknown for a type
// with none.
Datatype tagDatatype(int type, int count);

// The datatype, elements and time of a read's record, every digit of 64-bit integers kept.
// False when its type has no datatype or its payload does not have the elements it says.
bool fromRecord(const CLabelVariable &record, SparkplugMetric *metric);

// The elements of a metric (a write's value) as the texts the write check (writePayload) takes:
// integers with every digit, floating point as the fewest digits that read back to it, NaN and
// the infinities by name, booleans as true and false, texts as they are. "" or why not.
QString writeTexts(const SparkplugMetric &metric, QStringList *texts);

} // namespace sparkplug
