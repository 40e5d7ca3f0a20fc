// The pauses of a flash as settings, and the fast profile with its way back,
// on the virtual clock: a host that sets nothing keeps the long-standing
// pauses; the fast profile is faster against a device that keeps up and
// writes the same bytes; against a device that cannot listen while it
// works it falls back to the full pauses and still flashes byte for byte.
#include "io/FlashIo.h"
#include "support/FlashRun.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using testing_support::ExpectFlashed;
using testing_support::FirmwareFile;
using testing_support::FlashRun;
using testing_support::Target;

enum class Cable { Serial, Usb };

sim::DeviceConfig Scanner(Cable cable)
{
    sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
    if (cable == Cable::Usb)
        config.unit.cbl = 4;
    return config;
}

// A bootloader that needs the host's pauses: its work takes most of them,
// and it cannot listen meanwhile.
sim::DeviceConfig SlowScanner(Cable cable, sim::Faults::Busy busy)
{
    sim::DeviceConfig config = Scanner(cable);
    config.timings.writeMs = 15;
    config.timings.eraseMs = 400;
    config.faults.busy = busy;
    return config;
}

FirmwareFile File()
{
    return testing_support::StandardFile(0x41, {.bootSize = 3000, .appSize = 20000});
}

// Virtual instants of device trace lines, to measure the host's pauses from
// the device's side.
struct Moments {
    std::vector<uint64_t> blockFrames;   // each block write frame taken
    uint64_t newap2 = 0;                 // the boot entry command
    uint64_t bootLook = 0;               // the first report asked for after it
};

struct Outcome {
    uint32_t code = 0;
    uint64_t ms = 0;
    uint64_t fellBack = 0;
    uint32_t busyLost = 0;
    Moments moments;
    std::string log;
};

Outcome FlashOnce(const sim::DeviceConfig& config, Cable cable, const FirmwareFile& file,
            const std::vector<std::pair<int32_t, uint64_t>>& settings = {})
{
    FlashRun run(config);
    if (cable == Cable::Usb) {
        run.sim.SetU64(CFS_INTERFACE, INTERFACE_USB_HID);
        run.sim.transport.usbReports = true;
    }
    for (const auto& [id, value] : settings)
        EXPECT_EQ(run.sim.SetU64(id, value), 0u) << std::hex << id;
    Outcome out;
    run.Watch([&](const std::string& line) {
        uint64_t now = run.sim.Now();
        if (line.find(" cmd=16 ") != std::string::npos && line.find("-> ACK") != std::string::npos)
            out.moments.blockFrames.push_back(now);
        if (line.find("NEWAP2") != std::string::npos && !out.moments.newap2)
            out.moments.newap2 = now;
        if (out.moments.newap2 && !out.moments.bootLook && line.find("P_INFO") != std::string::npos &&
            line.find("NEWAP2") == std::string::npos)
            out.moments.bootLook = now;
    });
    std::wstring name = run.sim.WriteFile("fw.mocf", file.file);
    uint64_t start = run.sim.Now();
    out.code = run.sim.Flash(name);
    out.ms = run.sim.Now() - start;
    EXPECT_EQ(run.sim.tool->GetSetting(CFS_TAMBRIX_FAST_FALLBACK, &out.fellBack, sizeof out.fellBack), 0u);
    out.busyLost = run.sim.device.Env().counters.busyLost;
    out.log = run.sim.log->Text();
    if (out.code == FLASH_RESULT_OK)
        ExpectFlashed(run.Unit(Target::Cable), file, "the flash");
    return out;
}

// The shortest gap between two block write frames the device took.
uint64_t ShortestBlockGap(const Moments& m)
{
    uint64_t shortest = UINT64_MAX;
    for (size_t i = 1; i < m.blockFrames.size(); ++i)
        shortest = std::min(shortest, m.blockFrames[i] - m.blockFrames[i - 1]);
    return shortest;
}

