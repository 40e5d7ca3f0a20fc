// The library's P_INFO read against the simulated devices in every mode:
// a scanner in its application or bootloader, on serial or USB, a cradle
// with and without its link, a scanner in the cradle, and a scanner behind
// the cradle reached with a routed command.
#include "flows/FlowFixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace {

using flows::Flow;
using flows::kScannerAddress;

struct Expected {
    int state = 'A';
    int cable = 'R';
    int deviceType = 1;
    int hubConnections = -1;
    int btMode = 0;
    int inCradle = 0;
    int pairMode = 0;
    uint32_t compat = 0x41;
    uint32_t incompat = 0;
    const char* scannerAddress = "";
    const char* pairAddress = "";
    uint8_t bluetooth = 0;
};

TEST(PinfoFlow, ReportOfEveryKindOfDevice)
{
    struct Case {
        const char* what;
        std::function<void(sim::DeviceConfig&)> configure;
        std::string command;
        Expected expected;
    };
    auto cradle = [](sim::DeviceConfig& config) { config = sim::DeviceConfig::CradleWithScanner(); };
    const std::string routed = std::string(":#") + kScannerAddress + ":P_INFO";
    const Case cases[] = {
        {"scanner application on serial", [](sim::DeviceConfig&) {}, "P_INFO", {}},
        {"scanner bootloader", [](sim::DeviceConfig& c) { c.unit.startInBootloader = true; }, "P_INFO",
         {.state = 'B'}},
        {"scanner on USB", [](sim::DeviceConfig& c) { c.unit.cbl = 4; }, "P_INFO", {.cable = 'U'}},
        {"scanner refusing its own ids", [](sim::DeviceConfig& c) { c.faults.incompatible = true; }, "P_INFO",
         {.incompat = 0x41}},
        {"cradle linked in server mode", cradle, "P_INFO",
         {.deviceType = 2, .hubConnections = 1, .btMode = 1, .compat = 0x61, .scannerAddress = kScannerAddress}},
        {"cradle in its bootloader",
         [&](sim::DeviceConfig& c) {
             cradle(c);
             c.unit.startInBootloader = true;
         },
         "P_INFO", {.state = 'B', .deviceType = 2, .compat = 0x61}},
        {"cradle without link",
         [&](sim::DeviceConfig& c) {
             cradle(c);
             c.linked = false;
         },
         "P_INFO", {.deviceType = 2, .hubConnections = 0, .btMode = 1, .compat = 0x61}},
        {"cradle in client mode",
         [&](sim::DeviceConfig& c) {
             cradle(c);
             c.serverMode = false;
             c.linked = false;
         },
         "P_INFO", {.deviceType = 2, .hubConnections = 0, .btMode = 2, .compat = 0x61}},
        {"scanner sitting in the cradle",
         [&](sim::DeviceConfig& c) {
             cradle(c);
             c.scannerInCradle = true;
         },
         "P_INFO",
         {.deviceType = 2, .hubConnections = 1, .btMode = 1, .inCradle = 1, .pairMode = 'A', .compat = 0x61,
          .scannerAddress = kScannerAddress, .pairAddress = kScannerAddress}},
        {"scanner in its bootloader in the cradle",
         [&](sim::DeviceConfig& c) {
             cradle(c);
             c.scannerInCradle = true;
             c.scanner.startInBootloader = true;
         },
         "P_INFO",
         {.deviceType = 2, .hubConnections = 0, .btMode = 1, .inCradle = 1, .pairMode = 'B', .compat = 0x61,
          .pairAddress = kScannerAddress}},
        // Over the radio the scanner reports cable 32: the engine's own cable
        // letter stands for it and the link is marked as Bluetooth.
        {"scanner behind the cradle", cradle, routed, {.cable = 'U', .bluetooth = 1}},
    };
    for (const Case& c : cases) {
        sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
        c.configure(config);
        Flow flow(config);
        ASSERT_EQ(flow.Pinfo(c.command), 0) << c.what;
        const Pinfo& p = flow.engine->pinfo;
        const Expected& e = c.expected;
        EXPECT_EQ(p.scannerstate, e.state) << c.what;
        EXPECT_EQ(p.physical_cable_type, e.cable) << c.what;
        EXPECT_EQ(p.physical_device_type, e.deviceType) << c.what;
        EXPECT_EQ(p.hub_connections, e.hubConnections) << c.what;
        EXPECT_EQ(p.bt_mode, e.btMode) << c.what;
        EXPECT_EQ(p.scanner_in_cradle_state, e.inCradle) << c.what;
        EXPECT_EQ(p.pair_mode, e.pairMode) << c.what;
        EXPECT_EQ(p.Compatable[0], e.compat) << c.what;
        EXPECT_EQ(p.Compatable[1], 0u) << c.what;
        EXPECT_EQ(p.inCompatable[0], e.incompat) << c.what;
        EXPECT_STREQ(p.scanner_bt_address, e.scannerAddress) << c.what;
        EXPECT_STREQ(p.pair_address, e.pairAddress) << c.what;
        EXPECT_EQ(flow.engine->m_BlueToothMode, e.bluetooth) << c.what;
        const sim::UnitConfig& unit = c.command == "P_INFO" ? config.unit : config.scanner;
        EXPECT_EQ(p.boot_m_name, unit.bootModelName) << c.what;
        EXPECT_EQ(p.flash, 1024) << c.what;
        EXPECT_EQ(p.hw_rev, 1) << c.what;
        EXPECT_EQ(flow.engine->usbBootIds.vendorId, unit.usbVid) << c.what;
        EXPECT_EQ(flow.engine->usbBootIds.productId, unit.usbPid) << c.what;
        EXPECT_FALSE(flow.Logged("pinfo parse fail")) << c.what;
    }
}

TEST(PinfoFlow, RoutedReportWaitsForTheRadioAndFailsWithoutALink)
{
    const std::string routed = std::string(":#") + kScannerAddress + ":P_INFO";
    {
        Flow flow(sim::DeviceConfig::CradleWithScanner());
        uint64_t start = flow.Now();
        ASSERT_EQ(flow.Pinfo(routed), 0);
        EXPECT_GE(flow.Now() - start, 2000u) << "the answer is read only after the routing pause";
    }
    {
        sim::DeviceConfig config = sim::DeviceConfig::CradleWithScanner();
        config.linked = false;
        Flow flow(config);
        EXPECT_EQ(flow.Pinfo(routed), -1);
        EXPECT_TRUE(flow.Logged("Error, Get ASCII_NAK here."));
        EXPECT_FALSE(flow.Logged("pinfo parse fail"));
    }
    {
        Flow flow(sim::DeviceConfig::CradleWithScanner());
        EXPECT_EQ(flow.Pinfo(":#0006660A1B2D:P_INFO"), -1) << "another scanner's address";
    }
}

TEST(PinfoFlow, BatteryQueryThroughTheCradle)
{
    struct Case {
        uint32_t battery;
        const char* value;
    } cases[] = {{80, "0"}, {15, "1"}};
    for (const Case& c : cases) {
        sim::DeviceConfig config = sim::DeviceConfig::CradleWithScanner();
        config.scanner.battery = c.battery;
        Flow flow(config);
        uint8_t value[32] = {};
        EXPECT_EQ(flow.io->MNU_Query('M', ":*:BT_FLS", 9, nullptr, value, sizeof value), 1) << c.battery;
        EXPECT_STREQ(reinterpret_cast<char*>(value), c.value) << c.battery;
    }
}

} // namespace
