// Log behaviour that needs the operating system's hand: a current directory
// that has gone, and the console on a terminal of its own.
#include "log/Log.h"
#include "support/TestSupport.h"
#include "tambrix01/FlashTool.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using testing_support::CapturedLog;
using testing_support::TempDir;

namespace {

TEST(LogPosix, DirectoryThatHasGoneIsUnknown)
{
    TempDir dir;
    std::string gone = dir.File("gone");
    int here = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(here, 0);
    ASSERT_EQ(mkdir(gone.c_str(), 0700), 0);
    ASSERT_EQ(chdir(gone.c_str()), 0);
    ASSERT_EQ(rmdir(gone.c_str()), 0);

    Log log;
    CapturedLog captured(&log, LOG_ERROR);
    log.PrintCwd(LOG_ERROR);

    ASSERT_EQ(fchdir(here), 0);
    close(here);
    EXPECT_EQ(captured.Text(), "Unknown CWD\n");
}

// What a child process with a fresh terminal as its controlling terminal
// writes there while run() goes; run's result is the child's exit code.
std::string OnOwnTerminal(int (*run)(), int* exitCode)
{
    int master = -1;
    pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    if (child < 0)
        return "forkpty failed";
    if (child == 0)
        _exit(run());
    std::string text;
    char buffer[512];
    ssize_t got;
    while ((got = read(master, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(got));
    close(master);
    int status = 0;
    waitpid(child, &status, 0);
    *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return text;
}

int ConsoleWithFlagsZero()
{
    CFlashTool* tool = CreateFlashTool();
    uint64_t none = 0;
    tool->SetSetting(0x10001, &none, sizeof none);   // preset L: no flags at all
    LogFileSettings settings{LOG_TO_CONSOLE, L"console", 1};
    uint32_t result = tool->SetSetting(CFS_LOGFILE, &settings, sizeof settings);
    uint64_t type = INTERFACE_RS232;
    tool->SetSetting(CFS_INTERFACE, &type, sizeof type);
    DestroyFlashTool(tool);
    return static_cast<int>(result);
}

TEST(LogPosix, ConsoleWithFlagsZeroShowsOnlyItsLevelZeroLines)
{
    int exitCode = -1;
    std::string text = OnOwnTerminal(ConsoleWithFlagsZero, &exitCode);
    EXPECT_EQ(exitCode, 0);
    // The title, the start stamp and the directory; the version, flags and
    // settings lines carry levels that flags 0 do not show. The terminal
    // turns each line feed into CR LF.
    std::regex shape("\x1b\\]0;Debug Console\x07START: : \\(Abs: \\d+\\.\\d{3}, Delta: \\d+\\.\\d{3}\\) now -> "
                     "[^\r\n]+\r\n CWD: [^\r\n]+\r\n");
    EXPECT_TRUE(std::regex_match(text, shape)) << text;
}

} // namespace
