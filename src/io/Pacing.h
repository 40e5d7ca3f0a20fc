// The pauses a flash takes on its own, whatever the device answers: before
// packets and polls, and while a restarted device is looked for. The host
// sets them; the fast profile leaves them out until the device shows it
// cannot keep up, and from then on the flash runs on them again.
#pragma once

#include <cstdint>

// A look setting with this value keeps the library's own pause, which
// depends on the cable and the kind of restart.
constexpr uint64_t kPaceByCable = UINT64_MAX;

struct Pacing {
    // The host's settings (PELLARO_Pause_*, PELLARO_Restart_*, ...).
    uint64_t packetPauseMs = 20;       // before each block write's packet
    uint64_t receivePauseMs = 20;      // between a taken frame and its first poll
    uint64_t emptyPollPauseMs = 5;     // after "no reply yet"
    uint64_t failedTryPauseMs = 50;    // after a failed receive attempt
    uint64_t firstLookMs = kPaceByCable;      // restart to the first look
    uint64_t lookIntervalMs = kPaceByCable;   // between two looks
    uint64_t readinessPauseMs = 10000; // end-of-flash command to the readiness check
    uint64_t fast = 0;                 // non-zero: the fast profile

    // The running flash: set at the first sign of a device that cannot keep
    // up, cleared when the next flash starts.
    bool fellBack = false;
    const wchar_t* fallbackSign = nullptr;

    // Fast profile values. A look costs little (an open, one report), so a
    // restarted device is found within a quarter of a second of its return.
    static constexpr uint64_t kFastLookMs = 250;
    // After "no reply yet" a short breath, so a busy device is not flooded.
    static constexpr uint64_t kFastEmptyPollMs = 1;
    // Explicit look pauses below this would spin on a device that is away.
    static constexpr uint64_t kLookFloorMs = 10;

    // A pause as the clock takes it: a setting beyond 49 days is 49 days.
    static uint32_t Ms(uint64_t value) { return value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value); }

    bool Fast() const { return fast != 0 && !fellBack; }
    uint64_t PacketPause() const { return Fast() ? 0 : packetPauseMs; }
    uint64_t ReceivePause() const { return Fast() ? 0 : receivePauseMs; }
    uint64_t EmptyPollPause() const { return Fast() ? kFastEmptyPollMs : emptyPollPauseMs; }
    uint64_t FailedTryPause() const { return failedTryPauseMs; }

    void StartFlash()
    {
        fellBack = false;
        fallbackSign = nullptr;
    }
};
