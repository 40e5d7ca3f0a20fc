// Virtual time per thread: several simulated devices flashed at once, each
// on its own thread with its own virtual clock. The library reads one
// process-wide clock; this one answers with the calling thread's virtual
// clock, or real time on a thread that has none (a host thread cancelling).
#pragma once

#include "platform/VirtualClock.h"

namespace testing_support {

class ThreadClock : public platform::Clock {
public:
    uint32_t Tick() override;
    void Sleep(uint32_t ms) override;
};

// Installs a ThreadClock as the library's clock for the life of the guard.
class ScopedThreadClock {
public:
    ScopedThreadClock() : previous_(platform::SetClock(&clock_)) {}
    ~ScopedThreadClock() { platform::SetClock(previous_ == &platform::RealClock() ? nullptr : previous_); }
    ScopedThreadClock(const ScopedThreadClock&) = delete;
    ScopedThreadClock& operator=(const ScopedThreadClock&) = delete;

private:
    ThreadClock clock_;
    platform::Clock* previous_;
};

// Makes `clock` the calling thread's time for the life of the guard.
class ThreadTime {
public:
    explicit ThreadTime(platform::VirtualClock& clock);
    ~ThreadTime();
    ThreadTime(const ThreadTime&) = delete;
    ThreadTime& operator=(const ThreadTime&) = delete;

private:
    platform::VirtualClock* previous_;
};

} // namespace testing_support
