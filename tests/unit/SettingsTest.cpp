#include "io/FlashIo.h"
#include "log/Log.h"
#include "support/ToolFixture.h"

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

using testing_support::TempDir;
using testing_support::ToolTest;

namespace {

TEST_F(ToolTest, GeneralChecksComeFirst)
{
    uint64_t value = 0;
    EXPECT_EQ(Set(CFS_CANCELIO, nullptr, 3), 1u);
    EXPECT_TRUE(Logged("NULL pointer\n"));
    EXPECT_FALSE(Logged("Must be at least"));
    for (int32_t id : {int32_t{CFS_CANCELIO}, int32_t{CFS_PORTNAME}, int32_t{CFS_TEST_NUMBER}, 0x10000, -1}) {
        log->Clear();
        EXPECT_EQ(Get(id, &value, 3), 1u);
        EXPECT_EQ(log->Text(), "Must be at least intptr_t size\n");
    }
}

struct FixedCase {
    int32_t id;
    uint64_t size;
};

TEST_F(ToolTest, FixedSizeSettingsRefuseOtherSizes)
{
    uint8_t buffer[64] = {};
    for (auto c : {FixedCase{CFS_CANCELIO, 8}, FixedCase{CFS_INTERFACE, 8}, FixedCase{CFS_WIN32_232_SETTINGS, 56},
                   FixedCase{CFS_FWCALLBACK, 8}, FixedCase{CFS_LOGFILE, 24}}) {
        for (uint64_t size : {c.size - 1, c.size + 1, uint64_t{4}}) {
            log->Clear();
            EXPECT_EQ(Set(c.id, buffer, size), 1u) << c.id;
            EXPECT_TRUE(Logged("Invalid size\n")) << c.id;
        }
    }
}

TEST_F(ToolTest, InterfaceSizeFourStillLogsTheUnchangedType)
{
    uint32_t small = 0;
    EXPECT_EQ(Set(CFS_INTERFACE, &small, 4), 1u);
    EXPECT_EQ(log->Text(), "Invalid size\nGet and SetSetting: set interface 1. \n");
}

TEST_F(ToolTest, NumericSettingsRoundTrip)
{
    EXPECT_EQ(SetU64(CFS_CANCELIO, 7), 0u);
    EXPECT_EQ(GetU64(CFS_CANCELIO), 7u);
    EXPECT_EQ(context->cancelIo.load(), 7u);
    uint32_t half = 1;
    EXPECT_EQ(Set(CFS_CANCELIO, &half, 4), 1u);
    EXPECT_EQ(GetU64(CFS_CANCELIO), 7u);
    EXPECT_EQ(SetU64(CFS_INTERFACE, 0), 0u);
    EXPECT_EQ(GetU64(CFS_INTERFACE), 0u);
    EXPECT_TRUE(Logged("Get and SetSetting: set CFS_CANCELIO. \n"));
    EXPECT_TRUE(Logged("Get and SetSetting: set interface 0. \n"));
}

int32_t HostProgress(uint64_t, int32_t, uint64_t, uint64_t) { return 0; }

TEST_F(ToolTest, ProgressCallbackIsThePointerItself)
{
    EXPECT_EQ(Set(CFS_FWCALLBACK, reinterpret_cast<void*>(&HostProgress), 8), 0u);
    EXPECT_EQ(context->fwCallback, &HostProgress);
    FwCallback back = nullptr;
    EXPECT_EQ(Get(CFS_FWCALLBACK, &back, 8), 0u);
    EXPECT_EQ(back, &HostProgress);
}

TEST_F(ToolTest, VersionText)
{
    wchar_t buffer[100];
    ASSERT_EQ(wcslen(VersionText), 62u);
    EXPECT_EQ(Get(CFS_DLLVERSION, buffer, 61), 1u);
    EXPECT_EQ(Get(CFS_DLLVERSION, buffer, 62), 0u);
    EXPECT_EQ(std::wstring(buffer), VersionText);
    EXPECT_EQ(Set(CFS_DLLVERSION, buffer, 62), 1u);
    EXPECT_TRUE(Logged("Get and SetSetting: get dll version 1.20 | 1.27.0 | RM000048TXQ | TAMBRIX01 | Aug 22 2016 "
                       "09:48:13. \n"));
}

TEST_F(ToolTest, PortName)
{
    wchar_t buffer[16];
    // Nothing stored yet: an empty name.
    EXPECT_EQ(Get(CFS_PORTNAME, buffer, 15), 0u);
    EXPECT_EQ(std::wstring(buffer), L"");
    EXPECT_EQ(SetPort(L"/dev/ttyUSB0"), 0u);
    EXPECT_TRUE(Logged("Get and SetSetting: set port name /dev/ttyUSB0.\n"));
    EXPECT_EQ(Get(CFS_PORTNAME, buffer, 11), 1u);
    EXPECT_EQ(Get(CFS_PORTNAME, buffer, 12), 0u);
    EXPECT_EQ(std::wstring(buffer), L"/dev/ttyUSB0");
    // A text longer than the size it comes with is refused, not over-read.
    wchar_t longer[] = L"COM12345";
    EXPECT_EQ(Set(CFS_PORTNAME, longer, 4), 1u);
    EXPECT_EQ(std::wstring(context->portName), L"/dev/ttyUSB0");
    // A shorter text than the size is taken up to its NUL.
    wchar_t shorter[32] = L"COM4";
    EXPECT_EQ(Set(CFS_PORTNAME, shorter, 31), 0u);
    EXPECT_EQ(std::wstring(context->portName), L"COM4");
    // The largest size is a capacity like any other, not one that wraps
    // round to an empty name.
    wchar_t other[] = L"COM9";
    EXPECT_EQ(Set(CFS_PORTNAME, other, ~uint64_t{0}), 0u);
    EXPECT_EQ(std::wstring(context->portName), L"COM9");
}

TEST_F(ToolTest, SerialSettingsAreLogged)
{
    WIN32_232_SETTINGS s{};
    s.dcb.BaudRate = 115200;
    s.dcb.ByteSize = 8;
    s.dcb.Parity = 2;
    s.dcb.StopBits = 2;
    s.timeouts = {1, 2, 3, 4, 5};
    s.dwInQueue = 4096;
    s.dwOutQueue = 2048;
    EXPECT_EQ(Set(CFS_WIN32_232_SETTINGS, &s, sizeof s), 0u);
    EXPECT_EQ(log->Text(),
              "Get and SetSetting: set WIN32_232_SETTINGS. \n"
              "win_rs232_settings: 115200, 8-E-2.\n"
              "comTimeout: ReadIntervalTimeout: 1\nReadTotalTimeoutMultiplier: 2\nReadTotalTimeoutConstant: 3\n"
              "WriteTotalTimeoutMultiplier: 4\nWriteTotalTimeoutConstant: 5.\n"
              "dwInQueue: 4096\ndwOutQueue: 2048.\n");
    WIN32_232_SETTINGS back{};
    EXPECT_EQ(Get(CFS_WIN32_232_SETTINGS, &back, sizeof back), 0u);
    EXPECT_EQ(memcmp(&back, &s, sizeof s), 0);

    const struct {
        uint8_t parity, stopBits;
        const char* text;
    } letters[] = {{0, 0, "8-N-1"}, {1, 1, "8-O-2"}, {3, 0, "8-M-1"}, {4, 0, "8-S-1"}, {5, 3, "8-?-?"}};
    for (const auto& c : letters) {
        log->Clear();
        s.dcb.Parity = c.parity;
        s.dcb.StopBits = c.stopBits;
        Set(CFS_WIN32_232_SETTINGS, &s, sizeof s);
        EXPECT_TRUE(Logged(std::string("115200, ") + c.text + ".\n")) << log->Text();
    }
}

TEST_F(ToolTest, InitStringLists)
{
    wchar_t buffer[200];
    // The default one-entry list: 13 characters through the final NUL.
    EXPECT_EQ(Get(CFS_INITSTRING, buffer, 12), 1u);
    EXPECT_EQ(Get(CFS_INITSTRING, buffer, 13), 0u);
    EXPECT_EQ(std::wstring(buffer, 13), std::wstring(L"\x16M\rVISMN42.\0", 12) + L'\0');
    EXPECT_TRUE(Logged("GET Init string, size = 13.\n"));

    wchar_t list[] = L"AB\0CDE\0";
    EXPECT_EQ(Set(CFS_INITSTRING, list, 301), 1u);
    EXPECT_TRUE(Logged("Invalid size\n"));
    // A string whose NUL stands beyond the size is refused.
    EXPECT_EQ(Set(CFS_INITSTRING, list, 5), 1u);
    EXPECT_EQ(Set(CFS_INITSTRING, list, 8), 0u);
    EXPECT_TRUE(Logged("SET Init string, size = 8.\n"));
    EXPECT_EQ(Get(CFS_INITSTRING, buffer, 8), 0u);
    EXPECT_EQ(std::wstring(buffer, 8), std::wstring(L"AB\0CDE\0\0", 8));

    // The serial interface has a list of its own.
    SetU64(CFS_INTERFACE, INTERFACE_RS232);
    EXPECT_EQ(Get(CFS_INITSTRING, buffer, 200), 0u);
    EXPECT_EQ(std::wstring(buffer), L"\x16M\rVISMN42.");
}

TEST_F(ToolTest, InitStringSizeIsRefusedBeforeTheListIsRead)
{
    // A list without its end within the buffer, and sizes far beyond the
    // buffer: nothing of it may be read, not even for the dump.
    std::vector<wchar_t> list(320, L'A');
    for (uint64_t size : {uint64_t{301}, uint64_t{1000}, ~uint64_t{0}}) {
        log->Clear();
        EXPECT_EQ(Set(CFS_INITSTRING, list.data(), size), 1u) << size;
        EXPECT_EQ(log->Text(), "SET Init string, size = " + std::to_string(static_cast<int>(size)) +
                                   ".\nInvalid size\n");
    }
    wchar_t buffer[16];
    ASSERT_EQ(Get(CFS_INITSTRING, buffer, 16), 0u);
    EXPECT_EQ(std::wstring(buffer), L"\x16M\rVISMN42.");
}

TEST_F(ToolTest, InitStringGetDumpsAtMost255Bytes)
{
    wchar_t buffer[300] = {};
    Get(CFS_INITSTRING, buffer, 300);
    size_t lines = std::count(log->Text().begin(), log->Text().end(), '\n');
    EXPECT_EQ(lines, 1u + 16u) << log->Text();   // the size line and 255 bytes in 16-byte lines
}

TEST_F(ToolTest, TestIdsOnlyLog)
{
    int32_t number[2] = {16, 99};
    EXPECT_EQ(Set(CFS_TEST_NUMBER, number, 8), 0u);
    EXPECT_EQ(Get(CFS_TEST_NUMBER, number, 4), 0u);
    EXPECT_EQ(log->Text(), "Get and SetSetting: TEST NUMBER: 16\nGet and SetSetting: TEST NUMBER: 16\n");
    log->Clear();
    char text[] = "ABCD";
    EXPECT_EQ(Set(CFS_TEST_STRING, text, 4), 0u);
    EXPECT_EQ(log->Text(), "Get and SetSetting: TEST STRING \n"
                           "00000000: 41 42 43 44            -                        | ABCD    -        |\n");
}

TEST_F(ToolTest, UnknownIdsAnswerFour)
{
    uint64_t value = 0;
    for (int32_t id : {9, 10, 12, 0xFFFD, -5, 0x10004, 0x10044, 0x20000}) {
        log->Clear();
        EXPECT_EQ(Set(id, &value, 8), 4u) << id;
        EXPECT_EQ(Get(id, &value, 8), 4u) << id;
        EXPECT_TRUE(Logged("Get and SetSetting: SettingID not defined by FlashTool API,DLL specific code handle this.\n"));
    }
}

int32_t HostAssist(void*, uint32_t, wchar_t*, uint32_t) { return 0; }

TEST_F(ToolTest, AssistRecord)
{
    DllAssistSettings none{nullptr, nullptr, 1};
    EXPECT_EQ(Set(CFS_DLLASSIST_SETTINGS, &none, sizeof none), 2u);
    EXPECT_EQ(context->assistRecord, &none);
    EXPECT_EQ(context->assistCallback, nullptr);
    int hostState = 0;
    DllAssistSettings record{HostAssist, &hostState, 7};
    EXPECT_EQ(Get(CFS_DLLASSIST_SETTINGS, &record, sizeof record), 0u);
    EXPECT_EQ(context->assistRecord, &record);
    EXPECT_EQ(context->assistCallback, &HostAssist);
    EXPECT_EQ(context->assistContext, &hostState);
    // A later record without callback keeps the earlier callback.
    EXPECT_EQ(Set(CFS_DLLASSIST_SETTINGS, &none, sizeof none), 2u);
    EXPECT_EQ(context->assistCallback, &HostAssist);
    EXPECT_TRUE(Logged("Get and SetSetting: set CFS_DLLASSIST_SETTINGS. \n"));
}

TEST_F(ToolTest, LibrarySpecificSettingsReachTheirMembers)
{
    KIRO_FlashTool* engine = context->engine;
    FlashIo* io = engine->io;
    const struct {
        int32_t id;
        uint64_t initial;
        uint64_t* member;
    } cases[] = {
        {0x10000, 0xFFFFFFFF, &context->log->flags},   // the fixture's captured log set all flags
        {0x10001, 0x54, &context->flagsPresetL},
        {0x10002, 0xD6, &context->flagsPresetM},
        {0x10003, 0xFFFFFFFF, &context->flagsPresetH},
        {0x10010, 250, &io->byteTimeoutMs},
        {0x10011, 1000, &io->replyTimeoutMs},
        {0x10012, 1000, &io->menuCommandTimeoutMs},
        {0x10013, 2000, &io->receiveDeadlineMs},
        {0x10020, 300, &engine->cableDelayRs232Ms},
        {0x10021, 4000, &engine->cableDelayUsbMs},
        {0x10030, 10000, &engine->resetTimeoutMs},
        {0x10031, 3, &engine->retryMax},
        {0x10040, 64, &engine->btlMaxPayload},
        {0x10041, 2000, &engine->btlTimeoutIcd},
        {0x10042, 5000, &engine->btlTimeoutReply},
        {0x10043, 3, &engine->btlRetryMax},
        {0x10050, 0, &io->io->usbFullReportWait},
        // The pauses: a host that sets nothing keeps the long-standing ones.
        {CFS_PELLARO_PAUSE_PACKET, 20, &io->pacing.packetPauseMs},
        {CFS_PELLARO_PAUSE_RECEIVE, 20, &io->pacing.receivePauseMs},
        {CFS_PELLARO_PAUSE_EMPTY_POLL, 5, &io->pacing.emptyPollPauseMs},
        {CFS_PELLARO_PAUSE_FAILED_TRY, 50, &io->pacing.failedTryPauseMs},
        {CFS_PELLARO_RESTART_FIRST_LOOK, CFS_PACE_BY_CABLE, &io->pacing.firstLookMs},
        {CFS_PELLARO_RESTART_LOOK_INTERVAL, CFS_PACE_BY_CABLE, &io->pacing.lookIntervalMs},
        {CFS_PELLARO_READINESS_PAUSE, 10000, &io->pacing.readinessPauseMs},
        {CFS_PELLARO_FAST, 0, &io->pacing.fast},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(GetU64(c.id), c.initial) << std::hex << c.id;
        EXPECT_EQ(SetU64(c.id, 0x1234567890ull + static_cast<uint64_t>(c.id)), 0u);
        EXPECT_EQ(*c.member, 0x1234567890ull + static_cast<uint64_t>(c.id)) << std::hex << c.id;
        uint32_t small = 0;
        EXPECT_EQ(Set(c.id, &small, 4), 1u);
        EXPECT_EQ(Get(c.id, &small, 4), 1u);
        EXPECT_EQ(small, 0u);
    }
}

class LogFileTest : public ToolTest {
protected:
    uint32_t SetLog(uint64_t kind, const wchar_t* name, uint64_t preset)
    {
        LogFileSettings settings{kind, name, preset};
        return Set(CFS_LOGFILE, &settings, sizeof settings);
    }
    TempDir dir;
};

TEST_F(LogFileTest, PresetZeroChoosesNoOutputAndTheSecondCallIsRefused)
{
    EXPECT_EQ(SetLog(LOG_TO_FILE, dir.WideFile("a.log").c_str(), 0), 0u);
    EXPECT_EQ(context->logConfigured, 1u);
    EXPECT_EQ(SetLog(LOG_TO_FILE, dir.WideFile("a.log").c_str(), 2), 1u);
    EXPECT_FALSE(std::ifstream(dir.File("a.log")).good());
}

TEST_F(LogFileTest, NullNameIsRefusedForEveryKind)
{
    EXPECT_EQ(SetLog(LOG_TO_CONSOLE, nullptr, 2), 1u);
    EXPECT_EQ(context->logConfigured, 1u);
    // Once taken, even a failed record stays taken.
    EXPECT_EQ(SetLog(LOG_TO_FILE, dir.WideFile("b.log").c_str(), 2), 1u);
}

TEST_F(LogFileTest, GetIsRefused)
{
    LogFileSettings settings{};
    EXPECT_EQ(Get(CFS_LOGFILE, &settings, sizeof settings), 1u);
    EXPECT_EQ(context->logConfigured, 0u);
}

TEST_F(LogFileTest, UnopenableFileFails)
{
    EXPECT_EQ(SetLog(LOG_TO_FILE, L"/nonexistent-dir/x.log", 2), 1u);
}

TEST_F(LogFileTest, FileGetsVersionAndFlagsLines)
{
    log.reset();   // the real output this time
    EXPECT_EQ(SetLog(LOG_TO_FILE, dir.WideFile("c.log").c_str(), 2), 0u);
    EXPECT_EQ(context->log->flags, 0xD6u);
    uint64_t value = 1;
    Set(CFS_CANCELIO, &value, 8);
    DestroyFlashTool(tool);
    tool = CreateFlashTool();   // the fixture destroys a tool of its own
    std::string text = testing_support::ReadTextFile(dir.File("c.log"));
    EXPECT_NE(text.find("\nFlashDLL Vers: 1.20 | 1.27.0 | RM000048TXQ | TAMBRIX01 | Aug 22 2016 09:48:13\n"
                        "Log Flags: 0x000000d6\n"
                        "Get and SetSetting: set CFS_CANCELIO. \n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("END LOG: "), std::string::npos);
}

TEST_F(LogFileTest, PresetsAreReadWhenTheLogIsChosen)
{
    SetU64(0x10001, 0x4);
    log.reset();
    EXPECT_EQ(SetLog(99, L"ignored", 1), 0u);
    EXPECT_EQ(context->log->flags, 0x4u);
    EXPECT_EQ(context->log->output, nullptr);
}

} // namespace
