// Whole flashes through the host's entry point against simulated devices on
// the virtual clock: every host result code from a realistic device or
// fault, the flashed areas compared with the file, and after every failure
// the caller's settings back and a second run that flashes the same device.
#include "support/SimTool.h"

#include "files/FirmwareBuilder.h"
#include "io/FlashIo.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using testing_support::SimTool;

constexpr uint8_t kScannerCompat = 0x41;
constexpr uint8_t kCradleCompat = 0x61;

// A container with a boot and an application image for one compat id.
struct FirmwareFile {
    Bytes boot;
    Bytes app;
    Bytes file;
};

FirmwareFile StandardFile(uint8_t compat, bool withBoot = true, uint32_t appSize = 20000)
{
    firmware::ImageRecipe boot = firmware::DefaultBoot();
    boot.compat = {compat};
    boot.swRev = "BOOT-2";
    boot.size = 5000;
    firmware::ImageRecipe app = firmware::DefaultApp();
    app.compat = {compat};
    app.swRev = "APP-2";
    app.size = appSize;
    FirmwareFile f;
    f.boot = firmware::MakeImage(boot);
    f.app = firmware::MakeImage(app);
    firmware::ContainerRecipe recipe;
    recipe.tableIds = {compat};
    recipe.images = {f.boot, f.app};
    if (!withBoot) {
        f.boot.clear();
        recipe.images = {f.app};
    }
    f.file = firmware::MakeContainer(recipe);
    return f;
}

// What the areas of a unit must hold after a flash of the file: the boot
// image without its header, the application image whole.
void ExpectFlashed(const sim::FirmwareUnit& unit, const FirmwareFile& f, const std::string& what)
{
    if (!f.boot.empty()) {
        Bytes boot(f.boot.begin() + firmware::kImageHeaderSize, f.boot.end());
        EXPECT_EQ(unit.BootArea().data, boot) << what << ": boot area";
    }
    EXPECT_EQ(unit.ApplicationArea().data, f.app) << what << ": application area";
}

enum class Target { Nothing, Cable, Scanner };

// One run's world: the tool, the device and what the test does along the way.
struct World {
    explicit World(const sim::DeviceConfig& config) : sim(config)
    {
        sim.device.SetTrace([this](const std::string& line) {
            if (std::getenv("TAMBRIX_SIM_TRACE"))
                std::fprintf(stderr, "%s\n", line.c_str());
            for (auto& trigger : triggers)
                if (!trigger.fired && line.find(trigger.text) != std::string::npos) {
                    trigger.fired = true;
                    trigger.action();
                }
        });
    }
    // Does action once, when the device's trace first shows text.
    void When(const std::string& text, std::function<void()> action) { triggers.push_back({text, std::move(action)}); }

    struct Trigger {
        std::string text;
        std::function<void()> action;
        bool fired = false;
    };
    SimTool sim;
    std::vector<Trigger> triggers;
    std::function<void()> recover;   // undoes what a scenario did to the device
};



// Host progress callback: lets a scenario act at a given progress.
std::function<void(uint64_t, uint64_t)> g_onProgress;
int32_t OnProgress(uint64_t, int32_t, uint64_t position, uint64_t total)
{
    if (g_onProgress)
        g_onProgress(position, total);
    return 0;
}

struct AssistReply {
    int32_t result = 0;
    std::wstring name;
};
AssistReply g_assist;
int32_t OnAssist(void*, uint32_t, wchar_t* buffer, uint32_t capacity)
{
    wcsncpy(buffer, g_assist.name.c_str(), capacity);
    return g_assist.result;
}

