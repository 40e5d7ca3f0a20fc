// Production lines flash many scanners from one PC: one tool object per
// device, each on its own thread, and a host thread that cancels a flash
// while it runs. Nothing of one tool may be touched by another; in the
// ThreadSanitizer build any unsynchronised access fails the run.
//
// Every flashing thread has its own simulated device on its own virtual
// clock, so the flashes run at full speed side by side.
#include "support/FlashRun.h"
#include "support/SerialRecord.h"
#include "support/SimTool.h"
#include "support/ThreadClock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <string>
#include <thread>
#include <vector>

namespace {

using testing_support::FirmwareFile;

constexpr uint8_t kScannerCompat = 0x41;

// One host's tool and its device, living on the thread that made it.
struct Station {
    Station(const sim::DeviceConfig& config, const std::wstring& logFile)
        : time(clock), device(config), transport(device, clock), tool(CreateFlashTool())
    {
        tool->context->engine->transportHooks = transport.Hooks();
        SetU64(CFS_INTERFACE, INTERFACE_RS232);
        std::wstring port = platform::Utf8ToWide(config.portName);
        tool->SetSetting(CFS_PORTNAME, const_cast<wchar_t*>(port.c_str()), port.size());
        WIN32_232_SETTINGS serial = testing_support::SerialRecord();
        tool->SetSetting(CFS_WIN32_232_SETTINGS, &serial, sizeof serial);
        // Each tool writes its own log file, as hosts do.
        LogFileSettings log{LOG_TO_FILE, logFile.c_str(), 2};
        tool->SetSetting(CFS_LOGFILE, &log, sizeof log);
    }
    ~Station() { DestroyFlashTool(tool); }
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    uint32_t SetU64(int32_t id, uint64_t value) { return tool->SetSetting(id, &value, sizeof value); }

