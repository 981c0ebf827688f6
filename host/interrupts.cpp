#include "interrupts.h"

#include <atomic>
#include <csignal>

namespace {

std::atomic<bool> stopRequested{false};

void onInterrupt(int)
{
    stopRequested = true;
}

} // namespace

void watchInterrupts()
{
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
}

void stopSoon()
{
    stopRequested = true;
}

bool interrupted()
{
    return stopRequested;
}