const std::vector<std::pair<int32_t, uint64_t>> kDocumentedDefaults = {
    {CFS_PELLARO_PAUSE_PACKET, 20},
    {CFS_PELLARO_PAUSE_RECEIVE, 20},
    {CFS_PELLARO_PAUSE_EMPTY_POLL, 5},
    {CFS_PELLARO_PAUSE_FAILED_TRY, 50},
    {CFS_PELLARO_RESTART_FIRST_LOOK, CFS_PACE_BY_CABLE},
    {CFS_PELLARO_RESTART_LOOK_INTERVAL, CFS_PACE_BY_CABLE},
    {CFS_PELLARO_READINESS_PAUSE, 10000},
    {CFS_PELLARO_FAST, 0},
};

class PacedFlash : public ::testing::TestWithParam<Cable> {};

INSTANTIATE_TEST_SUITE_P(Cables, PacedFlash, ::testing::Values(Cable::Serial, Cable::Usb),
                         [](const auto& info) { return info.param == Cable::Serial ? "Serial" : "Usb"; });

// Nothing set: each block waits 20 ms before its packet and 20 ms before
// its poll, the boot entry waits its cable's pause and one look interval;
// the documented defaults set explicitly change nothing at all.
TEST_P(PacedFlash, AHostThatSetsNothingKeepsTheLongStandingPauses)
{
    const Cable cable = GetParam();
    Outcome plain = FlashOnce(Scanner(cable), cable, File());
    ASSERT_EQ(plain.code, FLASH_RESULT_OK) << plain.log;
    ASSERT_GT(plain.moments.blockFrames.size(), 10u);
    EXPECT_GE(ShortestBlockGap(plain.moments), 40u);
    const uint64_t firstLook = cable == Cable::Serial ? 500 + 1000 : 2000 + 4000;
    EXPECT_GE(plain.moments.bootLook - plain.moments.newap2, firstLook);
    EXPECT_EQ(plain.fellBack, 0u);
    EXPECT_EQ(plain.log.find("Fast pacing"), std::string::npos);

    Outcome explicitDefaults = FlashOnce(Scanner(cable), cable, File(), kDocumentedDefaults);
    ASSERT_EQ(explicitDefaults.code, FLASH_RESULT_OK) << explicitDefaults.log;
    EXPECT_EQ(explicitDefaults.ms, plain.ms);
    EXPECT_EQ(explicitDefaults.moments.blockFrames, plain.moments.blockFrames);
}

// Each pause setting reaches its own pause.
TEST_P(PacedFlash, EachPauseSettingTakesEffect)
{
    const Cable cable = GetParam();
    Outcome plain = FlashOnce(Scanner(cable), cable, File());
    ASSERT_EQ(plain.code, FLASH_RESULT_OK) << plain.log;
    Outcome noPackets = FlashOnce(Scanner(cable), cable, File(),
                            {{CFS_PELLARO_PAUSE_PACKET, 0}, {CFS_PELLARO_PAUSE_RECEIVE, 0}});
    ASSERT_EQ(noPackets.code, FLASH_RESULT_OK) << noPackets.log;
    EXPECT_LT(ShortestBlockGap(noPackets.moments), 20u);
    EXPECT_LT(noPackets.ms + 35 * plain.moments.blockFrames.size(), plain.ms);

    Outcome looks = FlashOnce(Scanner(cable), cable, File(),
                        {{CFS_PELLARO_RESTART_FIRST_LOOK, 100},
                         {CFS_PELLARO_RESTART_LOOK_INTERVAL, 200},
                         {CFS_PELLARO_READINESS_PAUSE, 3000}});
    ASSERT_EQ(looks.code, FLASH_RESULT_OK) << looks.log;
    uint64_t entryPause = cable == Cable::Serial ? 500 : 2000;
    EXPECT_GE(looks.moments.bootLook - looks.moments.newap2, entryPause + 100);
    EXPECT_LT(looks.moments.bootLook - looks.moments.newap2,
              plain.moments.bootLook - plain.moments.newap2);
    EXPECT_LT(looks.ms + 7000, plain.ms);   // the readiness pause alone gives 7 s
}

