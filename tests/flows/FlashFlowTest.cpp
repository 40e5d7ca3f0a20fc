// Whole flashes through the host's entry point against simulated devices on
// the virtual clock: every host result code from a realistic device or
// fault, the flashed areas compared with the file, and after every failure
// the caller's settings back and a second run that flashes the same device.
#include "support/FlashRun.h"

#include "files/FirmwareBuilder.h"
#include "io/FlashIo.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using testing_support::AssistReply;
using testing_support::Bytes;
using testing_support::FirmwareFile;
using testing_support::StandardFile;
using testing_support::Target;
using World = testing_support::FlashRun;

constexpr uint8_t kScannerCompat = 0x41;
constexpr uint8_t kCradleCompat = 0x61;

// Host progress callback: lets a scenario act at a given progress.
std::function<void(uint64_t, uint64_t)> g_onProgress;
int32_t OnProgress(uint64_t, int32_t, uint64_t position, uint64_t total)
{
    if (g_onProgress)
        g_onProgress(position, total);
    return 0;
}

// The device takes a new port name at every restart into its application;
// the host is asked for it.
void RenamingPort(World& run, AssistReply reply)
{
    run.sim.device.Env().faults.portChange = true;
    World::Assist() = reply;
    run.InstallAssist();
}

struct Scenario {
    const char* what;
    std::function<sim::DeviceConfig()> device;
    std::function<void(World&, const FirmwareFile&)> arrange;
    uint8_t fileCompat;       // the file's compat id
    uint32_t code;            // host result code
    const char* logged;       // a line the run must log
    Target written;           // whose areas must equal the file afterwards
    bool appOnly = false;     // the file holds no boot image
    bool retried = true;      // false: the device itself, not a fault, refuses; a second run would too
};

void PrintTo(const Scenario& s, std::ostream* os)
{
    *os << s.what;
}

sim::DeviceConfig Corded() { return sim::DeviceConfig::CordedScanner(); }
sim::DeviceConfig Cradle() { return sim::DeviceConfig::CradleWithScanner(); }

void Nothing(World&, const FirmwareFile&) {}

void CancelAt(World& run, uint64_t position)
{
    run.sim.Set(CFS_FWCALLBACK, reinterpret_cast<void*>(&OnProgress), 8);
    g_onProgress = [&run, position](uint64_t at, uint64_t total) {
        if (at >= position && total > 0x10100)
            run.sim.SetU64(CFS_CANCELIO, 1);
    };
}

