// tambrix-flash as a user runs it: bad command lines end with one line and
// a stable exit code before the library is touched, --json prints one
// parseable object per device, and Ctrl-C cancels a running flash through
// the library and leaves the devices answering.
#include "support/ChildProcess.h"
#include "support/FirmwareFiles.h"
#include "support/PtyDevice.h"
#include "support/SimProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using testing_support::AsString;
using testing_support::ReadFile;
using testing_support::TempDir;

// tambrix-flash as a child, its output and error streams in files.
class Flasher : public testing_support::ChildProcess {
public:
    Flasher(const TempDir& dir, std::vector<std::string> args)
        : Flasher(dir.File("out-" + std::to_string(++runs_) + ".txt"), std::move(args))
    {
    }
    void Interrupt() const { Signal(SIGINT); }

private:
    Flasher(const std::string& out, std::vector<std::string> args)
        : ChildProcess(WithProgram(std::move(args)), out, out + ".err")
    {
    }
    static std::vector<std::string> WithProgram(std::vector<std::string> args)
    {
        args.insert(args.begin(), TAMBRIX_FLASH_PROGRAM);
        return args;
    }
    static inline int runs_ = 0;
};

std::vector<nlohmann::json> JsonLines(const std::string& text)
{
    std::vector<nlohmann::json> objects;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        objects.push_back(nlohmann::json::parse(text.substr(start, end - start)));
    EXPECT_EQ(start, text.size()) << "output does not end with a full line: " << text;
    return objects;
}

// The objects of one event kind, in order.
std::vector<nlohmann::json> Events(const std::string& text, const char* event)
{
    std::vector<nlohmann::json> chosen;
    for (const nlohmann::json& object : JsonLines(text))
        if (object.value("event", "") == event)
            chosen.push_back(object);
    return chosen;
}

