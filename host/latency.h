#pragma once

#include <QVector>

#include <algorithm>

// Read latencies of one tag or one diagnosis, in milliseconds. The most recent ones are kept,
// enough for steady percentiles over a long poll without growing without bound.
class Latencies
{
public:
    static constexpr int kept = 10000;

    void add(double ms)
    {
        if (samples.size() == kept)
            samples.remove(0, kept / 10);
        samples.append(ms);
    }
    bool isEmpty() const { return samples.isEmpty(); }
    // The nearest-rank percentile p (0 to 100) of what is kept; 0 when nothing is.
    double percentile(double p) const
    {
        if (samples.isEmpty())
            return 0;
        QVector<double> sorted = samples;
        std::sort(sorted.begin(), sorted.end());
        const int rank = int(p / 100 * sorted.size() + 0.999999);
        return sorted[std::clamp(rank - 1, 0, int(sorted.size()) - 1)];
    }

private:
    QVector<double> samples;
};
