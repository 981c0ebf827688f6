#pragma once

#include "CLabelVariable.h"

#include <QList>
#include <QSequentialIterable>
#include <QStringList>
#include <QVariant>

#include <cmath>
#include <initializer_list>

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

// One element as text that tells apart what a test must tell apart: floating values to the last
// bit (and -0 from 0), bytes as numbers, a null text from an empty one.
inline QString describeElement(const QVariant &v)
{
    switch (int(v.userType())) {
    case QMetaType::UnknownType:
        return QStringLiteral("none");
    case QMetaType::Float:
    case QMetaType::Double:
        return std::isnan(v.toDouble()) ? QStringLiteral("nan")
                                        : QString::asprintf("%a", v.toDouble());
    case QMetaType::Char:
        return QStringLiteral("0x") +
               QString::number(static_cast<unsigned char>(v.value<char>()), 16);
    case QMetaType::UChar:
        return QString::number(v.value<unsigned char>());
    case QMetaType::QString:
        return v.toString().isNull() ? QStringLiteral("null") : '"' + v.toString() + '"';
    default:
        return v.toString();
    }
}

// A payload as text: its type and its elements, walked the way a host walks any payload.
inline QString describe(const QVariant &payload)
{
    if (!payload.isValid())
        return QStringLiteral("invalid");
    if (!payload.canConvert<QVariantList>())
        return QStringLiteral("%1 %2").arg(QLatin1String(payload.typeName()), payload.toString());
    QStringList elements;
    for (const QVariant &v : payload.value<QSequentialIterable>())
        elements << describeElement(v);
    return QStringLiteral("%1(%2)").arg(QLatin1String(payload.typeName()), elements.join(','));
}
