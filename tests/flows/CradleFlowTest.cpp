// A scanner flashed through its cradle with the library's own commands: the
// scanner sent into its bootloader by a routed command, the cradle connected
// to it by address, transparent mode, the packet link to the scanner's
// bootloader, the "OK" on reconnection, "+++" and server mode again.
#include "flows/FlowFixture.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using flows::Flow;
using flows::kScannerAddress;
using flows::Bytes;
using flows::FirmwareImage;

// P_INFO from whoever answers, polled as the flow does: a pause, then a
// read, until `done` holds or the time runs out.
template <typename Done>
bool PollPinfo(Flow& flow, uint32_t limitMs, Done done)
{
    uint64_t start = flow.Now();
    while (flow.Now() - start < limitMs) {
        flow.Sleep(1000);
        if (flow.Pinfo() == 0 && done(flow.engine->pinfo))
            return true;
    }
    return false;
}

TEST(CradleFlow, ScannerFlashedThroughTheTransparentCradle)
{
    Flow flow(sim::DeviceConfig::CradleWithScanner());
    sim::Cradle& cradle = *flow.device.TheCradle();
    sim::Scanner& scanner = *cradle.LinkedScanner();
    FlashIo& io = *flow.io;

    // The scanner goes into its bootloader, which drops the link.
    io.MNU_Query('Y', ":*:NEWAP2", 9, nullptr, nullptr, 0);
    EXPECT_FALSE(flow.Logged("MNU CMD Timeout"));
    flow.Sleep(2000);
    ASSERT_EQ(flow.Pinfo(), 0);
    EXPECT_EQ(flow.engine->pinfo.hub_connections, 0);
    EXPECT_EQ(scanner.CurrentMode(), sim::Mode::Bootloader);

    // The cradle connects to the scanner's bootloader by its address.
    ASSERT_EQ(io.MNU_Command('M', "BASADR", 6, kScannerAddress, 0, '.'), 0);
    ASSERT_EQ(io.MNU_SetDecimal('M', "BASDNG", 0, '!'), 0);
    flow.Sleep(2000);
    ASSERT_TRUE(PollPinfo(flow, 25000, [](const Pinfo& p) { return p.hub_connections != 0; }));
    EXPECT_EQ(flow.engine->pinfo.bt_mode, 2);

    // Transparent: the scanner's bootloader answers P_INFO through the cradle.
    ASSERT_EQ(io.MNU_SetDecimal('M', "BASPAS", 1, '.'), 0);
    ASSERT_TRUE(PollPinfo(flow, 10000, [](const Pinfo& p) {
        return p.physical_device_type == 1 && p.scannerstate == 'B';
    }));

    // The bootloader's parameters and the packet link, through the cradle.
    EXPECT_EQ(io.MNU_SetDecimal('Y', "BTLTOR", 5000, '!'), 0);
    EXPECT_EQ(io.MNU_SetDecimal('Y', "BTLTOC", 2000, '!'), 0);
    EXPECT_EQ(io.MNU_SetDecimal('Y', "BTLRTY", 3, '!'), 0);
    int32_t btlMax = 0;
    EXPECT_EQ(io.MNU_GetDecimal("BTLMAX", &btlMax), 0);
    EXPECT_EQ(btlMax, 256);
    ASSERT_EQ(flow.StartPacketLink(), 0);
    ASSERT_EQ(io.GetVersion(), 0);
    EXPECT_EQ(io.bootloaderVersion, 23);

    Bytes image = FirmwareImage('A', "SCAN-9", 1456);
    ASSERT_EQ(flow.WriteArea(1, image), 0);
    EXPECT_EQ(scanner.ApplicationArea().data, image);
    EXPECT_TRUE(cradle.ApplicationArea().data.empty());
    EXPECT_EQ(io.Reset(2), 0);

    // The scanner restarts into its new application; the cradle, still
    // transparent, announces the link coming back with three bytes.
    uint8_t ok[3] = {};
    int32_t got = 0;
    for (int tries = 0; tries < 20 && got != 3; ++tries)
        got = io.io->readBytes(io.io, ok, 3, static_cast<uint32_t>(io.replyTimeoutMs));
    ASSERT_EQ(got, 3);
    EXPECT_EQ(std::memcmp(ok, "OK", 2), 0);
    EXPECT_EQ(scanner.CurrentMode(), sim::Mode::Application);
    ASSERT_EQ(flow.Pinfo(), 0);
    EXPECT_EQ(flow.engine->pinfo.physical_device_type, 1) << "still transparent: the scanner answers";
    EXPECT_STREQ(FindPinfoItem(flow.engine->pinfo, "app-rev"), "SCAN-9");

    // "+++" leaves transparent mode as the flow sends it: after a quiet
    // line, in one write, and a quiet line after it.
    flow.Sleep(600);
    io.FlushRx(0);
    io.WriteBytes(reinterpret_cast<const uint8_t*>("+++"), 3);
    EXPECT_EQ(io.FlushTx(), 0);
    flow.Sleep(600);
    EXPECT_FALSE(cradle.Transparent());
    ASSERT_EQ(flow.Pinfo(), 0);
    EXPECT_EQ(flow.engine->pinfo.physical_device_type, 2);

    // Server mode again; the scanner's application links by itself and
    // answers a routed P_INFO.
    ASSERT_EQ(io.MNU_SetDecimal('M', "BASDNG", 1, '!'), 0);
    ASSERT_TRUE(PollPinfo(flow, 25000, [](const Pinfo& p) { return p.hub_connections == 1; }));
    EXPECT_EQ(flow.engine->pinfo.bt_mode, 1);
    EXPECT_STREQ(flow.engine->pinfo.scanner_bt_address, kScannerAddress);
    ASSERT_EQ(flow.Pinfo(std::string(":#") + kScannerAddress + ":P_INFO"), 0);
    EXPECT_EQ(flow.engine->pinfo.scannerstate, 'A');
    EXPECT_STREQ(FindPinfoItem(flow.engine->pinfo, "app-rev"), "SCAN-9");
}

