#include "support/ThreadClock.h"

namespace testing_support {

namespace {
thread_local platform::VirtualClock* t_clock = nullptr;

platform::Clock& Mine()
{
    return t_clock ? static_cast<platform::Clock&>(*t_clock) : platform::RealClock();
}
} // namespace

uint32_t ThreadClock::Tick() { return Mine().Tick(); }
void ThreadClock::Sleep(uint32_t ms) { Mine().Sleep(ms); }

ThreadTime::ThreadTime(platform::VirtualClock& clock) : previous_(t_clock) { t_clock = &clock; }
ThreadTime::~ThreadTime() { t_clock = previous_; }

} // namespace testing_support
