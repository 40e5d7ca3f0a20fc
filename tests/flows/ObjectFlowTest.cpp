// Firmware objects into the simulated device through the engine: the boot
// and application objects of a container written byte for byte with their
// progress, objects refused before anything is erased, retries after a
// refused or damaged frame, cancels, and the scanner behind a transparent
// cradle announcing itself with "OK" after its new bootloader.
#include "flows/EngineFixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using flows::BootBody;
using flows::Bytes;
using flows::Container;
using flows::EngineRig;
using flows::Image;

constexpr uint64_t kBlock = 256;   // the simulated bootloader's payload size

// The progress positions of one transfer: the opening report(s), one
// before each block, and the closing one.
std::vector<uint64_t> Progress(bool boot, uint64_t total)
{
    std::vector<uint64_t> out{0};
    uint64_t start = boot ? 256 : 0;
    if (boot)
        out.push_back(start);
    for (uint64_t at = start; at < total; at += kBlock)
        out.push_back(at);
    out.push_back(total);
    return out;
}

// A device that has not been touched: running its application, both areas
// as they came.
void ExpectUntouched(EngineRig& rig)
{
    sim::FirmwareUnit& unit = rig.device.Cable();
    EXPECT_EQ(unit.CurrentMode(), sim::Mode::Application);
    EXPECT_EQ(unit.Restarts(), 0u);
    EXPECT_FALSE(unit.BootArea().erased);
    EXPECT_FALSE(unit.ApplicationArea().erased);
    EXPECT_TRUE(unit.BootArea().data.empty());
    EXPECT_TRUE(unit.ApplicationArea().data.empty());
}