// The one-wire path: a scanner in the cradle already in its bootloader has
// no link; the cradle connects to it and goes transparent.
TEST(CradleFlow, ScannerInItsBootloaderInTheCradle)
{
    sim::DeviceConfig config = sim::DeviceConfig::CradleWithScanner();
    config.scannerInCradle = true;
    config.scanner.startInBootloader = true;
    Flow flow(config);
    FlashIo& io = *flow.io;
    ASSERT_EQ(flow.Pinfo(), 0);
    EXPECT_EQ(flow.engine->pinfo.pair_mode, 'B');
    ASSERT_EQ(io.MNU_Command('M', "BASADR", 6, flow.engine->pinfo.pair_address, 0, '.'), 0);
    ASSERT_EQ(io.MNU_SetDecimal('M', "BASDNG", 0, '!'), 0);
    flow.Sleep(2000);
    ASSERT_TRUE(PollPinfo(flow, 25000, [](const Pinfo& p) { return p.hub_connections != 0; }));
    ASSERT_EQ(io.MNU_SetDecimal('M', "BASPAS", 1, '.'), 0);
    ASSERT_TRUE(PollPinfo(flow, 10000, [](const Pinfo& p) {
        return p.physical_device_type == 1 && p.scannerstate == 'B';
    }));
    ASSERT_EQ(flow.StartPacketLink(), 0);
    EXPECT_EQ(io.GetVersion(), 0);
}

TEST(CradleFlow, TransparentModeNeedsALink)
{
    sim::DeviceConfig config = sim::DeviceConfig::CradleWithScanner();
    config.linked = false;
    Flow flow(config);
    EXPECT_EQ(flow.io->MNU_SetDecimal('M', "BASPAS", 1, '.'), -1);
    EXPECT_TRUE(flow.Logged("Error, Get ASCII_NAK here."));
    ASSERT_EQ(flow.Pinfo(), 0);
    EXPECT_EQ(flow.engine->pinfo.physical_device_type, 2);
}

} // namespace
