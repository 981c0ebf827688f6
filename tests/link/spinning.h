#pragma once

#include "peers.h"

#include <QElapsedTimer>

// The processor time a loop that never sleeps gets in this process right now, in microseconds
// for each millisecond it runs: what a wait that spins instead of sleeping would burn. Measured
// in the same run as the wait it is held against: a loaded machine gives a spinning wait as
// little as it gives this loop, and an emulated CPU, which makes a sleeping wait dearer, still
// gives a spinning one all the time it waits.
inline double spinningCpuPerMs(int ms = 200)
{
    QElapsedTimer clock;
    clock.start();
    const qint64 before = cpuMicroseconds();
    volatile quint64 turns = 0;
    while (clock.elapsed() < ms)
        turns = turns + 1;
    return double(cpuMicroseconds() - before) / double(qMax<qint64>(1, clock.elapsed()));
}
