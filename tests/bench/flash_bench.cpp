// How close a whole flash comes to what the line allows: a 1 MiB
// application flashed through the host's entry point into the in-process
// simulator, both directions of the line modelled at 115200 baud 8-N-1 on
// the virtual clock and the device's own work made instant, so that
// everything beyond the bytes' wire time and the sequence's fixed pauses is
// the flash's own overhead. Also the library's CPU time (the simulator's
// included, so an upper bound). With a recording file the flash is recorded
// (CFS_PELLARO_RECORD_FILE): its size and the CPU time it adds.
//
//   flash_bench [application KiB] [recording file]
#include "BenchFlash.h"
#include "platform/Platform.h"

#include <cstdio>
#include <filesystem>
#include <cstdlib>
#include <ctime>

int main(int argc, char** argv)
{
    uint32_t kib = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 1024;
    using bench::kBaud;
    using bench::kBitsPerByte;

    sim::DeviceConfig config = bench::Scanner(kib, bench::Link::Serial);
    bench::MakeDeviceInstant(config.timings);
    firmware::ContainerRecipe recipe = bench::Application(kib);
    testing_support::SimTool sim(config);
    bench::ModelHostLink(sim, bench::Link::Serial);
    std::wstring file = sim.WriteFile("bench.mocf", firmware::MakeContainer(recipe));
    std::wstring recording = argc > 2 ? platform::Utf8ToWide(argv[2]) : std::wstring();
    if (!recording.empty() &&
        sim.Set(CFS_PELLARO_RECORD_FILE, recording.data(), recording.size()) != CFS_RESULT_OK) {
        std::fprintf(stderr, "flash_bench: cannot record to %s\n", argv[2]);
        return 1;
    }

    uint64_t start = sim.Now();
    uint64_t sleptBefore = sim.time.clock.SleptMs();
    std::clock_t cpuStart = std::clock();
    uint32_t result = sim.Flash(file);
    double cpuMs = 1000.0 * static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    double simulatedMs = static_cast<double>(sim.Now() - start);

    const sim::FaultCounters& c = sim.device.Env().counters;
    double wireMs = (static_cast<double>(c.inputBytes) + c.outputBytes) * kBitsPerByte * 1000.0 / kBaud;
    double pausesMs = static_cast<double>(sim.time.clock.SleptMs() - sleptBefore);
    double boundMs = wireMs + pausesMs;
    bool areasEqual = sim.device.Cable().ApplicationArea().data == recipe.images[0];

    std::printf("application image       %u KiB\n", kib);
    std::printf("result                  %u (areas equal the file: %s)\n", result, areasEqual ? "yes" : "NO");
    std::printf("bytes on the line       host %llu, device %u\n", static_cast<unsigned long long>(c.inputBytes),
                c.outputBytes);
    std::printf("simulated flash time    %.3f s\n", simulatedMs / 1000);
    std::printf("lower bound             %.3f s (wire %.3f s + fixed pauses %.3f s)\n", boundMs / 1000,
                wireMs / 1000, pausesMs / 1000);
    std::printf("ratio                   %.4f (goal: at most 1.02)\n", simulatedMs / boundMs);
    std::printf("library CPU time        %.1f ms = %.3f %% of the simulated time (goal: under 1 %%)\n", cpuMs,
                100.0 * cpuMs / simulatedMs);
    if (!recording.empty()) {
        // The last lines reach the file when the recording ends.
        uint64_t none = 0;
        sim.Set(CFS_PELLARO_RECORD_FILE, &none, 4);
        std::printf("recording               %.2f MiB (%s)\n",
                    static_cast<double>(std::filesystem::file_size(argv[2])) / (1 << 20), argv[2]);
    }
    return result == 0 && areasEqual ? 0 : 1;
}
