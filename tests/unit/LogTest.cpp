#include "log/Log.h"
#include "platform/Platform.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

using testing_support::CapturedLog;
using testing_support::TempDir;

namespace {

struct LevelCase {
    uint64_t flags;
    uint64_t level;
    bool prints;
};

TEST(Log, PrintsWhenTheLevelIsZeroOrSharesABit)
{
    const LevelCase cases[] = {
        {0, 0, true},
        {0, LOG_ERROR, false},
        {LOG_ERROR, LOG_INFO | LOG_ERROR, true},
        {LOG_ERROR, LOG_INFO, false},
        {0x54, LOG_DETAIL, false},
        {0x54, LOG_SUMMARY, true},
        {0xD6, 0x80, true},
        {0xFFFFFFFF, LOG_OPEN, true},
    };
    for (const auto& c : cases) {
        Log log;
        CapturedLog captured(&log, c.flags);
        log.Print(c.level, L"x");
        EXPECT_EQ(captured.Text() == "x", c.prints) << "flags " << c.flags << " level " << c.level;
    }
}

TEST(Log, WithoutOutputNothingPrints)
{
    Log log;
    log.flags = 0xFFFFFFFF;
    log.Print(0, L"lost");   // must not crash; there is nowhere to write
    LogHexDump(&log, LOG_INFO, "abc", 3);
    LogPrint(nullptr, 0, L"no log");
}

TEST(Log, HexDumpLines)
{
    struct Case {
        std::string bytes;
        std::string expected;
    } cases[] = {
        {"ABCDEFGHIJKLMNOP", "00000000: 41 42 43 44 45 46 47 48-49 4a 4b 4c 4d 4e 4f 50 | ABCDEFGH-IJKLMNOP|\n"},
        {"ABCDEFGHIJKLMNOPQ",
         "00000000: 41 42 43 44 45 46 47 48-49 4a 4b 4c 4d 4e 4f 50 | ABCDEFGH-IJKLMNOP|\n"
         "00000010: 51                     -                        | Q       -        |\n"},
        {std::string("\x00\x1f\x7f\x80 ~", 6),
         "00000000: 00 1f 7f 80 20 7e      -                        | ..\x7f. ~  -        |\n"},
        {"", ""},
    };
    for (const auto& c : cases) {
        Log log;
        CapturedLog captured(&log, LOG_INFO);
        LogHexDump(&log, LOG_INFO, c.bytes.data(), c.bytes.size());
        EXPECT_EQ(captured.Text(), c.expected);
    }
}

TEST(Log, HexDumpIsGatedByTheFlagsEvenForLevelZero)
{
    Log log;
    CapturedLog captured(&log, LOG_ERROR);
    LogHexDump(&log, LOG_INFO, "abc", 3);
    LogHexDump(&log, 0, "abc", 3);
    EXPECT_EQ(captured.Text(), "");
}

TEST(Log, StampLineShapeAndTimes)
{
    platform::ScopedVirtualClock time(5000);
    Log log;
    CapturedLog captured(&log, LOG_INFO);
    time.clock.Advance(1234);
    log.Stamp(LOG_INFO, L"START: ");
    time.clock.Advance(5);
    log.Stamp(LOG_INFO, L"END:");
    log.Print(LOG_INFO, L"next\n");
    std::regex shape("START: : \\(Abs: 1\\.234, Delta: 1\\.234\\) now -> "
                     "\\w{3} \\w{3} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}\\n "
                     "END:: \\(Abs: 1\\.239, Delta: 0\\.005\\) now -> [^\\n]+\\n next\\n");
    EXPECT_TRUE(std::regex_match(captured.Text(), shape)) << captured.Text();
}

TEST(Log, StampIsGatedByTheLevelRule)
{
    Log log;
    CapturedLog captured(&log, LOG_ERROR);
    log.Stamp(LOG_DETAIL, L"Reset Loop Top");
    EXPECT_EQ(captured.Text(), "");
}

TEST(Log, TickStampFormat)
{
    platform::ScopedVirtualClock time(1234567);
    char buffer[30];
    EXPECT_STREQ(TickStamp(buffer), "  1234.567");
    time.clock.Advance(4294967296ull - 1234567 + 42);   // the tick wraps
    EXPECT_STREQ(TickStamp(buffer), "     0.042");
}

TEST(Log, FileOutputFromStartToEnd)
{
    TempDir dir;
    std::string path = dir.File("log.txt");
    {
        auto* log = new Log();
        AddRef(log);
        log->flags = LOG_INFO;
        ASSERT_EQ(log->OpenFile(dir.WideFile("log.txt").c_str()), 0);
        log->Print(LOG_INFO, L"hello %s\n", L"world");
        log->Print(LOG_ERROR, L"not shown\n");
        Release(log);
    }
    std::string text = testing_support::ReadTextFile(path);
    std::wstring cwd;
    ASSERT_TRUE(platform::CurrentDirectory(cwd));
    std::regex shape("^START: : \\(Abs: [^\\n]+\\n CWD: [^\\n]+\\nhello world\\nEND LOG: : \\(Abs: [^\\n]+\\n $");
    EXPECT_TRUE(std::regex_search(text, shape)) << text;
    EXPECT_NE(text.find(" CWD: " + platform::WideToUtf8(cwd.c_str()) + "\n"), std::string::npos);
}

TEST(Log, OpenFileFailureChangesNothing)
{
    Log log;
    EXPECT_EQ(log.OpenFile(L"/nonexistent-dir/x/log.txt"), -1);
    EXPECT_EQ(log.output, nullptr);
    EXPECT_EQ(log.OpenFile(nullptr), -1);
}

TEST(Log, StandardStreamNames)
{
    struct Case {
        const wchar_t* name;
        FILE* stream;
    } cases[] = {{L"-", stdout}, {L"stdout", stdout}, {L"/dev/stdout", stdout},
                 {L"stderr", stderr}, {L"/dev/stderr", stderr}};
    for (const auto& c : cases) {
        Log log;
        log.flags = 0xFFFFFFFF;
        testing::internal::CaptureStdout();
        EXPECT_EQ(log.OpenFile(c.name), 0);
        EXPECT_EQ(log.outputContext, c.stream);
        // No start stamp and no directory line on a standard stream.
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    }
}

TEST(Log, CapitalisedStdoutIsAFileName)
{
    TempDir dir;
    auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path());
    {
        auto* log = new Log();
        AddRef(log);
        EXPECT_EQ(log->OpenFile(L"STDOUT"), 0);
        EXPECT_NE(log->outputContext, stdout);
        Release(log);
    }
    std::filesystem::current_path(previous);
    EXPECT_TRUE(std::filesystem::exists(dir.File("STDOUT")));
}