// A device that keeps up (it answers "no reply yet" while it works): the
// fast profile is faster, writes the same bytes, and never falls back.
TEST_P(PacedFlash, FastAgainstADeviceThatKeepsUp)
{
    const Cable cable = GetParam();
    Outcome text = FlashOnce(Scanner(cable), cable, File());
    Outcome fast = FlashOnce(Scanner(cable), cable, File(), {{CFS_PELLARO_FAST, 1}});
    ASSERT_EQ(text.code, FLASH_RESULT_OK) << text.log;
    ASSERT_EQ(fast.code, FLASH_RESULT_OK) << fast.log;
    EXPECT_EQ(fast.fellBack, 0u);
    EXPECT_EQ(fast.log.find("Fast pacing"), std::string::npos) << fast.log;
    EXPECT_LT(fast.ms * 2, text.ms) << "fast " << fast.ms << " ms, text " << text.ms << " ms";
    EXPECT_LT(ShortestBlockGap(fast.moments), 20u);
    EXPECT_EQ(fast.moments.blockFrames.size(), text.moments.blockFrames.size());
}

// A device that loses (or NAKs) what comes while it works flashes on the
// long-standing pauses without a single loss; the fast profile meets the
// loss, falls back for the rest of the flash, and ends as the paced one.
TEST_P(PacedFlash, FastFallsBackOnADeviceThatNeedsItsPauses)
{
    const Cable cable = GetParam();
    for (sim::Faults::Busy busy : {sim::Faults::Busy::Loses, sim::Faults::Busy::Naks}) {
        SCOPED_TRACE(busy == sim::Faults::Busy::Loses ? "loses" : "NAKs");
        Outcome text = FlashOnce(SlowScanner(cable, busy), cable, File());
        ASSERT_EQ(text.code, FLASH_RESULT_OK) << text.log;
        EXPECT_EQ(text.busyLost, 0u) << "the long-standing pauses are enough for this device";
        EXPECT_EQ(text.fellBack, 0u);

        Outcome fast = FlashOnce(SlowScanner(cable, busy), cable, File(), {{CFS_PELLARO_FAST, 1}});
        ASSERT_EQ(fast.code, FLASH_RESULT_OK) << fast.log;
        EXPECT_GE(fast.busyLost, 1u);
        EXPECT_EQ(fast.fellBack, 1u);
        EXPECT_NE(fast.log.find("Fast pacing: the device did not keep up ("), std::string::npos) << fast.log;
        // Once: the rest of the flash runs on the full pauses.
        EXPECT_EQ(fast.log.find("Fast pacing", fast.log.find("Fast pacing") + 1), std::string::npos);
        EXPECT_GE(ShortestBlockGap(fast.moments), 40u);
    }
}

// The fallback belongs to one flash: the next starts fast again.
TEST(PacingFallback, IsForgottenWhenTheNextFlashStarts)
{
    sim::DeviceConfig config = SlowScanner(Cable::Serial, sim::Faults::Busy::Loses);
    FlashRun run(config);
    run.sim.SetU64(CFS_PELLARO_FAST, 1);
    FirmwareFile file = File();
    std::wstring name = run.sim.WriteFile("fw.mocf", file.file);
    uint64_t fellBack = 7;
    ASSERT_EQ(run.sim.Flash(name), FLASH_RESULT_OK) << run.sim.log->Text();
    ASSERT_EQ(run.sim.tool->GetSetting(CFS_TAMBRIX_FAST_FALLBACK, &fellBack, sizeof fellBack), 0u);
    EXPECT_EQ(fellBack, 1u);
    run.sim.device.Env().faults.busy = sim::Faults::Busy::Answers;
    ASSERT_EQ(run.sim.Flash(name), FLASH_RESULT_OK) << run.sim.log->Text();
    ASSERT_EQ(run.sim.tool->GetSetting(CFS_TAMBRIX_FAST_FALLBACK, &fellBack, sizeof fellBack), 0u);
    EXPECT_EQ(fellBack, 0u);
    uint32_t small = 0;
    EXPECT_EQ(run.sim.tool->GetSetting(CFS_TAMBRIX_FAST_FALLBACK, &small, 4), CFS_RESULT_REFUSED);
    EXPECT_EQ(run.sim.tool->SetSetting(CFS_TAMBRIX_FAST_FALLBACK, &fellBack, sizeof fellBack), CFS_RESULT_REFUSED);
}

} // namespace
