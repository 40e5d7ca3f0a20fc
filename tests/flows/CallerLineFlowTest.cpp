// After a flash the new application may run the caller's own line settings
// rather than the 8-N-1 the flash used: the waits for it are tried once more
// on the caller's settings. Whole flashes of a device whose application
// switches to 8-E-1 once its area has been written.
#include "support/FlashRun.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>

namespace {

using testing_support::FirmwareFile;
using testing_support::StandardFile;
using testing_support::Target;
using World = testing_support::FlashRun;

sim::DeviceConfig EvenParityAfterFlash(sim::DeviceConfig config)
{
    config.lineAfterFlash = sim::LineSettings{115200, 8, 'E', 1};
    return config;
}

// Each text appears in the log, after the one before it.
::testing::AssertionResult LoggedInOrder(const World& run, std::initializer_list<std::string> texts)
{
    const std::string& log = run.sim.log->Text();
    size_t at = 0;
    for (const std::string& text : texts) {
        size_t found = log.find(text, at);
        if (found == std::string::npos)
            return ::testing::AssertionFailure() << "\"" << text << "\" not logged after the line before\n" << log;
        at = found + text.size();
    }
    return ::testing::AssertionSuccess();
}

// The first line starting with `start` after the first `after` in the log.
std::string LineAfter(const World& run, const std::string& after, const std::string& start)
{
    const std::string& log = run.sim.log->Text();
    size_t at = log.find(after);
    at = at == std::string::npos ? at : log.find("\n" + start, at);
    if (at == std::string::npos)
        return {};
    return log.substr(at + 1, log.find('\n', at + 1) - at - 1);
}

// The caller's 8-E-1 settings kept aside, the flash itself on 8-N-1. The
// device's trace tells when it heard the host on 8-N-1 after its switch.
void FlashWithCallerOnEightEOne(World& run, const FirmwareFile& f)
{
    auto unheard = std::make_shared<int>(0);
    run.Watch([unheard](const std::string& line) {
        if (line.find("not understood: ") != std::string::npos &&
            line.find("at 115200-8N1, the device runs 115200-8E1") != std::string::npos)
            ++*unheard;
    });
    run.sim.SetSerial(8, EVENPARITY, ONESTOPBIT);
    run.NoteCallerState();
    std::wstring file = run.sim.WriteFile("fw.mocf", f.file);
    EXPECT_EQ(run.sim.Flash(file), FLASH_RESULT_OK) << run.sim.log->Text();
    EXPECT_TRUE(run.sim.Logged("SDK RS232 is not using 8-N-1 - backup it and set to 8-N-1."));
    run.ExpectCallerStateBack("flash on the caller's 8-E-1");
    EXPECT_GT(*unheard, 0) << "the first wait did not run on 8-N-1";
}

TEST(CallerLineAfterFlash, ACordedScannersRestartIsWaitedForOnEightNOneThenAtOnceOnTheCallersLine)
{
    World run(EvenParityAfterFlash(sim::DeviceConfig::CordedScanner()));
    FirmwareFile f = StandardFile(0x41);
    FlashWithCallerOnEightEOne(run, f);
    testing_support::ExpectFlashed(run.Unit(Target::Cable), f, "corded scanner");
    // The first wait hears nothing up to its limit; the second starts with
    // no pause in between (its stamp follows the first's end at once).
    EXPECT_TRUE(LoggedInOrder(run, {"From APP - reset wait start", "Reset timeout val: 10.000 Seconds",
                                    "FlashScanner_ResetWait TIMEOUT", "From APP - reset wait end",
                                    "RS232 backup settings is not 8-N-1 - retry with backup.",
                                    "From APP - reset wait start", "From APP - reset wait end",
                                    "Try to get pinfo from corede device", "Result: 0"}));
    std::string second = LineAfter(run, "retry with backup.", "From APP - reset wait start");
    EXPECT_NE(second.find("Delta: 0.000)"), std::string::npos) << second;
    EXPECT_FALSE(run.sim.Logged("No more retry available"));
}

TEST(CallerLineAfterFlash, ALinkedCradleIsWaitedForOnTheCallersLineWithTheLongerLimit)
{
    World run(EvenParityAfterFlash(sim::DeviceConfig::CradleWithScanner()));
    FirmwareFile f = StandardFile(0x61);
    FlashWithCallerOnEightEOne(run, f);
    testing_support::ExpectFlashed(run.Unit(Target::Cable), f, "cradle");
    // The first link wait, on 8-N-1, has the short limit a caller who is not
    // on 8-N-1 gets; the second, on the caller's line, the long one, after
    // a pause that lets the line settle.
    EXPECT_TRUE(LoggedInOrder(
        run, {"RF connection wait start",
              "Wait 6s before re-establishing RF connection in corded scanner flash with RS232 and default is NOT 8-N-1.",
              "Reset timeout val: 18.000 Seconds, dw: 4 Seconds.", "FlashScanner_ResetWait TIMEOUT",
              "RF connection wait end", "RS232 backup settings is not 8-N-1 - retry with backup.",
              "Wait 12s before re-establishing RF connection in corded scanner flash with RS232 and default is 8-N-1.",
              "Reset timeout val: 100.000 Seconds, dw: 6 Seconds.", "RF connection wait end",
              "One RF connection, try to get pinfo from scanner to ensure it is ready.", "Result: 0"}));
    // 3 s for the line, then the 12 s every long link wait begins with.
    std::string second = LineAfter(run, "retry with backup.", "Reset Loop Start");
    EXPECT_NE(second.find("Delta: 15.000)"), std::string::npos) << second;
    EXPECT_FALSE(run.sim.Logged("failed to re-establish RF connection."));
}

} // namespace
