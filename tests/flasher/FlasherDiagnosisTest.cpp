// How the flasher tells a failure's cause and the device's state from the
// library's status reports and log lines, and what a device report says.
#include "DeviceReport.h"
#include "Diagnosis.h"
#include "Progress.h"
#include "Results.h"
#include "UdevRule.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using flasher::Diagnose;
using flasher::Facts;

struct Report {
    uint32_t status;
    uint64_t x = 0, y = 0;
};

// The reports a run made, as the library sends them.
flasher::StatusTrail Trail(const std::vector<Report>& reports)
{
    flasher::StatusTrail trail;
    for (const Report& r : reports)
        trail.Add(r.status, r.x, r.y);
    return trail;
}

const std::vector<Report> kNoAnswer = {{14}, {17}, {1}, {15}, {17}, {22}, {15}, {17}};
const std::vector<Report> kCancelInApp = {{1}, {17}, {2, 1, 3}, {5, 0, 4096}, {5, 4096, 4096}, {7},
                                          {15}, {2, 1, 3}, {9, 0, 16384}, {9, 512, 16384}, {12}, {19}};
const std::vector<Report> kBothWritten = {{1}, {2, 1, 3}, {5, 4096, 4096}, {7}, {2, 1, 3}, {9, 16384, 16384}, {11},
                                          {17}, {15}};

struct StateCase {
    const char* name;
    std::vector<Report> reports;
    int32_t result;
    bool cancelled;
    const char* state;
    const char* says;   // part of the state's words
};

const StateCase kStates[] = {
    {"NoAnswer", kNoAnswer, 1, false, "untouched", "nothing was written"},
    {"CancelInApplication", kCancelInApp, 2, true, "bootloader", "without an application: run flash again"},
    {"CancelAfterBothImages", kBothWritten, 2, true, "flashed", "check that it runs was cancelled"},
    {"NotBackAfterRestart", kBothWritten, 1, false, "flashed", "did not answer"},
    {"BootImageOnly", {{1}, {2, 1, 3}, {5, 4096, 4096}, {7}}, 1, false, "bootloader", "run flash again"},
    {"FlashedFromBootloader", kBothWritten, 6, false, "flashed", "new application is written"},
};

TEST(DeviceState, FollowsHowFarTheReportsGot)
{
    for (const StateCase& c : kStates) {
        Facts facts;
        facts.result = c.result;
        facts.cancelled = c.cancelled;
        facts.trail = Trail(c.reports);
        flasher::Diagnosis d = Diagnose(facts);
        EXPECT_EQ(d.deviceState, c.state) << c.name;
        EXPECT_NE(d.stateText.find(c.says), std::string::npos) << c.name << ": " << d.stateText;
        EXPECT_EQ(d.failed, !flasher::Flashed(c.result)) << c.name;
    }
}

// Log lines as the library writes them at medium detail.
const char kRefusedLog[] = "OPEN: /dev/pts/3 @ 115200 8-N-1\n"
                           "Open Success: /dev/pts/3, baudrate: -1\n"
                           "OPEN: /dev/pts/3 @ 115200 8-E-1\n"
                           "Cannot set (sdk) serial parameters\n"
                           "Error: (/dev/pts/3) 0x00000016 Invalid argument\n"
                           " Result: -3\n";
const char kGoneLog[] = "OPEN: /dev/pts/3 @ 115200 8-N-1\n"
                        "Cannot open Device: /dev/pts/3\n"
                        "Error: (/dev/pts/3) 0x00000002 No such file or directory\n";

struct CauseCase {
    const char* name;
    std::vector<Report> reports;
    const char* log;
    int32_t result;
    const char* step;
    const char* says;
};

const CauseCase kCauses[] = {
    {"NoAnswerToPinfo", kNoAnswer, "", 1, "reading the device's report (P_INFO)",
     "no answer to P_INFO on /dev/pts/3 at 115200 8-N-1: wrong port, wrong speed, or the device is off"},
    {"LineSettingsRefused", {{17}, {15}}, kRefusedLog, -3, "opening the port",
     "the port refused 115200 8-E-1: Invalid argument"},
    {"RefusedWhenCheckedAfterwards", kBothWritten, kRefusedLog, 1, "waiting for the device to restart",
     "the port refused 115200 8-E-1"},
    {"GoneAfterRestart", kBothWritten, kGoneLog, 1, "waiting for the device to restart",
     "the device did not come back after its restart (new port name?)"},
    {"NotFirmware", {{17}}, "", 3, "", "fw.mocf is not firmware"},
    {"Incompatible", {{1}, {17}}, "", 4, "reading", "does not fit the device on /dev/pts/3"},
};

