// What the units of one device share: the event queue on the device's time
// line, the timings, the faults with their counters, and the trace.
#pragma once

#include "sim/Config.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace sim {

using Time = uint64_t;  // milliseconds

// Discrete events in time order; events at the same instant run in the order
// they were scheduled.
class Scheduler {
public:
    Time Now() const { return now_; }
    void At(Time when, std::function<void()> action) { events_.emplace(when < now_ ? now_ : when, std::move(action)); }
    void After(uint64_t ms, std::function<void()> action) { At(now_ + ms, std::move(action)); }
    // Runs everything due up to and including `until` and moves time there.
    void RunUntil(Time until)
    {
        while (!events_.empty() && events_.begin()->first <= until) {
            auto first = events_.begin();
            now_ = first->first;
            std::function<void()> action = std::move(first->second);
            events_.erase(first);
            action();
        }
        if (until > now_)
            now_ = until;
    }
    std::optional<Time> Next() const
    {
        if (events_.empty())
            return std::nullopt;
        return events_.begin()->first;
    }

private:
    Time now_ = 0;
    std::multimap<Time, std::function<void()>> events_;
};

struct FaultCounters {
    uint32_t commandFrames = 0;  // command frames received with a good frame check
    uint32_t replyFrames = 0;    // non-empty reply frames sent
    uint32_t menuReplies = 0;
    uint32_t outputBytes = 0;    // bytes the device on the cable sent
    uint64_t inputBytes = 0;     // bytes the host sent to the device on the cable
    uint32_t busyLost = 0;       // polls and frames a busy unit lost or NAKed (fault busy)
    // The units' own time: answer latencies, commands' busy times, restarts
    // (their delay and silent time). What no host can go below.
    uint64_t workMs = 0;
};

struct Environment {
    Scheduler scheduler;
    Timings timings;
    Faults faults;
    FaultCounters counters;
    std::function<void(const std::string&)> trace;

    Time Now() const { return scheduler.Now(); }
    // One trace line "   12.345 who: text".
    void Trace(const std::string& who, const std::string& text) const;
    uint32_t RestartMs() const { return faults.slowRestartMs ? faults.slowRestartMs : timings.restartMs; }
};

// Text with control bytes spelled out (<SYN>, <CR>, <ACK>, \xNN), for traces.
std::string Printable(const std::string& bytes, size_t limit = 80);

} // namespace sim