size_t Lines(const std::string& text)
{
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

struct UsageCase {
    const char* name;
    std::vector<std::string> args;   // "@FILE" a firmware file, "@DIR" a directory, "@LOG" the log's name
    int exitCode;
    const char* says;                // part of the one error line
};
// "@PTY": a pseudo-terminal with nothing behind it, a serial port as far as
// the checks go.

const UsageCase kUsageCases[] = {
    {"NoCommand", {}, 64, "a command is needed"},
    {"UnknownCommand", {"flush", "@FILE"}, 64, "unknown command flush"},
    {"UnknownOption", {"flash", "@FILE", "--port", "/dev/null", "--bogus", "--log", "@LOG"}, 64, "--bogus"},
    {"NoFile", {"flash", "--port", "/dev/null", "--log", "@LOG"}, 64, "FILE"},
    {"NoPort", {"flash", "@FILE", "--log", "@LOG"}, 64, "--port is required"},
    {"MissingFile", {"flash", "/nonexistent/fw.mocf", "--port", "/dev/null", "--log", "@LOG"}, 66, "no such file"},
    {"UnreadableFile", {"flash", "@DIR", "--port", "/dev/null", "--log", "@LOG"}, 66, "cannot be read"},
    {"BaudNotANumber", {"flash", "@FILE", "--port", "/dev/null", "--baud", "fast", "--log", "@LOG"}, 64, "--baud"},
    {"BaudNotALineSpeed", {"flash", "@FILE", "--port", "/dev/null", "--baud", "7", "--log", "@LOG"}, 64, "--baud"},
    {"BadParity", {"flash", "@FILE", "--port", "/dev/null", "--parity", "X", "--log", "@LOG"}, 64, "--parity"},
    {"BadStopBits", {"flash", "@FILE", "--port", "/dev/null", "--stop", "3", "--log", "@LOG"}, 64, "--stop"},
    {"BadLogLevel", {"flash", "@FILE", "--port", "/dev/null", "--log-level", "Z", "--log", "@LOG"}, 64,
     "--log-level"},
    {"MissingPort", {"flash", "@FILE", "--port", "/dev/tambrix-none", "--log", "@LOG"}, 66, "no such serial port"},
    {"PortTwice", {"flash", "@FILE", "--port", "/dev/null", "--port", "/dev/null", "--log", "@LOG"}, 64, "twice"},
    {"MissingSettings",
     {"flash", "@FILE", "--port", "/dev/null", "--settings", "/nonexistent.txt", "--log", "@LOG"},
     66,
     "no such file"},
    {"VersionTwoPorts", {"version", "@FILE", "--port", "/dev/null", "--port", "/dev/zero", "--log", "@LOG"}, 64,
     "one --port"},
    {"VersionMissingPort", {"version", "@FILE", "--port", "/dev/tambrix-none", "--log", "@LOG"}, 66,
     "no such serial port"},
    {"NoLibrary", {"flash", "@FILE", "--port", "@PTY", "--library", "/nonexistent.so", "--log", "@LOG"}, 70,
     "nonexistent.so"},
    {"NotATerminal", {"flash", "@FILE", "--port", "/dev/null", "--log", "@LOG"}, 66, "port /dev/null: not a serial port"},
    {"RegularFileAsPort", {"flash", "@FILE", "--port", "@FILE", "--log", "@LOG"}, 66, "not a serial port"},
    {"VersionNotATerminal", {"version", "@FILE", "--port", "/dev/null"}, 66, "not a serial port"},
    {"DeviceNotATerminal", {"device", "--port", "/dev/zero"}, 66, "not a serial port"},
    {"DeviceTwoPorts", {"device", "--port", "@PTY", "--port", "/dev/null"}, 64, "one --port"},
    {"LogLevelWithoutLog", {"flash", "@FILE", "--port", "@PTY", "--log-level", "H"}, 64, "--log-level requires --log"},
    {"QuietAndVerbose", {"flash", "@FILE", "--port", "@PTY", "-q", "-v", "--log", "@LOG"}, 64, "excludes"},
    {"VersionOnACommand", {"flash", "@FILE", "--port", "@PTY", "--version"}, 64, "--version"},
    {"InfoMissingFile", {"info", "/nonexistent/fw.mocf"}, 66, "no such file"},
    {"PortsWithFile", {"ports", "@FILE"}, 64, "not expected"},
};

class FlasherUsage : public ::testing::TestWithParam<UsageCase> {};

// One line on the error stream, nothing on the output, the documented code,
// and no log file: the library was never handed the command line.
TEST_P(FlasherUsage, OneLineAndExitCodeWithoutTheLibrary)
{
    const UsageCase& c = GetParam();
    TempDir dir;
    std::string file = dir.Write("fw.mocf", AsString(testing_support::RealTimeFile(0x41).file));
    std::string log = dir.File("library.log");
    testing_support::PtyDevice pty;
    std::vector<std::string> args;
    for (std::string arg : c.args)
        args.push_back(arg == "@FILE"  ? file
                       : arg == "@DIR" ? dir.Path()
                       : arg == "@LOG" ? log
                       : arg == "@PTY" ? pty.SlavePath()
                                       : arg);

    Flasher flasher(dir, args);
    EXPECT_EQ(flasher.Wait(), c.exitCode) << flasher.Context();
    std::string err = flasher.Err();
    EXPECT_EQ(Lines(err), 1u) << err;
    EXPECT_EQ(err.rfind("tambrix-flash: ", 0), 0u) << err;
    EXPECT_NE(err.find(c.says), std::string::npos) << err;
    EXPECT_EQ(flasher.Out(), "");
    EXPECT_EQ(ReadFile(log), "") << "the library wrote a log";
}

INSTANTIATE_TEST_SUITE_P(Cases, FlasherUsage, ::testing::ValuesIn(kUsageCases),
                         [](const ::testing::TestParamInfo<UsageCase>& info) { return std::string(info.param.name); });

TEST(FlasherHelp, EveryCommandHasHelpWithTheExitCodes)
{
    TempDir dir;
    for (std::vector<std::string> args : {std::vector<std::string>{"--help"}, {"flash", "--help"},
                                          {"version", "--help"}, {"device", "--help"}, {"info", "--help"},
                                          {"ports", "--help"}}) {
        Flasher flasher(dir, args);
        EXPECT_EQ(flasher.Wait(), 0) << args.front() << flasher.Context();
        EXPECT_NE(flasher.Out().find("Usage:"), std::string::npos) << flasher.Out();
    }
    Flasher flash(dir, {"flash", "--help"});
    flash.Wait();
    for (const char* option : {"--port", "--usb", "--baud", "--parity", "--stop", "--settings", "--log",
                               "--log-level", "--library", "--json", "-v,--verbose", "-q,--quiet", "Ctrl-C",
                               "0        flashed (library result 0, or 6", "2        cancelled",
                               "12       the device came back under a new port name", "239-255",
                               "64       bad usage", "66       the file", "70       the library cannot be loaded"})
        EXPECT_NE(flash.Out().find(option), std::string::npos) << option;
}

// --version names this program's version, the library's version text and
// the file it was loaded from.
TEST(FlasherHelp, VersionNamesTheProgramAndTheLibrary)
{
    TempDir dir;
    Flasher version(dir, {"--version"});
    EXPECT_EQ(version.Wait(), 0) << version.Context();
    std::string out = version.Out();
    EXPECT_EQ(out.rfind("tambrix-flash ", 0), 0u) << out;
    EXPECT_NE(out.find("\nlibrary: "), std::string::npos) << out;
    EXPECT_NE(out.find("TAMBRIX01"), std::string::npos) << out;
    EXPECT_NE(out.find("\nlibrary file: /"), std::string::npos) << out;
    EXPECT_NE(out.find("libTAMBRIX01.so"), std::string::npos) << out;

    Flasher missing(dir, {"--version", "--library", "/nonexistent.so"});
    EXPECT_EQ(missing.Wait(), 70) << missing.Context();
    EXPECT_NE(missing.Err().find("nonexistent.so"), std::string::npos) << missing.Err();
}

TEST(FlasherJson, PortsAndInfoPrintOneObjectPerLine)
{
    TempDir dir;
    Flasher ports(dir, {"ports", "--json"});
    EXPECT_EQ(ports.Wait(), 0) << ports.Context();
    for (const nlohmann::json& port : JsonLines(ports.Out())) {
        EXPECT_EQ(port["command"], "ports");
        EXPECT_TRUE(port["kind"] == "serial" || port["kind"] == "hid") << port;
        EXPECT_TRUE(port["port"].is_string()) << port;
        EXPECT_TRUE(port["vendor_id"].is_null() || port["vendor_id"].is_number_integer()) << port;
        EXPECT_TRUE(port["product_id"].is_null() || port["product_id"].is_number_integer()) << port;
        EXPECT_TRUE(port["description"].is_string()) << port;
    }

    testing_support::FirmwareFile f = testing_support::RealTimeFile(0x41);
    Flasher info(dir, {"info", "--json", dir.Write("fw.mocf", AsString(f.file))});
    EXPECT_EQ(info.Wait(), 0) << info.Context();
    std::vector<nlohmann::json> objects = JsonLines(info.Out());
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_EQ(objects[0]["kind"], "container");
    EXPECT_EQ(objects[0]["valid"], true);
}

// Simulated scanners that answer, erase and restart quickly.
std::vector<std::string> QuickScanner(const TempDir& dir, const std::string& name)
{
    return {"--timing", "restart=200",  "--timing",   "erase=50", "--timing", "line-speed=0",
            "--timing", "newap2-delay=20", "--dump-dir", dir.File(name)};
}

void ExpectCommon(const nlohmann::json& object, const char* command, const std::string& port, int result)
{
    EXPECT_EQ(object["command"], command) << object;
    EXPECT_EQ(object["port"], port) << object;
    EXPECT_TRUE(object["file"].is_string()) << object;
    EXPECT_EQ(object["result"], result) << object;
    EXPECT_EQ(object["exit_code"], result) << object;
    EXPECT_TRUE(object["meaning"].is_string() && !object["meaning"].get<std::string>().empty()) << object;
    EXPECT_TRUE(object["seconds"].is_number()) << object;
}

// Two devices flash at once; Ctrl-C twice while their bootloaders are
// written: the first cancels both through CFS_CANCELIO, the second is
// refused with a line, the flasher waits for the library and exits with the
// cancel result, one JSON object per device. Both devices answer afterwards.
TEST(FlasherCancel, CtrlCCancelsEveryDeviceAndTheyAnswerAfterwards)
{
    TempDir dir;
    testing_support::FirmwareFile f = testing_support::RealTimeFile(0x41);
    std::string file = dir.Write("fw.mocf", AsString(f.file));
    testing_support::SimProcess simA(TAMBRIX_SIM_PROGRAM, QuickScanner(dir, "a"), dir.File("sim-a.txt"));
    testing_support::SimProcess simB(TAMBRIX_SIM_PROGRAM, QuickScanner(dir, "b"), dir.File("sim-b.txt"));
    std::string a = simA.Line(), b = simB.Line();
    ASSERT_EQ(a.rfind("/dev/", 0), 0u) << a;
    ASSERT_EQ(b.rfind("/dev/", 0), 0u) << b;

    Flasher flash(dir, {"flash", file, "--port", a, "--port", b, "--json", "--log", dir.File("flash.log")});
    ASSERT_TRUE(flash.OutShows({"\"phase\":\"bootloader\",\"port\":\"" + a + "\"",
                                "\"phase\":\"bootloader\",\"port\":\"" + b + "\""},
                               30))
        << flash.Out();
    flash.Interrupt();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    flash.Interrupt();
    EXPECT_EQ(flash.Wait(), 2) << flash.Context();

    std::string err = flash.Err();
    EXPECT_NE(err.find("tambrix-flash: cancelling; the device is being brought back"), std::string::npos) << err;
    EXPECT_NE(err.find("tambrix-flash: not stopping now"), std::string::npos) << err;
    EXPECT_NE(err.find(a + ": the library first ends its current step (writing the bootloader image): at most "),
              std::string::npos)
        << err;
    EXPECT_NE(err.find(b + ": the device is in its bootloader"), std::string::npos) << err;
    std::vector<nlohmann::json> objects = Events(flash.Out(), "result");
    ASSERT_EQ(objects.size(), 2u) << flash.Out();
    for (size_t i = 0; i < 2; ++i) {
        const nlohmann::json& o = objects[i];
        ExpectCommon(o, "flash", i == 0 ? a : b, 2);
        EXPECT_EQ(o["cancelled"], true);
        EXPECT_EQ(o["flashed"], false);
        EXPECT_EQ(o["device_state"], "bootloader") << o;
        EXPECT_EQ(o["failed_step"], "writing the bootloader image") << o;
        ASSERT_TRUE(o["phases"].is_array() && !o["phases"].empty()) << o;
        const nlohmann::json& phase = o["phases"][0];
        EXPECT_EQ(phase["phase"], "bootloader");
        EXPECT_LT(phase["bytes"].get<uint64_t>(), phase["size"].get<uint64_t>()) << phase;
        EXPECT_EQ(phase["size"], f.boot.size()) << phase;
    }
    // Each tool object wrote its own log.
    EXPECT_NE(ReadFile(dir.File("flash-" + a.substr(a.rfind('/') + 1) + ".log")).find("CancelIO TRUE"),
              std::string::npos);

    // The devices were brought back: they answer the version query.
    for (const std::string& port : {a, b}) {
        Flasher version(dir, {"version", file, "--port", port, "--json"});
        EXPECT_EQ(version.Wait(), 0) << version.Context();
        std::vector<nlohmann::json> answer = Events(version.Out(), "result");
        ASSERT_EQ(answer.size(), 1u);
        ExpectCommon(answer[0], "version", port, 0);
        EXPECT_EQ(answer[0]["application"]["version"], testing_support::kRealTimeAppVersion);
        EXPECT_EQ(answer[0]["bootloader"]["version"], "E2E-BOOT-2");
        EXPECT_TRUE(answer[0]["application"]["built"].is_string()) << answer[0];
    }
}

// A protocol settings file that makes the library give up on a silent
// device within a few seconds instead of eleven.
std::string ShortWaits(const TempDir& dir)
{
    return dir.Write("short.txt", "PELLARO_Timeout_MenuCmd_mSecs: 300\nPELLARO_RETRY_max: 1\n");
}

// A pty with nothing behind it: the flash says that P_INFO had no answer,
// on which port and line, what to try, and that the device is untouched;
// the same in the JSON result; `device` says the same and exits 2.
TEST(FlasherCause, NoAnswerOnAPortWithNothingBehindIt)
{
    TempDir dir;
    std::string file = dir.Write("fw.mocf", AsString(testing_support::RealTimeFile(0x41).file));
    testing_support::PtyDevice pty;
    std::string port = pty.SlavePath();

    Flasher flash(dir, {"flash", file, "--port", port, "--settings", ShortWaits(dir)});
    EXPECT_EQ(flash.Wait(), 1) << flash.Context();
    std::string err = flash.Err();
    EXPECT_NE(err.find("tambrix-flash: " + port + ": no answer to P_INFO on " + port +
                       " at 115200 8-N-1: wrong port, wrong speed, or the device is off"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find(port + ": the device is untouched"), std::string::npos) << err;
    EXPECT_NE(flash.Out().find("result 1 in"), std::string::npos) << flash.Out();

    Flasher json(dir, {"flash", file, "--port", port, "--settings", ShortWaits(dir), "--json"});
    EXPECT_EQ(json.Wait(), 1) << json.Context();
    std::vector<nlohmann::json> results = Events(json.Out(), "result");
    ASSERT_EQ(results.size(), 1u) << json.Out();
    EXPECT_EQ(results[0]["device_state"], "untouched");
    EXPECT_EQ(results[0]["failed_step"], "reading the device's report (P_INFO)");
    EXPECT_NE(results[0]["detail"].get<std::string>().find("no answer to P_INFO"), std::string::npos);

    Flasher device(dir, {"device", "--port", port, "--settings", ShortWaits(dir)});
    EXPECT_EQ(device.Wait(), 2) << device.Context();
    EXPECT_NE(device.Err().find("no answer to P_INFO on " + port), std::string::npos) << device.Err();
}

// A settings file with errors: the library's own lines name them.
TEST(FlasherCause, SettingsFileErrorsShowTheLibrarysLines)
{
    TempDir dir;
    std::string file = dir.Write("fw.mocf", AsString(testing_support::RealTimeFile(0x41).file));
    std::string settings = dir.Write("bad.txt", "PELLARO_RETRY_max: 5\nBOGUS_name: 3\nPELLARO_Timeout_Reply_mSecs: x\n");
    testing_support::PtyDevice pty;
    Flasher flash(dir, {"flash", file, "--port", pty.SlavePath(), "--settings", settings});
    EXPECT_EQ(flash.Wait(), 64) << flash.Context();
    std::string err = flash.Err();
    EXPECT_NE(err.find("the settings file " + settings + " has errors"), std::string::npos) << err;
    EXPECT_NE(err.find("bad.txt:2: ERROR: Setting 'BOGUS_name' not found"), std::string::npos) << err;
    EXPECT_NE(err.find("bad.txt:3: ERROR: "), std::string::npos) << err;
}

// Even parity on a pty: the port refuses it, and the flasher says so with
// the system's words, not "no device".
TEST(FlasherCause, RefusedLineSettingsAreNamed)
{
    TempDir dir;
    std::string file = dir.Write("fw.mocf", AsString(testing_support::RealTimeFile(0x41).file));
    testing_support::SimProcess sim(TAMBRIX_SIM_PROGRAM, QuickScanner(dir, "sim"), dir.File("sim.txt"));
    std::string port = sim.Line();
    Flasher version(dir, {"version", file, "--port", port, "--parity", "E", "--json"});
    EXPECT_EQ(version.Wait(), 2) << version.Context();
    EXPECT_NE(version.Err().find(port + ": the port refused 115200 8-E-1: Invalid argument"), std::string::npos)
        << version.Err();
    std::vector<nlohmann::json> results = Events(version.Out(), "result");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0]["failed_step"], "opening the port");
}

