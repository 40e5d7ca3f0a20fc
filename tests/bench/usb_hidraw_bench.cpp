// A USB flash in real time through the library's Linux backend (udev,
// hidraw) against the simulator's USB face on a node that umockdev
// emulates: a 256 KiB application, once as the library does now and once
// with CFS_PELLARO_USB_FULL_REPORT_WAIT set (the receive flush waits for a
// report as long as any read, as before). The device and the tool are set
// up as the usb suite's whole flashes (restart 300 ms, erase 50 ms, reset
// reply after 1 s, USB cable delay 500 ms).
//
//   LD_PRELOAD=libumockdev-preload.so.0 usb_hidraw_bench [application KiB] [now|full|both]
#include "platform/Platform.h"
#include "sim/usb/HidrawServer.h"
#include "sim/usb/HidrawTestbed.h"
#include "support/FirmwareFiles.h"
#include "support/TestSupport.h"
#include "tambrix01/FlashTool.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr uint8_t kCompat = 0x41;

sim::DeviceConfig UsbScanner(uint32_t kib)
{
    sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
    config.unit.compat = {kCompat};
    config.unit.cbl = 4;
    config.unit.appCapacity = (kib + 64) << 10;
    config.timings.restartMs = 300;
    config.timings.eraseMs = 50;
    config.timings.resetDelayMs = 1000;
    return config;
}

// Seconds of one flash, or a negative value when it failed.
double Flash(sim::HidrawTestbed& testbed, uint32_t kib, const testing_support::FirmwareFile& f,
             const std::wstring& file, bool fullReportWait)
{
    sim::Device device(UsbScanner(kib));
    sim::HidrawServer server(testbed, device);
    if (!server.Start())
        return -1;
    CFlashTool* tool = CreateFlashTool();
    uint64_t usb = INTERFACE_USB_HID;
    tool->SetSetting(CFS_INTERFACE, &usb, sizeof usb);
    uint64_t cableDelay = 500;
    tool->SetSetting(CFS_PELLARO_CABLEDELAY_USB, &cableDelay, sizeof cableDelay);
    uint64_t full = fullReportWait ? 1 : 0;
    tool->SetSetting(CFS_PELLARO_USB_FULL_REPORT_WAIT, &full, sizeof full);
    std::wstring node = platform::Utf8ToWide(server.Devnode());
    tool->SetSetting(CFS_PORTNAME, node.data(), node.size());

    auto start = std::chrono::steady_clock::now();
    uint32_t result = tool->FlashScanner(0, file.c_str());
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    DestroyFlashTool(tool);
    server.Stop();
    bool flashed = result == 0 && device.Cable().ApplicationArea().data == f.app;
    std::printf("%-46s %8.1f s  (result %u, areas equal the file: %s)\n",
                fullReportWait ? "CFS_PELLARO_USB_FULL_REPORT_WAIT = 1 (before)" : "flush looks at what is held (now)",
                seconds, result, flashed ? "yes" : "NO");
    std::fflush(stdout);
    return flashed ? seconds : -1;
}

} // namespace

int main(int argc, char** argv)
{
    sim::HidrawTestbed testbed;
    if (!sim::HidrawTestbed::Active()) {
        std::fprintf(stderr, "run under umockdev's preload library (LD_PRELOAD=libumockdev-preload.so.0)\n");
        return 2;
    }
    uint32_t kib = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 256;
    std::string which = argc > 2 ? argv[2] : "both";
    testing_support::FirmwareFile f = testing_support::StandardFile(kCompat, {"", 0, "USB-APP-2", kib << 10});
    testing_support::TempDir dir;
    dir.Write("bench.mocf", testing_support::AsString(f.file));
    std::wstring file = dir.WideFile("bench.mocf");

    std::printf("application image %u KiB, real time over an emulated hidraw node\n", kib);
    bool ok = true;
    if (which != "full")
        ok = Flash(testbed, kib, f, file, false) > 0 && ok;
    if (which != "now")
        ok = Flash(testbed, kib, f, file, true) > 0 && ok;
    return ok ? 0 : 1;
}
