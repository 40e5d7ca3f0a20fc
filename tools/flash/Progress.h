// The flash's progress as the library reports it to a host, turned back
// into phases and bytes.
//
// The host callback receives (position, total) only. The bootloader phase
// reports position = bytes sent and total = image size + 0x50000; the
// application phase reports both raised by 0x10100 (and its last report as
// total - 1). A phase starts with a report whose total differs from the
// last one, whose position goes back, or that comes at 0x10100 after a
// finished phase; it is the application's when it starts at 0x10100, the
// bootloader's when it starts at 0.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace flasher {

using Clock = std::chrono::steady_clock;

enum class Phase { Boot, App };

const char* PhaseName(Phase phase);

struct PhaseProgress {
    Phase phase = Phase::Boot;
    uint64_t done = 0;     // bytes sent
    uint64_t size = 0;     // bytes of the phase
    bool again = false;    // the image written again after an error
    Clock::time_point start;
    Clock::time_point last;

    bool Complete() const { return size > 0 && done >= size; }
    double Seconds(Clock::time_point now) const;
    // Bytes per second at the last block (0 when unknown), and the time
    // left at that rate (< 0 when unknown): both hold still while the
    // device makes the phase wait.
    double Rate() const;
    double SecondsLeft() const;
};

// Fed by the library's thread through the host callback, read by the
// display: every member is under the lock.
class ProgressTracker {
public:
    void Update(uint64_t position, uint64_t total, Clock::time_point now);
    // The same from the library's status reports, which name the phase:
    // bytes done of size.
    void UpdatePhase(Phase phase, uint64_t done, uint64_t size, Clock::time_point now);
    // After a successful flash every phase went through to its end.
    void Complete();
    std::vector<PhaseProgress> Phases() const;

private:
    mutable std::mutex mutex_;
    std::vector<PhaseProgress> phases_;
    uint64_t lastPosition_ = 0;
    uint64_t lastTotal_ = 0;
};

// "12.3 KiB", "512 B".
std::string Bytes(uint64_t bytes);
// "1:05"; "--:--" when unknown.
std::string Duration(double seconds);

} // namespace flasher