// A device that comes back under a new port name after its restart: the
// flasher says so, and that the new application was written.
TEST(FlasherCause, DeviceNotBackAfterItsRestart)
{
    TempDir dir;
    std::string file = dir.Write("fw.mocf", AsString(testing_support::RealTimeFile(0x41).file));
    std::vector<std::string> args = QuickScanner(dir, "sim");
    args.insert(args.end(), {"--fault", "port-change"});
    testing_support::SimProcess sim(TAMBRIX_SIM_PROGRAM, args, dir.File("sim.txt"));
    std::string port = sim.Line();
    Flasher flash(dir, {"flash", file, "--port", port, "--json", "--log", dir.File("flash.log")});
    int code = flash.Wait();
    std::vector<nlohmann::json> results = Events(flash.Out(), "result");
    ASSERT_EQ(results.size(), 1u) << flash.Out();
    const nlohmann::json& r = results[0];
    // The printed result is the library's, and its log says the same.
    EXPECT_EQ(code, r["exit_code"]);
    EXPECT_NE(ReadFile(dir.File("flash.log")).find("FlashScanner returns " + std::to_string(r["result"].get<int>())),
              std::string::npos);
    EXPECT_NE(code, 0);
    EXPECT_EQ(r["device_state"], "flashed") << r;
    EXPECT_NE(r["detail"].get<std::string>().find("the device did not come back after its restart (new port name?)"),
              std::string::npos)
        << r;
    EXPECT_NE(flash.Err().find("did not come back after its restart"), std::string::npos) << flash.Err();
}