// The device takes a new port name at every restart into its application;
// the host is asked for it.
void RenamingPort(World& run, AssistReply reply)
{
    run.sim.device.Env().faults.portChange = true;
    g_assist = reply;
    DllAssistSettings assist{&OnAssist, nullptr, 1};
    run.sim.Set(CFS_DLLASSIST_SETTINGS, &assist, sizeof assist);
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
         run.When("comes back as", [&run] { g_assist = {0, platform::Utf8ToWide(run.sim.device.PortName())}; });
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

const sim::FirmwareUnit& WrittenUnit(World& run, Target target)
{
    if (target == Target::Scanner)
        return *run.sim.device.TheScanner();
    return run.sim.device.Cable();
}

class FlashFlow : public ::testing::TestWithParam<Scenario> {
protected:
    void SetUp() override
    {
        g_onProgress = nullptr;
        g_assist = {};
    }
};

TEST_P(FlashFlow, ResultSettingsAndASecondRun)
{
    const Scenario& s = GetParam();
    World run(s.device());
    FirmwareFile f = StandardFile(s.fileCompat, !s.appOnly);
    std::wstring file = run.sim.WriteFile("fw.mocf", f.file);
    s.arrange(run, f);
    WIN32_232_SETTINGS caller = run.sim.context->serialSettings;
    uint64_t menuTimeout = run.sim.engine->io->menuCommandTimeoutMs;

    uint64_t start = run.sim.Now();
    EXPECT_EQ(run.sim.Flash(file), s.code) << s.what << "\n" << run.sim.log->Text();
    EXPECT_TRUE(run.sim.Logged(s.logged)) << s.what << ": " << s.logged;
    // Bounded: the longest waits of a flash are a few minutes of device time.
    EXPECT_LT(run.sim.Now() - start, 20u * 60 * 1000) << s.what;
    if (s.written != Target::Nothing)
        ExpectFlashed(WrittenUnit(run, s.written), f, s.what);

    EXPECT_EQ(run.sim.engine->io->menuCommandTimeoutMs, menuTimeout) << s.what;
    EXPECT_EQ(memcmp(&run.sim.engine->rs232_settings, &caller, sizeof caller), 0) << s.what;
    if (const sim::Cradle* cradle = run.sim.device.TheCradle()) {
        EXPECT_FALSE(cradle->Transparent()) << s.what;
        EXPECT_EQ(cradle->ServerMode(), run.sim.device.Config().serverMode) << s.what;
    }
    if (s.code == FLASH_RESULT_OK || s.code == FLASH_RESULT_OK_FROM_BOOT)
        return;

    // The device as it was left, faults off and time to settle: a second
    // run flashes it.
    run.sim.device.Env().faults = sim::Faults{};
    run.triggers.clear();
    if (run.recover)
        run.recover();
    run.sim.time.clock.Advance(120000);
    g_onProgress = nullptr;
    run.sim.SetU64(CFS_PELLARO_RETRY_MAX, 3);
    // The host now knows where the device is, and says so when asked.
    std::wstring port = platform::Utf8ToWide(run.sim.device.PortName());
    run.sim.SetPort(port);
    g_assist = {0, port};
    if (s.code == FLASH_RESULT_INCOMPATIBLE || !s.retried)
        return;   // the device is untouched and would answer the same
    std::wstring second = run.sim.WriteFile("fw2.mocf", f.file);
    uint32_t code = run.sim.Flash(second);
    EXPECT_TRUE(code == FLASH_RESULT_OK || code == FLASH_RESULT_OK_FROM_BOOT)
        << s.what << ": second run " << code << "\n" << run.sim.log->Text();
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FlashFlow, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                             return "S" + std::to_string(info.index);
                         });

} // namespace

namespace {

TEST(FlashFlowFile, AFileThatIsNotFirmwareAnswersThreeAndTheDeviceStillHearsTheEnd)
{
    SimTool sim(sim::DeviceConfig::CordedScanner());
    std::wstring file = sim.WriteFile("notes.txt", Bytes(300, 'x'));
    EXPECT_EQ(sim.Flash(file), FLASH_RESULT_BAD_FILE);
    EXPECT_TRUE(sim.Logged("Result: 3"));
    EXPECT_TRUE(sim.Logged("VISMN4"));
    EXPECT_TRUE(sim.device.Cable().ApplicationArea().data.empty());
}

} // namespace