    platform::VirtualClock clock;
    testing_support::ThreadTime time;
    sim::Device device;
    testing_support::SimTransport transport;
    CFlashTool* tool;
};

sim::DeviceConfig OnPort(sim::DeviceConfig config, const std::string& port)
{
    config.portName = port;
    return config;
}

// Several devices flashed at once, each by its own tool on its own thread:
// every one ends flashed with the file, and its version read back.
TEST(Concurrency, ToolsFlashTheirOwnDevicesAtOnce)
{
    testing_support::ScopedThreadClock clocks;
    testing_support::TempDir dir;
    FirmwareFile f = testing_support::StandardFile(kScannerCompat, {.appRevision = "PARALLEL", .appSize = 60000});
    std::wstring file = platform::Utf8ToWide(dir.Write("fw.mocf", std::string(f.file.begin(), f.file.end())));
    const std::vector<sim::DeviceConfig> configs = {
        OnPort(sim::DeviceConfig::CordedScanner(), "SIM0"),
        OnPort(sim::DeviceConfig::CradleWithScanner(), "SIM1"),
        OnPort(sim::DeviceConfig::CordedScanner(), "SIM2"),
    };
    struct Outcome {
        uint32_t flashed = 99;
        bool holdsFile = false;
        uint32_t version = 99;
        std::string appVersion;
    };
    std::vector<Outcome> outcomes(configs.size());
    std::latch start(static_cast<std::ptrdiff_t>(configs.size()));
    std::vector<std::thread> threads;
    for (size_t i = 0; i < configs.size(); ++i)
        threads.emplace_back([&, i] {
            Station station(configs[i], dir.WideFile("tool" + std::to_string(i) + ".log"));
            start.arrive_and_wait();
            Outcome& out = outcomes[i];
            out.flashed = station.tool->FlashScanner(i, file.c_str());
            out.holdsFile = testing_support::HoldsFile(*station.device.TheScanner(), f);
            FileVersionInfo info{};
            out.version = station.tool->GetFileVersion(file.c_str(), &info);
            out.appVersion = info.appVersion;
        });
    for (auto& thread : threads)
        thread.join();
    for (size_t i = 0; i < outcomes.size(); ++i) {
        EXPECT_EQ(outcomes[i].flashed, FLASH_RESULT_OK) << "device " << i;
        EXPECT_TRUE(outcomes[i].holdsFile) << "device " << i;
        EXPECT_EQ(outcomes[i].version, VERSION_RESULT_OK) << "device " << i;
        EXPECT_EQ(outcomes[i].appVersion, "PARALLEL") << "device " << i;
    }
}

// What the flashing thread and the host thread tell each other. Relaxed on
// purpose: they order nothing, so whatever the library shares between the
// two threads without its own synchronisation stays visible to TSan.
// Only the tool's end waits for the host (acquire/release): a host never
// destroys a tool that another of its threads still calls.
struct CancelRendezvous {
    std::atomic<bool> transferring{false};
    std::atomic<bool> cancelSent{false};
    std::atomic<bool> hostDone{false};
};

// Progress report during the application transfer: tells the host, then
// holds the flash (in real time, bounded) until the host has cancelled.
int32_t HoldTransfer(uint64_t context, int32_t, uint64_t position, uint64_t total)
{
    auto* meeting = reinterpret_cast<CancelRendezvous*>(context);
    if (total <= 0x10100 || position < 0x10100 + 4000 || meeting->transferring.load(std::memory_order_relaxed))
        return 0;
    meeting->transferring.store(true, std::memory_order_relaxed);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!meeting->cancelSent.load(std::memory_order_relaxed) && std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
    return 0;
}

// The host cancels from its own thread while the flash runs: the flash ends
// cancelled, and once the cancel is withdrawn the same tool flashes the
// device.
TEST(Concurrency, HostThreadCancelsARunningFlash)
{
    testing_support::ScopedThreadClock clocks;
    testing_support::TempDir dir;
    FirmwareFile f = testing_support::StandardFile(kScannerCompat, {.appRevision = "AFTER-CANCEL"});
    std::wstring file = platform::Utf8ToWide(dir.Write("fw.mocf", std::string(f.file.begin(), f.file.end())));
    CancelRendezvous meeting;
    std::atomic<CFlashTool*> tool{nullptr};
    uint32_t cancelled = 99, second = 99;
    bool holdsFile = false;

    std::thread flashing([&] {
        Station station(sim::DeviceConfig::CordedScanner(), dir.WideFile("tool.log"));
        station.tool->SetSetting(CFS_FWCALLBACK, reinterpret_cast<void*>(&HoldTransfer), 8);
        tool.store(station.tool, std::memory_order_release);
        cancelled = station.tool->FlashScanner(reinterpret_cast<uint64_t>(&meeting), file.c_str());
        station.SetU64(CFS_CANCELIO, 0);
        second = station.tool->FlashScanner(reinterpret_cast<uint64_t>(&meeting), file.c_str());
        holdsFile = testing_support::HoldsFile(station.device.Cable(), f);
        while (!meeting.hostDone.load(std::memory_order_acquire))
            std::this_thread::yield();
    });

    // The host's side: the tool exists before the flash starts; the cancel
    // goes in once the transfer is under way.
    CFlashTool* host = nullptr;
    while (!(host = tool.load(std::memory_order_acquire)))
        std::this_thread::yield();
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!meeting.transferring.load(std::memory_order_relaxed) && std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
    uint64_t cancel = 1;
    EXPECT_EQ(host->SetSetting(CFS_CANCELIO, &cancel, sizeof cancel), CFS_RESULT_OK);
    meeting.cancelSent.store(true, std::memory_order_relaxed);
    meeting.hostDone.store(true, std::memory_order_release);
    flashing.join();

    EXPECT_TRUE(meeting.transferring.load());
    EXPECT_EQ(cancelled, FLASH_RESULT_CANCELLED);
    // Cancelled half way, the device waits in its bootloader.
    EXPECT_TRUE(second == FLASH_RESULT_OK || second == FLASH_RESULT_OK_FROM_BOOT) << second;
    EXPECT_TRUE(holdsFile);
}

} // namespace
