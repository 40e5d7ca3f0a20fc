#include "io/FlashIo.h"
#include "platform/Platform.h"
#include "support/ToolFixture.h"

#include <cstring>

using testing_support::TempDir;
using testing_support::ToolTest;

namespace {

class ProtocolFileTest : public ToolTest {
protected:
    uint32_t Load(const std::string& name, const std::string& content)
    {
        dir.Write(name, content);
        std::wstring path = dir.WideFile(name);
        return Set(CFS_PROTOCOL_SETTINGS, path.data(), path.size() * sizeof(wchar_t));
    }
    std::string Name(const std::string& file) const { return dir.File(file); }
    TempDir dir;
};

TEST_F(ProtocolFileTest, ExtensionIsCheckedBeforeAnyFileAccess)
{
    EXPECT_EQ(Load("settings.TXT", "PELLARO_RETRY_max: 7\n"), 0u);
    EXPECT_EQ(context->engine->retryMax, 7u);
    for (const char* name : {"settings.txt.bak", "settings", "settings.tx", "settings.text"}) {
        log->Clear();
        EXPECT_EQ(Load(name, "PELLARO_RETRY_max: 9\n"), 1u) << name;
        EXPECT_TRUE(Logged("Wrong protocal file with invalid extension: " + Name(name) +
                           ". Expected extension: txt.\n"))
            << log->Text();
    }
    EXPECT_EQ(context->engine->retryMax, 7u);
}

TEST_F(ProtocolFileTest, MissingFile)
{
    std::wstring path = dir.WideFile("absent.txt");
    EXPECT_EQ(Set(CFS_PROTOCOL_SETTINGS, path.data(), 8), 2u);
    EXPECT_TRUE(Logged("CWD: "));
    EXPECT_TRUE(Logged("LOAD: " + Name("absent.txt") + " - FAILS\n"));
}

struct LineCase {
    const char* line;
    uint32_t result;
    const char* logged;   // a part of the log, with the file name as %F and line 1
};

TEST_F(ProtocolFileTest, Lines)
{
    const LineCase cases[] = {
        {"PELLARO_RETRY_max : 0x05", 0, "%F:1: NAME: 'PELLARO_RETRY_max', Value: '0x05'\n"},
        {"   ; PELLARO_RETRY_max: 5", 0, "%F:1:    ; PELLARO_RETRY_max: 5\n"},
        {"# comment", 0, "%F:1: # comment\n"},
        {"// comment", 0, "%F:1: // comment\n"},
        {"", 0, "%F:1: *END*OF*FILE*\n"},
        {"PELLARO_RETRY_max: 5ms", 2, "%F:1: ERROR: Not a number\n"},
        {"PELLARO_RETRY_max:", 2, "%F:1: ERROR: Not a number\n"},
        {"PELLARO_RETRY_max: 99999999999999999999999", 2, "%F:1: ERROR: Not a number\n"},
        {"pellaro_retry_max: 5", 2, "%F:1: ERROR: Setting 'pellaro_retry_max' not found\n"},
        {"PELLARO_RETRY_max 5", 2, "%F:1: Syntax Error, missing <colon>\n"},
        {"PELLARO_RETRY_max:\t5", 2, "%F:1: Syntax error - non-ascii byte: 0x09, column: 19\n"},
        {"test-string: \xE9", 2, "%F:1: Syntax error - non-ascii byte: 0xe9, column: 14\n"},
        {"test-number: 16", 0, "Get and SetSetting: TEST NUMBER: 16\n"},
        {"test-number: 010", 0, "Get and SetSetting: TEST NUMBER: 8\n"},
        {"init-string: \"ab\" x", 2, "%F:1: ERROR: String syntax error\n"},
        {"init-string: \\q", 2, "%F:1: ERROR: String syntax error\n"},
        {"init-string: \"", 2, "%F:1: Cannot set value\n"},
        {"PELLARO_dbgflags_L: 0x44", 0, "%F:1: *END*OF*FILE*\n"},
    };
    for (const auto& c : cases) {
        log->Clear();
        EXPECT_EQ(Load("p.txt", std::string(c.line) + "\r\n"), c.result) << c.line;
        std::string expected = c.logged;
        size_t at = expected.find("%F");
        if (at != std::string::npos)
            expected.replace(at, 2, Name("p.txt"));
        EXPECT_TRUE(Logged(expected)) << c.line << "\n" << log->Text();
    }
    EXPECT_EQ(context->flagsPresetL, 0x44u);
}

TEST_F(ProtocolFileTest, InitStringFromTheFileIsAOneEntryList)
{
    SetU64(CFS_INTERFACE, INTERFACE_RS232);
    EXPECT_EQ(Load("p.txt", "init-string: \"\\x16M\\rVISMN42.\"\n"), 0u);
    wchar_t buffer[32];
    ASSERT_EQ(Get(CFS_INITSTRING, buffer, 32), 0u);
    EXPECT_EQ(std::wstring(buffer, 13), std::wstring(L"\x16M\rVISMN42.\0", 13));
    EXPECT_EQ(Load("p.txt", "init-string: a:b\n"), 0u);
    ASSERT_EQ(Get(CFS_INITSTRING, buffer, 32), 0u);
    EXPECT_EQ(std::wstring(buffer), L"a:b");
    // Above 150 characters the list is above the 300 the setting takes.
    EXPECT_EQ(Load("p.txt", "init-string: " + std::string(151, 'x') + "\n"), 2u);
    EXPECT_TRUE(Logged(Name("p.txt") + ":1: Cannot set value\n"));
    EXPECT_EQ(Load("p.txt", "init-string: " + std::string(150, 'x') + "\n"), 0u);
}

TEST_F(ProtocolFileTest, RefusedLinesDoNotUndoAcceptedOnes)
{
    EXPECT_EQ(Load("p.txt",
                   "PELLARO_RETRY_max: 4\n"
                   "bogus: 1\n"
                   "PELLARO_Timeout_ICD_mSecs: 100\n"
                   "PELLARO_RETRY_max: 6\n"),
              2u);
    EXPECT_EQ(context->engine->retryMax, 6u);
    EXPECT_EQ(context->engine->io->byteTimeoutMs, 100u);
    EXPECT_TRUE(Logged(Name("p.txt") + ":4: *END*OF*FILE*\n"));
    EXPECT_EQ(Load("p.txt", "PELLARO_USB_FullReportWait: 1\n"), 0u);
    EXPECT_EQ(context->engine->io->io->usbFullReportWait, 1u);
}

TEST_F(ProtocolFileTest, PausesAndTheFastProfile)
{
    EXPECT_EQ(Load("pauses.txt",
                   "PELLARO_Pause_Packet_mSecs: 0\n"
                   "PELLARO_Pause_Receive_mSecs: 3\n"
                   "PELLARO_Pause_EmptyPoll_mSecs: 1\n"
                   "PELLARO_Pause_FailedTry_mSecs: 0x40\n"
                   "PELLARO_Restart_FirstLook_mSecs: 200\n"
                   "PELLARO_Restart_LookInterval_mSecs: 300\n"
                   "PELLARO_Readiness_Pause_mSecs: 2500\n"
                   "PELLARO_Fast: 1\n"),
              0u);
    const Pacing& p = context->engine->io->pacing;
    EXPECT_EQ(p.packetPauseMs, 0u);
    EXPECT_EQ(p.receivePauseMs, 3u);
    EXPECT_EQ(p.emptyPollPauseMs, 1u);
    EXPECT_EQ(p.failedTryPauseMs, 0x40u);
    EXPECT_EQ(p.firstLookMs, 200u);
    EXPECT_EQ(p.lookIntervalMs, 300u);
    EXPECT_EQ(p.readinessPauseMs, 2500u);
    EXPECT_EQ(p.fast, 1u);
    // -1 gives the looks back to the cable's own pauses.
    EXPECT_EQ(Load("pauses.txt", "PELLARO_Restart_FirstLook_mSecs: -1\n"), 0u);
    EXPECT_EQ(p.firstLookMs, CFS_PACE_BY_CABLE);
}

TEST_F(ProtocolFileTest, ALongLineEndsTheReading)
{
    std::string fits(498, ' ');
    fits.replace(0, 20, "PELLARO_RETRY_max: 8");
    EXPECT_EQ(Load("p.txt", fits + "\n"), 0u);
    EXPECT_EQ(context->engine->retryMax, 8u);
    EXPECT_EQ(Load("p.txt", "PELLARO_RETRY_max: 4\n" + std::string(499, ' ') + "\nPELLARO_RETRY_max: 5\n"), 2u);
    EXPECT_TRUE(Logged(Name("p.txt") + ":2: line too long\n"));
    EXPECT_TRUE(Logged(Name("p.txt") + ":2: *END*OF*FILE*\n"));
    EXPECT_EQ(context->engine->retryMax, 4u);
}

TEST_F(ProtocolFileTest, TestStringDumpShowsTheWholeText)
{
    EXPECT_EQ(Load("p.txt", "test-string: ABCD\n"), 0u);
    // The decoded text's bytes, whatever the width of a wide character.
    std::string dump = sizeof(wchar_t) == 4
                           ? "00000000: 41 00 00 00 42 00 00 00-43 00 00 00 44 00 00 00 | A...B...-C...D...|\n"
                           : "00000000: 41 00 42 00 43 00 44 00-                        | A.B.C.D.-        |\n";
    EXPECT_TRUE(Logged("Get and SetSetting: TEST STRING \n" + dump)) << log->Text();
}

TEST_F(ProtocolFileTest, LoadsAFileAnotherProgramStillHoldsForWriting)
{
    // A host that has just written the file and not closed it yet, with
    // sharing that keeps other writers off.
    std::wstring path = dir.WideFile("held.txt");
    FILE* writer = platform::OpenFileDenyWrite(path.c_str(), "wb");
    ASSERT_NE(writer, nullptr);
    fputs("PELLARO_RETRY_max: 6\n", writer);
    fflush(writer);
    EXPECT_EQ(Set(CFS_PROTOCOL_SETTINGS, path.data(), path.size()), 0u) << log->Text();
    EXPECT_EQ(context->engine->retryMax, 6u);
    fclose(writer);
}

TEST_F(ProtocolFileTest, TypographicQuotesAreQuotes)
{
    EXPECT_EQ(Load("p.txt", "init-string: \x93Hi\x94\n"), 0u);
    wchar_t buffer[8];
    ASSERT_EQ(Get(CFS_INITSTRING, buffer, 8), 0u);
    EXPECT_EQ(std::wstring(buffer), L"Hi");
}

TEST(TrimSpaces, BothEnds)
{
    const std::pair<const char*, const char*> cases[] = {
        {"  a b  ", "a b"}, {"\t\r\n", ""}, {"", ""}, {"x", "x"}, {" \vx\f ", "x"}};
    for (const auto& [in, out] : cases) {
        char buffer[32];
        strcpy(buffer, in);
        TrimSpaces(buffer);
        EXPECT_STREQ(buffer, out);
    }
}

TEST(ParseStringValue, Escapes)
{
    const std::pair<const char*, std::wstring> ok[] = {
        {"plain", L"plain"},
        {"\"quoted\"", L"quoted"},
        {"\"no end", L"no end"},
        {"a\"b", L"a\"b"},
        {"\\\"\\\\\\n\\r\\t", L"\"\\\n\r\t"},
        {"\\101\\377\\000x", std::wstring(L"A\xFF") + L'\0' + L"x"},
        {"\\x41\\x6a\\x6A", L"Ajj"},
        {"\\u20ac", L"\u20ac"},
        {"\"a\\\"b\"", L"a\"b"},
        {"", L""},
    };
    for (const auto& [in, expected] : ok) {
        wchar_t out[64];
        int32_t n = ParseStringValue(out, in);
        ASSERT_EQ(n, static_cast<int32_t>(expected.size())) << in;
        EXPECT_EQ(std::wstring(out, static_cast<size_t>(n)), expected) << in;
        EXPECT_EQ(out[n], 0) << in;
    }
    for (const char* bad : {"\"a\"b", "\\", "\\!", "\\y", "\\4", "\\08", "\\01", "\\xg1", "\\x4", "\\u12", "\\a"}) {
        wchar_t out[64];
        EXPECT_EQ(ParseStringValue(out, bad), -1) << bad;
    }
}

} // namespace
