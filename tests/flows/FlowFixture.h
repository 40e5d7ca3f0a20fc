// The library's protocol layers against the device simulator: a flash engine
// (and its FlashIo) whose transport is the in-process simulator, all on one
// virtual clock, with the library's log captured.
#pragma once

#include "files/FirmwareBuilder.h"
#include "flash/KIRO_FlashTool.h"
#include "io/FlashIo.h"
#include "log/Log.h"
#include "platform/VirtualClock.h"
#include "sim/Device.h"
#include "sim/InProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace flows {

using Bytes = std::vector<uint8_t>;

constexpr const char* kScannerAddress = "0006660A1B2C";

// The engine and its log, released after the transport is torn down.
struct Engine {
    Engine() : log(Retain(new Log())), engine(Retain(new KIRO_FlashTool(log))), io(engine->io) {}
    ~Engine()
    {
        if (io->io && io->io->destroy)
            io->io->destroy(io->io);
        Release(engine);
        Release(log);
    }
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;
    Log* log;
    KIRO_FlashTool* engine;
    FlashIo* io;
};

class Flow {
public:
    explicit Flow(const sim::DeviceConfig& config) : device(config), captured(holder.log)
    {
        // TAMBRIX_SIM_TRACE=1 shows what the device does while a test runs.
        if (std::getenv("TAMBRIX_SIM_TRACE"))
            device.SetTrace([](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
        EXPECT_EQ(sim::InstallInProcess(io->io, device, time.clock), 0);
        EXPECT_EQ(io->OpenDevice(), 0);
    }

    ~Flow()
    {
        // TAMBRIX_FLOW_LOG=1 prints the library's log of a test.
        if (std::getenv("TAMBRIX_FLOW_LOG"))
            std::fprintf(stderr, "%s", captured.Text().c_str());
    }

    platform::ScopedVirtualClock time;
    sim::Device device;
    Engine holder;
    KIRO_FlashTool* engine = holder.engine;
    FlashIo* io = holder.io;
    testing_support::CapturedLog captured;

    uint64_t Now() const { return time.clock.Now(); }
    void Sleep(uint32_t ms) { time.clock.Advance(ms); }
    bool Logged(const std::string& text) const { return captured.Contains(text); }

    // The library's P_INFO read; 0 when the report was applied.
    int32_t Pinfo(const std::string& command = "P_INFO")
    {
        engine->ResetPinfo('?');
        return engine->Scanner_GetPinfo(command.c_str());
    }
    // The unit on the cable (or the scanner behind a transparent cradle) in
    // its bootloader, with the packet link switched on as the flow does.
    int32_t StartPacketLink() { return io->MNU_SetDecimal('Y', "BTLPRO", 1, '.'); }
    // Area open, update begin, erase, blocks, area end: the order of the
    // flash sequence; 0 or the first failure.
    int32_t WriteArea(int32_t area, const Bytes& image)
    {
        if (int32_t r = io->AreaOpen(area))
            return r;
        if (int32_t r = io->UpdateBegin())
            return r;
        if (int32_t r = io->EraseAll())
            return r;
        for (uint64_t at = 0; at < image.size(); at += io->packetSize) {
            uint64_t length = std::min<uint64_t>(io->packetSize, image.size() - at);
            if (int32_t r = io->WrBlock(at, image.data() + at, length))
                return r;
            if (int32_t r = io->ReplyCheckEnd())
                return r;
        }
        return io->AreaEnd();
    }
};

// A corded scanner that starts in its bootloader.
inline sim::DeviceConfig BootloaderScanner()
{
    sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
    config.unit.startInBootloader = true;
    return config;
}

// An image from the firmware builder (its 256-byte kiro header, type, sw_rev
// and size), with every control symbol of both protocols planted at the
// start of its body and at its very end, DLE also doubled, so that every
// frame carrying them needs stuffing.
inline Bytes FirmwareImage(char type, const std::string& swRev, uint32_t size)
{
    firmware::ImageRecipe recipe = type == 'B' ? firmware::DefaultBoot() : firmware::DefaultApp();
    recipe.swRev = swRev;
    recipe.size = size;
    Bytes image = firmware::MakeImage(recipe);
    static const uint8_t kControls[] = {0x10, 0x10, 0x02, 0x03, 0x05, 0x06, 0x15, 0x16, 0x18, 0x1C, 0x0D, '.', 0x10};
    if (image.size() >= firmware::kImageHeaderSize + 2 * sizeof kControls) {
        std::copy(std::begin(kControls), std::end(kControls), image.begin() + firmware::kImageHeaderSize);
        std::copy(std::begin(kControls), std::end(kControls), image.end() - sizeof kControls);
    }
    return image;
}

} // namespace flows
