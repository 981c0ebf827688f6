// What a host pays per element for the record's accessors and operators. Prints the median of
// several runs; asserts nothing.
#include "CLabelVariable.h"

#include <QElapsedTimer>
#include <QList>
#include <QTextStream>

#include <algorithm>
#include <array>
#include <cstdlib>

namespace {

constexpr int elements = 1000;
constexpr int repeats = 200; // calls per run, so that a run lasts well above the timer's grain
constexpr int runs = 9;

// Median over the runs of the time per element, each run making `repeats` calls of f.
template <typename F> double nsPerElement(F f)
{
    std::array<double, runs> perElement{};
    for (double &ns : perElement) {
        QElapsedTimer timer;
        timer.start();
        for (int r = 0; r < repeats; ++r)
            f();
        ns = double(timer.nsecsElapsed()) / (double(repeats) * elements);
    }
    std::nth_element(perElement.begin(), perElement.begin() + runs / 2, perElement.end());
    return perElement[runs / 2];
}

template <typename E> CLabelVariable filled(DataType type, E first)
{
    QList<E> list;
    list.reserve(elements);
    for (int i = 0; i < elements; ++i)
        list.append(E(first + E(i)));
    CLabelVariable r;
    r.type = type;
    r.count = elements;
    r.value = QVariant::fromValue(list);
    return r;
}

} // namespace

int main()
{
    volatile double sink = 0; // keeps the measured calls from being optimised away
    CLabelVariable doubles = filled<double>(Double, 0.5);
    const CLabelVariable moreDoubles = filled<double>(Double, 2.0);
    CLabelVariable ints = filled<int>(Int32, 1);
    const CLabelVariable sameInts = filled<int>(Int32, 1);

    const double accessor = nsPerElement([&] {
        double sum = 0;
        for (int i = 0; i < elements; ++i)
            sum += doubles.atDouble(i);
        sink = sink + sum;
    });
    const double plus = nsPerElement([&] {
        const CLabelVariable out = doubles + moreDoubles;
        sink = sink + out.count;
    });
    const double equal = nsPerElement([&] { sink = sink + (ints == sameInts ? 1 : 0); });

    QTextStream out(stdout);
    out << "record costs, ns per element, median of " << runs << " runs of " << repeats
        << " calls over " << elements << " elements\n";
    out << "  accessor call (atDouble)    " << QString::number(accessor, 'f', 1) << '\n';
    out << "  + over Double elements      " << QString::number(plus, 'f', 1)
        << "  (includes one time stamp per call; TZ " << (std::getenv("TZ") ? "set" : "unset")
        << ")\n";
    out << "  == over Int32 elements      " << QString::number(equal, 'f', 1) << '\n';
    return 0;
}
