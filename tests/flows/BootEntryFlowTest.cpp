// The boot entry against the simulated device: NEWAP2 and the restart wait
// from the application, the parameter exchange and the protocol version,
// the failures after the bootloader was reached, a boot entry that never
// ends or is cancelled, and the boot-model mutex of a USB device. Also the
// bootloader parameters on their own and the battery query.
#include "flows/EngineFixture.h"
#include "flows/FlowFixture.h"

#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <unistd.h>

namespace {

using flows::EngineRig;
using flows::Flow;

// The virtual time from the first report of `status` to the next report
// of `next` after it; -1 when either is missing.
int64_t Gap(const EngineRig& rig, uint64_t status, uint64_t next)
{
    for (size_t i = 0; i < rig.reports.size(); ++i) {
        if (rig.reports[i].status != status)
            continue;
        for (size_t j = i + 1; j < rig.reports.size(); ++j)
            if (rig.reports[j].status == next)
                return static_cast<int64_t>(rig.reports[j].at - rig.reports[i].at);
        return -1;
    }
    return -1;
}

TEST(BootEntryFlow, DeviceEndsOpenInItsBootloaderWithTheParametersAgreed)
{
    struct Case {
        const char* what;
        bool startInBootloader;
        int32_t protocol;
        bool newap2;
    } cases[] = {
        {"from the application", false, 23, true},
        {"already in the bootloader", true, 23, false},
        {"older bootloader protocol", true, 22, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
        config.unit.startInBootloader = c.startInBootloader;
        config.unit.boot.maxPayload = 128;
        config.faults.protocolVersion = c.protocol;
        EngineRig rig(config);
        ASSERT_EQ(rig.ReadDevice(), 0);
        int32_t state = 0;
        ASSERT_EQ(rig.engine->GotoFlashMode(&state), 0);
        EXPECT_EQ(state, 'B');
        EXPECT_TRUE(rig.InterfaceOpen());
        EXPECT_TRUE(rig.device.Cable().PacketMode());
        EXPECT_EQ(rig.engine->btlMaxPayload, 128u);
        EXPECT_EQ(rig.engine->io->packetSize, 128u);
        EXPECT_EQ(rig.engine->io->bootloaderVersion, c.protocol);
        EXPECT_EQ(rig.Logged("ScannerFlash Protocol mismatch: Expect: 23, got 22 - Assuming it will work!"),
                  c.protocol == 22);
        EXPECT_EQ(rig.Logged("NEWAP2"), c.newap2);
        EXPECT_EQ(rig.device.Cable().Restarts(), c.newap2 ? 1u : 0u);
        EXPECT_FALSE(rig.Logged("Create mutex"));
        if (c.newap2) {
            EXPECT_TRUE(rig.Logged("Scanner State: [cached] A!"));
            EXPECT_EQ(rig.LogCount("ToBootMode: Try "), 1u);
            ASSERT_FALSE(rig.Positions(HFS_app_goto_boot).empty());
            EXPECT_EQ(rig.Positions(HFS_app_goto_boot)[0], 1u);
            // A serial device is given half a second to start its restart.
            int64_t pause = Gap(rig, HFS_app_goto_boot, HFS_closing_interface);
            EXPECT_GE(pause, 500);
            EXPECT_LT(pause, 1000);
        } else {
            EXPECT_TRUE(rig.Logged("Scanner State: [cached] B!"));
        }
    }

    EngineRig unknown(sim::DeviceConfig::CordedScanner());
    EXPECT_EQ(unknown.engine->GotoFlashMode(nullptr), -1);
    EXPECT_TRUE(unknown.Logged("Scanner State: Unknown! (0x3f, ?)"));
    EXPECT_FALSE(unknown.InterfaceOpen());
}

// Once in the bootloader every failure closes the device again, with the
// line numbers support staff know these failures by.
TEST(BootEntryFlow, FailuresInTheBootloaderCloseTheDevice)
{
    struct Case {
        const char* what;
        std::string refuse;
        uint32_t garbleEcho;   // menu replies: P_INFO, 3 sets, 4 reads, BTLPRO
        int32_t result;
        std::vector<std::string> lines;
        bool noCom;
    } cases[] = {
        {"a set refused", "BTLTOC", 0, -1,
         {"Set BTLTOC FAIL, return code = -1.", "Scanner_BTL_SetAll, FAIL COM: Line: 2641"}, true},
        {"a read garbled", "", 5, -1,
         {"Get BTLMAX FAIL, return code = -1.", "Scanner_BTL_GetAll, FAIL COM: Line: 2649"}, true},
        {"packet link refused", "", 9, -1, {"Send BTLPRO, FAIL COM: Line: 2658"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::DeviceConfig config = flows::BootloaderScanner();
        config.faults.refuseSets = c.refuse;
        config.faults.garbleEcho = c.garbleEcho;
        EngineRig rig(config);
        ASSERT_EQ(rig.ReadDevice(), 0);
        EXPECT_EQ(rig.engine->GotoFlashMode(nullptr), c.result);
        for (const std::string& line : c.lines)
            EXPECT_TRUE(rig.Logged(line)) << line;
        EXPECT_EQ(rig.Reported(HFS_terminal_fail_no_com), c.noCom);
        EXPECT_FALSE(rig.InterfaceOpen());
    }
}

// A device that never gets to its bootloader, or a host that cancels, ends
// the boot entry with the device closed.
TEST(BootEntryFlow, BootEntryThatEndsEarlyLeavesTheDeviceClosed)
{
    struct Case {
        const char* what;
        uint32_t newap2DelayMs;
        uint32_t slowRestartMs;
        bool cancelAtFirstTry;
        uint64_t terminal;
        const char* line;
    } cases[] = {
        {"application keeps running", 60000, 0, false, HFS_terminal_fail_timeout,
         "GotoFlash mode TIMEOUT time spent: "},
        {"restart never ends", 100, 600000, false, HFS_terminal_fail_timeout, "FlashScanner_ResetWait TIMEOUT"},
        {"cancelled", 100, 0, true, HFS_app_goto_boot, "ToBootMode: Try 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
        config.timings.newap2DelayMs = c.newap2DelayMs;
        config.faults.slowRestartMs = c.slowRestartMs;
        EngineRig rig(config);
        ASSERT_EQ(rig.ReadDevice(), 0);
        if (c.cancelAtFirstTry)
            rig.onReport = [&](const flows::Report& r) {
                if (r.status == HFS_app_goto_boot)
                    rig.engine->cancelFlag = 1;
            };
        uint64_t start = rig.Now();
        EXPECT_LT(rig.engine->GotoFlashMode(nullptr), 0);
        EXPECT_TRUE(rig.Reported(c.terminal));
        EXPECT_TRUE(rig.Logged(c.line));
        EXPECT_FALSE(rig.InterfaceOpen());
        EXPECT_LT(rig.Now() - start, 120000u);
        EXPECT_EQ(rig.Logged("NEWAP2"), !c.cancelAtFirstTry);
    }
}

// A USB device is sent into its bootloader only while this process holds
// the boot model's mutex; another holder is waited for, a cancel ends the
// wait, and the mutex is given back.
class UsbBootEntry : public ::testing::Test {
protected:
    UsbBootEntry() : model("OBJTEST" + std::to_string(getpid())), mutexName(L"Global\\ZOT_TAMRBIX01_")
    {
        mutexName += platform::Utf8ToWide(model);
        config = sim::DeviceConfig::CordedScanner();
        config.unit.cbl = 4;
        config.unit.bootModelName = model;
    }
    // True when nobody holds the mutex any more.
    bool MutexFree() const
    {
        bool existed = true;
        platform::NamedMutex* probe = platform::CreateNamedMutex(mutexName.c_str(), &existed);
        platform::CloseNamedMutex(probe);
        return probe && !existed;
    }

    std::string model;
    std::wstring mutexName;
    sim::DeviceConfig config;
};

TEST_F(UsbBootEntry, MutexIsHeldAroundTheRestartAndGivenBack)
{
    EngineRig rig(config);
    ASSERT_EQ(rig.ReadDevice(), 0);
    ASSERT_EQ(rig.engine->pinfo.physical_cable_type, 'U');
    ASSERT_EQ(rig.engine->GotoFlashMode(nullptr), 0);
    EXPECT_TRUE(rig.Logged("Create mutex with name: " + platform::WideToUtf8(mutexName.c_str()) + ", handle = 0x"));
    EXPECT_FALSE(rig.Logged("already exists"));
    EXPECT_TRUE(rig.Logged("Hold Mutex control"));
    EXPECT_TRUE(rig.Logged("Release Mutex control to others"));
    EXPECT_GE(rig.usbSetups, 1);
    EXPECT_TRUE(MutexFree());
    // A USB device is given two seconds to start its restart.
    EXPECT_GE(Gap(rig, HFS_app_goto_boot, HFS_closing_interface), 2000);
}

TEST_F(UsbBootEntry, AnotherHolderIsWaitedForAndACancelEndsTheWait)
{
#ifdef _WIN32
    // A Win32 mutex is recursive for its owner: the other holder would need a
    // thread of its own, and only that thread may let go of it.
    GTEST_SKIP() << "the other holder must not be this thread on Windows";
#endif
    for (bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "cancelled while waiting" : "holder lets go");
        EngineRig rig(config);
        ASSERT_EQ(rig.ReadDevice(), 0);
        bool existed = false;
        platform::NamedMutex* other = platform::CreateNamedMutex(mutexName.c_str(), &existed);
        ASSERT_NE(other, nullptr);
        ASSERT_TRUE(platform::WaitNamedMutex(other, 0));
        uint64_t letGo = rig.Now() + 7000;
        bool held = true;
        rig.tool.time.clock.AddObserver([&](uint64_t now) {
            if (held && !cancel && now >= letGo) {
                platform::ReleaseNamedMutex(other);
                held = false;
            }
        });
        if (cancel)
            rig.onReport = [&](const flows::Report& r) {
                if (r.status == HFS_app_goto_boot && r.at >= letGo)
                    rig.engine->cancelFlag = 1;
            };

        int32_t r = rig.engine->GotoFlashMode(nullptr);
        EXPECT_TRUE(rig.Logged("already exists"));
        EXPECT_TRUE(rig.Logged("Wait Mutex control"));
        std::vector<uint64_t> tries = rig.Positions(HFS_app_goto_boot);
        if (cancel) {
            EXPECT_EQ(r, -1);
            EXPECT_FALSE(rig.Logged("Hold Mutex control"));
            EXPECT_FALSE(rig.Logged("NEWAP2"));
            EXPECT_EQ(rig.device.Cable().Restarts(), 0u);
            EXPECT_FALSE(rig.InterfaceOpen());
            EXPECT_LT(rig.Now(), letGo + 1000);
        } else {
            EXPECT_EQ(r, 0);
            // Nothing was sent before the other holder let go.
            uint64_t firstTry = 0;
            for (const flows::Report& report : rig.reports)
                if (report.status == HFS_app_goto_boot && report.x == 1) {
                    firstTry = report.at;
                    break;
                }
            EXPECT_GE(firstTry, letGo);
        }
        held = false;
        platform::ReleaseNamedMutex(other);
        platform::CloseNamedMutex(other);
        EXPECT_TRUE(MutexFree());
    }
}

TEST(BootParameters, SetAllWritesThreeInOrderAndNeverThePayloadSize)
{
    Flow flow(flows::BootloaderScanner());
    KIRO_FlashTool& engine = *flow.engine;
    engine.btlMaxPayload = 999;
    engine.btlTimeoutReply = 4000;
    engine.btlTimeoutIcd = 1500;
    engine.btlRetryMax = 5;
    ASSERT_EQ(engine.Scanner_BTL_SetAll(), 0);
    const std::string& log = flow.captured.Text();
    size_t tor = log.find("BTLTOR4000!"), toc = log.find("BTLTOC1500!"), rty = log.find("BTLRTY5!");
    ASSERT_NE(tor, std::string::npos);
    ASSERT_NE(toc, std::string::npos);
    ASSERT_NE(rty, std::string::npos);
    EXPECT_LT(tor, toc);
    EXPECT_LT(toc, rty);
    EXPECT_FALSE(flow.Logged("BTLMAX"));
    const sim::BootParameters& params = flow.device.Cable().Parameters();
    EXPECT_EQ(params.timeoutReply, 4000);
    EXPECT_EQ(params.timeoutIcd, 1500);
    EXPECT_EQ(params.retryMax, 5);
    EXPECT_EQ(params.maxPayload, 256);

    EXPECT_EQ(engine.Scanner_BTL_Set(static_cast<BtlParameter>(9)), -1);
    EXPECT_EQ(engine.Scanner_BTL_Get(static_cast<BtlParameter>(9)), -1);
}

TEST(BootParameters, SetAllStopsAtTheFirstRefusal)
{
    struct Case {
        const char* refused;
        const char* line;
        const char* neverSent;
    } cases[] = {
        {"BTLTOR", "Set BTLTOR FAIL, return code = -1.", "BTLTOC"},
        {"BTLTOC", "Set BTLTOC FAIL, return code = -1.", "BTLRTY"},
        {"BTLRTY", "Set BTLRTY FAIL, return code = -1.", "BTLMAX"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.refused);
        sim::DeviceConfig config = flows::BootloaderScanner();
        config.faults.refuseSets = c.refused;
        Flow flow(config);
        EXPECT_EQ(flow.engine->Scanner_BTL_SetAll(), -1);
        EXPECT_TRUE(flow.Logged(c.line));
        EXPECT_FALSE(flow.Logged(c.neverSent));
    }
}

// Values read back replace the configured ones, up to the first failure.
TEST(BootParameters, GetAllTakesTheBootloadersValuesUpToTheFirstFailure)
{
    for (uint32_t garble : {0u, 3u}) {
        SCOPED_TRACE(garble ? "third read garbled" : "all read");
        sim::DeviceConfig config = flows::BootloaderScanner();
        config.unit.boot = {128, 1800, 4500, 7};
        config.faults.garbleEcho = garble;
        Flow flow(config);
        KIRO_FlashTool& engine = *flow.engine;
        EXPECT_EQ(engine.Scanner_BTL_GetAll(), garble ? -1 : 0);
        EXPECT_EQ(engine.btlMaxPayload, 128u);
        EXPECT_EQ(engine.btlTimeoutIcd, 1800u);
        EXPECT_EQ(engine.btlTimeoutReply, garble ? 5000u : 4500u);
        EXPECT_EQ(engine.btlRetryMax, garble ? 3u : 7u);
        EXPECT_EQ(flow.Logged("Get BTLTOR FAIL, return code = -1."), garble != 0);
    }
}

TEST(BatteryQuery, ReplyDigitUnsupportedCommandAndSilence)
{
    struct Case {
        const char* what;
        sim::DeviceConfig config;
        uint64_t retries;
        int32_t result;
        const char* line;
        size_t attempts;
    } cases[] = {
        {"battery fine", sim::DeviceConfig::CradleWithScanner(), 3, 0, nullptr, 1},
        {"battery low", [] {
             sim::DeviceConfig config = sim::DeviceConfig::CradleWithScanner();
             config.faults.lowBattery = true;
             return config;
         }(), 3, 1, nullptr, 1},
        {"command unknown (ENQ)", sim::DeviceConfig::CordedScanner(), 3, 0,
         "The firmware in scanner does not support BT_FLS command yet.", 1},
        {"no reply", [] {
             sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
             config.faults.loseEvery = 1;
             return config;
         }(), 3, -1, "Can not get BT_FLS command.", 3},
        {"no attempt allowed", sim::DeviceConfig::CradleWithScanner(), 0, -1, "Can not get BT_FLS command.", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EngineRig rig(c.config);
        rig.engine->retryMax = c.retries;
        EXPECT_EQ(rig.engine->Scanner_GetBT_FLS(), c.result);
        EXPECT_TRUE(!c.line || rig.Logged(c.line)) << c.line;
        EXPECT_EQ(rig.LogCount("Scanner BT_FLS Menu Command, get return value: "), c.attempts);
        EXPECT_FALSE(rig.InterfaceOpen());
    }
}

} // namespace
