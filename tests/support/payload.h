#pragma once

#include "CLabelVariable.h"

#include <QList>
#include <QLocale>
#include <QSequentialIterable>
#include <QStringList>
#include <QVariant>

#include <cmath>
#include <initializer_list>
#include <iterator>

Q_DECLARE_METATYPE(CLabelVariable)

// A payload as the decoders store it: a QList of the element type in a QVariant.
template <typename E> QVariant payload(std::initializer_list<E> elements)
{
    return QVariant::fromValue(QList<E>(elements));
}

inline int payloadSize(const QVariant &payload)
{
    return payload.canConvert<QVariantList>() ? payload.value<QSequentialIterable>().size() : 0;
}

inline CLabelVariable record(int type, const QVariant &payload, int count)
{
    CLabelVariable r;
    r.type = DataType(type);
    r.value = payload;
    r.count = count;
    return r;
}

inline CLabelVariable record(int type, const QVariant &payload)
{
    return record(type, payload, payloadSize(payload));
}

// A floating value to the last bit in `digits` significant digits; the sign of a zero kept.
inline QString floatingText(double v, int digits)
{
    return v == 0 && std::signbit(v) ? QStringLiteral("-0") : QString::number(v, 'g', digits);
}

// One element as text that is readable and still tells apart what a test must tell apart:
// floating values to the last bit (9 digits are enough for a float), bytes as 0..255 whatever
// the signedness of char, a null text from an empty one.
inline QString elementText(const QVariant &v)
{
    switch (int(v.userType())) {
    case QMetaType::UnknownType:
        return QStringLiteral("none");
    case QMetaType::Bool:
        return v.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QMetaType::Float:
        return floatingText(double(v.toFloat()), 9);
    case QMetaType::Double:
        return floatingText(v.toDouble(), QLocale::FloatingPointShortest);
    case QMetaType::Char:
        return QString::number(quint8(v.value<char>()));
    case QMetaType::SChar:
        return QString::number(quint8(v.value<signed char>()));
    case QMetaType::UChar:
        return QString::number(v.value<unsigned char>());
    case QMetaType::QString:
        return v.toString().isNull() ? QStringLiteral("null") : "'" + v.toString() + "'";
    default:
        return v.toString();
    }
}

// The elements of a payload as text, walked the way a host walks any payload; none for what is
// no list.
inline QStringList payloadTexts(const QVariant &payload)
{
    QStringList elements;
    if (payload.canConvert<QVariantList>()) {
        for (const QVariant &v : payload.value<QSequentialIterable>())
            elements << elementText(v);
    }
    return elements;
}

// A payload as text: its type and its elements.
inline QString describe(const QVariant &payload)
{
    if (!payload.isValid())
        return QStringLiteral("invalid");
    if (!payload.canConvert<QVariantList>())
        return QStringLiteral("%1 %2").arg(QLatin1String(payload.typeName()), payload.toString());
    return QStringLiteral("%1(%2)").arg(QLatin1String(payload.typeName()),
                                        payloadTexts(payload).join(','));
}

// Element i as a host reads it: through the record's accessor for the record's type, which
// refuses (accessStatus other than 0) an element outside the payload or of another list type.
template <auto at> QVariant accessed(CLabelVariable &r, int i)
{
    return QVariant::fromValue((r.*at)(i));
}

inline QVariant hostElement(CLabelVariable &r, int i)
{
    using Read = QVariant (*)(CLabelVariable &, int);
    static const Read byType[] = {
        nullptr,
        accessed<&CLabelVariable::atbool>,
        accessed<&CLabelVariable::atInt8>,
        accessed<&CLabelVariable::atUInt8>,
        accessed<&CLabelVariable::atInt16>,
        accessed<&CLabelVariable::atUInt16>,
        accessed<&CLabelVariable::atInt32>,
        accessed<&CLabelVariable::atUInt32>,
        accessed<&CLabelVariable::atFloat>,
        accessed<&CLabelVariable::atInt64>,
        accessed<&CLabelVariable::atUInt64>,
        accessed<&CLabelVariable::atDouble>,
        accessed<&CLabelVariable::atQString>,
    };
    const int type = int(r.type);
    if (type <= 0 || type >= int(std::size(byType))) {
        r.accessStatus = -1;
        return {};
    }
    return byType[type](r, i);
}

// The record's elements as text, read the way a host reads them, up to the first one its
// accessor refuses.
inline QStringList recordTexts(CLabelVariable r)
{
    QStringList out;
    for (int i = 0; i <= payloadSize(r.value); ++i) {
        const QVariant v = hostElement(r, i);
        if (r.accessStatus != 0)
            break;
        out << elementText(v);
    }
    return out;
}
