// A scanner flashed through its cradle with the library's own commands: the
// scanner sent into its bootloader by a routed command, the cradle connected
// to it by address, transparent mode, bootloader and application images over
// the packet link to the scanner's bootloader, the "OK" on reconnection,
// "+++" and server mode again.
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

// The boot entry's parameter exchange and the packet link, as the flash
// does it before each image.
int32_t EnterPacketLink(Flow& flow)
{
    FlashIo& io = *flow.io;
    const char* written[] = {"BTLTOR", "BTLTOC", "BTLRTY"};
    const int32_t values[] = {5000, 2000, 3};
    for (int i = 0; i < 3; ++i)
        if (int32_t r = io.MNU_SetDecimal('Y', written[i], values[i], '!'))
            return r;
    for (const char* name : {"BTLMAX", "BTLTOC", "BTLTOR", "BTLRTY"})
        if (int32_t r = io.MNU_GetDecimal(name, nullptr))
            return r;
    if (int32_t r = flow.StartPacketLink())
        return r;
    if (int32_t r = io.GetVersion())
        return r;
    return io.bootloaderVersion == 23 ? 0 : -1;
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

    // Bootloader first, as the flash does: after its hard reset the scanner
    // restarts into the new bootloader, and the cradle, still transparent,
    // announces the link coming back with three bytes.
    ASSERT_EQ(EnterPacketLink(flow), 0);
    Bytes boot = FirmwareImage('B', "SBOOT-2", 1256);
    Bytes bootSent(boot.begin() + 256, boot.end());
    ASSERT_EQ(flow.WriteArea(0, bootSent), 0);
    EXPECT_EQ(scanner.BootArea().data, bootSent);
    io.Reset(1);
    flow.Sleep(500 + 5000);
    uint8_t ok[3] = {};
    int32_t got = 0;
    for (int tries = 0; tries < 20 && got != 3; ++tries) {
        std::memset(ok, 0, sizeof ok);
        got = io.io->readBytes(io.io, ok, 3, static_cast<uint32_t>(io.replyTimeoutMs));
        if (got != 3)
            flow.Sleep(1000);
    }
    ASSERT_EQ(got, 3);
    EXPECT_EQ(std::memcmp(ok, "OK", 2), 0);
    ASSERT_EQ(flow.Pinfo(), 0);
    EXPECT_EQ(flow.engine->pinfo.physical_device_type, 1) << "still transparent: the scanner answers";
    EXPECT_EQ(flow.engine->pinfo.scannerstate, 'B');

    // Then the application, into the new bootloader; the soft reset brings
    // the scanner up in it while the host leaves transparent mode.
    ASSERT_EQ(EnterPacketLink(flow), 0);
    Bytes app = FirmwareImage('A', "SCAN-9", 1456);
    ASSERT_EQ(flow.WriteArea(1, app), 0);
    EXPECT_EQ(scanner.ApplicationArea().data, app);
    EXPECT_TRUE(cradle.ApplicationArea().data.empty());
    EXPECT_TRUE(cradle.BootArea().data.empty());
    io.Reset(2);
    flow.Sleep(500);

    // "+++" leaves transparent mode as the flow sends it: after a quiet
    // line, in one write, and a quiet line after it.
    flow.Sleep(600);
    io.FlushRx(0);
    io.WriteBytes(reinterpret_cast<const uint8_t*>("+++"), 3);
    EXPECT_EQ(io.FlushTx(), 0);
    flow.Sleep(600);
    EXPECT_FALSE(cradle.Transparent());
    flow.Sleep(2000);
    ASSERT_EQ(flow.Pinfo(), 0);
    EXPECT_EQ(flow.engine->pinfo.physical_device_type, 2);
    EXPECT_EQ(scanner.CurrentMode(), sim::Mode::Application);

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
    EXPECT_EQ(EnterPacketLink(flow), 0);
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
