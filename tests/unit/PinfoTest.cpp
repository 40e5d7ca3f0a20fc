#include "flash/KIRO_FlashTool.h"
#include "support/ProtocolFixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

using namespace testing_support;

namespace {

struct EngineHolder {
    EngineHolder() : log(Retain(new Log())), engine(Retain(new KIRO_FlashTool(log))) {}
    ~EngineHolder()
    {
        Release(engine);
        Release(log);
    }
    EngineHolder(const EngineHolder&) = delete;
    EngineHolder& operator=(const EngineHolder&) = delete;
    Log* log;
    KIRO_FlashTool* engine;
};

// A report as a device writes it: the lines, then "csum: " with the byte sum
// of everything before it, then the closing empty line.
std::string Report(const std::vector<std::string>& lines, const std::vector<std::string>& afterCsum = {},
                   bool hexCsum = false, int csumError = 0)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    unsigned sum = 0;
    for (unsigned char c : text)
        sum += c;
    sum = (sum + static_cast<unsigned>(csumError)) & 0xFFFF;
    char csum[32];
    snprintf(csum, sizeof csum, hexCsum ? "csum: 0x%x\r\n" : "csum: %u\r\n", sum);
    text += csum;
    for (const std::string& line : afterCsum)
        text += line + "\r\n";
    return text + "\r\n";
}

const std::vector<std::string> kBasic = {"fmt: 1", "mode: boot", "cbl: 4", "device-type: 1"};

std::vector<std::string> With(std::vector<std::string> lines, std::initializer_list<std::string> more)
{
    lines.insert(lines.end(), more);
    return lines;
}

class PinfoTest : public ::testing::Test {
protected:
    PinfoTest() { engine->ResetPinfo('R'); }

    platform::ScopedVirtualClock time;
    EngineHolder holder;
    KIRO_FlashTool* engine = holder.engine;
    Pinfo& pinfo = holder.engine->pinfo;
    CapturedLog captured{holder.log};
    ScriptedTransport device{*holder.engine->io, time.clock};

    bool Logged(const std::string& text) const { return captured.Contains(text); }
    void DeviceReports(const std::string& report)
    {
        device.When({0x16}, {ToBytes("P_INFO" + report + "\x06.")});
    }
};

TEST_F(PinfoTest, BasicReportThroughTheMenuCommand)
{
    DeviceReports(Report(kBasic));

    ASSERT_EQ(engine->Scanner_GetPinfo("P_INFO"), 0) << captured.Text();

    EXPECT_EQ(device.Writes()[0], ToBytes("\x16M\rP_INFO."));
    EXPECT_EQ(pinfo.scannerstate, 'B');
    EXPECT_EQ(pinfo.physical_cable_type, 'U');
    EXPECT_EQ(pinfo.physical_device_type, 1);
    EXPECT_EQ(pinfo.hub_connections, -1);
    EXPECT_EQ(pinfo.bt_mode, 0);
    EXPECT_EQ(pinfo.hw_rev, 0);
    EXPECT_STREQ(pinfo.boot_m_name, "unknown");
    EXPECT_EQ(pinfo.flash, -1);
    EXPECT_EQ(engine->usbBootIds.vendorId, -1);
    EXPECT_EQ(engine->usbBootIds.productId, -1);
    EXPECT_EQ(pinfo.itemCount, 5);
    EXPECT_STREQ(FindPinfoItem(pinfo, "device-type"), "1");
    EXPECT_EQ(FindPinfoItem(pinfo, "Device-type"), nullptr);
    EXPECT_TRUE(Logged("Get PINFO start: (Abs: "));
    EXPECT_TRUE(Logged("Scanner_GetPinfo: physical_device_type = 1.\n"));
    EXPECT_TRUE(Logged("Scanner_GetPinfo: No hub_connections tag.\n"));
    EXPECT_TRUE(Logged("Scanner_GetPinfo: VID = -1,PID = -1, Nth = 0,pDeviceName = (null) .\n"));
}

TEST_F(PinfoTest, FailedMenuCommandIsReturnedWithoutAParseLine)
{
    struct Case {
        Bytes reply;
        int32_t result;
    };
    for (const Case& c : {Case{{}, -6}, Case{ToBytes("P_INFO\x05."), -2}}) {
        ScriptedTransport quiet(*engine->io, time.clock);
        quiet.When({0x16}, {c.reply});
        EXPECT_EQ(engine->Scanner_GetPinfo("P_INFO"), c.result);
    }
    EXPECT_FALSE(Logged("pinfo parse fail"));
}

