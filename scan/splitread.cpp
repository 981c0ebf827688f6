#include "splitread.h"

#include "labelarith.h"

#include <QList>

#include <type_traits>

namespace {

// The elements from offset on into `into`. A list of the same element there already takes them
// in its own storage (unless a copy of the record shares it); else a new list is made.
template <typename E> void copyElements(const QList<E> &from, int offset, int count, QVariant &into)
{
    if (into.userType() != qMetaTypeId<QList<E>>()) {
        into.setValue(from.mid(offset, count));
        return;
    }
    QList<E> &to = *static_cast<QList<E> *>(into.data());
    to.erase(to.begin(), to.end());
    const int end = qBound(0, offset + count, from.size());
    for (int i = qBound(0, offset, end); i < end; ++i)
        to.append(from.at(i));
}

void slice(const CLabelVariable &read, int offset, int count, QVariant &into)
{
    tarvik::withElementType(read.type, [&](auto tag) {
        using E = typename decltype(tag)::type;
        if constexpr (std::is_void_v<E>)
            into = QVariant();
        else if (read.value.userType() == qMetaTypeId<QList<E>>()) // the driver's own: in place
            copyElements(*static_cast<const QList<E> *>(read.value.constData()), offset, count,
                         into);
        else
            copyElements(read.value.value<QList<E>>(), offset, count, into);
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
