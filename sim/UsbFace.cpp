#include "sim/UsbFace.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

constexpr uint8_t kOutputId = 0xFD;
constexpr uint8_t kInputId = 2;
constexpr size_t kMaxOutput = 62;
constexpr size_t kMaxInput = 56;

} // namespace

UsbIds UsbFace::Ids() const
{
    const UnitConfig& unit = device_.Config().unit;
    // A replaying device enumerates as its recorded host found it.
    if (device_.TheReplay() && device_.TheReplayBus().ids.vid >= 0) {
        const Replay::Ids& ids = device_.TheReplayBus().ids;
        return {ids.vid, ids.pid, ids.mi >= 0 ? ids.mi : unit.usbInterface};
    }
    if (device_.Cable().CurrentMode() == Mode::Bootloader)
        return {unit.usbVid, unit.usbPid, unit.usbInterface};
    return {unit.usbAppVid, unit.usbAppPid, unit.usbInterface};
}

bool UsbFace::Attached() const
{
    if (device_.TheReplay())
        return device_.TheReplayBus().attached;
    return device_.Cable().Running();
}

uint32_t UsbFace::Enumeration() const
{
    if (device_.TheReplay())
        return device_.TheReplayBus().enumeration;
    return device_.Cable().Restarts();
}

bool UsbFace::HostReport(const uint8_t* report, size_t size, Time now)
{
    if (size < 2 || report[0] != kOutputId || report[1] == 0 || report[1] > kMaxOutput || size < 2u + report[1]) {
        device_.Advance(now);
        device_.Env().Trace("usb", "dropped an output report that is not the host's");
        return false;
    }
    device_.Receive(report + 2, report[1], now, device_.DeviceLine());
    return true;
}

std::vector<UsbReport> UsbFace::DeviceReports(Time now)
{
    std::vector<UsbReport> reports;
    while (std::optional<UsbReport> report = DeviceReport(now))
        reports.push_back(*report);
    return reports;
}

std::optional<UsbReport> UsbFace::DeviceReport(Time now)
{
    uint8_t payload[kMaxInput];
    size_t n = device_.Read(payload, sizeof payload, now);
    if (n == 0)
        return std::nullopt;
    UsbReport report;
    report.fill(0);
    report[0] = kInputId;
    report[1] = static_cast<uint8_t>(n);
    report[2] = ']';
    report[3] = 'X';
    report[4] = '0';
    std::memcpy(report.data() + 5, payload, n);
    return report;
}

} // namespace sim
