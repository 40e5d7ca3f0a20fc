// The version query through the host's object against the simulator on the
// virtual clock: which objects of a file the device on the line (or the
// scanner behind its cradle) takes, with their versions and build times.
#include "files/FirmwareBuilder.h"
#include "flows/FlowFixture.h"
#include "io/FlashIo.h"
#include "support/SimTool.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace {

using flows::Bytes;
using flows::kScannerAddress;
using testing_support::SimTool;

using BuildTime = std::array<int32_t, 9>;

firmware::ImageRecipe Image(uint32_t objectType, char type, const std::string& swRev, std::vector<uint8_t> compat,
                            const std::string& date = "Mar 05 2016", const std::string& time = "13:45:07")
{
    firmware::ImageRecipe recipe = type == 'B' ? firmware::DefaultBoot() : firmware::DefaultApp();
    recipe.objectType = objectType;
    recipe.type = type;
    recipe.swRev = swRev;
    recipe.compat = std::move(compat);
    recipe.ccDate = date;
    recipe.ccTime = time;
    recipe.size = 512;
    return recipe;
}

Bytes Container(const std::vector<firmware::ImageRecipe>& images)
{
    firmware::ContainerRecipe recipe;
    recipe.tableIds.clear();
    for (const firmware::ImageRecipe& image : images) {
        recipe.images.push_back(firmware::MakeImage(image));
        recipe.tableIds.insert(recipe.tableIds.end(), image.compat.begin(), image.compat.end());
    }
    return firmware::MakeContainer(recipe);
}

BuildTime TimeOf(const int32_t* fields)
{
    BuildTime out;
    std::copy(fields, fields + 9, out.begin());
    return out;
}

