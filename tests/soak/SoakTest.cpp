// A hundred flashes in one process against one simulated device that
// misbehaves now and then, on the virtual clock. Whatever the device does,
// each flash ends in bounded time with a host code; a flash without a fault
// brings the device up to date; and the process keeps nothing behind: its
// descriptors are back to what they were, its heap stays flat, and (in the
// sanitizer build) LeakSanitizer finds nothing unreachable.
#include "support/FlashRun.h"
#include "support/SimTool.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define TAMBRIX_SOAK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAMBRIX_SOAK_ASAN 1
#endif
#endif

#ifdef TAMBRIX_SOAK_ASAN
#include <sanitizer/lsan_interface.h>
// The sanitizer runtime's own count of the bytes handed out (GCC installs
// no header for it).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

namespace {

using testing_support::FirmwareFile;
using testing_support::SimTool;

constexpr uint8_t kScannerCompat = 0x41;
// Warm-up flashes before the heap is first measured: the simulator's flash
// areas and the library's buffers reach their sizes there.
constexpr int kWarmUp = 10;
// Heap growth allowed over the rest of the run; a leak of a buffer, a node
// or a log line per flash goes past it.
constexpr long long kHeapSlack = 16 * 1024;

long long HeapInUse()
{
#ifdef TAMBRIX_SOAK_ASAN
    return static_cast<long long>(__sanitizer_get_current_allocated_bytes());
#else
    struct mallinfo2 info = mallinfo2();
    return static_cast<long long>(info.uordblks + info.hblkhd);
#endif
}

int OpenDescriptors()
{
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

bool IsHostCode(uint32_t code)
{
    switch (code) {
    case FLASH_RESULT_OK: case FLASH_RESULT_FAILED: case FLASH_RESULT_CANCELLED: case FLASH_RESULT_BAD_FILE:
    case FLASH_RESULT_INCOMPATIBLE: case FLASH_RESULT_NO_SERVER_MODE: case FLASH_RESULT_OK_FROM_BOOT:
    case FLASH_RESULT_NO_LINK: case FLASH_RESULT_LOW_BATTERY: case FLASH_RESULT_NO_SCANNER:
    case FLASH_RESULT_NO_PORT_NAME:
        return true;
    default:
        return false;
    }
}

bool Flashed(uint32_t code)
{
    return code == FLASH_RESULT_OK || code == FLASH_RESULT_OK_FROM_BOOT;
}

// One device, one tool and the two versions of a file it is flashed with
// in turn, so that every clean flash changes what the device holds.
struct Soak {
    explicit Soak(const sim::DeviceConfig& config) : sim(config), rng(20260612)
    {
        files[0] = testing_support::StandardFile(kScannerCompat, {.appRevision = "SOAK-A"});
        files[1] = testing_support::StandardFile(kScannerCompat, {.appRevision = "SOAK-B"});
        paths[0] = sim.WriteFile("a.mocf", files[0].file);
        paths[1] = sim.WriteFile("b.mocf", files[1].file);
        notFirmware = sim.WriteFile("notes.txt", std::vector<uint8_t>(300, 'x'));
        sim.Set(CFS_FWCALLBACK, reinterpret_cast<void*>(&OnProgress), 8);
    }

    // The unit the file lands in: the corded scanner, or the one behind the cradle.
    const sim::FirmwareUnit& Target() { return *sim.device.TheScanner(); }
    uint32_t Pick(uint32_t low, uint32_t high) { return std::uniform_int_distribution<uint32_t>(low, high)(rng); }

    // The host cancels at its n-th progress report.
    static int32_t OnProgress(uint64_t context, int32_t, uint64_t, uint64_t)
    {
        auto* soak = reinterpret_cast<Soak*>(context);
        if (soak->cancelAtReport && --soak->cancelAtReport == 0)
            soak->sim.SetU64(CFS_CANCELIO, 1);
        return 0;
    }

    SimTool sim;
    std::mt19937 rng;
    FirmwareFile files[2];
    std::wstring paths[2];
    std::wstring notFirmware;
    uint32_t cancelAtReport = 0;
};

struct Fault {
    const char* what;
    // Arms the fault for the next flash; may choose the file instead.
    std::function<void(Soak&, std::wstring& file)> arm;
};

// Frame, reply, byte and echo faults count over the device's life: each
// is armed a little way past where the device's counters stand.
const Fault kFaults[] = {
    {"NAK", [](Soak& s, std::wstring&) {
         auto& f = s.sim.device.Env().faults;
         f.nakFrame = s.sim.device.Env().counters.commandFrames + s.Pick(1, 120);
         f.nakCount = s.Pick(1, 3);
     }},
    {"CAN", [](Soak& s, std::wstring&) {
         s.sim.device.Env().faults.canFrame = s.sim.device.Env().counters.commandFrames + s.Pick(1, 120);
     }},
    {"reply with a bad CRC", [](Soak& s, std::wstring&) {
         s.sim.device.Env().faults.badCrcReply = s.sim.device.Env().counters.replyFrames + s.Pick(1, 40);
     }},
    {"lost byte", [](Soak& s, std::wstring&) {
         s.sim.device.Env().faults.loseByte = s.sim.device.Env().counters.outputBytes + s.Pick(1, 1500);
     }},
    {"garbled echo", [](Soak& s, std::wstring&) {
         s.sim.device.Env().faults.garbleEcho = s.sim.device.Env().counters.menuReplies + s.Pick(1, 25);
     }},
    {"slow restart", [](Soak& s, std::wstring&) { s.sim.device.Env().faults.slowRestartMs = s.Pick(2000, 70000); }},
    {"silence after a reset", [](Soak& s, std::wstring&) {
         s.sim.device.Env().faults.silentAfterReset = true;
         s.sim.device.Env().faults.silentMs = s.Pick(1000, 90000);
     }},
    {"refused settings", [](Soak& s, std::wstring&) { s.sim.device.Env().faults.refuseSets = "*"; }},
    {"low battery", [](Soak& s, std::wstring&) { s.sim.device.Env().faults.lowBattery = true; }},
    {"not a firmware file", [](Soak& s, std::wstring& file) { file = s.notFirmware; }},
    {"host cancel", [](Soak& s, std::wstring&) { s.cancelAtReport = s.Pick(1, 80); }},
};

// Faults off, the host's cancel withdrawn, time for the device to settle;
// a wireless scanner left in its bootloader cannot link, so the user puts
// it into its cradle.
void Recover(Soak& s)
{
    s.sim.device.Env().faults = sim::Faults{};
    s.cancelAtReport = 0;
    s.sim.SetU64(CFS_CANCELIO, 0);
    s.sim.time.clock.Advance(120000);
    if (sim::Cradle* cradle = s.sim.device.TheCradle())
        cradle->SetScannerInCradle(true);
}

void RunSoak(const sim::DeviceConfig& config, int flashes)
{
    Soak s(config);
    const int descriptors = OpenDescriptors();
    long long heapAfterWarmUp = 0;
    int faulted = 0;
    std::map<uint32_t, int> codes;
    for (int i = 0; i < flashes; ++i) {
        const FirmwareFile& f = s.files[i % 2];
        std::wstring file = s.paths[i % 2];
        const Fault* fault = s.Pick(0, 1) ? &kFaults[s.Pick(0, std::size(kFaults) - 1)] : nullptr;
        if (fault) {
            fault->arm(s, file);
            ++faulted;
        }
        uint64_t start = s.sim.Now();
        uint32_t code = s.sim.tool->FlashScanner(reinterpret_cast<uint64_t>(&s), file.c_str());
        std::string what = "flash " + std::to_string(i) + (fault ? std::string(", ") + fault->what : ", no fault");
        ++codes[code];
        EXPECT_TRUE(IsHostCode(code)) << what << ": " << code;
        EXPECT_LT(s.sim.Now() - start, 20u * 60 * 1000) << what;
        if (!fault) {
            EXPECT_TRUE(Flashed(code)) << what << ": " << code << "\n" << s.sim.log->Text();
            EXPECT_TRUE(testing_support::HoldsFile(s.Target(), f)) << what;
        }
        if (fault || !Flashed(code))
            Recover(s);
        else if (sim::Cradle* cradle = s.sim.device.TheCradle())
            cradle->SetScannerInCradle(false);   // flashed: back into the user's hand
        // A fresh capture per flash: the log of a hundred flashes is not
        // what the heap is measured on.
        s.sim.log = std::make_unique<testing_support::CapturedLog>(s.sim.context->log);
        if (i + 1 == kWarmUp)
            heapAfterWarmUp = HeapInUse();
    }
    long long growth = HeapInUse() - heapAfterWarmUp;
    std::printf("%d flashes, %d with a fault; heap %+lld bytes after the warm-up; host codes:", flashes, faulted,
                growth);
    for (const auto& [code, count] : codes)
        std::printf(" %u x%d", code, count);
    std::printf("\n");
    EXPECT_GT(faulted, flashes / 4);
    EXPECT_EQ(OpenDescriptors(), descriptors);
    EXPECT_LT(growth, kHeapSlack) << "heap grew by " << growth << " bytes over " << flashes - kWarmUp << " flashes";
#ifdef TAMBRIX_SOAK_ASAN
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#endif
}

TEST(Soak, SixtyFlashesOfACordedScanner)
{
    RunSoak(sim::DeviceConfig::CordedScanner(), 60);
}

TEST(Soak, FortyFlashesOfAScannerBehindItsCradle)
{
    RunSoak(sim::DeviceConfig::CradleWithScanner(), 40);
}

} // namespace
