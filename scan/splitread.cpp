#include "splitread.h"

#include "labelarith.h"

#include <QList>

#include <type_traits>

namespace {

// The elements from offset on into `into`, which keeps its storage when it holds a list of the
// same element already (QVariant::setValue reuses it).
void slice(const CLabelVariable &read, int offset, int count, QVariant &into)
{
    tarvik::withElementType(read.type, [&](auto tag) {
        using E = typename decltype(tag)::type;
        if constexpr (std::is_void_v<E>)
            into = QVariant();
        else if (read.value.userType() == qMetaTypeId<QList<E>>()) // the driver's own: in place
            into.setValue(
                static_cast<const QList<E> *>(read.value.constData())->mid(offset, count));
        else
            into.setValue(read.value.value<QList<E>>().mid(offset, count));
    });
}

} // namespace

void cutMember(const CLabelVariable &read, int offset, const QString &address, int count,
               CLabelVariable &member)
{
    member.result = read.result;
    member.time = read.time;
    member.address = address;
    member.count = count;
    member.type = read.type;
    if (read.result == 0)
        slice(read, offset, count, member.value);
    else
        member.value = read.value;
}
