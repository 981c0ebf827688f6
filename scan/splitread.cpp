#include "splitread.h"

#include "labelarith.h"

#include <QList>

#include <type_traits>

namespace {

QVariant slice(const CLabelVariable &read, int offset, int count)
{
    return tarvik::withElementType(read.type, [&](auto tag) -> QVariant {
        using E = typename decltype(tag)::type;
        if constexpr (std::is_void_v<E>)
            return QVariant();
        else if (read.value.userType() == qMetaTypeId<QList<E>>()) // the driver's own: in place
            return QVariant::fromValue(
                static_cast<const QList<E> *>(read.value.constData())->mid(offset, count));
        else
            return QVariant::fromValue(read.value.value<QList<E>>().mid(offset, count));
    });
}

} // namespace

CLabelVariable memberRecord(const CLabelVariable &read, int offset, const QString &address,
                            int count)
{
    CLabelVariable r;
    r.result = read.result;
    r.time = read.time;
    r.address = address;
    r.count = count;
    r.type = read.type;
    r.value = read.result == 0 ? slice(read, offset, count) : read.value;
    return r;
}
