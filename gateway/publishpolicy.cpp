#include "publishpolicy.h"

#include "DataType.h"

#include <array>
#include <cmath>

namespace publishpolicy {
namespace {

// How a type's elements are compared against the deadband, by type code.
enum class Comparison { Text, Number, Signed64, Unsigned64 };
constexpr std::array<Comparison, 13> comparisons = {
    Comparison::Text,   Comparison::Text,     Comparison::Number,     Comparison::Number,
    Comparison::Number, Comparison::Number,   Comparison::Number,     Comparison::Number,
    Comparison::Number, Comparison::Signed64, Comparison::Unsigned64, Comparison::Number,
    Comparison::Text,
};

Comparison comparisonOf(int type)
{
    return type >= 0 && type < int(comparisons.size()) ? comparisons[size_t(type)]
                                                       : Comparison::Text;
}

// The distance between two 64-bit integers, exact: it always fits in 64 unsigned bits.
template <typename T> bool apartBeyond(T a, T b, double deadband)
{
    const quint64 distance = a > b ? quint64(a) - quint64(b) : quint64(b) - quint64(a);
    return double(distance) > deadband;
}

bool moved(Comparison how, const QString &before, const QString &now, double deadband)
{
    if (before == now)
        return false;
    if (deadband <= 0 || how == Comparison::Text)
        return true;
    bool a = false, b = false;
    if (how == Comparison::Signed64) {
        const qint64 x = before.toLongLong(&a), y = now.toLongLong(&b);
        return !a || !b || apartBeyond(x, y, deadband);
    }
    if (how == Comparison::Unsigned64) {
        const quint64 x = before.toULongLong(&a), y = now.toULongLong(&b);
        return !a || !b || apartBeyond(x, y, deadband);
    }
    const double x = before.toDouble(&a), y = now.toDouble(&b);
    return !a || !b || !(std::fabs(x - y) <= deadband);
}

bool movedBeyond(int type, const QStringList &x, const QStringList &y, double deadband)
{
    if (x.size() != y.size())
        return true;
    const Comparison how = comparisonOf(type);
    for (int i = 0; i < x.size(); ++i) {
        if (moved(how, x[i], y[i], deadband))
            return true;
    }
    return false;
}

} // namespace

bool due(const TagMemory &memory, const CLabelVariable &record, const QStringList &texts,
         double deadband, qint64 now, qint64 maxAgeMs)
{
    if (memory.lastResult != record.result || now - memory.publishedAt >= maxAgeMs)
        return true;
    if (record.result != 0)
        return false;
    return memory.confirmWrite || !memory.haveGood ||
           movedBeyond(record.type, memory.lastTexts, texts, deadband);
}

QString refusalWords(const QString &why)
{
    return QStringLiteral("refused: ") + why;
}

} // namespace publishpolicy
