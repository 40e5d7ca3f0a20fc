// How close a whole USB flash comes to what the reports allow: a 1 MiB
// application flashed through the host's entry point into the simulator's
// USB link on the virtual clock (the library's USB transport unchanged above
// it, one 64-byte report per millisecond each way), with the device's own
// work made instant. The lower bound is what was actually sent and received,
// one millisecond per report, plus the sequence's fixed pauses; everything
// beyond it is the flash's own waiting. Run once as the library does now
// and once with CFS_PELLARO_USB_FULL_REPORT_WAIT set (the flush waits for a
// report as long as any read).
//
//   usb_flash_bench [application KiB]
#include "BenchFlash.h"

#include <cstdio>
#include <cstdlib>

namespace {

struct Figures {
    uint32_t result = 0;
    bool areasEqual = false;
    double simulatedMs = 0;
    uint64_t hostReports = 0;
    uint64_t deviceReports = 0;
    double pausesMs = 0;
    double BoundMs() const { return static_cast<double>(hostReports + deviceReports) + pausesMs; }
};

Figures Run(uint32_t kib, bool fullReportWait)
{
    sim::DeviceConfig config = bench::Scanner(kib, bench::Link::Usb);
    bench::MakeDeviceInstant(config.timings);
    firmware::ContainerRecipe recipe = bench::Application(kib);
    testing_support::SimTool sim(config);
    bench::ModelHostLink(sim, bench::Link::Usb);
    sim.SetU64(CFS_PELLARO_USB_FULL_REPORT_WAIT, fullReportWait ? 1 : 0);
    std::wstring file = sim.WriteFile("bench.mocf", firmware::MakeContainer(recipe));

    Figures f;
    uint64_t start = sim.Now();
    uint64_t sleptBefore = sim.time.clock.SleptMs();
    f.result = sim.Flash(file);
    f.simulatedMs = static_cast<double>(sim.Now() - start);
    f.hostReports = sim.transport.usb.HostReports();
    f.deviceReports = sim.transport.usb.DeviceReports();
    f.pausesMs = static_cast<double>(sim.time.clock.SleptMs() - sleptBefore);
    f.areasEqual = sim.device.Cable().ApplicationArea().data == recipe.images[0];
    return f;
}

void Print(const char* title, const Figures& f)
{
    std::printf("%s\n", title);
    std::printf("  result                  %u (areas equal the file: %s)\n", f.result, f.areasEqual ? "yes" : "NO");
    std::printf("  reports                 host %llu, device %llu\n", static_cast<unsigned long long>(f.hostReports),
                static_cast<unsigned long long>(f.deviceReports));
    std::printf("  simulated flash time    %.3f s\n", f.simulatedMs / 1000);
    std::printf("  lower bound             %.3f s (reports %.3f s + fixed pauses %.3f s)\n", f.BoundMs() / 1000,
                static_cast<double>(f.hostReports + f.deviceReports) / 1000, f.pausesMs / 1000);
    std::printf("  ratio                   %.4f (goal: at most 1.10)\n", f.simulatedMs / f.BoundMs());
}

} // namespace

int main(int argc, char** argv)
{
    uint32_t kib = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 1024;
    std::printf("application image         %u KiB over the simulator's USB link\n", kib);
    Figures now = Run(kib, false);
    Print("flush looks at what the system holds (default):", now);
    Figures full = Run(kib, true);
    Print("CFS_PELLARO_USB_FULL_REPORT_WAIT = 1 (the flush waits 250 ms):", full);
    bool ok = now.result == 0 && now.areasEqual && full.result == 0 && full.areasEqual;
    return ok ? 0 : 1;
}
