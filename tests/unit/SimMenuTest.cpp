// Menu commands of the simulated devices: echo, value, status, terminator;
// the P_INFO report in every mode; wake-up, low power and NEWAP2.
#include "support/SimHost.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using testing_support::CheckReport;
using testing_support::Report;
using testing_support::SimHost;

sim::DeviceConfig InBootloader()
{
    sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
    config.unit.startInBootloader = true;
    return config;
}

// The report of a P_INFO reply: what follows the echo, up to the status.
Report ReportOf(const std::string& reply)
{
    if (reply.size() < 8 || reply.compare(0, 6, "P_INFO") != 0 || reply[reply.size() - 2] != '\x06')
        return Report{false, "not an accepted P_INFO reply: " + reply, {}};
    return CheckReport(reply.substr(6, reply.size() - 8));
}

TEST(SimMenu, BootloaderQueriesAndSets)
{
    struct Case {
        char command;
        const char* text;
        char terminator;
        const char* reply;
    };
    const Case cases[] = {
        {'Y', "BTLMAX?", '.', "BTLMAX256\x06."},
        {'Y', "BTLTOC?", '.', "BTLTOC2000\x06."},
        {'Y', "BTLTOR?", '.', "BTLTOR5000\x06."},
        {'Y', "BTLRTY?", '.', "BTLRTY3\x06."},
        {'Y', "BTLTOR7000", '!', "BTLTOR7000\x06!"},
        {'Y', "BTLTOR?", '.', "BTLTOR7000\x06."},
        {'Y', "BTLMAX128", '!', "BTLMAX128\x06!"},
        {'Y', "BTLMAX?", '.', "BTLMAX128\x06."},
        {'Y', "BTLRTY6x", '!', "BTLRTY\x15!"},
        {'Y', "BTLMAX0", '!', "BTLMAX\x15!"},
        {'Y', "BTLMAX99999", '!', "BTLMAX\x15!"},
        {'Y', "BTLPRO7", '.', "BTLPRO\x15."},
        {'M', "BT_FLS", '.', "BT_FLS\x05."},
        {'M', "FOOBAR", '.', "FOOBAR\x05."},
        {'M', "VISMN40", '.', "VISMN40\x06."},
        {'Y', "BTLPRO1", '.', "BTLPRO1\x06."},
        // Still understood between frames once the packet link is on.
        {'Y', "BTLRTY4", '!', "BTLRTY4\x06!"},
    };
    SimHost host(InBootloader());
    for (const Case& c : cases)
        EXPECT_EQ(host.Menu(c.command, c.text, c.terminator), c.reply) << c.text;
    EXPECT_EQ(host.device.Cable().Parameters().retryMax, 4);
    // The version reply carries the BTLMAX in force as the packet size.
    testing_support::Transaction version = host.Transact(1);
    ASSERT_EQ(version.reply.payload.size(), 8u);
    EXPECT_EQ(version.reply.payload[4], 128);
}

TEST(SimMenu, ApplicationCommands)
{
    struct Case {
        char command;
        const char* text;
        char terminator;
        const char* reply;
    };
    const Case cases[] = {
        {'M', "VISMN42", '.', "VISMN42\x06."},
        {'M', "VISMN40", '.', "VISMN40\x06."},
        {'M', "PWRMOD?", '.', "PWRMOD\x05."},
        {'M', "BT_FLS", '.', "BT_FLS0\x06."},
        {'Y', "BTLMAX?", '.', "BTLMAX\x05."},
        {'M', ":*:BT_FLS", '.', "BT_FLS\x05."},
        {'M', "XY", '!', "XY\x05!"},
    };
    SimHost host(sim::DeviceConfig::CordedScanner());
    for (const Case& c : cases)
        EXPECT_EQ(host.Menu(c.command, c.text, c.terminator), c.reply) << c.text;
    EXPECT_EQ(host.device.Cable().LastVismn(), "0");
}

TEST(SimMenu, NoiseBeforeACommandAndARestartedCommandAreHandled)
{
    SimHost host(sim::DeviceConfig::CordedScanner());
    // Line noise, then a command broken off by a new SYN.
    host.Send("\x01\xff  junk\x16M\rVISM");
    EXPECT_EQ(host.Menu('M', "VISMN41"), "VISMN41\x06.");
}