const Scenario kScenarios[] = {
    {"corded scanner in its application", Corded, Nothing, kScannerCompat, FLASH_RESULT_OK, "Result: 0",
     Target::Cable},
    {"corded scanner found in its bootloader",
     [] {
         auto c = Corded();
         c.unit.startInBootloader = true;
         return c;
     },
     Nothing, kScannerCompat, FLASH_RESULT_OK_FROM_BOOT, "Not from APP - assume success, do not check.",
     Target::Cable},
    {"no tries at all: the state stays unknown", Corded,
     [](World& run, const FirmwareFile&) { run.sim.SetU64(CFS_PELLARO_RETRY_MAX, 0); }, kScannerCompat,
     FLASH_RESULT_FAILED, "Cannot flash scanner: Unknown state: 0x3f", Target::Nothing},
    {"cancel during the application transfer", Corded,
     [](World& run, const FirmwareFile&) { CancelAt(run, 0x10100 + 4000); }, kScannerCompat, FLASH_RESULT_CANCELLED,
     "Cancelled, tused:", Target::Nothing},
    {"cancel during the restart wait after the boot image", Corded,
     [](World& run, const FirmwareFile&) {
         run.When("restarting into the application", [&run] { run.sim.SetU64(CFS_CANCELIO, 1); });
     },
     kScannerCompat, FLASH_RESULT_CANCELLED, "CancelIO TRUE", Target::Nothing},
    {"a file for other hardware", Corded, Nothing, 0x77, FLASH_RESULT_INCOMPATIBLE, "File is not compatible, not in list",
     Target::Nothing},
    {"the device refuses everything the file names",
     [] {
         auto c = Corded();
         c.unit.incompat = {kScannerCompat};
         return c;
     },
     Nothing, kScannerCompat, FLASH_RESULT_INCOMPATIBLE, "File is incompatible at entry 0", Target::Nothing},
    {"no answer after the end-of-flash command", Corded,
     [](World& run, const FirmwareFile&) {
         run.When("VISMN4", [&run] { run.sim.device.Env().faults.garbleEveryEcho = true; });
     },
     kScannerCompat, FLASH_RESULT_NO_SERVER_MODE,
     "can not get correct PINFO from corede device after VISMN4 command.", Target::Cable},
    {"a low-power scanner silent from the end-of-flash command on",
     [] {
         auto c = Corded();
         c.unit.lowPower = true;
         return c;
     },
     [](World& run, const FirmwareFile&) {
         run.When("VISMN4", [&run] {
             sim::Environment& env = run.sim.device.Env();
             env.faults.silentFrom = env.counters.outputBytes + 1;
         });
     },
     kScannerCompat, FLASH_RESULT_NO_SERVER_MODE,
     "can not get correct PINFO from corede device after VISMN4 command.", Target::Cable},
    {"a report without a known cable: the configured one is reopened",
     [] {
         auto c = Corded();
         c.unit.cbl = 7;
         return c;
     },
     Nothing, kScannerCompat, FLASH_RESULT_OK,
     "reboot_type = 0, device type = 0, pinfo.physical_cable_type = ?.", Target::Cable},
    {"the scanner's link drops after flashing the cradle", Cradle,
     [](World& run, const FirmwareFile&) {
         run.When("VISMN4", [&run] { run.sim.device.TheCradle()->SetScannerInRange(false); });
         run.recover = [&run] { run.sim.device.TheCradle()->SetScannerInRange(true); };
     },
     kCradleCompat, FLASH_RESULT_NO_SCANNER, "RF connection existed, but lost after flashing.", Target::Cable},
    {"no link and the scanner away from its cradle",
     [] {
         auto c = Cradle();
         c.linked = false;
         return c;
     },
     Nothing, kScannerCompat, FLASH_RESULT_NO_LINK, "No bluethooth connection and scanner is not on cradle.",
     Target::Nothing, false, false},
    {"the wireless scanner's battery is low",
     [] {
         auto c = Cradle();
         c.faults.lowBattery = true;
         return c;
     },
     Nothing, kScannerCompat, FLASH_RESULT_LOW_BATTERY, "Cannot flash scanner: scanner is low battery.",
     Target::Nothing},
    {"a cradle in client mode has no scanner for the file",
     [] {
         auto c = Cradle();
         c.serverMode = false;
         return c;
     },
     Nothing, kScannerCompat, FLASH_RESULT_NO_SCANNER,
     "Cradle is not in server mode, there is no scanner connected with cradle.", Target::Nothing, false, false},
    {"the port's new name is not given", Corded,
     [](World& run, const FirmwareFile&) { RenamingPort(run, {7, L""}); },
     kScannerCompat, FLASH_RESULT_NO_PORT_NAME, "Failed: client can not provided new port string, error code = 7.",
     Target::Cable, true},
    {"the port's new name comes empty", Corded,
     [](World& run, const FirmwareFile&) { RenamingPort(run, {0, L""}); },
     kScannerCompat, FLASH_RESULT_NO_PORT_NAME, "New port string is empty.", Target::Cable, true},
    {"the port's new name is given", Corded,
     [](World& run, const FirmwareFile&) {
         RenamingPort(run, {0, L""});
         run.When("comes back as",
                  [&run] { World::Assist() = {0, platform::Utf8ToWide(run.sim.device.PortName())}; });
     },
     kScannerCompat, FLASH_RESULT_OK, "DefaultCableType = R, device name: SIM1", Target::Cable, true},
    {"the caller's line is 8-N-2: one pass on 8-N-1, then the caller's",
     [] {
         auto c = Corded();
         c.line = sim::LineSettings{115200, 8, 'N', 2};
         return c;
     },
     [](World& run, const FirmwareFile&) { run.sim.SetSerial(8, NOPARITY, TWOSTOPBITS); }, kScannerCompat,
     FLASH_RESULT_OK, "RS232 backup settings is not 8-N-1 - retry with backup.", Target::Cable},
    {"the caller's line is 8-O-1",
     [] {
         auto c = Corded();
         c.line = sim::LineSettings{115200, 8, 'O', 1};
         return c;
     },
     [](World& run, const FirmwareFile&) { run.sim.SetSerial(8, ODDPARITY, ONESTOPBIT); }, kScannerCompat,
     FLASH_RESULT_OK, "SDK RS232 is not using 8-N-1 - backup it and set to 8-N-1.", Target::Cable},
    {"a bootloader of protocol version 22",
     [] {
         auto c = Corded();
         c.faults.protocolVersion = 22;
         return c;
     },
     Nothing, kScannerCompat, FLASH_RESULT_OK,
     "ScannerFlash Protocol mismatch: Expect: 23, got 22 - Assuming it will work!", Target::Cable},
    {"a restart that outlasts the wait", Corded,
     [](World& run, const FirmwareFile&) {
         run.When("application area ended", [&run] { run.sim.device.Env().faults.slowRestartMs = 70000; });
     },
     kScannerCompat, FLASH_RESULT_FAILED, "FlashScanner_ResetWait TIMEOUT", Target::Cable},
    {"the wireless scanner behind a transparent cradle", Cradle, Nothing, kScannerCompat, FLASH_RESULT_OK,
     "Get OK response as expected", Target::Scanner},
    {"the scanner in the cradle in its bootloader, no link: one wire",
     [] {
         auto c = Cradle();
         c.linked = false;
         c.scannerInCradle = true;
         c.scanner.startInBootloader = true;
         return c;
     },
     Nothing, kScannerCompat, FLASH_RESULT_OK_FROM_BOOT, "Try to set up connection via one wire.", Target::Scanner},
    {"cancel during the transfer through the cradle", Cradle,
     [](World& run, const FirmwareFile&) {
         CancelAt(run, 0x10100 + 4000);
         // Its application half written, the scanner stays in its bootloader
         // and can no longer link: the user puts it into the cradle.
         run.recover = [&run] { run.sim.device.TheCradle()->SetScannerInCradle(true); };
     },
     kScannerCompat, FLASH_RESULT_CANCELLED,
     "FlashScanner(): Send BASDNG1 command to make cradle enter server mode.", Target::Nothing},
    {"the cradle does not go back to server mode", Cradle,
     [](World& run, const FirmwareFile&) {
         run.When("+++: transparent mode left", [&run] { run.sim.device.Env().faults.garbleEveryEcho = true; });
     },
     kScannerCompat, FLASH_RESULT_NO_SERVER_MODE,
     "FlashScanner(): failed to make cradle enter server mode by BASDNG1 command.", Target::Scanner},
    {"one wire: the cradle never reaches the scanner",
     [] {
         auto c = Cradle();
         c.linked = false;
         c.scannerInCradle = true;
         c.scanner.startInBootloader = true;
         return c;
     },
     [](World& run, const FirmwareFile&) {
         run.sim.device.TheCradle()->SetScannerInRange(false);
         run.recover = [&run] { run.sim.device.TheCradle()->SetScannerInRange(true); };
     },
     kScannerCompat, FLASH_RESULT_FAILED, "FAILED: Can not set up connection between scanner and cradle.",
     Target::Nothing},
    {"the cradle itself, with its scanner linked", Cradle, Nothing, kCradleCompat, FLASH_RESULT_OK,
     "One RF connection, try to get pinfo from scanner to ensure it is ready.", Target::Cable},
};

