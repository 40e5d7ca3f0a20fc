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
void SleepMs(uint32_t ms) { Current().Sleep(ms); }

} // namespace platform
