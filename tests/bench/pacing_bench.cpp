// Where the time of a flash goes with the long-standing pauses and with the
// fast profile: 256 KiB and 1 MiB applications over the serial line model
// (115200 baud 8-N-1, both directions) and over the USB link model (one
// 64-byte report per millisecond each way), on the virtual clock, against
// the simulator's corded scanner with its default reaction times (a block
// write 2 ms, an erase 600 ms, a restart 1.5 s). The bound is the wire (or
// the reports) plus the device's own work: answer latencies, busy times and
// restarts. On USB also how long the boot-model mutex is held (NEWAP2 to the
// first bootloader parameter command, the device's return) and what that
// costs the last of 16 scanners of one model that enter their bootloaders
// one after another.
//
//   pacing_bench [KiB ...]      (default: 256 1024)
#include "BenchFlash.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using bench::kBaud;
using bench::kBitsPerByte;

struct Figures {
    uint32_t result = 0;
    bool areasEqual = false;
    uint64_t fellBack = 0;
    double ms = 0;
    double linkMs = 0;     // wire or reports
    double workMs = 0;     // the device's own time
    double mutexMs = 0;    // USB: NEWAP2 to the device's return in its bootloader
    double BoundMs() const { return linkMs + workMs; }
};

Figures Run(uint32_t kib, bool usb, bool fast)
{
    bench::Link link = usb ? bench::Link::Usb : bench::Link::Serial;
    firmware::ContainerRecipe recipe = bench::Application(kib);
    testing_support::SimTool sim(bench::Scanner(kib, link));
    bench::ModelHostLink(sim, link);
    sim.SetU64(CFS_PELLARO_FAST, fast ? 1 : 0);
    std::wstring file = sim.WriteFile("bench.mocf", firmware::MakeContainer(recipe));

    uint64_t newap2 = 0, back = 0;
    sim.device.SetTrace([&](const std::string& line) {
        if (!newap2 && line.find("NEWAP2") != std::string::npos)
            newap2 = sim.Now();
        if (newap2 && !back && line.find("menu Y BTL") != std::string::npos)
            back = sim.Now();
    });

    Figures f;
    uint64_t start = sim.Now();
    f.result = sim.Flash(file);
    f.ms = static_cast<double>(sim.Now() - start);
    sim.tool->GetSetting(CFS_TAMBRIX_FAST_FALLBACK, &f.fellBack, sizeof f.fellBack);
    const sim::FaultCounters& c = sim.device.Env().counters;
    f.linkMs = usb ? static_cast<double>(sim.transport.usb.HostReports() + sim.transport.usb.DeviceReports())
                   : (static_cast<double>(c.inputBytes) + c.outputBytes) * kBitsPerByte * 1000.0 / kBaud;
    f.workMs = static_cast<double>(c.workMs);
    f.mutexMs = back > newap2 ? static_cast<double>(back - newap2) : 0;
    f.areasEqual = sim.device.Cable().ApplicationArea().data == recipe.images[0];
    return f;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<uint32_t> sizes;
    for (int i = 1; i < argc; ++i)
        sizes.push_back(static_cast<uint32_t>(std::strtoul(argv[i], nullptr, 10)));
    if (sizes.empty())
        sizes = {256, 1024};

    bool ok = true;
    std::printf("| application | link | pauses | time s | bound s (link + device) | ratio | goal |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    std::vector<std::pair<Figures, Figures>> usbRuns;
    for (uint32_t kib : sizes) {
        for (bool usb : {false, true}) {
            Figures text = Run(kib, usb, false);
            Figures fast = Run(kib, usb, true);
            for (const Figures* f : {&text, &fast}) {
                bool isFast = f == &fast;
                ok = ok && f->result == 0 && f->areasEqual && f->fellBack == 0;
                std::printf("| %u KiB | %s | %s | %.1f | %.1f (%.1f + %.1f) | %.3f | %s |\n", kib,
                            usb ? "USB" : "serial", isFast ? "fast" : "text", f->ms / 1000, f->BoundMs() / 1000,
                            f->linkMs / 1000, f->workMs / 1000, f->ms / f->BoundMs(),
                            !isFast ? "-" : usb ? "<= 1.25" : "<= 1.15");
                if (f->result != 0 || !f->areasEqual)
                    std::printf("  FAILED: result %u, areas equal: %s\n", f->result, f->areasEqual ? "yes" : "no");
            }
            if (usb)
                usbRuns.emplace_back(text, fast);
        }
    }
    if (!usbRuns.empty()) {
        const auto& [text, fast] = usbRuns.front();
        std::printf("\nUSB boot-model mutex, held from NEWAP2 to the device's return in its bootloader:\n");
        std::printf("  text %.1f s, fast %.1f s; the 16th of 16 scanners of one model waits 15 x that before "
                    "its own boot entry: text %.0f s, fast %.0f s\n",
                    text.mutexMs / 1000, fast.mutexMs / 1000, 15 * text.mutexMs / 1000, 15 * fast.mutexMs / 1000);
    }
    return ok ? 0 : 1;
}
