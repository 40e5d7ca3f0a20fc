// tambrix-sim as a real process on a real pty, opened with termios like a
// serial port: the report, line settings read from the host's side, a flash
// through the packet link and the areas it dumps on exit.
#include "support/SimHost.h"
#include "support/SimProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using testing_support::Bytes;
using testing_support::CheckReport;

// The simulator as a child process.
class SimProcess : public testing_support::SimProcess {
public:
    SimProcess(std::vector<std::string> args, const std::string& errorLog)
        : testing_support::SimProcess(TAMBRIX_SIM_PROGRAM, std::move(args), errorLog)
    {
    }
};

// The host's end: the pty as a serial port, through a FlashIoDevice.
class PtyHost : public testing_support::HostLink {
public:
    explicit PtyHost(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY))
    {
        io_.cookie = this;
        io_.writeBytes = [](FlashIoDevice* io, const uint8_t* data, uint32_t length) -> int32_t {
            return static_cast<int32_t>(write(Self(io)->fd_, data, length));
        };
        io_.readBytes = [](FlashIoDevice* io, uint8_t* buffer, uint32_t length, uint32_t timeoutMs) -> int32_t {
            return Self(io)->Read(buffer, length, timeoutMs);
        };
        link_ = &io_;
        SetLine(false);
    }
    ~PtyHost() override
    {
        if (fd_ >= 0)
            close(fd_);
    }
    bool Open() const { return fd_ >= 0; }

    // 115200 8N1, or 8O1.
    void SetLine(bool oddParity)
    {
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        cfsetspeed(&t, B115200);
        t.c_cflag &= ~(PARENB | PARODD | CSTOPB);
        if (oddParity)
            t.c_cflag |= PARENB | PARODD;
        tcsetattr(fd_, TCSANOW, &t);
    }

    uint64_t Now() const override
    {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count());
    }
    void Sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

    // P_INFO until the device answers in `mode`, for up to 5 s.
    std::string WaitForMode(const std::string& mode)
    {
        for (uint64_t end = Now() + 5000; Now() < end; Sleep(50)) {
            std::string reply = Menu('M', "P_INFO");
            if (reply.size() > 8) {
                testing_support::Report report = CheckReport(reply.substr(6, reply.size() - 8));
                if (report.Get("mode") == mode)
                    return reply;
            }
        }
        return std::string();
    }

private:
    static PtyHost* Self(FlashIoDevice* io) { return static_cast<PtyHost*>(io->cookie); }

    int32_t Read(uint8_t* buffer, uint32_t length, uint32_t timeoutMs)
    {
        std::memset(buffer, 0, length);
        uint32_t count = 0;
        uint64_t deadline = Now() + timeoutMs;
        while (count < length) {
            uint64_t now = Now();
            if (now >= deadline)
                break;
            pollfd fd{fd_, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(deadline - now)) <= 0)
                break;
            ssize_t got = read(fd_, buffer + count, length - count);
            if (got <= 0)
                break;
            count += static_cast<uint32_t>(got);
        }
        return static_cast<int32_t>(count);
    }

    int fd_;
    FlashIoDevice io_{};
};

