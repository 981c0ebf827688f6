#include "CLabelVariable.h"

#include "labelarith.h"

#include <QList>

namespace {

enum AccessStatus { ElementReturned = 0, OutsideList = 10, NotThisList = 11 };

// Asking for the id registers QList<E> with Qt on first use, together with Qt's conversion to a
// sequential iterable: that is what lets a host walk any payload without knowing its type.
template <typename E> int listTypeId()
{
    return qMetaTypeId<QList<E>>();
}

// The payload as a list of E: the stored list (shared, not copied) when it is one, Qt's
// conversion when there is one, otherwise an empty list.
template <typename E> QList<E> payloadList(const QVariant &value)
{
    return value.value<QList<E>>();
}

template <typename E> E elementAt(const QVariant &value, int &accessStatus, int i)
{
    if (!value.canConvert(listTypeId<E>())) {
        accessStatus = NotThisList;
        return E();
    }
    const QList<E> list = payloadList<E>(value);
    if (i < 0 || i >= list.size()) {
        accessStatus = OutsideList;
        return E();
    }
    accessStatus = ElementReturned;
    return list.at(i);
}

// The operators read the right operand through the accessors too, which write its
// accessStatus, although the host's interface hands it over as const.
CLabelVariable &readable(const CLabelVariable &record)
{
    return const_cast<CLabelVariable &>(record);
}

// Reading every element through the accessors leaves both operands with accessStatus 0 and
// changes nothing else. The operators hold both lists already, so they take the elements from
// those and leave that outcome once.
void markRead(CLabelVariable &l, CLabelVariable &r)
{
    l.accessStatus = ElementReturned;
    r.accessStatus = ElementReturned;
}

CLabelVariable resultHeader(const CLabelVariable &r)
{
    CLabelVariable out;
    out.time = QDateTime::currentDateTime();
    out.result = r.result;
    out.address = r.address;
    out.count = r.count;
    out.type = r.type;
    out.auxText = r.auxText;
    return out;
}

bool sameHeader(const CLabelVariable &l, const CLabelVariable &r)
{
    return l.result == r.result && l.address == r.address && l.count == r.count &&
           l.type == r.type && l.auxText == r.auxText;
}

// Element by element over l.count elements; nothing is read unless both lists hold exactly
// that many.
template <typename E, typename Rule>
QList<E> combine(CLabelVariable &l, CLabelVariable &r, const Rule &rule)
{
    const QList<E> a = payloadList<E>(l.value);
    const QList<E> b = payloadList<E>(r.value);
    QList<E> out;
    if (a.size() != l.count || b.size() != l.count || l.count == 0)
        return out;
    out.reserve(l.count);
    for (int i = 0; i < l.count; ++i)
        out.append(E(rule(tarvik::operand(a.at(i)), tarvik::operand(b.at(i)))));
    markRead(l, r);
    return out;
}

template <typename Rule>
CLabelVariable arithmetic(CLabelVariable &l, const CLabelVariable &right, const Rule &rule)
{
    CLabelVariable &r = readable(right);
    return tarvik::withElementType(tarvik::operandType(l.type), [&](auto tag) {
        using E = typename decltype(tag)::type;
        if constexpr (std::is_invocable_v<Rule, tarvik::Operand<E>, tarvik::Operand<E>>) {
            CLabelVariable out = resultHeader(r);
            out.value = QVariant::fromValue(combine<E>(l, r, rule));
            return out;
        } else {
            return CLabelVariable();
        }
    });
}

template <typename E> bool sameElements(CLabelVariable &l, CLabelVariable &r, bool sameHeaders)
{
    const QList<E> a = payloadList<E>(l.value);
    const QList<E> b = payloadList<E>(r.value);
    if (a.size() != l.count || b.size() != l.count)
        return false;
    if (l.count == 0)
        return sameHeaders;
    markRead(l, r);
    if (!sameHeaders)
        return false;
    // Element by element rather than QList's ==, which takes shared lists as equal without
    // looking: a NaN equals nothing, not even itself.
    for (int i = 0; i < l.count; ++i) {
        if (!(a.at(i) == b.at(i)))
            return false;
    }
    return true;
}

bool equal(CLabelVariable &l, const CLabelVariable &right)
{
    CLabelVariable &r = readable(right);
    const bool sameHeaders = sameHeader(l, r);
    return tarvik::withElementType(tarvik::operandType(l.type), [&](auto tag) {
        using E = typename decltype(tag)::type;
        if constexpr (std::is_void_v<E>)
            return sameHeaders;
        else
            return sameElements<E>(l, r, sameHeaders);
    });
}

} // namespace

CLabelVariable::CLabelVariable() = default;

CLabelVariable::CLabelVariable(const CLabelVariable &other) = default;

CLabelVariable &CLabelVariable::operator=(const CLabelVariable &other)
{
    result = other.result;
    value = other.value;
    time = other.time;
    address = other.address;
    count = other.count;
    type = other.type;
    auxText = other.auxText;
    return *this;
}

CLabelVariable::~CLabelVariable() = default;

bool CLabelVariable::atbool(int i)
{
    return elementAt<bool>(value, accessStatus, i);
}

char CLabelVariable::atchar(int i)
{
    return elementAt<char>(value, accessStatus, i);
}

char CLabelVariable::atInt8(int i)
{
    return elementAt<char>(value, accessStatus, i);
}

unsigned char CLabelVariable::atUInt8(int i)
{
    return elementAt<unsigned char>(value, accessStatus, i);
}

short CLabelVariable::atInt16(int i)
{
    return elementAt<short>(value, accessStatus, i);
}

unsigned short CLabelVariable::atUInt16(int i)
{
    return elementAt<unsigned short>(value, accessStatus, i);
}

int CLabelVariable::atInt32(int i)
{
    return elementAt<int>(value, accessStatus, i);
}

unsigned int CLabelVariable::atUInt32(int i)
{
    return elementAt<unsigned int>(value, accessStatus, i);
}

float CLabelVariable::atFloat(int i)
{
    return elementAt<float>(value, accessStatus, i);
}

long long CLabelVariable::atInt64(int i)
{
    return elementAt<long long>(value, accessStatus, i);
}

unsigned long long CLabelVariable::atUInt64(int i)
{
    return elementAt<unsigned long long>(value, accessStatus, i);
}

double CLabelVariable::atDouble(int i)
{
    return elementAt<double>(value, accessStatus, i);
}

QString CLabelVariable::atQString(int i)
{
    return elementAt<QString>(value, accessStatus, i);
}

CLabelVariable CLabelVariable::operator+(CLabelVariable const &other)
{
    return arithmetic(*this, other, tarvik::Plus());
}

CLabelVariable CLabelVariable::operator-(CLabelVariable const &other)
{
    return arithmetic(*this, other, tarvik::Minus());
}

CLabelVariable CLabelVariable::operator*(CLabelVariable const &other)
{
    return arithmetic(*this, other, tarvik::Times());
}

CLabelVariable CLabelVariable::operator/(CLabelVariable const &other)
{
    return arithmetic(*this, other, tarvik::Divide());
}

bool CLabelVariable::operator==(CLabelVariable const &other)
{
    return equal(*this, other);
}
