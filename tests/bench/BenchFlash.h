// What the flash benchmarks share: the corded scanner with room for the
// application, the file that holds it, and the host's side of the link
// model (the serial line's wire time, or USB reports).
#pragma once

#include "files/FirmwareBuilder.h"
#include "support/SimTool.h"

#include <cstdint>

namespace bench {

constexpr uint32_t kBaud = 115200;
constexpr double kBitsPerByte = 10;   // start, 8 data, stop

enum class Link { Serial, Usb };

// Over serial the line is modelled at 115200 8-N-1; over USB there is no
// line behind the reports.
inline sim::DeviceConfig Scanner(uint32_t appKib, Link link)
{
    sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
    config.unit.appCapacity = (appKib + 64) << 10;
    if (link == Link::Usb) {
        config.unit.cbl = 4;
        config.timings.lineSpeed = false;
    } else {
        config.line = sim::LineSettings{kBaud, 8, 'N', 1};
        config.timings.lineSpeed = true;
    }
    return config;
}

// So that only the flash's own waiting is left beyond the link's time.
inline void MakeDeviceInstant(sim::Timings& t)
{
    t.menuReplyMs = t.wakeReplyMs = t.ackMs = t.commandMs = t.writeMs = t.eraseMs = 0;
    t.newap2DelayMs = t.resetDelayMs = 0;
}

inline firmware::ContainerRecipe Application(uint32_t kib)
{
    firmware::ImageRecipe app = firmware::DefaultApp();
    app.compat = {0x41};
    app.size = kib << 10;
    firmware::ContainerRecipe recipe;
    recipe.tableIds = {0x41};
    recipe.images = {firmware::MakeImage(app)};
    return recipe;
}

inline void ModelHostLink(testing_support::SimTool& sim, Link link)
{
    if (link == Link::Usb) {
        sim.transport.usbReports = true;
        sim.SetU64(CFS_INTERFACE, INTERFACE_USB_HID);
    } else {
        sim.transport.hostWireTime = true;
    }
}

} // namespace bench
