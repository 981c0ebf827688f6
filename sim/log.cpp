#include "log.h"

#include <cstdio>

namespace sim {

namespace {
bool verboseOn = false;
} // namespace

void setVerbose(bool on)
{
    verboseOn = on;
}

bool verbose()
{
    return verboseOn;
}

void warn(const QString &line)
{
    std::fprintf(stderr, "tarvik-sim: %s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

void note(const QString &line)
{
    if (verboseOn)
        warn(line);
}

} // namespace sim