TEST(ObjectFlow, ContainerObjectsAreWrittenByteForByteWithTheirProgress)
{
    Bytes boot = Image('B', 1000, {0x41}, "BOOT-2");
    Bytes app = Image('A', 5 * 256 + 100, {0x41}, "APP-2");
    Bytes jg3hApp = Image('A', 700, {0x41}, "APP-J", 0x4833474A);
    struct Case {
        const char* what;
        Bytes file;
        Bytes boot;   // the object expected in the boot area; empty: none
        Bytes app;
        std::string version;   // the application's sw_rev
    } cases[] = {
        {"boot and application", Container({app, boot}), boot, app, "APP-2"},
        {"a JG3H object whose header says application", Container({jg3hApp}), {}, jg3hApp, "APP-J"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EngineRig rig(sim::DeviceConfig::CordedScanner());
        ASSERT_EQ(rig.ReadDevice(), 0);
        ASSERT_EQ(rig.engine->FlashMocf(rig.File("fw.mocf", c.file).c_str()), 0);
        sim::FirmwareUnit& unit = rig.device.Cable();
        if (c.boot.empty()) {
            EXPECT_TRUE(unit.BootArea().data.empty());
            EXPECT_FALSE(rig.Reported(HFS_old_bl_flashing_x_of_y));
            EXPECT_FALSE(rig.Reported(HFS_new_bl_por_wait));
            EXPECT_FALSE(rig.Logged("FlashScanner_ResetWait( 1 )"));
        } else {
            EXPECT_EQ(unit.BootArea().data, BootBody(c.boot));
            EXPECT_EQ(rig.Positions(HFS_old_bl_flashing_x_of_y), Progress(true, c.boot.size()));
        }
        EXPECT_EQ(unit.ApplicationArea().data, c.app);
        EXPECT_TRUE(unit.ApplicationArea().ended);
        EXPECT_EQ(rig.Positions(HFS_new_app_flashing_x_of_y), Progress(false, c.app.size()));
        for (const flows::Report& r : rig.reports) {
            if (r.status == HFS_new_app_flashing_x_of_y) {
                EXPECT_EQ(r.y, c.app.size());
            }
        }
        EXPECT_TRUE(rig.Reported(HFS_new_app_por_wait));
        EXPECT_FALSE(rig.InterfaceOpen());
        EXPECT_TRUE(rig.Logged("Transfer complete: "));

        // The soft reset brings the new application up.
        rig.tool.time.clock.Advance(5000);
        EXPECT_EQ(unit.CurrentMode(), sim::Mode::Application);
        EXPECT_EQ(unit.AppVersion().substr(0, c.version.size()), c.version);
    }
}

// Nothing the device holds may be erased for an image that cannot be sent:
// one shorter than its header, one whose length field runs past its bytes,
// and a boot image that is only a header (its body is all that is written).
TEST(ObjectFlow, UnsendableImagesAreRefusedBeforeTheDeviceIsTouched)
{
    Bytes app = Image('A', 1024);
    Bytes shortApp(app.begin(), app.begin() + 200);
    shortApp[4] = 200 - 8;
    shortApp[5] = 0;
    struct Case {
        const char* what;
        int32_t type;
        Bytes image;
        uint64_t size;    // what the caller says it holds
        int32_t result;
        size_t written;   // bytes the area holds afterwards
    } cases[] = {
        {"boot image of only its header", 'B', Image('B', 256), 256, -1, 0},
        {"image shorter than its header", 'A', shortApp, shortApp.size(), -1, 0},
        {"length field past the bytes held", 'A', app, 1000, -1, 0},
        {"boot image with a one-byte body", 'B', Image('B', 257), 257, 0, 1},
        {"application of only its header", 'A', Image('A', 256), 256, 0, 256},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EngineRig rig(sim::DeviceConfig::CordedScanner());
        ASSERT_EQ(rig.ReadDevice(), 0);
        uint32_t reset = c.type == 'B' ? 1 : 2;
        EXPECT_EQ(rig.engine->FlashRawInternal(c.type, reset, c.image.data(), c.size), c.result);
        const sim::FlashArea& area = c.type == 'B' ? rig.device.Cable().BootArea() : rig.device.Cable().ApplicationArea();
        EXPECT_EQ(area.data.size(), c.written);
        if (c.result != 0) {
            ExpectUntouched(rig);
            EXPECT_TRUE(rig.Reported(HFS_terminal_bad_file));
        }
    }

    // Inside a container the same boot image stops the whole file: the
    // application after it is not written either.
    EngineRig rig(sim::DeviceConfig::CordedScanner());
    ASSERT_EQ(rig.ReadDevice(), 0);
    Bytes file = Container({Image('B', 256), app});
    EXPECT_EQ(rig.engine->FlashMocf(rig.File("fw.mocf", file).c_str()), -1);
    ExpectUntouched(rig);
    EXPECT_TRUE(rig.Reported(HFS_terminal_bad_file));
}

// A transfer that fails on the line is started again from the boot entry,
// which finds the device already in its bootloader; a bootloader that fails
// every try ends the flash before the application is touched.
TEST(ObjectFlow, FailedTransferIsRetriedAndStillLandsByteForByte)
{
    struct Case {
        const char* what;
        uint32_t canFrame;
        uint32_t nakFrame;
        uint32_t nakCount;
        const char* failure;
        int32_t result;
    } cases[] = {
        {"erase refused", 4, 0, 1, "FAIL: erase all fails", 0},
        {"block refused", 6, 0, 1, "FAIL: wr failed", 0},
        {"block damaged on every resend", 0, 6, 3, "FAIL: wr failed", 0},
        {"line damaged for good", 0, 6, 1000, "Flash: [BOOT] Failed: -1, After retry 3 times.", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
        config.faults.canFrame = c.canFrame;
        config.faults.nakFrame = c.nakFrame;
        config.faults.nakCount = c.nakCount;
        EngineRig rig(config);
        ASSERT_EQ(rig.ReadDevice(), 0);
        Bytes boot = Image('B', 1300, {0x41}, "BOOT-3");
        Bytes app = Image('A', 2000, {0x41}, "APP-3");
        EXPECT_EQ(rig.engine->FlashMocf(rig.File("fw.mocf", Container({boot, app})).c_str()), c.result);
        EXPECT_TRUE(rig.Logged(c.failure));
        EXPECT_TRUE(rig.Logged("Flash: [BOOT] Failed: -1,Try: 0."));
        EXPECT_TRUE(rig.Logged("Scanner State: [cached] B!"));
        const sim::FirmwareUnit& unit = rig.device.Cable();
        EXPECT_EQ(unit.BootArea().data == BootBody(boot), c.result == 0);
        EXPECT_EQ(unit.ApplicationArea().data == app, c.result == 0);
        EXPECT_EQ(unit.ApplicationArea().erased, c.result == 0);
    }
}

TEST(ObjectFlow, CancelStopsTheTransferAndLeavesTheDeviceClosed)
{
    Bytes boot = Image('B', 1300);
    Bytes app = Image('A', 3000);

    // Cancelled before: the device is never asked into its bootloader.
    {
        EngineRig rig(sim::DeviceConfig::CordedScanner());
        ASSERT_EQ(rig.ReadDevice(), 0);
        rig.engine->cancelFlag = 1;
        EXPECT_EQ(rig.engine->FlashMocf(rig.File("fw.mocf", Container({boot, app})).c_str()), -1);
        EXPECT_TRUE(rig.Logged("Flash has been cancelled prior flash raw file."));
        ExpectUntouched(rig);
    }

    // Cancelled by the host while a block is due: no further block, no area
    // end, no reset, and no second attempt.
    struct Case {
        const char* what;
        uint64_t status;
        uint64_t stopAt;
    } cases[] = {
        {"during the bootloader", HFS_old_bl_flashing_x_of_y, 768},
        {"during the application", HFS_new_app_flashing_x_of_y, 1024},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EngineRig rig(sim::DeviceConfig::CordedScanner());
        ASSERT_EQ(rig.ReadDevice(), 0);
        rig.onReport = [&](const flows::Report& r) {
            if (r.status == c.status && r.x == c.stopAt)
                rig.engine->cancelFlag = 1;
        };
        EXPECT_EQ(rig.engine->FlashMocf(rig.File("fw.mocf", Container({boot, app})).c_str()), -1);
        EXPECT_EQ(rig.LogCount("Cancelled, tused: "), 1u);
        EXPECT_EQ(rig.LogCount("ToBootMode: Try"), 1u);
        std::vector<uint64_t> seen = rig.Positions(c.status);
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen.back(), c.stopAt);
        const sim::FirmwareUnit& unit = rig.device.Cable();
        const sim::FlashArea& area = c.status == HFS_old_bl_flashing_x_of_y ? unit.BootArea() : unit.ApplicationArea();
        EXPECT_FALSE(area.ended);
        EXPECT_EQ(unit.CurrentMode(), sim::Mode::Bootloader);
        EXPECT_FALSE(rig.InterfaceOpen());
        bool inBoot = c.status == HFS_old_bl_flashing_x_of_y;
        EXPECT_EQ(rig.Reported(HFS_new_app_flashing_x_of_y), !inBoot);
        EXPECT_EQ(unit.BootArea().data == BootBody(boot), !inBoot);
    }
}

TEST(ObjectFlow, WrongFileTypesAreNotFlashed)
{
    struct Case {
        const char* what;
        Bytes file;
        int32_t wanted;
        const char* line;
        bool badFile;
    } cases[] = {
        {"bare application", Image('A', 1024), 'A', "FLASH: not support RAW app and boot flash.", false},
        {"container where a bare image was classified", Container({Image('A', 1024)}), 'A',
         "FLASH: Wrong type: Got 0x50, Want: 0x41", true},
        {"container without a fitting object", Container({Image('A', 1024, {0x77})}), 'P',
         "No BOOT, No APP?", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EngineRig rig(sim::DeviceConfig::CordedScanner());
        ASSERT_EQ(rig.ReadDevice(), 0);
        EXPECT_EQ(rig.engine->FlashByType(c.wanted, rig.File("fw.bin", c.file).c_str()), -1);
        EXPECT_TRUE(rig.Logged(c.line));
        EXPECT_EQ(rig.Reported(HFS_terminal_bad_file), c.badFile);
        ExpectUntouched(rig);
    }
}

// The scanner behind a transparent cradle: after its new bootloader the
// cradle says "OK" when the link is back, the scanner answers P_INFO through
// it, and its application follows over the same link.
TEST(ObjectFlow, ScannerBehindTheTransparentCradleIsFlashedAfterItsOk)
{
    EngineRig rig(sim::DeviceConfig::CradleWithScanner());
    KIRO_FlashTool& engine = *rig.engine;
    FlashIo& io = *engine.io;
    sim::Scanner& scanner = *rig.device.TheCradle()->LinkedScanner();

    // The way the flow prepares the link: the scanner into its bootloader,
    // the cradle connected to it and transparent.
    ASSERT_EQ(engine.OpenInterface(OPEN_DEVICE, OPEN_FINAL), 0);
    uint8_t reply[32];
    io.MNU_Query('Y', ":*:NEWAP2", 9, "", reply, sizeof reply);
    rig.tool.time.clock.Advance(2000);
    ASSERT_EQ(io.MNU_Command('M', "BASADR", 6, scanner.Config().btAddress.c_str(), 0, '.'), 0);
    ASSERT_EQ(io.MNU_SetDecimal('M', "BASDNG", 0, '!'), 0);
    rig.tool.time.clock.Advance(8000);
    ASSERT_EQ(io.MNU_SetDecimal('M', "BASPAS", 1, '.'), 0);
    rig.tool.time.clock.Advance(1000);
    ASSERT_EQ(engine.Scanner_GetPinfo("P_INFO"), 0);
    ASSERT_EQ(engine.pinfo.physical_device_type, 1);
    ASSERT_EQ(engine.pinfo.scannerstate, 'B');
    engine.CloseInterface();
    engine.transparent_mode = 1;

    Bytes boot = Image('B', 1100, {0x41}, "SBOOT-5");
    Bytes app = Image('A', 1500, {0x41}, "SAPP-5");
    ASSERT_EQ(engine.FlashMocf(rig.File("fw.mocf", Container({boot, app})).c_str()), 0);
    EXPECT_TRUE(rig.Logged("Wait 5 seconds for re-connection after flash boot."));
    EXPECT_TRUE(rig.Logged("Get OK response as expected"));
    EXPECT_TRUE(rig.Logged("Update pinfo."));
    EXPECT_FALSE(rig.Logged("FAIL: cradle is NOT in transparent mode."));
    EXPECT_EQ(scanner.BootArea().data, BootBody(boot));
    EXPECT_EQ(scanner.ApplicationArea().data, app);
    EXPECT_TRUE(rig.device.Cable().ApplicationArea().data.empty());
    EXPECT_EQ(engine.transparent_mode, 1);
}

} // namespace
