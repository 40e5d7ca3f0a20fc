#include "Progress.h"

#include <cstdio>

namespace flasher {

namespace {

constexpr uint64_t kBootBase = 0x50000;
constexpr uint64_t kAppBase = 0x10100;

} // namespace

const char* PhaseName(Phase phase)
{
    return phase == Phase::Boot ? "bootloader" : "application";
}

double PhaseProgress::Seconds(Clock::time_point now) const
{
    return std::chrono::duration<double>(now - start).count();
}

double PhaseProgress::Rate() const
{
    double seconds = Seconds(last);
    return seconds > 0.05 && done > 0 ? static_cast<double>(done) / seconds : 0.0;
}

double PhaseProgress::SecondsLeft() const
{
    if (Complete())
        return 0;
    double rate = Rate();
    return rate > 0 ? static_cast<double>(size - done) / rate : -1.0;
}

void ProgressTracker::Update(uint64_t position, uint64_t total, Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    // A finished bootloader followed by the application's first report is
    // a new phase even when both totals happen to be equal.
    bool newPhase = phases_.empty() || total != lastTotal_ || position < lastPosition_ ||
                    (phases_.back().Complete() && position == kAppBase);
    lastPosition_ = position;
    lastTotal_ = total;
    if (newPhase) {
        PhaseProgress phase;
        phase.phase = position == kAppBase ? Phase::App : Phase::Boot;
        phase.start = now;
        phases_.push_back(phase);
    }
    PhaseProgress& phase = phases_.back();
    uint64_t base = phase.phase == Phase::App ? kAppBase : kBootBase;
    phase.size = total > base ? total - base : 0;
    uint64_t done = phase.phase == Phase::App ? position - kAppBase : position;
    // The application's last report is held one below its total.
    if (phase.phase == Phase::App && position + 1 == total)
        done = phase.size;
    phase.done = done < phase.size ? done : phase.size;
    phase.last = now;
}

void ProgressTracker::UpdatePhase(Phase kind, uint64_t done, uint64_t size, Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    // An image that starts over (a block refused, the device restarted
    // after a power loss) is shown as written again, not as a new phase.
    bool same = !phases_.empty() && phases_.back().phase == kind;
    bool over = same && (done < phases_.back().done || (phases_.back().Complete() && done == 0));
    if (!same || over) {
        PhaseProgress phase;
        phase.phase = kind;
        phase.start = now;
        phase.again = over || (!phases_.empty() && phases_.back().again && phases_.back().phase == kind);
        phases_.push_back(phase);
    }
    PhaseProgress& phase = phases_.back();
    phase.size = size;
    phase.done = done < size ? done : size;
    phase.last = now;
}

void ProgressTracker::Complete()
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (PhaseProgress& phase : phases_)
        phase.done = phase.size;
}

std::vector<PhaseProgress> ProgressTracker::Phases() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return phases_;
}

std::string Bytes(uint64_t bytes)
{
    char text[32];
    if (bytes < 1024)
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
    else if (bytes < 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024);
    else
        std::snprintf(text, sizeof text, "%.2f MiB", static_cast<double>(bytes) / (1024 * 1024));
    return text;
}

std::string Duration(double seconds)
{
    if (seconds < 0)
        return "--:--";
    auto whole = static_cast<long>(seconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

} // namespace flasher
