// The simulated charge cradle: routed commands, the radio link, transparent
// mode with "+++", and a scanner flashed through it.
#include "support/SimHost.h"

#include <gtest/gtest.h>

namespace {

using testing_support::Bytes;
using testing_support::CheckReport;
using testing_support::Report;
using testing_support::SimHost;

const std::string kAddress = "0006660A1B2C";

Report CradleReport(SimHost& host)
{
    std::string reply = host.Menu('M', "P_INFO");
    if (reply.size() < 8)
        return Report{false, "no reply", {}};
    return CheckReport(reply.substr(6, reply.size() - 8));
}

TEST(SimCradle, RoutedCommandsReachTheLinkedScanner)
{
    struct Case {
        const char* what;
        bool lowBattery;
        char command;
        std::string text;
        std::string reply;
    };
    const Case cases[] = {
        {"battery fine", false, 'M', ":*:BT_FLS", "BT_FLS0\x06."},
        {"battery low", true, 'M', ":*:BT_FLS", "BT_FLS1\x06."},
        {"by address", false, 'M', ":#" + kAddress + ":VISMN40", "VISMN40\x06."},
        {"unknown to the scanner", false, 'M', ":*:BASADR" + kAddress, "BASADR\x05."},
        {"another address", false, 'M', ":#0006660A1B2D:P_INFO", "P_INFO\x15."},
        {"a malformed address", false, 'M', ":#0006660A:P_INFO", "P_INFO\x15."},
    };
    for (const Case& c : cases) {
        sim::DeviceConfig config = sim::DeviceConfig::CradleWithScanner();
        config.faults.lowBattery = c.lowBattery;
        SimHost host(config);
        EXPECT_EQ(host.Menu(c.command, c.text), c.reply) << c.what;
    }
}

TEST(SimCradle, BatteryBelowTheFlashLimitIsLow)
{
    sim::DeviceConfig config = sim::DeviceConfig::CradleWithScanner();
    config.scanner.battery = 15;
    SimHost host(config);
    EXPECT_EQ(host.Menu('M', ":*:BT_FLS"), "BT_FLS1\x06.");
}

TEST(SimCradle, WithoutALinkRoutedCommandsAndTransparentModeAreRefused)
{
    sim::DeviceConfig config = sim::DeviceConfig::CradleWithScanner();
    config.linked = false;
    SimHost host(config);
    EXPECT_EQ(CradleReport(host).Get("hub-connections"), "0");
    EXPECT_EQ(host.Menu('M', ":*:BT_FLS"), "BT_FLS\x15.");
    EXPECT_EQ(host.Menu('M', "BASPAS1"), "BASPAS\x15.");
    host.Sleep(10000);
    EXPECT_EQ(CradleReport(host).Get("hub-connections"), "0") << "an unpaired scanner does not link by itself";
}

TEST(SimCradle, ScannerFlashedThroughTheTransparentCradle)
{
    SimHost host(sim::DeviceConfig::CradleWithScanner());
    sim::Cradle& cradle = *host.device.TheCradle();
    sim::Scanner& scanner = *cradle.LinkedScanner();

    // The scanner goes into its bootloader, which drops the link.
    EXPECT_EQ(host.Menu('Y', ":*:NEWAP2"), "NEWAP2\x06.");
    host.Sleep(2000);
    EXPECT_EQ(CradleReport(host).Get("hub-connections"), "0");
    EXPECT_EQ(scanner.CurrentMode(), sim::Mode::Bootloader);

    // The cradle connects to the scanner's bootloader as a client.
    EXPECT_EQ(host.Menu('M', "BASADR" + kAddress), "BASADR" + kAddress + "\x06.");
    EXPECT_EQ(host.Menu('M', "BASDNG0", '!'), "BASDNG0\x06!");
    host.Sleep(3000);
    EXPECT_EQ(CradleReport(host).Get("hub-connections"), "0") << "still connecting";
    host.Sleep(1500);
    Report linked = CradleReport(host);
    EXPECT_EQ(linked.Get("hub-connections"), "1");
    EXPECT_EQ(linked.Get("bt-mode"), "client");

    // Transparent: the scanner's bootloader answers and takes the image.
    EXPECT_EQ(host.Menu('M', "BASPAS1"), "BASPAS1\x06.");
    EXPECT_EQ(host.Menu('Y', "BTLTOR5000", '!'), "BTLTOR5000\x06!");
    host.EnterPacketMode();
    Bytes image = testing_support::MakeImage('A', "SCAN-2", 900);
    ASSERT_TRUE(host.WriteArea(1, image, 256));
    EXPECT_EQ(scanner.ApplicationArea().data, image);
    EXPECT_TRUE(cradle.ApplicationArea().data.empty());
    EXPECT_TRUE(host.Transact(22, {0xDEADBEEF, 0}).reply.complete);

    // The scanner restarts into its new application; the cradle reconnects
    // and says so while it is still transparent.
    host.Sleep(1000);
    EXPECT_FALSE(cradle.Linked());
    EXPECT_EQ(host.Receive(3, 10000), "OK\r");
    EXPECT_EQ(scanner.CurrentMode(), sim::Mode::Application);
    EXPECT_EQ(scanner.AppVersion(), "SCAN-2");

    // "+++" after a quiet line leaves transparent mode; the cradle answers again.
    host.Sleep(600);
    host.Send("+++");
    host.Sleep(600);
    EXPECT_FALSE(cradle.Transparent());
    Report cradleAgain = CradleReport(host);
    EXPECT_EQ(cradleAgain.Get("device-type"), "2");

    // Server mode again: the scanner application links by itself.
    EXPECT_EQ(host.Menu('M', "BASDNG1", '!'), "BASDNG1\x06!");
    EXPECT_EQ(CradleReport(host).Get("hub-connections"), "0");
    host.Sleep(3500);
    Report server = CradleReport(host);
    EXPECT_EQ(server.Get("hub-connections"), "1");
    EXPECT_EQ(server.Get("bt-mode"), "server");
    EXPECT_EQ(CheckReport(host.Menu('M', ":#" + kAddress + ":P_INFO").substr(6)).Get("app-rev"), "SCAN-2");
}

TEST(SimCradle, PlusSignsInsideTrafficPassThrough)
{
    SimHost host(sim::DeviceConfig::CradleWithScanner());
    ASSERT_EQ(host.Menu('M', "BASPAS1"), "BASPAS1\x06.");
    // No quiet time before the '+': it is data for the scanner.
    host.Send("x+++");
    host.Sleep(100);
    EXPECT_TRUE(host.device.TheCradle()->Transparent());
    // A '+' run that is broken off goes on to the scanner as well.
    host.Sleep(600);
    host.Send("++");
    host.Send("\x16M\rVISMN40.");
    EXPECT_EQ(host.ReceiveUntil('.'), "VISMN40\x06.");
    EXPECT_TRUE(host.device.TheCradle()->Transparent());
}

TEST(SimCradle, OneWireConnectionToAScannerInTheCradle)
{
    sim::DeviceConfig config = sim::DeviceConfig::CradleWithScanner();
    config.linked = false;
    config.scannerInCradle = true;
    config.scanner.startInBootloader = true;
    SimHost host(config);
    Report before = CradleReport(host);
    EXPECT_EQ(before.Get("pair-mode"), "boot");
    EXPECT_EQ(before.Get("pair-address"), kAddress);
    host.Menu('M', "BASADR" + kAddress);
    host.Menu('M', "BASDNG0", '!');
    host.Sleep(4500);
    EXPECT_EQ(CradleReport(host).Get("hub-connections"), "1");
}

TEST(SimCradle, ClientConnectsOnlyToTheScannersAddress)
{
    SimHost host(sim::DeviceConfig::CradleWithScanner());
    EXPECT_EQ(host.Menu('M', "BASADR112233445566"), "BASADR112233445566\x06.");
    EXPECT_EQ(host.Menu('M', "BASADR1122"), "BASADR\x15.");
    EXPECT_EQ(host.Menu('M', "BASDNG0", '!'), "BASDNG0\x06!");
    host.Sleep(10000);
    EXPECT_EQ(CradleReport(host).Get("hub-connections"), "0");
    EXPECT_EQ(host.Menu('M', "BASDNG2", '!'), "BASDNG\x15!");
}

TEST(SimCradle, CradleNewap2DropsLinkAndTransparentMode)
{
    SimHost host(sim::DeviceConfig::CradleWithScanner());
    sim::Cradle& cradle = *host.device.TheCradle();
    ASSERT_EQ(host.Menu('M', "BASPAS1"), "BASPAS1\x06.");
    host.Sleep(600);
    host.Send("+++");
    host.Sleep(600);
    EXPECT_EQ(host.Menu('Y', "NEWAP2"), "NEWAP2\x06.");
    host.Sleep(2000);
    EXPECT_EQ(cradle.CurrentMode(), sim::Mode::Bootloader);
    EXPECT_FALSE(cradle.Linked());
    EXPECT_EQ(CradleReport(host).Get("mode"), "boot");
}

} // namespace