struct CancelCase {
    const char* name;
    const char* when;          // part of the progress event to cancel at
    const char* state;
    const char* says;
};

const CancelCase kCancels[] = {
    {"InTheApplicationImage", "\"phase\":\"application\"", "bootloader", "without an application: run flash again"},
    {"AfterBothImages", "\"status\":11", "flashed", "the new application is written"},
};

class FlasherCancelState : public ::testing::TestWithParam<CancelCase> {};

// Ctrl-C at different points: the device's state follows how far the
// flash got, and the flasher said what it waits for and how long at most.
TEST_P(FlasherCancelState, TellsWhereTheDeviceIsLeft)
{
    const CancelCase& c = GetParam();
    TempDir dir;
    std::string file = dir.Write("fw.mocf", AsString(testing_support::RealTimeFile(0x41).file));
    testing_support::SimProcess sim(TAMBRIX_SIM_PROGRAM, QuickScanner(dir, "sim"), dir.File("sim.txt"));
    std::string port = sim.Line();
    Flasher flash(dir, {"flash", file, "--port", port, "--json"});
    ASSERT_TRUE(flash.OutShows({c.when}, 60)) << flash.Out();
    flash.Interrupt();
    EXPECT_EQ(flash.Wait(), 2) << flash.Context();
    std::vector<nlohmann::json> results = Events(flash.Out(), "result");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0]["device_state"], c.state) << results[0];
    std::string err = flash.Err();
    EXPECT_NE(err.find("the library first ends its current step ("), std::string::npos) << err;
    EXPECT_NE(err.find(" s\n"), std::string::npos) << err;
    EXPECT_NE(err.find(c.says), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(Cases, FlasherCancelState, ::testing::ValuesIn(kCancels),
                         [](const ::testing::TestParamInfo<CancelCase>& info) { return std::string(info.param.name); });

// A device left in its bootloader is flashed again: the library answers 6,
// the flasher exits 0. With --json, progress events come first, every
// object names its event, and the result tells the version before.
TEST(FlasherJson, ProgressEventsThenTheResultAndExitZeroFromTheBootloader)
{
    TempDir dir;
    std::string file = dir.Write("fw.mocf", AsString(testing_support::RealTimeFile(0x41).file));
    std::vector<std::string> args = QuickScanner(dir, "sim");
    args.insert(args.end(), {"--state", "boot"});
    testing_support::SimProcess sim(TAMBRIX_SIM_PROGRAM, args, dir.File("sim.txt"));
    std::string port = sim.Line();
    Flasher flash(dir, {"flash", file, "--port", port, "--json"});
    EXPECT_EQ(flash.Wait(), 0) << flash.Context();
    std::vector<nlohmann::json> objects = JsonLines(flash.Out());
    ASSERT_GE(objects.size(), 3u);
    for (size_t i = 0; i + 1 < objects.size(); ++i) {
        EXPECT_EQ(objects[i]["event"], "progress") << objects[i];
        EXPECT_EQ(objects[i]["port"], port);
    }
    bool sawBoot = false, sawAppDone = false;
    for (const nlohmann::json& o : objects) {
        sawBoot = sawBoot || o["phase"] == "bootloader";
        sawAppDone = sawAppDone || (o["phase"] == "application" && o["percent"] == 100);
    }
    EXPECT_TRUE(sawBoot && sawAppDone) << flash.Out();
    const nlohmann::json& r = objects.back();
    EXPECT_EQ(r["event"], "result");
    EXPECT_EQ(r["result"], 6);
    EXPECT_EQ(r["exit_code"], 0);
    EXPECT_EQ(r["flashed"], true);
    EXPECT_EQ(r["device_state"], "flashed");
    EXPECT_TRUE(r["detail"].is_null() && r["failed_step"].is_null()) << r;
    EXPECT_EQ(r["device_before"]["mode"], "bootloader") << r;
    EXPECT_EQ(flash.Err(), "");
}

// A flash from the application: the text output and the JSON name the
// versions the device ran before and runs after; `device` agrees.
TEST(FlasherVersions, BeforeAndAfterTheFlash)
{
    TempDir dir;
    std::string file = dir.Write("fw.mocf", AsString(testing_support::RealTimeFile(0x41).file));
    std::vector<std::string> args = QuickScanner(dir, "sim");
    args.insert(args.end(), {"--app-version", "OLD-APP"});
    testing_support::SimProcess sim(TAMBRIX_SIM_PROGRAM, args, dir.File("sim.txt"));
    std::string port = sim.Line();

    Flasher before(dir, {"device", "--port", port});
    EXPECT_EQ(before.Wait(), 0) << before.Context();
    EXPECT_NE(before.Out().find(port + ": running its application\napplication: OLD-APP\n"), std::string::npos)
        << before.Out();

    Flasher flash(dir, {"flash", file, "--port", port});
    EXPECT_EQ(flash.Wait(), 0) << flash.Context();
    std::string out = flash.Out();
    EXPECT_NE(out.find(port + ": application OLD-APP -> "), std::string::npos) << out;

    Flasher after(dir, {"device", "--port", port, "--json"});
    EXPECT_EQ(after.Wait(), 0) << after.Context();
    std::vector<nlohmann::json> answer = Events(after.Out(), "device");
    ASSERT_EQ(answer.size(), 1u) << after.Out();
    std::string now = answer[0]["device"]["application"];
    EXPECT_NE(now, "OLD-APP");
    EXPECT_NE(out.find("OLD-APP -> " + now), std::string::npos) << out;
}

// A power loss in the middle of an image: the image is written again, and
// the progress says so instead of jumping back without a word.
TEST(FlasherJson, AnImageWrittenAgainIsNamed)
{
    TempDir dir;
    std::string file = dir.Write("fw.mocf", AsString(testing_support::RealTimeFile(0x41).file));
    std::vector<std::string> args = QuickScanner(dir, "sim");
    args.insert(args.end(), {"--state", "boot", "--fault", "power-loss=12"});
    testing_support::SimProcess sim(TAMBRIX_SIM_PROGRAM, args, dir.File("sim.txt"));
    std::string port = sim.Line();
    Flasher flash(dir, {"flash", file, "--port", port, "--json"});
    EXPECT_EQ(flash.Wait(), 0) << flash.Context();
    bool again = false;
    for (const nlohmann::json& o : Events(flash.Out(), "progress"))
        again = again || (o["again"] == true && o["step"] == "writing the block again after an error");
    EXPECT_TRUE(again) << flash.Out();
}

} // namespace

