// Whole flashes in real time: a host drives the library through its public
// entry points (CreateFlashTool, SetSetting, FlashScanner) against
// tambrix-sim on a pty, and the areas the simulator dumps on exit must equal
// the file's images. The device's own delays are shortened; the sequence's
// fixed pauses are not, so each flash takes its real time.
#include "support/FirmwareFiles.h"
#include "support/SerialRecord.h"
#include "support/SimProcess.h"
#include "support/TestSupport.h"
#include "tambrix01/FlashTool.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using testing_support::AsString;
using testing_support::ReadFile;

// The device answers, erases and links in a fraction of its usual time and
// the line costs no byte time: what is left is mostly the library's own
// pacing.
const std::vector<std::string> kQuickDevice = {
    "--timing", "newap2-delay=20", "--timing", "erase=50",
    "--timing", "line-speed=0",    "--timing", "bt-latency=2",   "--timing", "link=300",
};

std::wstring Widen(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

// The last lines of a text, enough to see where a run stopped.
std::string Tail(const std::string& text, size_t lines = 120)
{
    size_t at = text.size();
    for (size_t n = 0; at > 0 && n <= lines; ++n)
        at = text.rfind('\n', at - 1);
    return at == std::string::npos ? text : text.substr(at + 1);
}

// One flash as a host does it: a tool with a log file, the port, 8-N-1 at
// 115200, then FlashScanner.
uint32_t FlashOverPort(const std::string& port, const std::string& file, const std::string& logFile)
{
    CFlashTool* tool = CreateFlashTool();
    if (!tool)
        return 0xFFFFFFFF;
    std::wstring logName = Widen(logFile);
    LogFileSettings log = {LOG_TO_FILE, logName.c_str(), 3};
    tool->SetSetting(CFS_LOGFILE, &log, sizeof log);
    uint64_t interface = INTERFACE_RS232;
    tool->SetSetting(CFS_INTERFACE, &interface, sizeof interface);
    std::wstring portName = Widen(port);
    tool->SetSetting(CFS_PORTNAME, portName.data(), portName.size());
    WIN32_232_SETTINGS serial = testing_support::SerialRecord();
    tool->SetSetting(CFS_WIN32_232_SETTINGS, &serial, sizeof serial);
    std::wstring fileName = Widen(file);
    uint32_t result = tool->FlashScanner(0, fileName.c_str());
    DestroyFlashTool(tool);
    return result;
}

struct DeviceCase {
    const char* name;
    std::vector<std::string> simArgs;
    uint8_t compat;             // the flashed unit's compat id
    bool cradleUntouched;       // a cradle that must keep its areas unwritten
    std::vector<std::string> traced;  // trace texts of what the device must have done besides
};

void PrintTo(const DeviceCase& s, std::ostream* os)
{
    *os << s.name;
}

const DeviceCase kDevices[] = {
    {"CordedScanner", {"--timing", "restart=200"}, 0x41, false, {}},
    // The scanner's restart and the cradle's reconnection take about as long
    // as the library waits for the cradle's "OK" after the boot image: sooner,
    // and the "OK" comes while the reset's reply is still awaited and is lost.
    // Afterwards the cradle is back out of transparent mode and in server
    // mode, where the scanner links to it again.
    {"ScannerBehindCradle", {"--cradle", "--timing", "restart=1500", "--timing", "connect=2000"}, 0x41, true,
     {"cradle: +++: transparent mode left", "cradle: menu M BASDNG1! -> ACK", "(server)\n"}},
};

class FlashOverPty : public ::testing::TestWithParam<DeviceCase> {};

TEST_P(FlashOverPty, DumpedAreasEqualTheFile)
{
    const DeviceCase& s = GetParam();
    testing_support::TempDir dir;
    testing_support::FirmwareFile f = testing_support::RealTimeFile(s.compat);
    ASSERT_FALSE(f.file.empty());
    std::string file = dir.Write("firmware.mocf", AsString(f.file));

    std::vector<std::string> args = kQuickDevice;
    args.insert(args.end(), s.simArgs.begin(), s.simArgs.end());
    args.insert(args.end(), {"--dump-dir", dir.Path()});
    testing_support::SimProcess sim(TAMBRIX_SIM_PROGRAM, args, dir.File("sim-trace.txt"));
    std::string port = sim.Line();
    ASSERT_EQ(port.rfind("/dev/", 0), 0u) << "first line: " << port;

    auto start = std::chrono::steady_clock::now();
    uint32_t result = FlashOverPort(port, file, dir.File("flash.log"));
    auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s: flashed in %.1f s\n", s.name, seconds);
    ASSERT_EQ(sim.Stop(), 0);

    std::string trace = ReadFile(dir.File("sim-trace.txt"));
    std::string context = "\n--- library log ---\n" + Tail(ReadFile(dir.File("flash.log"))) +
                          "\n--- simulator ---\n" + Tail(trace);
    EXPECT_EQ(result, static_cast<uint32_t>(FLASH_RESULT_OK)) << context;
    EXPECT_EQ(ReadFile(dir.File("scanner-boot.bin")), AsString(f.BootArea())) << "boot area" << context;
    EXPECT_EQ(ReadFile(dir.File("scanner-app.bin")), AsString(f.app)) << "application area" << context;
    // After its last restart the scanner runs the new application.
    EXPECT_NE(trace.rfind(std::string("running its application (app ") + testing_support::kRealTimeAppVersion),
              std::string::npos)
        << context;
    for (const std::string& text : s.traced)
        EXPECT_NE(trace.find(text), std::string::npos) << text << context;
    if (s.cradleUntouched) {
        EXPECT_EQ(ReadFile(dir.File("cradle-app.bin")), "") << "the cradle was written";
        EXPECT_EQ(ReadFile(dir.File("cradle-boot.bin")), "") << "the cradle was written";
    }
}

INSTANTIATE_TEST_SUITE_P(Devices, FlashOverPty, ::testing::ValuesIn(kDevices),
                         [](const ::testing::TestParamInfo<DeviceCase>& info) { return std::string(info.param.name); });

} // namespace