size_t Count(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

struct Query {
    explicit Query(const sim::DeviceConfig& config) : rig(config) {}
    uint32_t Run(const Bytes& file)
    {
        std::memset(&info, 0xA5, sizeof info);
        return rig.Version(rig.WriteFile("fw.mocf", file), &info);
    }
    // The simulated port answers a read only while it is open.
    bool PortOpen() const
    {
        FlashIoDevice* io = rig.engine->io->io;
        return io->readBytes && io->readBytes(io, nullptr, 0, 0) == 0;
    }
    size_t ReportsAsked(const std::string& command) const
    {
        return Count(rig.log->Text(), "TX MNU COMMAND: \"\\x16M\\r" + command + ".\"");
    }
    SimTool rig;
    FileVersionInfo info{};
};

const BuildTime kMarch5{7, 45, 13, 5, 3, 116, 0, 0, -1};
const BuildTime kZero{};

TEST(FileVersionFlow, CordedScannerGetsItsApplicationAndBootloader)
{
    Query query(sim::DeviceConfig::CordedScanner());
    Bytes file = Container({Image(0x0A000000, 'B', "  BOOT 1.1", {0x41}, "Aug 22 2016", "09:48:13"),
                            Image(0x0A000004, 'A', "APP 2.0  ", {0x41})});
    EXPECT_EQ(query.Run(file), VERSION_RESULT_OK);
    EXPECT_STREQ(query.info.appVersion, "APP 2.0");
    EXPECT_STREQ(query.info.bootVersion, "BOOT 1.1");
    EXPECT_EQ(TimeOf(query.info.appBuildTime), kMarch5);
    EXPECT_EQ(TimeOf(query.info.bootBuildTime), (BuildTime{13, 48, 9, 22, 8, 116, 0, 0, -1}));
    EXPECT_TRUE(query.rig.Logged("Wakeup device with SYN+C command."));
    EXPECT_TRUE(query.rig.Logged("GetFileVersions SUCCESS: "));
    EXPECT_EQ(query.ReportsAsked("P_INFO"), 1u);
    EXPECT_FALSE(query.PortOpen());
    // Nothing was flashed and the file is unloaded.
    EXPECT_EQ(query.rig.device.TheScanner()->CurrentMode(), sim::Mode::Application);
    EXPECT_EQ(query.rig.engine->CountObjects(), 0);
    EXPECT_EQ(query.rig.engine->fileCompatCount, 0u);
}

// The device takes an object when one of the object's compat ids is in its
// list. Later objects of a kind overwrite earlier ones; objects of other ids,
// or without compat ids, are never reported.
TEST(FileVersionFlow, CompatibleObjectsOfEachKind)
{
    sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
    config.unit.compat = {0x41, 0x43};
    Query query(config);
    Bytes file = Container({
        Image(0x0A000000, 'B', "BOOT-A", {0x07, 0x43}),
        Image(0x0A000004, 'A', "APP-OLD", {0x41}),
        Image(0x0A000005, 'A', "APP-NEW", {0x09, 0x41}, "May 01 2020", "01:02:03"),
        Image(0x4833474A, 'A', "JG3H", {0x41}),
        Image(0x0C000000, 'A', "OTHER", {0x41}),
        Image(0x0A000006, 'A', "NO-IDS", {}),
        Image(0x0B400000, 'B', "BOOT-FOREIGN", {0x42}),
    });
    EXPECT_EQ(query.Run(file), VERSION_RESULT_OK);
    EXPECT_STREQ(query.info.appVersion, "APP-NEW");
    EXPECT_EQ(TimeOf(query.info.appBuildTime), (BuildTime{3, 2, 1, 1, 5, 120, 0, 0, -1}));
    EXPECT_STREQ(query.info.bootVersion, "BOOT-A");
    EXPECT_TRUE(query.rig.Logged("Object compat id in kiro_header: 0x07"));
    EXPECT_TRUE(query.rig.Logged("\tObject compat id from P_INFO: 0x43"));
    EXPECT_TRUE(query.rig.Logged("Object compat id matched from P_INFO: 0x43"));
}

TEST(FileVersionFlow, EveryObjectIdFillsItsHalf)
{
    struct Case {
        uint32_t id;
        char half;   // 'A', 'B', or 0 for none
    };
    const Case cases[] = {
        {0x0A000000, 'B'}, {0x0A000003, 'B'}, {0x0A001000, 'B'}, {0x0B400000, 'B'},
        {0x0A000004, 'A'}, {0x0A000007, 'A'}, {0x0A001001, 'A'}, {0x0B400001, 'A'},
        {0x4833474A, 0},   {0x0A000008, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        Query query(sim::DeviceConfig::CordedScanner());
        uint32_t result = query.Run(Container({Image(c.id, c.half == 'B' ? 'B' : 'A', "V-1", {0x41})}));
        EXPECT_EQ(result, c.half ? VERSION_RESULT_OK : VERSION_RESULT_NO_MATCH);
        // The record is zero-filled; a half without an object stays so.
        EXPECT_STREQ(query.info.appVersion, c.half == 'A' ? "V-1" : "");
        EXPECT_STREQ(query.info.bootVersion, c.half == 'B' ? "V-1" : "");
        EXPECT_EQ(TimeOf(query.info.appBuildTime), c.half == 'A' ? kMarch5 : kZero);
        EXPECT_EQ(TimeOf(query.info.bootBuildTime), c.half == 'B' ? kMarch5 : kZero);
    }
}

TEST(FileVersionFlow, BareImageFilesAreAnswered)
{
    Query query(sim::DeviceConfig::CordedScanner());
    EXPECT_EQ(query.Run(firmware::MakeImage(Image(0x0A000004, 'A', "1.2", {0x41}))), VERSION_RESULT_OK);
    EXPECT_STREQ(query.info.appVersion, "1.2");
    EXPECT_STREQ(query.info.bootVersion, "");
}

TEST(FileVersionFlow, InvalidMonthIsLoggedAndGivenAsJanuary)
{
    Query query(sim::DeviceConfig::CordedScanner());
    EXPECT_EQ(query.Run(Container({Image(0x0A000004, 'A', "1.2", {0x41}, "Foo 05 2016")})), VERSION_RESULT_OK);
    EXPECT_TRUE(query.rig.Logged("Invalid month: foo 05 2016"));
    EXPECT_EQ(TimeOf(query.info.appBuildTime), (BuildTime{7, 45, 13, 5, 1, 116, 0, 0, -1}));
}

// A cradle that takes nothing is asked for the scanner linked to it, through
// it by address; the port is closed after each pass even though the scanner
// answers over Bluetooth.
TEST(FileVersionFlow, ScannerBehindTheCradleIsAskedInASecondPass)
{
    Query query(sim::DeviceConfig::CradleWithScanner());
    Bytes file = Container({Image(0x0A000000, 'B', "SBOOT-3", {0x41}), Image(0x0A000004, 'A', "SAPP-3", {0x41})});
    EXPECT_EQ(query.Run(file), VERSION_RESULT_OK);
    EXPECT_STREQ(query.info.appVersion, "SAPP-3");
    EXPECT_STREQ(query.info.bootVersion, "SBOOT-3");
    EXPECT_EQ(query.ReportsAsked("P_INFO"), 1u);
    EXPECT_EQ(query.ReportsAsked(std::string(":#") + kScannerAddress + ":P_INFO"), 1u);
    EXPECT_FALSE(query.PortOpen());
    EXPECT_EQ(query.rig.engine->m_BlueToothMode, 0);
    EXPECT_EQ(query.rig.engine->interface_kept_open, 0);
}

TEST(FileVersionFlow, NothingCompatibleAnswersTwoAfterEveryPass)
{
    struct Case {
        const char* what;
        sim::DeviceConfig config;
        size_t routedPasses;
    };
    sim::DeviceConfig unlinked = sim::DeviceConfig::CradleWithScanner();
    unlinked.linked = false;
    const Case cases[] = {
        {"corded scanner", sim::DeviceConfig::CordedScanner(), 0},
        {"cradle and the scanner behind it", sim::DeviceConfig::CradleWithScanner(), 1},
        {"cradle without a link", unlinked, 0},
    };
    const Bytes file = Container({Image(0x0A000000, 'B', "B", {0x50}), Image(0x0A000004, 'A', "A", {0x51, 0x52})});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Query query(c.config);
        EXPECT_EQ(query.Run(file), VERSION_RESULT_NO_MATCH);
        EXPECT_TRUE(query.rig.Logged(
            "No object found to be compatable with the deviceand sub device. GetFileVersions FAIL: "));
        EXPECT_EQ(query.ReportsAsked("P_INFO"), 1u);
        EXPECT_EQ(query.ReportsAsked(std::string(":#") + kScannerAddress + ":P_INFO"), c.routedPasses);
        FileVersionInfo zero{};
        EXPECT_EQ(std::memcmp(&query.info, &zero, sizeof zero), 0);
        EXPECT_FALSE(query.PortOpen());
    }
}

TEST(FileVersionFlow, FileThatIsNoFirmwareAnswersOne)
{
    const std::pair<const char*, Bytes> files[] = {
        {"text", Bytes(200, 'x')},
        {"bare image neither application nor bootloader", firmware::MakeImage(Image(0x0A000004, 'X', "1", {0x41}))},
        {"empty", Bytes{}},
    };
    for (const auto& [what, file] : files) {
        SCOPED_TRACE(what);
        Query query(sim::DeviceConfig::CordedScanner());
        EXPECT_EQ(query.Run(file), VERSION_RESULT_BAD_INPUT);
        EXPECT_EQ(query.rig.engine->CountObjects(), 0);
        EXPECT_FALSE(query.PortOpen());
    }
    Query query(sim::DeviceConfig::CordedScanner());
    EXPECT_EQ(query.rig.Version(query.rig.dir.WideFile("missing.mocf"), &query.info), VERSION_RESULT_BAD_INPUT);
}

// The device must answer P_INFO within three tries; a serial line of type 0
// wakes it first, type 2 does not.
TEST(FileVersionFlow, DeviceThatMustBeWokenOrAnswersLate)
{
    struct Case {
        const char* what;
        uint64_t interface;
        bool lowPower;
        uint32_t garbledReply;   // this menu reply arrives garbled
        uint32_t result;
        size_t reports;
        uint64_t minMs;
    };
    const Case cases[] = {
        {"sleeping device woken", INTERFACE_RS232, true, 0, VERSION_RESULT_OK, 1, 0},
        {"sleeping device without wake-up", INTERFACE_RS232_NOWAKE, true, 0, VERSION_RESULT_NO_MATCH, 3, 3000},
        {"awake device without wake-up", INTERFACE_RS232_NOWAKE, false, 0, VERSION_RESULT_OK, 1, 0},
        {"first report garbled", INTERFACE_RS232, false, 1, VERSION_RESULT_OK, 2, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
        config.unit.lowPower = c.lowPower;
        config.faults.garbleEcho = c.garbledReply;
        Query query(config);
        query.rig.SetU64(CFS_INTERFACE, c.interface);
        uint64_t start = query.rig.Now();
        EXPECT_EQ(query.Run(Container({Image(0x0A000004, 'A', "1.2", {0x41})})), c.result);
        EXPECT_EQ(query.ReportsAsked("P_INFO"), c.reports);
        EXPECT_EQ(query.rig.Logged("Wakeup device with SYN+C command."), c.interface == INTERFACE_RS232);
        EXPECT_GE(query.rig.Now() - start, c.minMs);
        EXPECT_EQ(query.rig.Logged("Can not get P_INFO to detect scanner type."), c.result != VERSION_RESULT_OK);
        EXPECT_FALSE(query.PortOpen());
    }
}

TEST(FileVersionFlow, UnansweredWakeUpMovesOnAtOnce)
{
    // The host's framing is not the device's: nothing is understood.
    Query query(sim::DeviceConfig::CordedScanner());
    query.rig.SetSerial(8, EVENPARITY, ONESTOPBIT);
    EXPECT_EQ(query.Run(Container({Image(0x0A000004, 'A', "1.2", {0x41})})), VERSION_RESULT_NO_MATCH);
    EXPECT_EQ(query.ReportsAsked("P_INFO"), 0u);
    EXPECT_EQ(Count(query.rig.log->Text(), "Wakeup device with SYN+C command."), 3u);
    EXPECT_TRUE(query.rig.Logged("Can not get P_INFO to detect scanner type."));
}

// A flash that was cancelled leaves the engine's cancel flag set; the query
// does not clear it, so its open is refused until the next flash.
SimTool* g_cancelling = nullptr;
int32_t CancelDuringTransfer(uint64_t, int32_t, uint64_t position, uint64_t total)
{
    if (g_cancelling && total > 0x10100 && position > 0x10100)
        g_cancelling->SetU64(CFS_CANCELIO, 1);
    return 0;
}

TEST(FileVersionFlow, AfterACancelledFlashTheQueryAnswersTwo)
{
    Query query(sim::DeviceConfig::CordedScanner());
    Bytes file = Container({Image(0x0A000004, 'A', "1.2", {0x41})});
    std::wstring name = query.rig.WriteFile("flash.mocf", file);
    g_cancelling = &query.rig;
    query.rig.Set(CFS_FWCALLBACK, reinterpret_cast<void*>(&CancelDuringTransfer), 8);
    EXPECT_EQ(query.rig.Flash(name), FLASH_RESULT_CANCELLED);
    g_cancelling = nullptr;
    query.rig.SetU64(CFS_CANCELIO, 0);
    query.rig.log->Clear();

    EXPECT_EQ(query.Run(file), VERSION_RESULT_NO_MATCH);
    EXPECT_TRUE(query.rig.Logged("Cancel flag true: Do not open interface."));
    EXPECT_EQ(query.rig.engine->cancelFlag, 1u);
    EXPECT_EQ(query.ReportsAsked("P_INFO"), 0u);

    // The next flash starts afresh, and the query after it is answered.
    query.rig.time.clock.Advance(60000);
    // The cancelled flash left the device in its bootloader.
    EXPECT_EQ(query.rig.Flash(name), FLASH_RESULT_OK_FROM_BOOT);
    EXPECT_EQ(query.Run(file), VERSION_RESULT_OK);
    EXPECT_STREQ(query.info.appVersion, "1.2");
}

} // namespace
