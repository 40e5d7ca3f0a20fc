// Whole flashes over USB through the host's entry point, in real time: the
// library's sequence, its USB transport with udev and hidraw, and the
// simulator's USB face on nodes that umockdev emulates. The device leaves
// the bus at each restart and comes back as a new device.
#include "api/ToolContext.h"
#include "platform/Platform.h"
#include "sim/usb/HidrawServer.h"
#include "sim/usb/HidrawTestbed.h"
#include "support/FlashRun.h"
#include "support/TestSupport.h"
#include "tambrix01/FlashTool.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using testing_support::CapturedLog;
using testing_support::FirmwareFile;

constexpr uint8_t kCompat = 0x41;

FirmwareFile MakeFile()
{
    return testing_support::StandardFile(kCompat, {"USB-BOOT-2", 3000, "USB-APP-2", 6000});
}

// A corded USB scanner whose pauses suit a test in real time.
sim::DeviceConfig UsbScanner(int32_t bootPid)
{
    sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
    config.unit.compat = {kCompat};
    config.unit.cbl = 4;
    config.unit.usbVid = 0xF0F0;
    config.unit.usbPid = bootPid;
    config.timings.restartMs = 300;
    config.timings.eraseMs = 50;
    // Every report wait takes 250 ms on USB, so the reset's reply is asked
    // for that much later than on a serial line.
    config.timings.resetDelayMs = 1000;
    return config;
}

// A simulated device on the bus and a flash tool pointed at it by the node
// its application has.
struct UsbRun {
    explicit UsbRun(sim::HidrawTestbed& testbed, const sim::DeviceConfig& config, int port)
        : device(config), server(testbed, device, port)
    {
        if (std::getenv("TAMBRIX_SIM_TRACE"))
            device.SetTrace([](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
        started = server.Start();
        tool = CreateFlashTool();
        log = std::make_unique<CapturedLog>(tool->context->log);
        uint64_t usb = INTERFACE_USB_HID;
        tool->SetSetting(CFS_INTERFACE, &usb, sizeof usb);
        uint64_t cableDelay = 500;
        tool->SetSetting(CFS_PELLARO_CABLEDELAY_USB, &cableDelay, sizeof cableDelay);
        std::wstring node = platform::Utf8ToWide(server.Devnode());
        tool->SetSetting(CFS_PORTNAME, node.data(), node.size());
    }
    ~UsbRun()
    {
        // TAMBRIX_USB_LOG=1 prints the library's log of a test.
        if (std::getenv("TAMBRIX_USB_LOG"))
            std::fprintf(stderr, "%s", log->Text().c_str());
        log.reset();
        DestroyFlashTool(tool);
        server.Stop();
    }
    uint32_t Flash(const std::wstring& file) { return tool->FlashScanner(0, file.c_str()); }
    bool Logged(const std::string& text) const { return log->Contains(text); }
    void ExpectFlashed(const FirmwareFile& f, const char* what)
    {
        server.Stop();
        testing_support::ExpectFlashed(device.Cable(), f, what);
        EXPECT_EQ(device.Cable().AppVersion(), "USB-APP-2") << what;
    }

    sim::Device device;
    sim::HidrawServer server;
    bool started = false;
    CFlashTool* tool;
    std::unique_ptr<CapturedLog> log;
};

class UsbFlash : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim::HidrawTestbed::Active()) << "run the USB tests under umockdev-wrapper";
        FirmwareFile f = MakeFile();
        dir.Write("firmware.mocf", testing_support::AsString(f.file));
        file = dir.WideFile("firmware.mocf");
        firmwareFile = f;
    }

    sim::HidrawTestbed testbed;
    testing_support::TempDir dir;
    std::wstring file;
    FirmwareFile firmwareFile;
};

TEST_F(UsbFlash, ScannerIsFlashedWholeAcrossItsReEnumerations)
{
    UsbRun run(testbed, UsbScanner(0x0B01), 1);
    ASSERT_TRUE(run.started);
    EXPECT_EQ(run.Flash(file), static_cast<uint32_t>(FLASH_RESULT_OK));
    EXPECT_TRUE(run.Logged("MATCH: hidraw#vid_f0f0&pid_0b01&mi_00#"));
    EXPECT_TRUE(run.Logged("Hold Mutex control"));
    run.ExpectFlashed(firmwareFile, "single scanner");
}

// Hardware that restarts is off the bus for a while and may come back on
// another USB port path and under another hidraw node, with or without a
// serial number. Both the bootloader (after its own image) and the new
// application (after the end-of-flash reset) are found again there.
TEST_F(UsbFlash, ScannerThatComesBackUnderANewPortPathAndNodeIsFlashedWhole)
{
    for (bool serial : {true, false}) {
        SCOPED_TRACE(serial ? "with a serial number" : "without a serial number");
        UsbRun run(testbed, UsbScanner(0x0B01), 1);
        run.server.Stop();
        // The server's thread traces; it is stopped while the trace changes.
        std::mutex mutex;
        std::vector<std::string> nodes;
        run.device.SetTrace([&](const std::string& line) {
            size_t at = line.find("on the bus as ");
            std::lock_guard<std::mutex> lock(mutex);
            if (at != std::string::npos)
                nodes.push_back(line.substr(at + 14));
        });
        run.server.MoveOnRestart(serial);
        ASSERT_TRUE(run.server.Start());
        std::wstring node = platform::Utf8ToWide(run.server.Devnode());
        run.tool->SetSetting(CFS_PORTNAME, node.data(), node.size());
        EXPECT_EQ(run.Flash(file), static_cast<uint32_t>(FLASH_RESULT_OK)) << run.log->Text();
        EXPECT_TRUE(run.Logged("Searching again for the device with VendorID: 61680, Product ID: 2817, interface 0, " +
                               std::string(serial ? "serial number SIM" : "no serial number")))
            << run.log->Text();
        EXPECT_TRUE(run.Logged("Searching again for the device with VendorID: 61680, Product ID: 2561"))
            << "the application was not looked for again";
        run.ExpectFlashed(firmwareFile, serial ? "with a serial number" : "without a serial number");
        std::lock_guard<std::mutex> lock(mutex);
        // Application, bootloader, bootloader after its image, new application.
        ASSERT_GE(nodes.size(), 4u);
        for (size_t i = 1; i < nodes.size(); ++i)
            EXPECT_NE(nodes[i - 1], nodes[i]) << "came back on its old node";
    }
}

