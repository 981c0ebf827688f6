#include "sparkplugpayload.h"

#include "recordformat.h"
#include "sparkplug_b.pb-c.h"

#include "DataType.h"
#include "labelarith.h"

#include <QSequentialIterable>

#include <cstring>
#include <deque>
#include <memory>
#include <type_traits>

namespace sparkplug {
namespace {

using PbPayload = Tarvik__Sparkplug__Payload;
using PbMetric = Tarvik__Sparkplug__Metric;
using PbPropertySet = Tarvik__Sparkplug__PropertySet;
using PbPropertyValue = Tarvik__Sparkplug__PropertyValue;

// What a datatype's elements are, and so which alternative of Elements holds them.
enum class Kind { Signed, Unsigned, Real, Boolean, Text };

// How each datatype the gateway carries is held and sent: its elements, their width in bytes
// (the range of an integer, the field of a scalar, the packing of an array) and whether it is an
// array, carried in bytes_value.
struct Form
{
    Datatype datatype;
    Kind kind;
    int width;
    bool array;
};

constexpr Form forms[] = {
    {Datatype::Int8, Kind::Signed, 1, false},
    {Datatype::Int16, Kind::Signed, 2, false},
    {Datatype::Int32, Kind::Signed, 4, false},
    {Datatype::Int64, Kind::Signed, 8, false},
    {Datatype::UInt8, Kind::Unsigned, 1, false},
    {Datatype::UInt16, Kind::Unsigned, 2, false},
    {Datatype::UInt32, Kind::Unsigned, 4, false},
    {Datatype::UInt64, Kind::Unsigned, 8, false},
    {Datatype::Float, Kind::Real, 4, false},
    {Datatype::Double, Kind::Real, 8, false},
    {Datatype::Boolean, Kind::Boolean, 1, false},
    {Datatype::String, Kind::Text, 0, false},
    {Datatype::DateTime, Kind::Unsigned, 8, false},
    {Datatype::Text, Kind::Text, 0, false},
    {Datatype::UUID, Kind::Text, 0, false},
    {Datatype::Int8Array, Kind::Signed, 1, true},
    {Datatype::Int16Array, Kind::Signed, 2, true},
    {Datatype::Int32Array, Kind::Signed, 4, true},
    {Datatype::Int64Array, Kind::Signed, 8, true},
    {Datatype::UInt8Array, Kind::Unsigned, 1, true},
    {Datatype::UInt16Array, Kind::Unsigned, 2, true},
    {Datatype::UInt32Array, Kind::Unsigned, 4, true},
    {Datatype::UInt64Array, Kind::Unsigned, 8, true},
    {Datatype::FloatArray, Kind::Real, 4, true},
    {Datatype::DoubleArray, Kind::Real, 8, true},
    {Datatype::BooleanArray, Kind::Boolean, 1, true},
    {Datatype::StringArray, Kind::Text, 0, true},
    {Datatype::DateTimeArray, Kind::Unsigned, 8, true},
};

const Form *formOf(Datatype datatype)
{
    for (const Form &f : forms) {
        if (f.datatype == datatype)
            return &f;
    }
    return nullptr;
}

// The datatypes of a tag of each record type: one element, and several.
struct TagDatatypes
{
    DataType type;
    Datatype scalar;
    Datatype array;
};

constexpr TagDatatypes tagDatatypes[] = {
    {Bool, Datatype::Boolean, Datatype::BooleanArray},
    {Int8, Datatype::Int8, Datatype::Int8Array},
    {UInt8, Datatype::UInt8, Datatype::UInt8Array},
    {Int16, Datatype::Int16, Datatype::Int16Array},
    {UInt16, Datatype::UInt16, Datatype::UInt16Array},
    {Int32, Datatype::Int32, Datatype::Int32Array},
    {UInt32, Datatype::UInt32, Datatype::UInt32Array},
    {Float, Datatype::Float, Datatype::FloatArray},
    {Int64, Datatype::Int64, Datatype::Int64Array},
    {UInt64, Datatype::UInt64, Datatype::UInt64Array},
    {Double, Datatype::Double, Datatype::DoubleArray},
    {String, Datatype::String, Datatype::StringArray},
};

// The property key of a metric's quality, and the PropertyValue type it is sent as.
const char qualityKey[] = "Quality";
constexpr quint32 qualityType = quint32(Datatype::Int32);

// The alternative of Elements that holds a kind's elements.
constexpr std::size_t alternativeOf(Kind kind)
{
    return std::size_t(kind) + 1;
}

std::size_t elementCount(const Elements &value)
{
    return std::visit(
        [](const auto &list) -> std::size_t {
            if constexpr (std::is_same_v<std::decay_t<decltype(list)>, std::monostate>)
                return 0;
            else
                return std::size_t(list.size());
        },
        value);
}

// Integers of a width below 8 bytes have a range to keep to; the field or the packed bytes
// carry them in two's complement.
bool signedFits(qint64 v, int width)
{
    if (width >= 8)
        return true;
    const qint64 half = qint64(1) << (8 * width - 1);
    return v >= -half && v < half;
}

bool unsignedFits(quint64 v, int width)
{
    return width >= 8 || v < (quint64(1) << (8 * width));
}

bool elementsFit(const Form &form, const Elements &value)
{
    if (value.index() != alternativeOf(form.kind))
        return false;
    if (!form.array && elementCount(value) != 1)
        return false;
    if (const auto *s = std::get_if<std::vector<qint64>>(&value)) {
        for (qint64 v : *s) {
            if (!signedFits(v, form.width))
                return false;
        }
    }
    if (const auto *u = std::get_if<std::vector<quint64>>(&value)) {
        for (quint64 v : *u) {
            if (!unsignedFits(v, form.width))
                return false;
        }
    }
    return true;
}

// ---- Packed arrays: elements little-endian, booleans as a count and bits, texts NUL-ended.

void appendLittleEndian(QByteArray *bytes, quint64 v, int width)
{
    for (int i = 0; i < width; ++i)
        bytes->append(char(quint8(v >> (8 * i))));
}

quint64 bitsOf(double v, int width)
{
    if (width == 4) {
        const float f = float(v);
        quint32 bits = 0;
        std::memcpy(&bits, &f, sizeof bits);
        return bits;
    }
    quint64 bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

double realOf(quint64 bits, int width)
{
    if (width == 4) {
        const quint32 narrow = quint32(bits);
        float f = 0;
        std::memcpy(&f, &narrow, sizeof f);
        return double(f);
    }
    double d = 0;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

QByteArray packedBooleans(const std::vector<bool> &bits)
{
    QByteArray bytes;
    appendLittleEndian(&bytes, bits.size(), 4);
    QByteArray packed(int((bits.size() + 7) / 8), '\0');
    for (std::size_t i = 0; i < bits.size(); ++i) {
        if (bits[i])
            packed[int(i / 8)] = char(quint8(packed.at(int(i / 8))) | (0x80u >> (i % 8)));
    }
    return bytes + packed;
}

QByteArray packedTexts(const QStringList &texts)
{
    QByteArray bytes;
    for (const QString &t : texts) {
        const QByteArray utf8 = t.toUtf8();
        const int end = utf8.indexOf('\0');
        bytes += end < 0 ? utf8 : utf8.left(end);
        bytes += '\0';
    }
    return bytes;
}

QByteArray packedArray(const Form &form, const Elements &value)
{
    QByteArray bytes;
    if (const auto *s = std::get_if<std::vector<qint64>>(&value)) {
        for (qint64 v : *s)
            appendLittleEndian(&bytes, quint64(v), form.width);
    } else if (const auto *u = std::get_if<std::vector<quint64>>(&value)) {
        for (quint64 v : *u)
            appendLittleEndian(&bytes, v, form.width);
    } else if (const auto *r = std::get_if<std::vector<double>>(&value)) {
        for (double v : *r)
            appendLittleEndian(&bytes, bitsOf(v, form.width), form.width);
    } else if (const auto *b = std::get_if<std::vector<bool>>(&value)) {
        bytes = packedBooleans(*b);
    } else if (const auto *t = std::get_if<QStringList>(&value)) {
        bytes = packedTexts(*t);
    }
    return bytes;
}

// Reads a packed array front to back; every byte is taken through take(), which refuses to read
// past the end.
class PackedReader
{
public:
    explicit PackedReader(const QByteArray &bytes) : bytes(bytes) {}

    bool atEnd() const { return position == bytes.size(); }
    int left() const { return bytes.size() - position; }

    bool take(int width, quint64 *v)
    {
        if (width < 0 || width > left())
            return false;
        quint64 r = 0;
        for (int i = 0; i < width; ++i)
            r |= quint64(quint8(bytes.at(position + i))) << (8 * i);
        position += width;
        *v = r;
        return true;
    }

    // The bytes up to the next NUL, and the NUL; false when none is left.
    bool takeText(QByteArray *text)
    {
        const int end = bytes.indexOf('\0', position);
        if (end < 0)
            return false;
        *text = bytes.mid(position, end - position);
        position = end + 1;
        return true;
    }

private:
    const QByteArray &bytes;
    int position = 0;
};

qint64 signExtended(quint64 v, int width)
{
    if (width >= 8)
        return qint64(v);
    const quint64 sign = quint64(1) << (8 * width - 1);
    return qint64((v ^ sign) - sign);
}

template <typename E, typename Convert>
bool unpackedNumbers(const QByteArray &bytes, int width, Convert convert, Elements *value)
{
    if (bytes.size() % width != 0)
        return false;
    std::vector<E> list;
    list.reserve(std::size_t(bytes.size() / width));
    PackedReader reader(bytes);
    quint64 v = 0;
    while (reader.take(width, &v))
        list.push_back(convert(v));
    *value = std::move(list);
    return reader.atEnd();
}

bool unpackedBooleans(const QByteArray &bytes, Elements *value)
{
    PackedReader reader(bytes);
    quint64 count = 0;
    if (!reader.take(4, &count) || quint64(reader.left()) != (count + 7) / 8)
        return false;
    std::vector<bool> bits;
    bits.reserve(std::size_t(count));
    quint64 byte = 0;
    for (quint64 i = 0; i < count; ++i) {
        if (i % 8 == 0 && !reader.take(1, &byte))
            return false;
        bits.push_back((byte & (0x80u >> (i % 8))) != 0);
    }
    *value = std::move(bits);
    return reader.atEnd();
}

bool unpackedTexts(const QByteArray &bytes, Elements *value)
{
    PackedReader reader(bytes);
    QStringList texts;
    QByteArray text;
    // Each text takes at least its NUL, so there are no more of them than bytes.
    for (int i = 0; i < bytes.size() && reader.takeText(&text); ++i)
        texts << QString::fromUtf8(text);
    *value = texts;
    return reader.atEnd();
}

bool unpackedArray(const Form &form, const QByteArray &bytes, Elements *value)
{
    const int width = form.width;
    switch (form.kind) {
    case Kind::Signed:
        return unpackedNumbers<qint64>(
            bytes, width, [width](quint64 v) { return signExtended(v, width); }, value);
    case Kind::Unsigned:
        return unpackedNumbers<quint64>(
            bytes, width, [](quint64 v) { return v; }, value);
    case Kind::Real:
        return unpackedNumbers<double>(
            bytes, width, [width](quint64 v) { return realOf(v, width); }, value);
    case Kind::Boolean:
        return unpackedBooleans(bytes, value);
    case Kind::Text:
        return unpackedTexts(bytes, value);
    }
    return false;
}

// ---- Encoding: protobuf-c's messages pointing into storage that outlives the packing.

// One metric's message and everything it points to. Held in a container that never moves its
// elements once they are there.
struct MetricParts
{
    PbMetric metric = TARVIK__SPARKPLUG__METRIC__INIT;
    QByteArray name;
    QByteArray text;
    QByteArray bytes;
    PbPropertySet properties = TARVIK__SPARKPLUG__PROPERTY_SET__INIT;
    QByteArray key = qualityKey;
    char *keys[1] = {nullptr};
    PbPropertyValue quality = TARVIK__SPARKPLUG__PROPERTY_VALUE__INIT;
    PbPropertyValue *values[1] = {nullptr};
};

void setQuality(int quality, MetricParts *parts)
{
    parts->quality.has_type = true;
    parts->quality.type = qualityType;
    parts->quality.value_case = TARVIK__SPARKPLUG__PROPERTY_VALUE__VALUE_INT_VALUE;
    parts->quality.int_value = quint32(qint32(quality));
    parts->keys[0] = parts->key.data();
    parts->values[0] = &parts->quality;
    parts->properties.n_keys = 1;
    parts->properties.keys = parts->keys;
    parts->properties.n_values = 1;
    parts->properties.values = parts->values;
    parts->metric.properties = &parts->properties;
}

// An integer of the signed or unsigned kind as the field of its width takes it.
void setWhole(quint64 twosComplement, int width, PbMetric *m)
{
    if (width == 8) {
        m->value_case = TARVIK__SPARKPLUG__METRIC__VALUE_LONG_VALUE;
        m->long_value = twosComplement;
    } else {
        m->value_case = TARVIK__SPARKPLUG__METRIC__VALUE_INT_VALUE;
        m->int_value = quint32(twosComplement);
    }
}

void setReal(double v, int width, PbMetric *m)
{
    if (width == 4) {
        m->value_case = TARVIK__SPARKPLUG__METRIC__VALUE_FLOAT_VALUE;
        m->float_value = float(v);
    } else {
        m->value_case = TARVIK__SPARKPLUG__METRIC__VALUE_DOUBLE_VALUE;
        m->double_value = v;
    }
}

void setScalar(const Form &form, const Elements &value, MetricParts *parts)
{
    PbMetric *m = &parts->metric;
    if (const auto *s = std::get_if<std::vector<qint64>>(&value)) {
        // Int8 to Int32 sign-extended to 32 bits: int_value is their 32-bit two's complement.
        setWhole(form.width == 8 ? quint64(s->front()) : quint64(quint32(qint32(s->front()))),
                 form.width, m);
    } else if (const auto *u = std::get_if<std::vector<quint64>>(&value)) {
        setWhole(u->front(), form.width, m);
    } else if (const auto *r = std::get_if<std::vector<double>>(&value)) {
        setReal(r->front(), form.width, m);
    } else if (const auto *b = std::get_if<std::vector<bool>>(&value)) {
        m->value_case = TARVIK__SPARKPLUG__METRIC__VALUE_BOOLEAN_VALUE;
        m->boolean_value = b->front();
    } else if (const auto *t = std::get_if<QStringList>(&value)) {
        parts->text = t->front().toUtf8();
        m->value_case = TARVIK__SPARKPLUG__METRIC__VALUE_STRING_VALUE;
        m->string_value = parts->text.data();
    }
}

void setArray(const Form &form, const Elements &value, MetricParts *parts)
{
    parts->bytes = packedArray(form, value);
    parts->metric.value_case = TARVIK__SPARKPLUG__METRIC__VALUE_BYTES_VALUE;
    parts->metric.bytes_value.len = std::size_t(parts->bytes.size());
    parts->metric.bytes_value.data = reinterpret_cast<uint8_t *>(parts->bytes.data());
}

void setHeader(const SparkplugMetric &metric, MetricParts *parts)
{
    PbMetric *m = &parts->metric;
    if (!metric.name.isEmpty()) {
        parts->name = metric.name.toUtf8();
        m->name = parts->name.data();
    }
    m->has_alias = metric.alias.has_value();
    m->alias = metric.alias.value_or(0);
    m->has_timestamp = metric.timestampMs.has_value();
    m->timestamp = metric.timestampMs.value_or(0);
    m->has_datatype = metric.datatype != Datatype::Unknown;
    m->datatype = quint32(metric.datatype);
    m->has_is_historical = metric.isHistorical;
    m->is_historical = metric.isHistorical;
    m->has_is_null = metric.isNull;
    m->is_null = metric.isNull;
    if (metric.quality >= 0)
        setQuality(metric.quality, parts);
}

bool setMetric(const SparkplugMetric &metric, MetricParts *parts)
{
    setHeader(metric, parts);
    if (metric.isNull)
        return true;
    const Form *form = formOf(metric.datatype);
    if (!form || !elementsFit(*form, metric.value))
        return false;
    if (form->array)
        setArray(*form, metric.value, parts);
    else
        setScalar(*form, metric.value, parts);
    return true;
}

// ---- Decoding.

struct PayloadDeleter
{
    void operator()(PbPayload *p) const { tarvik__sparkplug__payload__free_unpacked(p, nullptr); }
};

bool refuse(QString *why, const QString &reason)
{
    if (why)
        *why = reason;
    return false;
}

// The value field each form's scalar comes in.
Tarvik__Sparkplug__Metric__ValueCase scalarField(const Form &form)
{
    switch (form.kind) {
    case Kind::Signed:
    case Kind::Unsigned:
        return form.width == 8 ? TARVIK__SPARKPLUG__METRIC__VALUE_LONG_VALUE
                               : TARVIK__SPARKPLUG__METRIC__VALUE_INT_VALUE;
    case Kind::Real:
        return form.width == 8 ? TARVIK__SPARKPLUG__METRIC__VALUE_DOUBLE_VALUE
                               : TARVIK__SPARKPLUG__METRIC__VALUE_FLOAT_VALUE;
    case Kind::Boolean:
        return TARVIK__SPARKPLUG__METRIC__VALUE_BOOLEAN_VALUE;
    case Kind::Text:
        return TARVIK__SPARKPLUG__METRIC__VALUE_STRING_VALUE;
    }
    return TARVIK__SPARKPLUG__METRIC__VALUE__NOT_SET;
}

quint64 wholeOf(const PbMetric &m)
{
    return m.value_case == TARVIK__SPARKPLUG__METRIC__VALUE_LONG_VALUE ? m.long_value : m.int_value;
}

// A scalar from the field its form comes in, within the range of its width. Int8 to Int32 come
// sign-extended to 32 bits.
bool scalarOf(const Form &form, const PbMetric &m, Elements *value)
{
    if (m.value_case != scalarField(form))
        return false;
    switch (form.kind) {
    case Kind::Signed: {
        const qint64 v = form.width == 8 ? qint64(m.long_value) : qint64(qint32(m.int_value));
        *value = std::vector<qint64>{v};
        return signedFits(v, form.width);
    }
    case Kind::Unsigned:
        *value = std::vector<quint64>{wholeOf(m)};
        return unsignedFits(wholeOf(m), form.width);
    case Kind::Real:
        *value = std::vector<double>{form.width == 8 ? m.double_value : double(m.float_value)};
        return true;
    case Kind::Boolean:
        *value = std::vector<bool>{m.boolean_value != 0};
        return true;
    case Kind::Text:
        *value = QStringList{QString::fromUtf8(m.string_value ? m.string_value : "")};
        return true;
    }
    return false;
}

bool arrayOf(const Form &form, const PbMetric &m, Elements *value)
{
    if (m.value_case != TARVIK__SPARKPLUG__METRIC__VALUE_BYTES_VALUE)
        return false;
    const QByteArray bytes = QByteArray::fromRawData(
        reinterpret_cast<const char *>(m.bytes_value.data), int(m.bytes_value.len));
    return unpackedArray(form, bytes, value);
}

bool qualityOf(const PbPropertyValue &v, int *quality)
{
    if (!v.has_type || v.type != qualityType ||
        v.value_case != TARVIK__SPARKPLUG__PROPERTY_VALUE__VALUE_INT_VALUE)
        return false;
    *quality = qint32(v.int_value);
    return true;
}

// The Quality property, where there is one; other keys are not the gateway's.
bool propertiesOf(const PbMetric &m, SparkplugMetric *metric, QString *why)
{
    const PbPropertySet *set = m.properties;
    if (!set)
        return true;
    if (set->n_keys != set->n_values)
        return refuse(why, QStringLiteral("its properties have %1 keys and %2 values")
                               .arg(set->n_keys)
                               .arg(set->n_values));
    for (std::size_t i = 0; i < set->n_keys; ++i) {
        if (std::strcmp(set->keys[i], qualityKey) == 0 &&
            !qualityOf(*set->values[i], &metric->quality))
            return refuse(why, QStringLiteral("its Quality is not an Int32 value"));
    }
    return true;
}

bool valueOf(const PbMetric &m, SparkplugMetric *metric, QString *why)
{
    if (!m.has_datatype)
        return refuse(why, QStringLiteral("it has no datatype"));
    metric->datatype = Datatype(m.datatype);
    const Form *form = formOf(metric->datatype);
    if (!form)
        return refuse(
            why, QStringLiteral("its datatype %1 is none the gateway carries").arg(m.datatype));
    if (metric->isNull)
        return m.value_case == TARVIK__SPARKPLUG__METRIC__VALUE__NOT_SET ||
               refuse(why, QStringLiteral("it is null and has a value"));
    const bool fits =
        form->array ? arrayOf(*form, m, &metric->value) : scalarOf(*form, m, &metric->value);
    return fits ||
           refuse(why, QStringLiteral("its value does not fit its datatype %1").arg(m.datatype));
}

bool metricOf(const PbMetric &m, SparkplugMetric *metric, QString *why)
{
    metric->name = QString::fromUtf8(m.name ? m.name : "");
    if (m.has_alias)
        metric->alias = m.alias;
    if (m.has_timestamp)
        metric->timestampMs = m.timestamp;
    metric->isNull = m.has_is_null && m.is_null;
    metric->isHistorical = m.has_is_historical && m.is_historical;
    return propertiesOf(m, metric, why) && valueOf(m, metric, why);
}

// ---- Records and writes.

// The elements of a record's payload as Elements holds them. Int8 elements are the controller's
// bytes in a plain char, read as a signed byte whatever the sign of char is here.
template <typename E> Elements recordElements(const QSequentialIterable &items)
{
    if constexpr (std::is_void_v<E>) {
        return {};
    } else if constexpr (std::is_same_v<E, QString>) {
        QStringList list;
        for (const QVariant &v : items)
            list << v.toString();
        return list;
    } else {
        using Held = std::conditional_t<
            std::is_same_v<E, bool>, bool,
            std::conditional_t<std::is_floating_point_v<E>, double,
                               std::conditional_t<std::is_signed_v<E> || std::is_same_v<E, char>,
                                                  qint64, quint64>>>;
        std::vector<Held> list;
        for (const QVariant &v : items) {
            if constexpr (std::is_same_v<E, char>)
                list.push_back(qint8(quint8(v.value<char>())));
            else
                list.push_back(Held(v.value<E>()));
        }
        return list;
    }
}

// Each element as the write check reads it.
QString elementText(bool b, int)
{
    return b ? QStringLiteral("true") : QStringLiteral("false");
}

QString elementText(qint64 v, int)
{
    return QString::number(v);
}

QString elementText(quint64 v, int)
{
    return QString::number(v);
}

QString elementText(double v, int width)
{
    return width == 4 ? recordformat::shortestFloat(float(v)) : recordformat::shortestDouble(v);
}

QString elementText(const QString &text, int)
{
    return text;
}

} // namespace

QByteArray encode(const SparkplugPayload &payload)
{
    std::deque<MetricParts> parts(payload.metrics.size());
    std::vector<PbMetric *> metrics;
    for (std::size_t i = 0; i < payload.metrics.size(); ++i) {
        if (!setMetric(payload.metrics[i], &parts[i]))
            return QByteArray();
        metrics.push_back(&parts[i].metric);
    }
    PbPayload p = TARVIK__SPARKPLUG__PAYLOAD__INIT;
    p.has_timestamp = payload.timestampMs.has_value();
    p.timestamp = payload.timestampMs.value_or(0);
    p.has_seq = payload.seq.has_value();
    p.seq = payload.seq.value_or(0);
    p.n_metrics = metrics.size();
    p.metrics = metrics.data();
    QByteArray bytes(int(tarvik__sparkplug__payload__get_packed_size(&p)), '\0');
    tarvik__sparkplug__payload__pack(&p, reinterpret_cast<uint8_t *>(bytes.data()));
    return bytes;
}

bool decode(const QByteArray &bytes, SparkplugPayload *payload, QString *why)
{
    if (bytes.size() > maxPayloadBytes)
        return refuse(why,
                      QStringLiteral("the payload has more than %1 bytes").arg(maxPayloadBytes));
    const std::unique_ptr<PbPayload, PayloadDeleter> p(tarvik__sparkplug__payload__unpack(
        nullptr, std::size_t(bytes.size()), reinterpret_cast<const uint8_t *>(bytes.constData())));
    if (!p)
        return refuse(why, QStringLiteral("the bytes are no Sparkplug B payload"));
    SparkplugPayload decoded;
    if (p->has_timestamp)
        decoded.timestampMs = p->timestamp;
    if (p->has_seq)
        decoded.seq = p->seq;
    decoded.metrics.resize(p->n_metrics);
    for (std::size_t i = 0; i < p->n_metrics; ++i) {
        QString reason;
        if (!metricOf(*p->metrics[i], &decoded.metrics[i], &reason))
            return refuse(
                why,
                QStringLiteral("metric %1 (%2): %3").arg(i).arg(decoded.metrics[i].name, reason));
    }
    *payload = std::move(decoded);
    return true;
}

Datatype tagDatatype(int type, int count)
{
    for (const TagDatatypes &t : tagDatatypes) {
        if (t.type == type)
            return count > 1 ? t.array : t.scalar;
    }
    return Datatype::Unknown;
}

bool fromRecord(const CLabelVariable &record, SparkplugMetric *metric)
{
    const Datatype datatype = tagDatatype(record.type, record.count);
    if (datatype == Datatype::Unknown || !record.value.canConvert<QVariantList>())
        return false;
    const QSequentialIterable items = record.value.value<QSequentialIterable>();
    Elements value = tarvik::withElementType(
        record.type, [&](auto tag) { return recordElements<typename decltype(tag)::type>(items); });
    if (!elementsFit(*formOf(datatype), value))
        return false;
    metric->datatype = datatype;
    metric->value = std::move(value);
    metric->isNull = false;
    if (record.time.isValid())
        metric->timestampMs = quint64(record.time.toMSecsSinceEpoch());
    return true;
}

QString writeTexts(const SparkplugMetric &metric, QStringList *texts)
{
    const Form *form = formOf(metric.datatype);
    if (metric.isNull || !form)
        return QStringLiteral("the metric has no value to write");
    QStringList list;
    std::visit(
        [&](const auto &elements) {
            if constexpr (!std::is_same_v<std::decay_t<decltype(elements)>, std::monostate>) {
                for (const auto &e : elements)
                    list << elementText(e, form->width);
            }
        },
        metric.value);
    if (list.isEmpty())
        return QStringLiteral("the metric has no value to write");
    *texts = list;
    return QString();
}

} // namespace sparkplug