TEST(FailureCause, NamesWhatFailedFromReportsAndLog)
{
    for (const CauseCase& c : kCauses) {
        Facts facts;
        facts.port = "/dev/pts/3";
        facts.line = "115200 8-N-1";
        facts.file = "fw.mocf";
        facts.result = c.result;
        facts.trail = Trail(c.reports);
        facts.log = flasher::ScanLog(c.log);
        flasher::Diagnosis d = Diagnose(facts);
        EXPECT_TRUE(d.failed) << c.name;
        EXPECT_EQ(d.failedStep.rfind(c.step, 0), 0u) << c.name << ": " << d.failedStep;
        EXPECT_NE(d.detail.find(c.says), std::string::npos) << c.name << ": " << d.detail;
    }
}

TEST(FailureCause, ANodeThisUserMayNotOpenNamesTheNodeAndTheRuleCommand)
{
    // As the library logs it on Linux, with the preserved path of a flash
    // that had already sent the device into its bootloader as well.
    const std::string denied = "do_usb_open - Could not create device Handle\n"
                               "do_usb_open - /dev/hidraw7: (13) Permission denied: no permission to open it "
                               "(a udev rule gives it to the user at the seat)\n";
    const struct {
        const char* name;
        std::vector<Report> reports;
        int32_t result;
        const char* state;
    } cases[] = {
        {"AtTheStart", {{14}, {15}, {20}}, -3, "untouched"},
        {"TheBootloadersNode", {{1}, {2, 1, 3}, {7}, {15}, {23}}, 1, "bootloader"},
    };
    for (const auto& c : cases) {
        Facts facts;
        facts.usb = true;
        facts.port = "/dev/hidraw3";
        facts.result = c.result;
        facts.trail = Trail(c.reports);
        facts.log = flasher::ScanLog(denied);
        flasher::Diagnosis d = Diagnose(facts);
        EXPECT_TRUE(d.noPermission) << c.name;
        EXPECT_EQ(d.detail, "no permission to open /dev/hidraw7") << c.name;
        EXPECT_NE(d.hint.find("sudo tambrix-flash udev-rule --port /dev/hidraw7 --output "
                              "/etc/udev/rules.d/70-tambrix01.rules"),
                  std::string::npos)
            << c.name << ": " << d.hint;
        EXPECT_EQ(d.deviceState, c.state) << c.name;
    }
    // A busy or vanished device is no permission problem.
    Facts busy;
    busy.usb = true;
    busy.port = "/dev/hidraw7";
    busy.result = -3;
    busy.log = flasher::ScanLog("do_usb_open - /dev/hidraw7: (16) Device or resource busy: another program holds "
                                "the device; close it and try again\n");
    flasher::Diagnosis busyDiagnosis = Diagnose(busy);
    EXPECT_FALSE(busyDiagnosis.noPermission);
    EXPECT_EQ(busyDiagnosis.detail, "the device on /dev/hidraw7 could not be opened: another program holds the device; "
                                    "close it and try again");
}

TEST(UdevRule, CoversTheApplicationAndTheBootloaderWithAStableLink)
{
    std::string both = flasher::UdevRuleText("/dev/hidraw3", {0xF0F0, 0x0B00}, {0xF0F0, 0x0B01});
    for (const char* pid : {"0b00", "0b01"}) {
        std::string line = std::string("SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"f0f0\", ATTRS{idProduct}==\"") +
                           pid + "\", TAG+=\"uaccess\", SYMLINK+=\"tambrix01-f0f0-" + pid + "\"\n";
        EXPECT_NE(both.find(line), std::string::npos) << both;
    }
    // One identity in both modes: one line, not two of the same.
    std::string one = flasher::UdevRuleText("/dev/hidraw3", {0xF0F0, 0x0B00}, {0xF0F0, 0x0B00});
    size_t first = one.find("SUBSYSTEM==");
    EXPECT_EQ(one.find("SUBSYSTEM==", first + 1), std::string::npos) << one;
}