class FlashFlow : public ::testing::TestWithParam<Scenario> {
protected:
    void SetUp() override { g_onProgress = nullptr; }
};

TEST_P(FlashFlow, ResultSettingsAndASecondRun)
{
    const Scenario& s = GetParam();
    World run(s.device());
    testing_support::FileShape shape;
    if (s.appOnly)
        shape.bootSize = 0;
    FirmwareFile f = StandardFile(s.fileCompat, shape);
    std::wstring file = run.sim.WriteFile("fw.mocf", f.file);
    s.arrange(run, f);
    run.NoteCallerState();

    uint64_t start = run.sim.Now();
    EXPECT_EQ(run.sim.Flash(file), s.code) << s.what << "\n" << run.sim.log->Text();
    EXPECT_TRUE(run.sim.Logged(s.logged)) << s.what << ": " << s.logged;
    // Bounded: the longest waits of a flash are a few minutes of device time.
    EXPECT_LT(run.sim.Now() - start, 20u * 60 * 1000) << s.what;
    if (s.written != Target::Nothing)
        testing_support::ExpectFlashed(run.Unit(s.written), f, s.what);
    run.ExpectCallerStateBack(s.what);
    if (s.code == FLASH_RESULT_OK || s.code == FLASH_RESULT_OK_FROM_BOOT)
        return;
    if (s.code == FLASH_RESULT_INCOMPATIBLE || !s.retried)
        return;   // the device is untouched and would answer the same
    g_onProgress = nullptr;
    bool forCable = !run.sim.device.TheCradle() || s.fileCompat == kCradleCompat;
    run.ExpectSecondRunFlashes(f, forCable ? Target::Cable : Target::Scanner, s.what);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FlashFlow, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                             return "S" + std::to_string(info.index);
                         });

} // namespace

namespace {

// On USB too, a device whose report names no cable the library knows is
// looked for where the host configured it: its bootloader on USB, never
// through a serial set-up of the HID path.
TEST(FlashFlowCable, AUsbScannerWhoseReportNamesNoKnownCableIsFoundAgainOnUsb)
{
    sim::DeviceConfig config = Corded();
    config.unit.cbl = 7;
    World run(config);
    run.sim.SetU64(CFS_INTERFACE, INTERFACE_USB_HID);
    FirmwareFile f = StandardFile(kScannerCompat);
    EXPECT_EQ(run.sim.Flash(run.sim.WriteFile("fw.mocf", f.file)), FLASH_RESULT_OK) << run.sim.log->Text();
    testing_support::ExpectFlashed(run.Unit(Target::Cable), f, "USB, unknown cable");
    EXPECT_TRUE(run.sim.Logged("pinfo.physical_cable_type = ?."));
    EXPECT_FALSE(run.sim.Logged("RS232 Open BOOT Mode"));
}

TEST(FlashFlowFile, AFileThatIsNotFirmwareAnswersThreeAndTheDeviceStillHearsTheEnd)
{
    testing_support::SimTool sim(sim::DeviceConfig::CordedScanner());
    std::wstring file = sim.WriteFile("notes.txt", Bytes(300, 'x'));
    EXPECT_EQ(sim.Flash(file), FLASH_RESULT_BAD_FILE);
    EXPECT_TRUE(sim.Logged("Result: 3"));
    EXPECT_TRUE(sim.Logged("VISMN4"));
    EXPECT_TRUE(sim.device.Cable().ApplicationArea().data.empty());
}

} // namespace