TEST_F(PinfoTest, ChecksumInHexOrDecimal)
{
    EXPECT_EQ(engine->ApplyPinfoReport(Report(kBasic, {}, true).c_str()), 0);
    EXPECT_EQ(engine->ApplyPinfoReport(Report(kBasic, {}, false).c_str()), 0);
    EXPECT_EQ(engine->ApplyPinfoReport(Report(kBasic, {}, false, 1).c_str()), -1);
    unsigned sum = 0;
    for (unsigned char c : Report(kBasic).substr(0, Report(kBasic).find("csum")))
        sum += c;
    char line[64];
    snprintf(line, sizeof line, "Expected CSUM: 0x%08x, got 0x%08x\n", sum, sum + 1);
    EXPECT_TRUE(Logged(line)) << captured.Text();
    EXPECT_TRUE(Logged("pinfo parse fail: bad-csum\n"));
}

struct FailCase {
    const char* name;
    std::string text;
    const char* reason;
    const char* before;   // logged ahead of the reason, if anything
};

class PinfoFailure : public PinfoTest, public ::testing::WithParamInterface<FailCase> {};

TEST_P(PinfoFailure, FailsTheReportWithItsReason)
{
    const FailCase& c = GetParam();
    EXPECT_EQ(engine->ApplyPinfoReport(c.text.c_str()), -1);
    EXPECT_TRUE(Logged(std::string("pinfo parse fail: ") + c.reason + "\n")) << captured.Text();
    EXPECT_TRUE(Logged(c.before)) << captured.Text();
    EXPECT_EQ(pinfo.itemCount, 0);
    EXPECT_EQ(pinfo.items[0].tag[0], 0);
}

std::string WithoutFinalLine(std::string text) { return text.substr(0, text.size() - 2); }

INSTANTIATE_TEST_SUITE_P(
    Pinfo, PinfoFailure,
    ::testing::Values(
        FailCase{"noFinalEmptyLine", WithoutFinalLine(Report(kBasic)), "parse fail", ""},
        FailCase{"twoFinalEmptyLines", Report(kBasic) + "\r\n", "parse fail", ""},
        FailCase{"colonWithoutSpace", Report(With(kBasic, {"mode:boot"})), "parse fail", ""},
        FailCase{"emptyTag", Report(With(kBasic, {": x"})), "parse fail", ""},
        FailCase{"notFmtFirst", Report({"mode: boot", "fmt: 1"}), "parse fail", ""},
        FailCase{"noLineEnd", "fmt: 1", "parse fail", ""},
        FailCase{"noCsum", "fmt: 1\r\nmode: boot\r\n\r\n", "no-csum", ""},
        FailCase{"csumOffByOne", Report(kBasic, {}, false, -1), "bad-csum", "Expected CSUM: "},
        FailCase{"btModeCapital", Report(With(kBasic, {"bt-mode: Server"})), "Invalid bt-mode tag.",
                 "Unexpected value for bt-mode tag : Server.\n"},
        FailCase{"shortDevAddress", Report(With(kBasic, {"hub-connections: 1", "dev-1-addr: 0123456789A"})),
                 "Invalid dev-1-addr tag.",
                 "Invalid dev-1-addr tag value: 0123456789A, it must be in 12 characters.\n"},
        FailCase{"longHubAddress", Report(With(kBasic, {"hub-connections: 1", "hub-1-addr: 0123456789ABC"})),
                 "Invalid hub-1-addr tag.",
                 "Invalid hub-1-addr tag value: 0123456789ABC, it must be in 12 characters.\n"},
        FailCase{"noAddress", Report(With(kBasic, {"hub-connections: 1"})),
                 "No value for dev-1-addr and hub-1-addr tag.", ""},
        FailCase{"pairModeUnknown", Report(With(kBasic, {"scanner-in-cradle: 1", "pair-mode: diag"})),
                 "Invalid pair-mode tag.", "Unexpected value pair-mode tag: diag.\n"},
        FailCase{"pairAddressShort",
                 Report(With(kBasic, {"scanner-in-cradle: 1", "pair-mode: app", "pair-address: 12345"})),
                 "Invalid pair-address tag, it must be in 12 characters.", ""},
        FailCase{"pairAddressMissing", Report(With(kBasic, {"scanner-in-cradle: 1"})),
                 "Invalid pair-address tag, it must be in 12 characters.", ""}),
    [](const auto& info) { return std::string(info.param.name); });

struct EffectCase {
    const char* name;
    std::vector<std::string> lines;
    std::function<void(const KIRO_FlashTool&)> check;
    const char* logged;
};

