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

bool interrupted()
{
    return stopRequested;
}
