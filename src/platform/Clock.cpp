#include "platform/Platform.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<Clock*> installed{nullptr};
}

Clock* SetClock(Clock* clock)
{
    Clock* previous = installed.exchange(clock);
    return previous ? previous : &RealClock();
}

static Clock& Current()
{
    Clock* clock = installed.load();
    return clock ? *clock : RealClock();
}

uint32_t TickCount() { return Current().Tick(); }

bool TimeUp(uint32_t start, uint64_t limitMs)
{
    // Comparing elapsed time, not a signed deadline, keeps a limit of 2^31 ms
    // or more from reading as already passed.
    uint32_t elapsed = TickCount() - start;
    return limitMs < UINT32_MAX && elapsed > limitMs;
}
void SleepMs(uint32_t ms) { Current().Sleep(ms); }

} // namespace platform