TEST_F(UsbFlash, DeviceThatVanishesMidTransferFailsTheFlash)
{
    UsbRun run(testbed, UsbScanner(0x0B01), 1);
    ASSERT_TRUE(run.started);
    // Gone for good in the middle of the application image's blocks.
    run.device.SetTrace([&run](const std::string& line) {
        if (line.find("cmd=16 00000f00") != std::string::npos)
            run.server.Vanish();
    });
    EXPECT_EQ(run.Flash(file), static_cast<uint32_t>(FLASH_RESULT_FAILED));
    EXPECT_TRUE(run.Logged("ReadFile DEVICE NOT CONNECTED!"));
}

// Two scanners of one boot model flashed side by side by two tool objects:
// the second waits for the first one's boot entry before it sends its own
// device into the bootloader, so that each finds its own bootloader.
TEST_F(UsbFlash, SecondToolWaitsForTheBootModelMutexThenProceeds)
{
    sim::DeviceConfig slow = UsbScanner(0x0B01);
    // The first one's restart is long, so the second arrives while it waits.
    slow.timings.restartMs = 6000;
    UsbRun first(testbed, slow, 1);
    UsbRun second(testbed, UsbScanner(0x0B01), 2);
    ASSERT_TRUE(first.started && second.started);

    uint32_t firstCode = 99, secondCode = 99;
    std::thread a([&] { firstCode = first.Flash(file); });
    // The first device leaves the bus: its tool holds the mutex now.
    for (int i = 0; i < 400 && !first.server.Devnode().empty(); ++i)
        platform::SleepMs(50);
    std::thread b([&] { secondCode = second.Flash(file); });
    a.join();
    b.join();
    EXPECT_EQ(firstCode, static_cast<uint32_t>(FLASH_RESULT_OK));
    EXPECT_EQ(secondCode, static_cast<uint32_t>(FLASH_RESULT_OK));
    EXPECT_TRUE(second.Logged("Mutex with name: Global\\ZOT_TAMRBIX01_SIMBOOT1 already exists"));
    EXPECT_TRUE(second.Logged("Hold Mutex control"));
    first.ExpectFlashed(firmwareFile, "first");
    second.ExpectFlashed(firmwareFile, "second");
}

// The same two scanners, each coming back from its restarts under a new
// port path and node. With serial numbers each flasher finds its own again
// and both are flashed. Without, a device that comes back cannot be told
// from the other while the other flasher works: a flash may fail then, but
// one that reports success has flashed its own device.
TEST_F(UsbFlash, TwoScannersOfOneModelThatMoveAreNeverTakenForEachOther)
{
    for (bool serial : {true, false}) {
        SCOPED_TRACE(serial ? "with serial numbers" : "without serial numbers");
        sim::DeviceConfig slow = UsbScanner(0x0B01);
        slow.timings.restartMs = 3000;
        UsbRun first(testbed, slow, 1);
        UsbRun second(testbed, UsbScanner(0x0B01), 2);
        for (UsbRun* run : {&first, &second}) {
            run->server.Stop();
            run->server.MoveOnRestart(serial);
            ASSERT_TRUE(run->server.Start());
            std::wstring node = platform::Utf8ToWide(run->server.Devnode());
            run->tool->SetSetting(CFS_PORTNAME, node.data(), node.size());
        }
        uint32_t firstCode = 99, secondCode = 99;
        std::thread a([&] { firstCode = first.Flash(file); });
        for (int i = 0; i < 400 && !first.server.Devnode().empty(); ++i)
            platform::SleepMs(50);
        std::thread b([&] { secondCode = second.Flash(file); });
        a.join();
        b.join();
        if (serial) {
            EXPECT_EQ(firstCode, static_cast<uint32_t>(FLASH_RESULT_OK)) << first.log->Text();
            EXPECT_EQ(secondCode, static_cast<uint32_t>(FLASH_RESULT_OK)) << second.log->Text();
        }
        first.server.Stop();
        second.server.Stop();
        // Both flash one file: a flasher that took the other's device shows
        // as a success whose own device is not flashed.
        if (firstCode == static_cast<uint32_t>(FLASH_RESULT_OK))
            testing_support::ExpectFlashed(first.device.Cable(), firmwareFile, "first");
        if (secondCode == static_cast<uint32_t>(FLASH_RESULT_OK))
            testing_support::ExpectFlashed(second.device.Cable(), firmwareFile, "second");
    }
}

} // namespace