TEST(UdevRule, IdsFromTheCommandLineAndFromTheDevicesReport)
{
    const struct {
        const char* text;
        bool ok;
        int vid, pid;
    } ids[] = {
        {"f0f0:0b01", true, 0xF0F0, 0x0B01}, {"0xF0F0:0x0B01", true, 0xF0F0, 0x0B01}, {"f0f0", false, 0, 0},
        {"f0f0:", false, 0, 0},             {"1f0f0:0b01", false, 0, 0},           {"f0f0:0b0x", false, 0, 0},
    };
    for (const auto& c : ids) {
        flasher::UsbIds parsed;
        EXPECT_EQ(flasher::ParseUsbIds(c.text, parsed), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(parsed.vendorId, c.vid) << c.text;
            EXPECT_EQ(parsed.productId, c.pid) << c.text;
        }
    }
    EXPECT_EQ(flasher::ReportId("0xf0f0"), 0xF0F0);
    EXPECT_EQ(flasher::ReportId("2817"), 0x0B01);
    EXPECT_EQ(flasher::ReportId("70000"), -1);
    EXPECT_EQ(flasher::ReportId(""), -1);
    EXPECT_EQ(flasher::ReportId("-1"), -1);
}

TEST(FailureCause, SettingsFileErrorsAreTheLibrarysOwnLines)
{
    flasher::LogFacts facts = flasher::ScanLog("LOAD protocal file: bad.txt\n"
                                               "bad.txt:2: ERROR: Setting 'BOGUS_name' not found\n"
                                               "bad.txt:3: ERROR: Not a number\n");
    ASSERT_EQ(facts.settingsErrors.size(), 2u);
    EXPECT_EQ(facts.settingsErrors[1], "bad.txt:3: ERROR: Not a number");
}

TEST(CancelBound, CoversTheStepAndTheEndOfFlashCommand)
{
    flasher::Timeouts t;
    // A dead port: three tries of the report, then the end-of-flash command.
    int reading = flasher::CancelBoundSeconds(flasher::kStatusGetInfo, t);
    EXPECT_GE(reading, 10);
    EXPECT_LE(reading, 15);
    // A restart wait is bound by the reset timeout.
    EXPECT_GT(flasher::CancelBoundSeconds(flasher::kStatusAppRestart, t), 10);
    t.resetMs = 30000;
    EXPECT_GT(flasher::CancelBoundSeconds(flasher::kStatusAppRestart, t), 30);
}

TEST(Progress, AnImageStartedOverIsMarkedAsWrittenAgain)
{
    flasher::ProgressTracker tracker;
    auto now = flasher::Clock::now();
    tracker.UpdatePhase(flasher::Phase::Boot, 0, 4096, now);
    tracker.UpdatePhase(flasher::Phase::Boot, 1024, 4096, now);
    tracker.UpdatePhase(flasher::Phase::Boot, 0, 4096, now);   // the device lost power
    tracker.UpdatePhase(flasher::Phase::Boot, 4096, 4096, now);
    tracker.UpdatePhase(flasher::Phase::App, 0, 8192, now);
    std::vector<flasher::PhaseProgress> phases = tracker.Phases();
    ASSERT_EQ(phases.size(), 3u);
    EXPECT_FALSE(phases[0].again);
    EXPECT_TRUE(phases[1].again);
    EXPECT_TRUE(phases[1].Complete());
    EXPECT_EQ(phases[2].phase, flasher::Phase::App);
    EXPECT_FALSE(phases[2].again);
}

TEST(Results, EveryFlashThatFlashedExitsZero)
{
    EXPECT_EQ(flasher::FlashExitCode(0), 0);
    EXPECT_EQ(flasher::FlashExitCode(6), 0);
    EXPECT_EQ(flasher::FlashExitCode(2), 2);
    EXPECT_EQ(flasher::FlashExitCode(5), 5);
    EXPECT_EQ(flasher::FlashExitCode(-3), 253);
}

TEST(DeviceReportText, VersionsBeforeAndAfter)
{
    flasher::DeviceReport before = flasher::ParseDeviceReport("fmt: 1\nmode: app\napp-rev: 1.0\nboot-rev: B1\n");
    flasher::DeviceReport after = flasher::ParseDeviceReport("mode: app\napp-rev: 2.0\nboot-rev: B1\n");
    EXPECT_EQ(before.Mode(), "application");
    EXPECT_EQ(flasher::VersionChange(before, after), "application 1.0 -> 2.0, bootloader B1 (unchanged)");
    EXPECT_EQ(flasher::VersionChange(before, {}),
              "application 1.0 -> (not read after the flash), bootloader B1 -> (not read after the flash)");
    EXPECT_EQ(flasher::VersionChange({}, {}), "");
}

} // namespace