// --fast on a pty in real time: against a device that keeps up the result
// says the fast profile ran without falling back; against one that loses
// what comes while it writes, the flash falls back, still ends 0, and the
// text result and the JSON say so.
TEST(FlasherFast, SaysWhetherTheFlashFellBack)
{
    TempDir dir;
    std::string file = dir.Write("fw.mocf", AsString(testing_support::RealTimeFile(0x41).file));
    // Only to keep the run short: the pause before the readiness check.
    std::string settings = dir.Write("short.txt", "PELLARO_Readiness_Pause_mSecs: 1000\n");
    const struct {
        const char* name;
        std::vector<std::string> faults;
        bool fellBack;
    } cases[] = {
        {"keeps-up", {}, false},
        {"needs-pauses", {"--fault", "busy=lose", "--timing", "write=15"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = QuickScanner(dir, c.name);
        args.insert(args.end(), c.faults.begin(), c.faults.end());
        testing_support::SimProcess sim(TAMBRIX_SIM_PROGRAM, args, dir.File(std::string(c.name) + ".txt"));
        std::string port = sim.Line();
        Flasher json(dir, {"flash", file, "--port", port, "--fast", "--settings", settings, "--json"});
        ASSERT_EQ(json.Wait(), 0) << json.Context();
        std::vector<nlohmann::json> results = Events(json.Out(), "result");
        ASSERT_EQ(results.size(), 1u) << json.Out();
        EXPECT_EQ(results[0]["result"], 0) << results[0];
        EXPECT_EQ(results[0]["fast"], true) << results[0];
        EXPECT_EQ(results[0]["fast_fallback"], c.fellBack) << results[0];

        if (!c.fellBack)
            continue;
        Flasher text(dir, {"flash", file, "--port", port, "--fast", "--settings", settings});
        ASSERT_EQ(text.Wait(), 0) << text.Context();
        EXPECT_NE(text.Out().find(port + ": fast profile: the device did not keep up"), std::string::npos)
            << text.Out();
    }
}
