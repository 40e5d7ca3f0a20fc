// The device on a USB bus in process, under the library's own USB HID
// transport: the transport's slots, its search and mutex claims, the report
// framing, the receive ring and the read loop run unchanged; only the calls
// into the system (enumerate, open, write a report, wait for a report) reach
// this link instead of hidraw or the HID class driver.
//
// On the virtual clock, as a full-speed interrupt endpoint each way:
//  - an output report takes one millisecond; the device gets its payload
//    when it is through;
//  - while a handle is open the system polls the device once a millisecond
//    and keeps what it sends, one input report of up to 56 bytes per poll,
//    at the earliest a millisecond after the bytes were due; it holds at
//    most its queue's worth (64, hidraw's queue; Windows holds its input
//    buffer count) and drops what comes in while the queue is full, as
//    hidraw does; a wait for a report takes one that is held, or moves the
//    clock to the next poll that brings one, or to its end;
//  - an output report the device refuses (its endpoint NAKs while it is
//    busy, Faults::usbRefuseOutFrame) keeps the write waiting until the
//    device takes it or the write's bound has passed, then the write fails:
//    the bound is the host's (300 ms on Windows), or, for a Linux host
//    (SetKernelBoundWrites), the kernel's USB timeout of 5 s, which hidraw's
//    write() blocks for whatever the caller wanted;
//  - the device is off the bus while it restarts: an open handle then
//    reads what it still holds and after that "gone", and the device comes
//    back as a new device (its bootloader's or its application's ids).
//
// The device enumerates under a Linux-like identity text,
//   simhid#vid_f0f0&pid_0a01&mi_00#sim<instance>#<port name>
// and, as a hidraw node, opens by that text or by its last part alone (the
// device's port name; the port-change fault gives it a new one). The
// instance keeps the per-device mutex names of two test processes apart.
#pragma once

#include "io/FlashIoDevice.h"
#include "io/UsbIdentity.h"
#include "platform/VirtualClock.h"
#include "sim/Device.h"
#include "sim/UsbFace.h"

#include <cstdint>
#include <string>

namespace sim {

class UsbLink {
public:
    UsbLink(Device& device, platform::VirtualClock& clock);
    UsbLink(const UsbLink&) = delete;
    UsbLink& operator=(const UsbLink&) = delete;

    // The identity text the device enumerates under now.
    std::wstring DevicePath() const;
    // Installs the library's USB transport over this link, as
    // BL_FlashIo_Setup_WIN32_USB does over the system: its result.
    int32_t Setup(FlashIoDevice* io, const UsbIdentity* identity);

    // Reports through the link so far.
    uint64_t HostReports() const { return hostReports_; }
    uint64_t DeviceReports() const { return deviceReports_; }
    // Input reports the system dropped with its queue full, and output
    // reports whose write gave up on a refusing device.
    uint64_t DroppedReports() const { return droppedReports_; }
    uint64_t RefusedWrites() const { return refusedWrites_; }

    // The host's input queue in reports: 64 (hidraw's) on a Linux host, the
    // input buffer count the library asks for (512) on Windows.
    void SetQueueLength(size_t reports) { queueLength_ = reports; }
    // Writes bounded by the kernel's USB timeout, as hidraw's are (the
    // default on a Linux host), rather than by the host's own bound.
    void SetKernelBoundWrites(bool kernelBound) { kernelBoundWrites_ = kernelBound; }

    struct Handle;

private:
    friend struct Handle;
    Device& device_;
    platform::VirtualClock& clock_;
    UsbFace face_;
    std::string instance_;
    Handle* openHandle_ = nullptr;   // the device opens exclusively
    uint64_t hostReports_ = 0;
    uint64_t deviceReports_ = 0;
    uint64_t droppedReports_ = 0;
    uint64_t refusedWrites_ = 0;
    size_t queueLength_;
    bool kernelBoundWrites_;
    // The burst of foreign reports (Faults::usbBurstFrame): when it began
    // and how many are still to come; the refusal of output reports.
    bool burstStarted_ = false;
    Time burstAt_ = 0;
    uint32_t burstLeft_ = 0;
    bool refusalStarted_ = false;
    Time refusedUntil_ = 0;
};

} // namespace sim