TEST(SimPty, ServesAScannerAndDumpsWhatItWasFlashed)
{
    testing_support::TempDir dir;
    SimProcess sim({"--timing", "restart=100", "--timing", "newap2-delay=10", "--timing", "erase=30",
                    "--dump-dir", dir.Path()},
                   dir.File("trace.txt"));
    std::string path = sim.Line();
    ASSERT_EQ(path.rfind("/dev/", 0), 0u) << "first line: " << path;
    PtyHost host(path);
    ASSERT_TRUE(host.Open());

    std::string reply = host.Menu('M', "P_INFO");
    ASSERT_GT(reply.size(), 8u) << "no P_INFO reply";
    EXPECT_EQ(reply.substr(0, 6), "P_INFO");
    EXPECT_EQ(reply.substr(reply.size() - 2), "\x06.");
    testing_support::Report report = CheckReport(reply.substr(6, reply.size() - 8));
    ASSERT_TRUE(report.valid) << report.problem;
    EXPECT_EQ(report.Get("mode"), "app");
    EXPECT_EQ(report.Get("cbl"), "2");
    EXPECT_EQ(report.Get("boot-compat"), "0x41");
    EXPECT_EQ(report.Get("boot-m_name"), "SIMBOOT1");
    EXPECT_EQ(host.Menu('M', "PWRMOD?"), "PWRMOD\x05.") << "low-power mode is off";

    // Into the bootloader and one application image through the packet link.
    host.Menu('Y', "NEWAP2");
    ASSERT_FALSE(host.WaitForMode("boot").empty());
    host.EnterPacketMode();
    Bytes image = testing_support::MakeImage('A', "PTY-1", 500);
    ASSERT_TRUE(host.WriteArea(1, image, 256));
    host.Transact(22, {0xDEADBEEF, 0});
    std::string after = host.WaitForMode("app");
    EXPECT_EQ(CheckReport(after.substr(6, after.size() - 8)).Get("app-rev"), "PTY-1");

    EXPECT_EQ(sim.Stop(), 0);
    std::string dumped = testing_support::ReadFile(dir.File("scanner-app.bin"));
    EXPECT_EQ(dumped, std::string(image.begin(), image.end()));
    EXPECT_NE(testing_support::ReadFile(dir.File("trace.txt")).find("application area ended with 756 bytes"),
              std::string::npos);
}

TEST(SimPty, LineSettingsComeFromTheHostsEnd)
{
    testing_support::TempDir dir;
    SimProcess sim({"--line", "8O1"}, dir.File("trace.txt"));
    PtyHost host(sim.Line());
    ASSERT_TRUE(host.Open());
    EXPECT_EQ(host.Menu('M', "VISMN40"), "");
    host.SetLine(true);
    EXPECT_EQ(host.Menu('M', "VISMN40"), "VISMN40\x06.");
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_NE(testing_support::ReadFile(dir.File("trace.txt")).find("not understood"), std::string::npos);
}

TEST(SimPty, PortChangeOpensANewPtyAndPrintsItsPath)
{
    testing_support::TempDir dir;
    SimProcess sim({"--fault", "port-change", "--timing", "restart=50", "--timing", "newap2-delay=10"},
                   dir.File("trace.txt"));
    std::string first = sim.Line();
    {
        PtyHost host(first);
        ASSERT_TRUE(host.Open());
        // Into the bootloader keeps the port; the reset back into the application renames it.
        host.Menu('Y', "NEWAP2");
        ASSERT_FALSE(host.WaitForMode("boot").empty());
        host.EnterPacketMode();
        host.Transact(22, {0xDEADBEEF, 0});
    }
    std::string second = sim.Line();
    ASSERT_EQ(second.rfind("/dev/", 0), 0u) << "second line: " << second;
    EXPECT_NE(second, first);
    PtyHost again(second);
    ASSERT_TRUE(again.Open());
    EXPECT_FALSE(again.WaitForMode("app").empty());
    // The old name stays the simulator's, refusing opens: were its number
    // free, the next pty anyone makes (another test's device) would take it,
    // and a host still trying the old name would write into that device.
    EXPECT_LT(open(first.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK), 0) << first;
    int other = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    EXPECT_NE(std::string(ptsname(other)), first);
    close(other);
    EXPECT_EQ(sim.Stop(), 0);
}

TEST(SimPty, BadOptionsAreRefused)
{
    testing_support::TempDir dir;
    const std::vector<std::string> cases[] = {
        {"--fault", "no-such-fault"}, {"--no-such-option"}, {"--line", "8X1"}, {"--state"}};
    for (const auto& args : cases) {
        SimProcess sim(args, dir.File("err.txt"));
        EXPECT_EQ(sim.Wait(), 64) << args[0];
        EXPECT_NE(testing_support::ReadFile(dir.File("err.txt")).find("see --help"), std::string::npos) << args[0];
    }
}

} // namespace
