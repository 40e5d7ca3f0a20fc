// A clock in which sleeping advances time at once. Observers (the device
// simulator) run their scheduled work whenever time moves.
#pragma once

#include "platform/Platform.h"

#include <functional>
#include <vector>

namespace platform {

class VirtualClock : public Clock {
public:
    explicit VirtualClock(uint32_t start = 1000) : now_(start) {}

    uint32_t Tick() override { return static_cast<uint32_t>(now_); }
    void Sleep(uint32_t ms) override
    {
        slept_ += ms;
        Advance(ms);
    }

    // Moves time forward, calling every observer with the new time.
    void Advance(uint64_t ms)
    {
        now_ += ms;
        for (auto& observer : observers_)
            observer(now_);
    }
    uint64_t Now() const { return now_; }
    // Time spent in sleeps, as opposed to waits for the device.
    uint64_t SleptMs() const { return slept_; }
    void AddObserver(std::function<void(uint64_t)> observer) { observers_.push_back(std::move(observer)); }

private:
    uint64_t now_;
    uint64_t slept_ = 0;
    std::vector<std::function<void(uint64_t)>> observers_;
};

// Installs a virtual clock for the life of the guard.
class ScopedVirtualClock {
public:
    explicit ScopedVirtualClock(uint32_t start = 1000) : clock(start), previous_(SetClock(&clock)) {}
    ~ScopedVirtualClock() { SetClock(previous_ == &RealClock() ? nullptr : previous_); }
    ScopedVirtualClock(const ScopedVirtualClock&) = delete;
    ScopedVirtualClock& operator=(const ScopedVirtualClock&) = delete;

    VirtualClock clock;

private:
    Clock* previous_;
};

} // namespace platform
