// The simulator as the transport of a FlashIoDevice, on the virtual clock.
//
// InstallInProcess fills the six transport slots of `io` with the simulator's
// own functions, the way the library's serial set-up fills them for a real
// COM port; flow tests install it in place of that set-up. Like every
// set-up, it first calls a `destroy` slot that is already set.
//
// The link is a discrete-event simulation on `clock`:
//  - writeBytes hands the bytes to the device at once (at clock.Now());
//  - the device answers by scheduling output bytes at later instants
//    (processing time, restarts, one byte time per byte at the host's speed);
//  - readBytes takes what is due now and, while it still wants bytes,
//    advances the clock to the next scheduled output or to its deadline,
//    whichever comes first; it returns like the serial transport does: the
//    buffer zero-filled first, then 0..length bytes, -1 when not open;
//  - every other movement of the clock (a sleep of the library) lets the
//    device run its scheduled work, through a clock observer.
// Nothing waits in real time, and a run is exactly repeatable.
//
// The device must outlive the transport; the clock observer it leaves behind
// becomes harmless when the device goes.
#pragma once

#include "io/FlashIoDevice.h"
#include "platform/VirtualClock.h"
#include "sim/Device.h"
#include "tambrix01/FlashTool.h"

#include <cstdint>
#include <string>

namespace sim {

struct InProcessOptions {
    // The port name the host opens. Empty opens the device whatever it is
    // called; otherwise the open fails (and an open link goes dead) once the
    // device no longer answers to this name (the port-change fault).
    std::string portName;
    // The host's framing; LineFromDcb turns a host DCB into it.
    LineSettings line{115200, 8, 'N', 1};
    // A write lasts as long as its bytes take on the line at the host's
    // speed (the device's own output always does): for measuring a flash
    // against the line's limit.
    bool hostWireTime = false;
};

LineSettings LineFromDcb(const DCB& dcb);

// Lets every movement of the clock run the device's scheduled work (once
// per clock; harmless once the device is gone).
void ObserveClock(Device& device, platform::VirtualClock& clock);

// 0 when installed; -3 (and nothing installed) when the device does not
// answer to options.portName, as a failed test open of a set-up. A
// replaying device answers set-ups, opens, reads and writes that failed in
// its recording with the recorded results.
int32_t InstallInProcess(FlashIoDevice* io, Device& device, platform::VirtualClock& clock,
                         const InProcessOptions& options = {});

} // namespace sim
