// The library's USB transport over the simulator's USB link on the virtual
// clock: what a receive flush costs with nothing pending, with and without
// the full report wait, that a report arriving just after the flush's look
// is still read, and whole flashes through a link that drops input reports
// and refuses output reports as a real host and device do.
#include "io/FlashIo.h"
#include "io/UsbDevicePath.h"
#include "platform/Platform.h"
#include "support/FlashRun.h"
#include "support/SimTool.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using testing_support::SimTool;

class UsbLinkFlow : public ::testing::Test {
protected:
    UsbLinkFlow() : sim(UsbScanner())
    {
        sim.transport.usbReports = true;
        sim.SetU64(CFS_INTERFACE, INTERFACE_USB_HID);
    }
    static sim::DeviceConfig UsbScanner()
    {
        sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
        config.unit.cbl = 4;
        return config;
    }
    // The application's face opened by its name, as a flash opens it.
    void Open()
    {
        ASSERT_EQ(sim.engine->InitUsb(L"SIM0"), 0) << sim.log->Text();
        ASSERT_EQ(io.OpenDevice(), 0);
    }

    SimTool sim;
    FlashIo& io = *sim.engine->io;
};

TEST_F(UsbLinkFlow, AFlushWithNothingPendingLooksWithoutTheReportWait)
{
    const struct {
        uint64_t fullReportWait;
        uint64_t minMs, maxMs;
        const char* spent;
    } cases[] = {
        {0, 2, 2, "my_usb_read: Timeout tspent: 2\n"},
        {1, 250, 260, "my_usb_read: Timeout tspent: 25"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fullReportWait);
        ASSERT_EQ(sim.SetU64(CFS_PELLARO_USB_FULL_REPORT_WAIT, c.fullReportWait), 0u);
        Open();
        sim.log->Clear();
        uint64_t start = sim.Now();
        EXPECT_EQ(io.FlushRx(0), 1);   // a USB read never answers 0
        uint64_t spent = sim.Now() - start;
        EXPECT_GE(spent, c.minMs);
        EXPECT_LE(spent, c.maxMs);
        EXPECT_TRUE(sim.Logged(c.spent)) << sim.log->Text();
        EXPECT_EQ(sim.transport.usb.HostReports(), 0u);   // nothing on the wire
        io.CloseDevice();
    }
}

