// The device as a USB HID function: the same byte-stream device, framed in
// 64-byte reports. The host sends output reports (id 0xFD, length 1 to 62,
// payload); the device answers in input reports (id 2, length 0 to 56, "]X0",
// payload). The device is off the bus while it restarts and comes back as a
// new enumeration: with its bootloader's ids (usbVid/usbPid) in the
// bootloader, its application's (usbAppVid/usbAppPid) otherwise.
//
// Time is the caller's, as for the Device: the USB server behind a umockdev
// testbed passes the monotonic clock.
#pragma once

#include "sim/Device.h"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace sim {

constexpr size_t kUsbReportSize = 64;
using UsbReport = std::array<uint8_t, kUsbReportSize>;

struct UsbIds {
    int32_t vendorId = 0;
    int32_t productId = 0;
    int32_t interfaceNumber = 0;

    bool operator==(const UsbIds&) const = default;
};

class UsbFace {
public:
    explicit UsbFace(Device& device) : device_(device) {}

    // The ids the device enumerates with now.
    UsbIds Ids() const;
    // False while the device restarts (or stays silent): it is off the bus.
    bool Attached() const;
    // Grows by one each time the device comes back from a restart, so a new
    // value means a new enumeration.
    uint32_t Enumeration() const;

    // An output report from the host at `now`. A report that is not one
    // (another id, a length of 0 or above 62) is dropped: false.
    bool HostReport(const uint8_t* report, size_t size, Time now);
    // The device's output due by `now`, as input reports.
    std::vector<UsbReport> DeviceReports(Time now);
    // One input report of the output due by `now`, or none when nothing is due.
    std::optional<UsbReport> DeviceReport(Time now);

    Device& TheDevice() { return device_; }

private:
    Device& device_;
};

} // namespace sim
