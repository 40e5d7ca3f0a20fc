// The engine's cradle link against the simulator on the virtual clock: a
// wireless scanner sent into its bootloader through its cradle, the cradle
// connected to it by address and switched transparent, and every way that
// goes wrong; the answers the simulator cannot give (two links, the cradle
// answering in transparent mode) come from a scripted cradle.
#include "flows/FlowFixture.h"
#include "io/FlashIo.h"
#include "sim/PinfoReport.h"
#include "support/ScriptedTransport.h"
#include "support/SimTool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using flows::kScannerAddress;
using testing_support::Answer;
using testing_support::ScriptedTransport;
using testing_support::SimTool;
using testing_support::ToBytes;

int32_t RecordStatus(void* context, uint64_t status, uint64_t, uint64_t)
{
    static_cast<std::vector<uint64_t>*>(context)->push_back(status);
    return 0;
}

bool Reported(const std::vector<uint64_t>& statuses, uint64_t status)
{
    return std::find(statuses.begin(), statuses.end(), status) != statuses.end();
}

size_t Count(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// The engine of a whole flash tool on a simulated serial line, its interface
// prepared and its device record read as the flash does before it decides
// on the cradle path.
struct LinkRig {
    explicit LinkRig(const sim::DeviceConfig& config) : rig(config), engine(rig.engine)
    {
        EXPECT_EQ(engine->InitRs232V2(rig.context->portName, &rig.context->serialSettings), 0);
        engine->statusCallback = RecordStatus;
        engine->statusContext = &statuses;
        EXPECT_EQ(engine->OpenInterface(OPEN_DEVICE, OPEN_FINAL), 0);
        EXPECT_EQ(engine->Scanner_GetPinfo("P_INFO"), 0);
        engine->CloseInterface();
    }

    // The simulated port answers a read only while it is open.
    bool PortOpen() const
    {
        FlashIoDevice* io = engine->io->io;
        return io->readBytes && io->readBytes(io, nullptr, 0, 0) == 0;
    }
    bool Sent(const std::string& command) const { return rig.Logged(command); }
    size_t CountLogged(const std::string& part) const { return Count(rig.log->Text(), part); }

    SimTool rig;
    KIRO_FlashTool* engine;
    std::vector<uint64_t> statuses;
};

sim::DeviceConfig OneWireCradle()
{
    sim::DeviceConfig config = sim::DeviceConfig::CradleWithScanner();
    config.scannerInCradle = true;
    config.scanner.startInBootloader = true;
    config.linked = false;
    return config;
}

TEST(CradleLinkFlow, ScannerRunningItsApplicationIsReachedInItsBootloader)
{
    LinkRig link(sim::DeviceConfig::CradleWithScanner());
    sim::Cradle& cradle = *link.rig.device.TheCradle();
    ASSERT_EQ(link.engine->pinfo.hub_connections, 1);
    link.engine->entry_state = 'A';
    std::strcpy(link.engine->bt_address, link.engine->pinfo.scanner_bt_address);

    EXPECT_EQ(link.engine->SetupCradleLink(), 0);
    EXPECT_TRUE(link.rig.Logged("Scanner Mode: A!"));
    EXPECT_TRUE(link.Sent("\\x16Y\\r:*:NEWAP2."));
    EXPECT_TRUE(link.rig.Logged("Scanner has enter bootloader, pinfo.hub_connections = 0."));
    EXPECT_TRUE(link.Sent(std::string("\\x16M\\rBASADR") + kScannerAddress + "."));
    EXPECT_TRUE(link.Sent("\\x16M\\rBASDNG0!"));
    EXPECT_TRUE(link.Sent("\\x16M\\rBASPAS1."));
    EXPECT_TRUE(link.rig.Logged("Cradle is already in transparent mode."));
    EXPECT_EQ(link.engine->rf_connection_existed, 1);
    EXPECT_EQ(link.engine->transparent_mode, 1);
    // The last report came from the scanner's bootloader through the cradle.
    EXPECT_EQ(link.engine->pinfo.physical_device_type, 1);
    EXPECT_EQ(link.engine->pinfo.scannerstate, 'B');
    EXPECT_EQ(cradle.LinkedScanner()->CurrentMode(), sim::Mode::Bootloader);
    EXPECT_TRUE(cradle.Linked());
    EXPECT_TRUE(cradle.Transparent());
    EXPECT_FALSE(cradle.ServerMode());
}

TEST(CradleLinkFlow, ScannerAlreadyInItsBootloaderInTheCradle)
{
    LinkRig link(OneWireCradle());
    sim::Cradle& cradle = *link.rig.device.TheCradle();
    ASSERT_EQ(link.engine->pinfo.pair_mode, 'B');
    link.engine->entry_state = 'B';
    std::strcpy(link.engine->bt_address, link.engine->pinfo.pair_address);

    EXPECT_EQ(link.engine->SetupCradleLink(), 0);
    EXPECT_TRUE(link.rig.Logged("Scanner Mode: B!"));
    EXPECT_FALSE(link.Sent(":*:NEWAP2"));
    EXPECT_TRUE(link.rig.Logged("Connection has been setup after BASDNG command."));
    EXPECT_TRUE(link.rig.Logged("Cradle is already in transparent mode."));
    EXPECT_TRUE(cradle.Transparent());
    EXPECT_EQ(cradle.LinkedScanner()->CurrentMode(), sim::Mode::Bootloader);
}

TEST(CradleLinkFlow, UnknownEntryStateTouchesNothing)
{
    LinkRig link(sim::DeviceConfig::CradleWithScanner());
    int installs = link.rig.transport.installs;
    link.engine->entry_state = 'X';
    EXPECT_EQ(link.engine->SetupCradleLink(), -1);
    EXPECT_TRUE(link.rig.Logged("Scanner Mode: Unknown! (X)"));
    EXPECT_EQ(link.rig.transport.installs, installs);
}

// The scanner must have left its application: a cradle whose link stays up
// (a sleeping scanner never hears the command), or a device on the line that
// reports no link count at all, is not a scanner in its bootloader.
TEST(CradleLinkFlow, LinkThatNeverDroppedFailsAfterEveryTryWithThePortClosed)
{
    struct Case {
        const char* what;
        sim::DeviceConfig config;
        uint64_t retryMax;
        int hubConnections;
    };
    sim::DeviceConfig sleeping = sim::DeviceConfig::CradleWithScanner();
    sleeping.scanner.lowPower = true;
    const Case cases[] = {
        {"cradle keeps its link", sleeping, 3, 1},
        {"cradle keeps its link, one try", sleeping, 1, 1},
        {"corded scanner reports no link count", sim::DeviceConfig::CordedScanner(), 2, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LinkRig link(c.config);
        link.engine->retryMax = c.retryMax;
        link.engine->entry_state = 'A';
        std::strcpy(link.engine->bt_address, kScannerAddress);
        uint64_t start = link.rig.Now();

        EXPECT_EQ(link.engine->SetupCradleLink(), -1);
        EXPECT_TRUE(link.rig.Logged("Can not put scanner in boot mode."));
        EXPECT_EQ(link.CountLogged("TX MNU COMMAND: \"\\x16Y\\r:*:NEWAP2.\""), c.retryMax);
        EXPECT_TRUE(link.rig.Logged("Scanner not enter bootloader, pinfo.hub_connections = " +
                                    std::to_string(c.hubConnections) + "."));
        EXPECT_FALSE(link.rig.Logged("Scanner has enter bootloader"));
        EXPECT_FALSE(link.Sent("BASADR"));
        EXPECT_FALSE(link.PortOpen());
        // Each try: the routed command's pause, the settle pause, the pause after it.
        EXPECT_GE(link.rig.Now() - start, c.retryMax * 7000);
        if (c.config.cradle) {
            EXPECT_EQ(link.rig.device.TheScanner()->CurrentMode(), sim::Mode::Application);
        }
    }
}

TEST(CradleLinkFlow, ConnectFailures)
{
    struct Case {
        const char* what;
        const char* address;
        const char* failure;
        uint64_t minMs;
        uint64_t maxMs;
    };
    const Case cases[] = {
        // The cradle refuses the address at every try.
        {"refused address", "", "FAIL: Send BASADR and BASDNG command ERROR.", 0, 1000},
        // The cradle looks for a scanner that is not there; the wait counts
        // its 25 s only after the first 2 s.
        {"nobody at the address", "0006660AFFFF",
         "FAIL: Setup the connection between cradle and scanner TIMEOUT, time spent: 2", 27000, 29000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LinkRig link(OneWireCradle());
        link.engine->entry_state = 'B';
        std::strcpy(link.engine->bt_address, c.address);
        uint64_t start = link.rig.Now();

        EXPECT_EQ(link.engine->SetupCradleLink(), -1);
        uint64_t spent = link.rig.Now() - start;
        EXPECT_GE(spent, c.minMs);
        EXPECT_LE(spent, c.maxMs);
        EXPECT_TRUE(link.rig.Logged(c.failure));
        EXPECT_TRUE(link.rig.Logged("FAILED: Can not set up connection between scanner and cradle."));
        EXPECT_FALSE(link.Sent("BASPAS"));
        EXPECT_EQ(link.engine->transparent_mode, 0);
        EXPECT_FALSE(link.PortOpen());
    }
}

TEST(CradleLinkFlow, CancelIsHonouredInEachWait)
{
    struct Case {
        const char* what;
        bool fromApplication;
        const char* address;
        uint64_t cancelAfterMs;   // 0: the host cancels at the first boot command's report
        const char* failure;
    };
    const Case cases[] = {
        {"boot command", true, kScannerAddress, 0, "Can not put scanner in boot mode."},
        {"connect wait", false, "0006660AFFFF", 8000, "FAILED: Can not set up connection between scanner and cradle."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LinkRig link(c.fromApplication ? sim::DeviceConfig::CradleWithScanner() : OneWireCradle());
        link.engine->entry_state = c.fromApplication ? 'A' : 'B';
        std::strcpy(link.engine->bt_address, c.address);
        KIRO_FlashTool* engine = link.engine;
        uint64_t start = link.rig.Now();
        auto armed = std::make_shared<bool>(true);
        if (c.cancelAfterMs) {
            uint64_t at = start + c.cancelAfterMs;
            link.rig.time.clock.AddObserver([engine, at, armed](uint64_t now) {
                if (*armed && now >= at)
                    engine->cancelFlag = 1;
            });
        } else {
            engine->statusCallback = [](void* context, uint64_t status, uint64_t x, uint64_t y) {
                RecordStatus(context, status, x, y);
                return status == HFS_app_goto_boot ? -1 : 0;
            };
        }

        EXPECT_EQ(engine->SetupCradleLink(), -1);
        *armed = false;
        EXPECT_TRUE(link.rig.Logged(c.failure));
        EXPECT_TRUE(Reported(link.statuses, HFS_terminal_canceled));
        EXPECT_FALSE(Reported(link.statuses, HFS_terminal_fail_timeout));
        EXPECT_LT(link.rig.Now() - start, c.cancelAfterMs + 3000);
        EXPECT_FALSE(link.PortOpen());
        if (!c.cancelAfterMs) {
            EXPECT_FALSE(link.Sent(":*:NEWAP2"));
        }
    }
}

// A serial line whose device is a script: each set-up of the engine's
// serial transport puts the script back on the line. The port's state is
// kept, so a port left open shows.
class ScriptedCradle {
public:
    ScriptedCradle() : script(*holder.io, time.clock)
    {
        FlashIoDevice* io = holder.io->io;
        slots = *io;
        slots.open = [](FlashIoDevice*) {
            current->opened = current->portOpen = true;
            return 0;
        };
        slots.close = [](FlashIoDevice*) {
            current->portOpen = false;
            return 0;
        };
        current = this;
        WIN32_232_SETTINGS settings{};
        settings.dcb.BaudRate = 115200;
        settings.dcb.ByteSize = 8;
        engine->transportHooks = {&Install, nullptr, this};
        EXPECT_EQ(engine->InitRs232V2(L"SCRIPT0", &settings), 0);
        engine->statusCallback = RecordStatus;
        engine->statusContext = &statuses;
    }
    ~ScriptedCradle() { current = nullptr; }

    // A P_INFO report of a cradle, or of the scanner behind it.
    static std::vector<uint8_t> Report(int deviceType, const char* mode, int hubConnections)
    {
        sim::PinfoReport report;
        report.AddNumber("fmt", 1);
        report.Add("mode", mode);
        report.AddNumber("cbl", 2);
        report.AddNumber("device-type", deviceType);
        report.AddList("boot-compat", {0x61});
        if (deviceType == 2) {
            report.Add("bt-mode", "server");
            report.AddNumber("hub-connections", hubConnections);
            for (int i = 1; i <= hubConnections; ++i)
                report.Add("dev-" + std::to_string(i) + "-addr", kScannerAddress);
            report.AddNumber("scanner-in-cradle", 0);
        }
        return ToBytes("P_INFO" + report.Text() + "\x06.");
    }
    void AnswerPinfo(const std::vector<uint8_t>& reply) { script.When(ToBytes("\x16M\rP_INFO."), {Answer(reply, 5)}, true); }
    void AnswerSet(const std::string& name, const std::string& value, char terminator)
    {
        script.When(ToBytes("\x16M\r" + name + value + terminator),
                    {Answer(ToBytes(name + value + "\x06" + terminator), 5)}, true);
    }
    uint64_t Now() const { return time.clock.Now(); }
    bool Logged(const std::string& part) const { return captured.Contains(part); }

    platform::ScopedVirtualClock time;
    flows::Engine holder;
    KIRO_FlashTool* engine = holder.engine;
    testing_support::CapturedLog captured{holder.log};
    ScriptedTransport script;
    std::vector<uint64_t> statuses;
    bool opened = false;
    bool portOpen = false;

private:
    static int32_t Install(void* context, FlashIo* io, const wchar_t*, const WIN32_232_SETTINGS*)
    {
        *io->io = static_cast<ScriptedCradle*>(context)->slots;
        return 0;
    }
    FlashIoDevice slots{};
    static inline ScriptedCradle* current = nullptr;
};

TEST(CradleLinkScripted, TwoLinksAreNotALinkThatDropped)
{
    ScriptedCradle cradle;
    cradle.AnswerPinfo(ScriptedCradle::Report(2, "app", 2));
    cradle.engine->retryMax = 2;
    EXPECT_EQ(cradle.engine->ScannerToBootViaCradle(), -1);
    EXPECT_EQ(cradle.engine->pinfo.hub_connections, 2);
    EXPECT_EQ(cradle.script.CountWrites(ToBytes("\x16Y\r:*:NEWAP2.")), 2u);
    EXPECT_TRUE(cradle.Logged("Scanner not enter bootloader, pinfo.hub_connections = 2."));
    EXPECT_TRUE(cradle.opened);
    EXPECT_FALSE(cradle.portOpen);
}

TEST(CradleLinkScripted, ReportThatFailsIsNotALinkThatDropped)
{
    // The record shows no link from before, but no report confirms it now.
    ScriptedCradle cradle;
    cradle.engine->retryMax = 2;
    EXPECT_EQ(cradle.engine->ScannerToBootViaCradle(), -6);
    EXPECT_TRUE(cradle.Logged("Can not get p_info from cradle after send :*:NEWAP2 command."));
    EXPECT_FALSE(cradle.Logged("Scanner has enter bootloader"));
    EXPECT_TRUE(cradle.opened);
    EXPECT_FALSE(cradle.portOpen);
}

// Who answers P_INFO after BASPAS decides the transparent wait: only the
// scanner's bootloader ends it; the cradle itself, or a scanner still in its
// application, keeps it going until the limit, three times as long off serial.
TEST(CradleLinkScripted, TransparentWaitWantsTheScannersBootloader)
{
    struct Case {
        const char* what;
        std::vector<uint8_t> answer;
        int cable;
        int32_t result;
        const char* line;
        uint64_t limitMs;
    };
    const Case cases[] = {
        {"scanner bootloader", ScriptedCradle::Report(1, "boot", 0), 'R', 0, "Cradle is already in transparent mode.", 0},
        {"cradle itself", ScriptedCradle::Report(2, "app", 1), 'R', -1, "Cradle is NOT in transparent mode, again.",
         10000},
        {"cradle itself off serial", ScriptedCradle::Report(2, "app", 1), 'U', -1,
         "Cradle is NOT in transparent mode, again.", 30000},
        {"scanner application", ScriptedCradle::Report(1, "app", 0), 'R', -1, "Scanner is NOT in boot mode, again.",
         10000},
        {"silence", {}, 'R', -1, "Can not get correct pinfo from scanner, again.", 10000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedCradle cradle;
        cradle.AnswerSet("BASPAS", "1", '.');
        if (!c.answer.empty())
            cradle.AnswerPinfo(c.answer);
        cradle.engine->pinfo.physical_cable_type = c.cable;
        ASSERT_EQ(cradle.engine->io->OpenDevice(), 0);
        uint64_t start = cradle.Now();

        EXPECT_EQ(cradle.engine->EnterTransparentMode(), c.result);
        EXPECT_TRUE(cradle.Logged(c.line));
        EXPECT_EQ(cradle.engine->transparent_mode, 1);
        EXPECT_EQ(cradle.Logged("Tripple the timeout value if not RS232 interface. physical_cable_type = U, "
                                "timeout = 30000."),
                  c.cable == 'U');
        if (c.result == 0)
            continue;
        EXPECT_TRUE(Reported(cradle.statuses, HFS_terminal_fail_timeout));
        EXPECT_TRUE(cradle.Logged("FAIL: Put cradle in transparentmode again TIMEOUT, time spent: "));
        // The limit is tested at the top of each poll: it is overrun by at
        // most one pause and one read.
        uint64_t spent = cradle.Now() - start;
        EXPECT_GE(spent, 1000 + c.limitMs);
        EXPECT_LE(spent, 1000 + c.limitMs + 2500);
    }
}

TEST(CradleLinkScripted, RefusedTransparentModeAndCancelInItsWait)
{
    {
        ScriptedCradle cradle;
        cradle.script.When(ToBytes("\x16M\rBASPAS1."), {Answer(ToBytes("BASPAS1\x15."), 5)}, true);
        ASSERT_EQ(cradle.engine->io->OpenDevice(), 0);
        EXPECT_EQ(cradle.engine->EnterTransparentMode(), -1);
        EXPECT_TRUE(cradle.Logged("FAIL: Send BASPAS command ERROR."));
        EXPECT_EQ(cradle.engine->transparent_mode, 0);
        EXPECT_EQ(cradle.script.CountWrites(ToBytes("\x16M\rP_INFO.")), 0u);
    }
    {
        ScriptedCradle cradle;
        cradle.AnswerSet("BASPAS", "1", '.');
        cradle.AnswerPinfo(ScriptedCradle::Report(2, "app", 1));
        ASSERT_EQ(cradle.engine->io->OpenDevice(), 0);
        KIRO_FlashTool* engine = cradle.engine;
        uint64_t start = cradle.Now();
        auto armed = std::make_shared<bool>(true);
        cradle.time.clock.AddObserver([engine, start, armed](uint64_t now) {
            if (*armed && now - start >= 4000)
                engine->cancelFlag = 1;
        });
        EXPECT_EQ(engine->EnterTransparentMode(), -1);
        *armed = false;
        EXPECT_TRUE(Reported(cradle.statuses, HFS_terminal_canceled));
        EXPECT_FALSE(Reported(cradle.statuses, HFS_terminal_fail_timeout));
        EXPECT_LT(cradle.Now() - start, 6000u);
    }
}

} // namespace