TEST(Log, DestroyingAStandardStreamLogPrintsNoEndStamp)
{
    testing::internal::CaptureStdout();
    {
        auto* log = new Log();
        AddRef(log);
        log->flags = 0xFFFFFFFF;
        log->OpenFile(L"-");
        log->Print(LOG_INFO, L"line\n");
        Release(log);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "line\n");
    EXPECT_NE(fputs("", stdout), EOF);   // still open
}

TEST(Log, DebuggerOutputStartsWithBeginStampAndDirectory)
{
#ifdef _WIN32
    GTEST_SKIP() << "the debugger channel is not a stream on Windows";
#endif
    testing::internal::CaptureStderr();
    {
        Log log;
        log.flags = LOG_INFO;
        log.UseDebugger();
        log.Print(LOG_INFO, L"msg\n");
    }
    std::string text = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(std::regex_search(text, std::regex("^BEGIN: : \\(Abs: [^\\n]+\\n CWD: [^\\n]+\\nmsg\\n$"))) << text;
}

TEST(Log, DebuggerOutputWithoutInfoFlagSkipsTheStamp)
{
#ifdef _WIN32
    GTEST_SKIP() << "the debugger channel is not a stream on Windows";
#endif
    testing::internal::CaptureStderr();
    {
        Log log;
        log.flags = LOG_ERROR;
        log.UseDebugger();
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

using RefCountDeathTest = ::testing::Test;

TEST(RefCountDeathTest, ReleasingBelowOneEndsTheProcess)
{
    EXPECT_EXIT(
        {
            Log log;
            ReleaseRef(&log);
        },
        ::testing::ExitedWithCode(1), std::string(testing_support::kTrapReport) + (*testing_support::kTrapReport ? "0 for Log::Log" : ""));
}

TEST(RefCountDeathTest, DestroyingAHeldObjectEndsTheProcess)
{
    EXPECT_EXIT(
        {
            auto* log = new Log();
            AddRef(log);
            delete log;
        },
        ::testing::ExitedWithCode(1), std::string(testing_support::kTrapReport) + (*testing_support::kTrapReport ? "1 for Log::Log" : ""));
}

TEST(RefCount, ReleaseReturnsTheNewCount)
{
    Log log;
    AddRef(&log);
    AddRef(&log);
    EXPECT_EQ(ReleaseRef(&log), 1u);
    EXPECT_EQ(ReleaseRef(&log), 0u);
}

} // namespace