class PinfoEffect : public PinfoTest, public ::testing::WithParamInterface<EffectCase> {};

TEST_P(PinfoEffect, FillsTheRecord)
{
    const EffectCase& c = GetParam();
    engine->DefaultCableType = 'R';
    engine->m_BlueToothMode = 1;
    ASSERT_EQ(engine->ApplyPinfoReport(Report(c.lines).c_str()), 0) << captured.Text();
    c.check(*engine);
    EXPECT_TRUE(Logged(c.logged)) << captured.Text();
}

std::vector<std::string> Lines(std::initializer_list<std::string> more) { return With({"fmt: 1"}, more); }

INSTANTIATE_TEST_SUITE_P(
    Pinfo, PinfoEffect,
    ::testing::Values(
        EffectCase{"cbl17", Lines({"cbl: 17"}),
                   [](const KIRO_FlashTool& e) {
                       EXPECT_EQ(e.pinfo.physical_cable_type, 'K');
                       EXPECT_EQ(e.m_BlueToothMode, 0);
                   },
                   ""},
        EffectCase{"cbl32", Lines({"cbl: 0x20"}),
                   [](const KIRO_FlashTool& e) {
                       EXPECT_EQ(e.pinfo.physical_cable_type, 'R');
                       EXPECT_EQ(e.m_BlueToothMode, 1);
                   },
                   "cbl value = 32, then set cable_type to default value = R. And set m_BlueToothMode to TRUE.\n"},
        EffectCase{"cbl6", Lines({"cbl: 6"}),
                   [](const KIRO_FlashTool& e) { EXPECT_EQ(e.pinfo.physical_cable_type, '?'); }, ""},
        EffectCase{"cblNotANumber", Lines({"cbl: 4x"}),
                   [](const KIRO_FlashTool& e) { EXPECT_EQ(e.pinfo.physical_cable_type, '?'); }, ""},
        EffectCase{"modeApp", Lines({"mode: app"}),
                   [](const KIRO_FlashTool& e) { EXPECT_EQ(e.pinfo.scannerstate, 'A'); }, ""},
        EffectCase{"modeOther", Lines({"mode: apps"}),
                   [](const KIRO_FlashTool& e) { EXPECT_EQ(e.pinfo.scannerstate, 'X'); }, ""},
        EffectCase{"modeAbsent", Lines({}),
                   [](const KIRO_FlashTool& e) { EXPECT_EQ(e.pinfo.scannerstate, '?'); },
                   "Validate compat: (null)\n"},
        EffectCase{"compatTrailingComma", Lines({"boot-compat: 0x41,0x42,"}),
                   [](const KIRO_FlashTool& e) {
                       EXPECT_EQ(e.pinfo.Compatable[0], 0x41u);
                       EXPECT_EQ(e.pinfo.Compatable[1], 0x42u);
                       EXPECT_EQ(e.pinfo.Compatable[2], 0u);
                   },
                   "Validate compat: 0x41,0x42,\n"},
        EffectCase{"compatBadSeparator", Lines({"boot-incompat: 0x41;0x42"}),
                   [](const KIRO_FlashTool& e) {
                       EXPECT_EQ(e.pinfo.inCompatable[0], 0x41u);
                       EXPECT_EQ(e.pinfo.inCompatable[1], 0u);
                   },
                   "*ERROR* Invalid\n"},
        // An id beyond 32 bits is bad list text, never a shortened id: the
        // device must not look as if it had named 0x41 or 1.
        EffectCase{"compatAbove32Bits", Lines({"boot-compat: 0x100000041"}),
                   [](const KIRO_FlashTool& e) { EXPECT_EQ(e.pinfo.Compatable[0], 0u); }, "*ERROR* Invalid\n"},
        EffectCase{"compatBelow32Bits", Lines({"boot-compat: 0x41,-4294967295,0x43"}),
                   [](const KIRO_FlashTool& e) {
                       EXPECT_EQ(e.pinfo.Compatable[0], 0x41u);
                       EXPECT_EQ(e.pinfo.Compatable[1], 0u);
                       EXPECT_EQ(e.pinfo.Compatable[2], 0u);
                   },
                   "*ERROR* Invalid\n"},
        EffectCase{"incompatTwoToThe32", Lines({"boot-incompat: 0x42,0x100000000"}),
                   [](const KIRO_FlashTool& e) {
                       EXPECT_EQ(e.pinfo.inCompatable[0], 0x42u);
                       EXPECT_EQ(e.pinfo.inCompatable[1], 0u);
                   },
                   "*ERROR* Invalid\n"},
        EffectCase{"compatLargest32BitId", Lines({"boot-compat: 0xFFFFFFFF,1"}),
                   [](const KIRO_FlashTool& e) {
                       EXPECT_EQ(e.pinfo.Compatable[0], 0xFFFFFFFFu);
                       EXPECT_EQ(e.pinfo.Compatable[1], 1u);
                   },
                   "Validate compat: 0xFFFFFFFF,1\n"},
        EffectCase{"compatOctalAndDecimal", Lines({"boot-compat: 010,10"}),
                   [](const KIRO_FlashTool& e) {
                       EXPECT_EQ(e.pinfo.Compatable[0], 8u);
                       EXPECT_EQ(e.pinfo.Compatable[1], 10u);
                   },
                   ""},
        EffectCase{"numbers", Lines({"flash: 0x10", "hw-rev: 3", "usbvid: 0xf0f0", "usbpid: 2817"}),
                   [](const KIRO_FlashTool& e) {
                       EXPECT_EQ(e.pinfo.flash, 16);
                       EXPECT_EQ(e.pinfo.hw_rev, 3);
                       EXPECT_EQ(e.usbBootIds.vendorId, 0xF0F0);
                       EXPECT_EQ(e.usbBootIds.productId, 0x0B01);
                       EXPECT_EQ(e.usbBootIds.interfaceNumber, 0);
                       EXPECT_EQ(e.usbBootIds.devicePath, nullptr);
                   },
                   "Scanner_GetPinfo: VID = 61680,PID = 2817, Nth = 0"},
        EffectCase{"btServer", Lines({"bt-mode: server"}),
                   [](const KIRO_FlashTool& e) { EXPECT_EQ(e.pinfo.bt_mode, 1); }, "Scanner_GetPinfo: bt_mode = 1.\n"},
        EffectCase{"devAddress", Lines({"hub-connections: 1", "dev-1-addr: 0123456789AB", "hub-1-addr: x"}),
                   [](const KIRO_FlashTool& e) { EXPECT_STREQ(e.pinfo.scanner_bt_address, "0123456789AB"); },
                   "Scanner_GetPinfo: valid scanner bt address (dev-1-addr): 0123456789AB\n"},
        EffectCase{"hubAddress", Lines({"hub-connections: 1", "hub-1-addr: BA9876543210"}),
                   [](const KIRO_FlashTool& e) { EXPECT_STREQ(e.pinfo.scanner_bt_address, "BA9876543210"); },
                   "(hub-1-addr): BA9876543210\n"},
        EffectCase{"twoLinksIgnoreAddresses", Lines({"hub-connections: 2", "dev-1-addr: short"}),
                   [](const KIRO_FlashTool& e) {
                       EXPECT_EQ(e.pinfo.hub_connections, 2);
                       EXPECT_STREQ(e.pinfo.scanner_bt_address, "");
                   },
                   "Scanner_GetPinfo: hub_connections = 2.\n"},
        EffectCase{"diagnosticsIgnoresPairAddress",
                   Lines({"scanner-in-cradle: 1", "pair-mode: Diagnostics", "pair-address: 12345"}),
                   [](const KIRO_FlashTool& e) {
                       EXPECT_EQ(e.pinfo.pair_mode, 'D');
                       EXPECT_STREQ(e.pinfo.pair_address, "");
                   },
                   "Scanner_GetPinfo: pair-mode = D.\n"},
        EffectCase{"pairAddress", Lines({"scanner-in-cradle: 1", "pair-mode: boot", "pair-address: 00AABBCCDDEE"}),
                   [](const KIRO_FlashTool& e) {
                       EXPECT_EQ(e.pinfo.pair_mode, 'B');
                       EXPECT_STREQ(e.pinfo.pair_address, "00AABBCCDDEE");
                   },
                   "Scanner_GetPinfo: valid paired address: 00AABBCCDDEE\n"},
        EffectCase{"notInCradleIgnoresPairTags", Lines({"scanner-in-cradle: 0", "pair-mode: bogus"}),
                   [](const KIRO_FlashTool& e) { EXPECT_EQ(e.pinfo.pair_mode, 0); },
                   "Scanner_GetPinfo: scanner_in_cradle_state = 0.\n"},
        EffectCase{"valueWithColonsAndEmptyValue", Lines({"boot-m_name: a: b:c", "note: "}),
                   [](const KIRO_FlashTool& e) {
                       EXPECT_STREQ(e.pinfo.boot_m_name, "a: b:c");
                       EXPECT_STREQ(FindPinfoItem(e.pinfo, "note"), "");
                   },
                   ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PinfoTest, LoneCrAndLfLineEndsAreAccepted)
{
    std::string text = "fmt: 1\rmode: app\n";
    unsigned sum = 0;
    for (unsigned char c : text)
        sum += c;
    text += "csum: " + std::to_string(sum) + "\r\r";
    EXPECT_EQ(engine->ApplyPinfoReport(text.c_str()), 0) << captured.Text();
    EXPECT_EQ(pinfo.scannerstate, 'A');
}

TEST_F(PinfoTest, OnlyTheFirstHundredLinesAreItems)
{
    std::vector<std::string> lines = {"fmt: 1"};
    for (int i = 1; i < 98; ++i)
        lines.push_back("x" + std::to_string(i) + ": " + std::to_string(i));
    std::vector<std::string> after;
    for (int i = 0; i < 51; ++i)
        after.push_back("mode: app");

    EXPECT_EQ(engine->ApplyPinfoReport(Report(With(lines, {"mode: boot"}), after).c_str()), 0);
    EXPECT_TRUE(Logged("pinfo - too many items\n"));
    EXPECT_EQ(pinfo.itemCount, 100);
    EXPECT_EQ(pinfo.scannerstate, 'B');

    // A csum line beyond the hundredth is in the text but not an item.
    std::vector<std::string> longer = lines;
    longer.push_back("y: 1");
    longer.push_back("z: 2");
    EXPECT_EQ(engine->ApplyPinfoReport(Report(longer, after).c_str()), -1);
    EXPECT_TRUE(Logged("got 0xffffffff\n")) << captured.Text();
}

TEST_F(PinfoTest, CleanReportClearsTheBluetoothModeOfTheLastOne)
{
    ASSERT_EQ(engine->ApplyPinfoReport(Report(Lines({"cbl: 32"})).c_str()), 0);
    EXPECT_EQ(engine->m_BlueToothMode, 1);
    ASSERT_EQ(engine->ApplyPinfoReport(Report(Lines({"cbl: 2"})).c_str()), 0);
    EXPECT_EQ(engine->m_BlueToothMode, 0);
    EXPECT_EQ(pinfo.physical_cable_type, 'R');
}

TEST_F(PinfoTest, FailedReportKeepsWhatWasAlreadyApplied)
{
    EXPECT_EQ(engine->ApplyPinfoReport(Report(Lines({"mode: app", "hw-rev: 7", "bt-mode: master"})).c_str()), -1);
    EXPECT_EQ(pinfo.scannerstate, 'A');
    EXPECT_EQ(pinfo.hw_rev, 7);
    EXPECT_EQ(pinfo.itemCount, 0);
}

// Fields that do not fit are cut, never written past; the checksum still
// covers the text as sent.
TEST_F(PinfoTest, OversizeFieldsAreTruncated)
{
    std::string longTag(45, 't');
    std::string longValue(150, 'v');
    std::string longName(100, 'n');
    std::string compat = "1";
    for (int i = 2; i <= 40; ++i)
        compat += "," + std::to_string(i);

    ASSERT_EQ(engine->ApplyPinfoReport(
                  Report(Lines({longTag + ": " + longValue, "boot-m_name: " + longName, "boot-compat: " + compat}))
                      .c_str()),
              0)
        << captured.Text();

    EXPECT_EQ(std::string(pinfo.items[1].tag), longTag.substr(0, 29));
    EXPECT_EQ(std::string(pinfo.items[1].value), longValue.substr(0, 99));
    EXPECT_EQ(std::string(pinfo.boot_m_name), longName.substr(0, 63));
    EXPECT_EQ(pinfo.Compatable[31], 32u);
    EXPECT_EQ(pinfo.inCompatable[0], 0u);   // the list next to it is untouched
    EXPECT_TRUE(Logged("compat list holds more than 32 ids"));
}

TEST(PinfoItems, ParsingAddsToTheItemsAlreadyStored)
{
    Pinfo pinfo{};
    EXPECT_EQ(ParsePinfoItems(pinfo, "a: 1\r\n\r\n"), 0);
    EXPECT_EQ(ParsePinfoItems(pinfo, "b: 2\nc: 3\n\n"), 0);
    EXPECT_EQ(pinfo.itemCount, 3);
    EXPECT_STREQ(FindPinfoItem(pinfo, "c"), "3");
    EXPECT_EQ(ParsePinfoItems(pinfo, "d: 4"), -1);
    EXPECT_EQ(ParsePinfoItems(pinfo, "e :x\r\n"), -1);
    EXPECT_EQ(ParsePinfoItems(pinfo, "f\r\ng: 1\r\n"), -1);
}

} // namespace