TEST_F(UsbLinkFlow, OnlyTheFlushWithoutPausesSkipsTheReportWait)
{
    // The flush with pauses follows a NAK or a spew, where late replies are
    // expected; a caller's own short timeout is no flush at all.
    Open();
    const struct {
        const char* what;
        bool flushWithPauses;
        uint32_t timeoutMs;
    } cases[] = {
        {"flush with pauses", true, 0},
        {"read of 1 ms", false, 1},
        {"read of 0 ms", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim.log->Clear();
        uint64_t start = sim.Now();
        uint8_t scratch[8];
        if (c.flushWithPauses)
            EXPECT_EQ(io.FlushRx(1), 1);
        else
            EXPECT_EQ(io.ReadDevice(scratch, sizeof scratch, c.timeoutMs), -6);
        EXPECT_TRUE(sim.Logged("my_usb_read: Timeout tspent: 25")) << sim.log->Text();
        EXPECT_GE(sim.Now() - start, 250u);
    }
    // The flag is the flush's alone: it is down again once the flush is over.
    EXPECT_EQ(io.FlushRx(0), 1);
    EXPECT_EQ(sim.engine->io->io->flushPoll, 0u);
}

TEST_F(UsbLinkFlow, ASearchThatMeetsAnotherProcessesGlanceAtTheMutexLooksAgain)
{
    // Another process's search holds the device's mutex for a moment (its
    // look for further free devices after its own open).
    std::wstring name;
    ASSERT_TRUE(UsbDeviceMutexName(sim.transport.usb.DevicePath().c_str(), name));
    bool existed = false;
    auto glance = std::make_shared<platform::NamedMutex*>(platform::CreateNamedMutex(name.c_str(), &existed));
    ASSERT_NE(*glance, nullptr);
    ASSERT_FALSE(existed);
    const uint64_t over = sim.Now() + 30;
    sim.time.clock.AddObserver([glance, over](uint64_t now) {
        if (*glance && now >= over) {
            platform::CloseNamedMutex(*glance);
            *glance = nullptr;
        }
    });
    UsbIdentity identity{0xF0F0, 0x0A01, 0, 0, nullptr, nullptr};
    FlashIoDevice* device = io.io;
    EXPECT_EQ(sim.transport.usb.Setup(device, &identity), 0) << sim.log->Text();
    EXPECT_TRUE(sim.Logged("searching again")) << sim.log->Text();
    EXPECT_NE(device->m_hDeviceMutex, nullptr);
    if (device->destroy)
        device->destroy(device);
    if (*glance)
        platform::CloseNamedMutex(*glance);
    *glance = nullptr;

    // A device another flasher keeps is given up after a bounded look.
    platform::NamedMutex* keeper = platform::CreateNamedMutex(name.c_str(), &existed);
    ASSERT_NE(keeper, nullptr);
    sim.log->Clear();
    uint64_t start = sim.Now();
    EXPECT_EQ(sim.transport.usb.Setup(device, &identity), -1);
    EXPECT_LE(sim.Now() - start, 1000u);
    platform::CloseNamedMutex(keeper);
}

TEST_F(UsbLinkFlow, AReportThatArrivesAfterTheFlushLookedIsReadNext)
{
    Open();
    // A wake-up: the device answers 2 ms after the report is through, and
    // its report is held a millisecond later, after the flush has looked.
    const uint8_t wake[] = {0x16, 'C', 0x0D};
    ASSERT_EQ(io.WriteBytes(wake, sizeof wake), 0);
    ASSERT_EQ(io.FlushTx(), 0);
    EXPECT_EQ(io.FlushRx(0), 1);
    EXPECT_EQ(sim.transport.usb.DeviceReports(), 0u);
    uint8_t answer[4] = {};
    EXPECT_EQ(io.ReadDevice(answer, sizeof answer, 500), 1);
    EXPECT_EQ(answer[0], 0x06);
    EXPECT_EQ(sim.transport.usb.DeviceReports(), 1u);
}

// A Linux host's write outlasts a refusal of 6 s (the kernel's 5 s bound,
// then the packet's next try); a Windows host's write gives up after 300 ms
// and the packet's tries run out while the refusal lasts.
#ifdef _WIN32
constexpr uint32_t kRefusedResult = FLASH_RESULT_FAILED;
#else
constexpr uint32_t kRefusedResult = FLASH_RESULT_OK;
#endif

// A burst of foreign reports while the host sleeps after its erase command
// fills the host's queue (hidraw's 64 here) and the device's own answer is
// dropped: a retransmission, and the flash goes on. An endpoint that refuses
// output reports for longer than a write waits makes writes fail. Either
// way the run ends with its code in bounded time, and a second run flashes
// the device byte for byte.
TEST(UsbLinkFaults, DroppedInputAndRefusedOutputEndWithTheirCodesAndASecondRunFlashes)
{
    const struct {
        const char* what;
        bool burst;
        uint32_t result;
    } cases[] = {{"burst of foreign reports at the erase", true, FLASH_RESULT_OK},
                 {"OUT refused at the erase", false, kRefusedResult}};
    testing_support::FirmwareFile f = testing_support::StandardFile(0x41, {.bootSize = 1000, .appSize = 3000});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
        config.unit.cbl = 4;
        testing_support::FlashRun run(config);
        run.sim.SetU64(CFS_INTERFACE, INTERFACE_USB_HID);
        run.sim.transport.usbReports = true;
        run.sim.transport.usb.SetQueueLength(64);
        std::wstring file = run.sim.WriteFile("fw.mocf", f.file);
        sim::Faults& faults = run.sim.device.Env().faults;
        bool armed = false;
        run.Watch([&](const std::string& line) {
            // The first erase: the frame after it switches the fault on.
            if (armed || line.find("frame #") == std::string::npos || line.find(" cmd=9") == std::string::npos)
                return;
            armed = true;
            uint32_t frame = run.sim.device.Env().counters.commandFrames;
            (c.burst ? faults.usbBurstFrame : faults.usbRefuseOutFrame) = frame;
            faults.usbRefuseOutMs = 6000;   // past the kernel's 5 s as well
        });
        uint64_t start = run.sim.Now();
        EXPECT_EQ(run.sim.Flash(file), c.result) << run.sim.log->Text();
        EXPECT_LE(run.sim.Now() - start, 120000u) << "virtual milliseconds";
        ASSERT_TRUE(armed);
        if (c.burst)
            EXPECT_GT(run.sim.transport.usb.DroppedReports(), 0u);
        else
            EXPECT_GT(run.sim.transport.usb.RefusedWrites(), 0u);
        if (c.result == FLASH_RESULT_OK)
            testing_support::ExpectFlashed(run.Unit(testing_support::Target::Cable), f, c.what);
        run.ExpectSecondRunFlashes(f, testing_support::Target::Cable, c.what);
    }
}

} // namespace