TEST(SimMenu, PinfoInEveryMode)
{
    struct Case {
        const char* what;
        std::function<sim::DeviceConfig()> config;
        std::function<std::string(SimHost&)> ask;
        std::map<std::string, std::string> expected;
    };
    auto plain = [](SimHost& host) { return host.Menu('M', "P_INFO"); };
    auto transparent = [](SimHost& host) {
        host.Menu('Y', ":*:NEWAP2");
        host.Sleep(2000);
        host.Menu('M', "BASADR0006660A1B2C");
        host.Menu('M', "BASDNG0", '!');
        host.Sleep(5000);
        host.Menu('M', "BASPAS1");
        return host.Menu('M', "P_INFO");
    };
    const Case cases[] = {
        {"scanner application", sim::DeviceConfig::CordedScanner, plain,
         {{"fmt", "1"}, {"mode", "app"}, {"cbl", "2"}, {"device-type", "1"}, {"boot-compat", "0x41"},
          {"boot-m_name", "SIMBOOT1"}, {"usbvid", "0xf0f0"}, {"usbpid", "0x0b01"}, {"hw-rev", "1"},
          {"flash", "1024"}, {"hub-connections", "<absent>"}}},
        {"scanner bootloader", InBootloader, plain,
         {{"mode", "boot"}, {"device-type", "1"}, {"boot-compat", "0x41"}}},
        {"cradle application", sim::DeviceConfig::CradleWithScanner, plain,
         {{"mode", "app"}, {"device-type", "2"}, {"boot-compat", "0x61"}, {"bt-mode", "server"},
          {"hub-connections", "1"}, {"dev-1-addr", "0006660A1B2C"}, {"scanner-in-cradle", "0"},
          {"pair-mode", "<absent>"}, {"boot-m_name", "SIMCRADLEBOOT1"}}},
        {"cradle bootloader",
         [] {
             auto config = sim::DeviceConfig::CradleWithScanner();
             config.unit.startInBootloader = true;
             return config;
         },
         plain, {{"mode", "boot"}, {"device-type", "2"}, {"bt-mode", "<absent>"}, {"hub-connections", "<absent>"}}},
        {"cradle with the scanner in it",
         [] {
             auto config = sim::DeviceConfig::CradleWithScanner();
             config.scannerInCradle = true;
             config.scanner.startInBootloader = true;
             config.linked = false;
             return config;
         },
         plain,
         {{"hub-connections", "0"}, {"dev-1-addr", "<absent>"}, {"scanner-in-cradle", "1"}, {"pair-mode", "boot"},
          {"pair-address", "0006660A1B2C"}}},
        {"scanner application through the cradle", sim::DeviceConfig::CradleWithScanner,
         [](SimHost& host) { return host.Menu('M', ":#0006660a1b2c:P_INFO"); },
         {{"mode", "app"}, {"device-type", "1"}, {"cbl", "32"}, {"boot-compat", "0x41"}}},
        {"scanner bootloader through the transparent cradle", sim::DeviceConfig::CradleWithScanner, transparent,
         {{"mode", "boot"}, {"device-type", "1"}, {"cbl", "32"}}},
    };
    for (const Case& c : cases) {
        SimHost host(c.config());
        Report report = ReportOf(c.ask(host));
        ASSERT_TRUE(report.valid) << c.what << ": " << report.problem;
        for (const auto& [tag, value] : c.expected)
            EXPECT_EQ(report.Get(tag), value) << c.what << ", tag " << tag;
    }
}

TEST(SimMenu, WakeUpIsAnsweredInBothModes)
{
    for (bool boot : {false, true}) {
        sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
        config.unit.startInBootloader = boot;
        SimHost host(config);
        host.Send("\x16" "C\r");
        EXPECT_EQ(host.Receive(4, 500), "\x06") << (boot ? "bootloader" : "application");
    }
}

TEST(SimMenu, LowPowerDeviceAnswersOnlyWhileAwake)
{
    sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
    config.unit.lowPower = true;
    SimHost host(config);
    EXPECT_EQ(host.Menu('M', "P_INFO"), "") << "asleep";
    EXPECT_TRUE(host.Wake());
    EXPECT_EQ(host.Menu('M', "PWRMOD?"), "PWRMOD1\x06.");
    EXPECT_TRUE(ReportOf(host.Menu('M', "P_INFO")).valid);
    // Every command keeps it awake; silence puts it back to sleep.
    host.Sleep(2500);
    EXPECT_EQ(host.Menu('M', "VISMN40"), "VISMN40\x06.");
    host.Sleep(3100);
    EXPECT_EQ(host.Menu('M', "VISMN40"), "");
    EXPECT_TRUE(host.Wake());
    EXPECT_EQ(host.Menu('M', "VISMN40"), "VISMN40\x06.");
}

TEST(SimMenu, Newap2RestartsIntoTheBootloaderAfterItsDelay)
{
    sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
    config.timings.newap2DelayMs = 300;
    config.timings.restartMs = 1000;
    SimHost host(config);
    uint64_t sent = host.Now();
    EXPECT_EQ(host.Menu('Y', "NEWAP2"), "NEWAP2\x06.");
    host.Sleep(250 - static_cast<uint32_t>(host.Now() - sent));
    EXPECT_EQ(host.device.Cable().CurrentMode(), sim::Mode::Application);
    host.Sleep(100);
    EXPECT_EQ(host.device.Cable().CurrentMode(), sim::Mode::Restarting);
    EXPECT_EQ(host.Menu('M', "P_INFO"), "") << "silent while restarting";
    host.Sleep(1000);
    EXPECT_EQ(host.device.Cable().CurrentMode(), sim::Mode::Bootloader);
    EXPECT_EQ(ReportOf(host.Menu('M', "P_INFO")).Get("mode"), "boot");
}

TEST(SimMenu, ReportValuesCannotEndTheReplyEarly)
{
    sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
    config.unit.appVersion = "1.2.3!\r\n";
    SimHost host(config);
    Report report = ReportOf(host.Menu('M', "P_INFO"));
    ASSERT_TRUE(report.valid) << report.problem;
    EXPECT_EQ(report.Get("app-rev"), "1_2_3___");
}

} // namespace
