// tambrix-flash as a user runs it: bad command lines end with one line and
// a stable exit code before the library is touched, --json prints one
// parseable object per device, and Ctrl-C cancels a running flash through
// the library and leaves the devices answering.
#include "support/FirmwareFiles.h"
#include "support/SimProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using testing_support::AsString;
using testing_support::ReadFile;
using testing_support::TempDir;

// tambrix-flash as a child, its output and error streams in files.
class Flasher {
public:
    Flasher(const TempDir& dir, std::vector<std::string> args)
        : out_(dir.File("out-" + std::to_string(++runs_) + ".txt")), err_(out_ + ".err")
    {
        args.insert(args.begin(), TAMBRIX_FLASH_PROGRAM);
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&files, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (posix_spawn(&pid_, argv[0], &files, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&files);
    }
    ~Flasher()
    {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            Wait();
        }
    }

    int Wait()
    {
        int status = 0;
        if (pid_ > 0 && status_ < 0 && waitpid(pid_, &status, 0) == pid_)
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 1000;
        return status_;
    }
    void Interrupt() const { kill(pid_, SIGINT); }
    std::string Out() const { return ReadFile(out_); }
    std::string Err() const { return ReadFile(err_); }

    // Waits up to `seconds` until the error stream holds every text.
    bool ErrShows(const std::vector<std::string>& texts, double seconds) const
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            std::string err = Err();
            bool all = true;
            for (const std::string& text : texts)
                all = all && err.find(text) != std::string::npos;
            if (all)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

private:
    static inline int runs_ = 0;
    std::string out_, err_;
    pid_t pid_ = -1;
    int status_ = -1;
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
    {"NoLibrary", {"flash", "@FILE", "--port", "/dev/null", "--library", "/nonexistent.so", "--log", "@LOG"}, 70,
     "nonexistent.so"},
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
    std::vector<std::string> args;
    for (std::string arg : c.args)
        args.push_back(arg == "@FILE" ? file : arg == "@DIR" ? dir.Path() : arg == "@LOG" ? log : arg);

    Flasher flasher(dir, args);
    EXPECT_EQ(flasher.Wait(), c.exitCode);
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
                                          {"version", "--help"}, {"info", "--help"}, {"ports", "--help"}}) {
        Flasher flasher(dir, args);
        EXPECT_EQ(flasher.Wait(), 0) << args.front();
        EXPECT_NE(flasher.Out().find("Usage:"), std::string::npos) << flasher.Out();
    }
    Flasher flash(dir, {"flash", "--help"});
    flash.Wait();
    for (const char* option : {"--port", "--usb", "--baud", "--parity", "--stop", "--settings", "--log",
                               "--log-level", "--library", "--json", "Ctrl-C", "64", "66", "70"})
        EXPECT_NE(flash.Out().find(option), std::string::npos) << option;
}

TEST(FlasherJson, PortsAndInfoPrintOneObjectPerLine)
{
    TempDir dir;
    Flasher ports(dir, {"ports", "--json"});
    EXPECT_EQ(ports.Wait(), 0) << ports.Err();
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
    EXPECT_EQ(info.Wait(), 0) << info.Err();
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
    ASSERT_TRUE(flash.ErrShows({a + ": bootloader", b + ": bootloader"}, 30)) << flash.Err();
    flash.Interrupt();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    flash.Interrupt();
    EXPECT_EQ(flash.Wait(), 2) << flash.Err();

    std::string err = flash.Err();
    EXPECT_NE(err.find("tambrix-flash: cancelling; the device is being brought back"), std::string::npos) << err;
    EXPECT_NE(err.find("tambrix-flash: not stopping now"), std::string::npos) << err;
    std::vector<nlohmann::json> objects = JsonLines(flash.Out());
    ASSERT_EQ(objects.size(), 2u) << flash.Out();
    for (size_t i = 0; i < 2; ++i) {
        const nlohmann::json& o = objects[i];
        ExpectCommon(o, "flash", i == 0 ? a : b, 2);
        EXPECT_EQ(o["cancelled"], true);
        EXPECT_EQ(o["flashed"], false);
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
        EXPECT_EQ(version.Wait(), 0) << version.Err();
        std::vector<nlohmann::json> answer = JsonLines(version.Out());
        ASSERT_EQ(answer.size(), 1u);
        ExpectCommon(answer[0], "version", port, 0);
        EXPECT_EQ(answer[0]["application"]["version"], testing_support::kRealTimeAppVersion);
        EXPECT_EQ(answer[0]["bootloader"]["version"], "E2E-BOOT-2");
        EXPECT_TRUE(answer[0]["application"]["built"].is_string()) << answer[0];
    }
}

} // namespace
