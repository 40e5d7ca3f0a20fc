// tambrix-flash over USB as a user who is not root meets it: the udev rule
// it writes for a scanner on a hidraw node (both of the scanner's
// identities), and the one line it gives when the user may not open the
// node. The node is the simulator's on a umockdev testbed; the user who may
// not open it is a real one (nobody), as root opens every node.
#include "sim/usb/HidrawServer.h"
#include "sim/usb/HidrawTestbed.h"
#include "support/ChildProcess.h"
#include "support/FirmwareFiles.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <ftw.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using testing_support::ReadFile;
using testing_support::TempDir;

// A child process, its output streams in files.
struct Child : testing_support::ChildProcess {
    Child(const TempDir& dir, std::vector<std::string> args)
        : ChildProcess(std::move(args), dir.File("out.txt"), dir.File("err.txt"))
    {
    }
    std::string Tell() const { return "\nstdout:\n" + Out() + Context(); }
};

// Every user may walk the testbed and reach its ioctl sockets (umockdev's
// preload connects to a node's socket when the node is opened); the nodes
// themselves keep their modes.
void OpenTestbedTo(const std::string& root)
{
    nftw(
        root.c_str(),
        [](const char* path, const struct stat* status, int, FTW*) {
            if (S_ISDIR(status->st_mode))
                chmod(path, status->st_mode | 0755);
            else if (S_ISSOCK(status->st_mode))
                chmod(path, status->st_mode | 0666);
            return 0;
        },
        16, FTW_PHYS);
}

sim::DeviceConfig UsbScanner()
{
    sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
    config.unit.cbl = 4;
    config.unit.usbVid = 0xF0F0;
    config.unit.usbPid = 0x0B01;
    config.timings.restartMs = 300;
    return config;
}

class UsbFlasher : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim::HidrawTestbed::Active()) << "run the USB tests under umockdev-wrapper";
        ASSERT_TRUE(server.Start());
        node = server.Devnode();
        ASSERT_FALSE(node.empty());
    }
    void TearDown() override { server.Stop(); }

    sim::HidrawTestbed testbed;
    sim::Device device{UsbScanner()};
    sim::HidrawServer server{testbed, device, 1};
    TempDir dir;
    std::string node;
};

TEST_F(UsbFlasher, TheRuleCoversTheApplicationsIdsAndTheBootloadersFromItsReport)
{
    Child rule(dir, {TAMBRIX_FLASH_PROGRAM, "udev-rule", "--port", node});
    ASSERT_EQ(rule.Wait(), 0) << rule.Tell();
    for (const char* pid : {"0a01", "0b01"}) {
        std::string line = std::string("ATTRS{idVendor}==\"f0f0\", ATTRS{idProduct}==\"") + pid +
                           "\", TAG+=\"uaccess\", SYMLINK+=\"tambrix01-f0f0-" + pid + "\"";
        EXPECT_NE(rule.Out().find(line), std::string::npos) << rule.Tell();
    }
    EXPECT_NE(rule.Err().find("/etc/udev/rules.d/70-tambrix01.rules"), std::string::npos) << rule.Tell();
    EXPECT_NE(rule.Err().find("udevadm control --reload-rules"), std::string::npos) << rule.Tell();
}

TEST_F(UsbFlasher, TheRuleTakesTheBootloadersIdsFromTheCommandLineIntoAFile)
{
    std::string file = dir.File("70-tambrix01.rules");
    Child rule(dir, {TAMBRIX_FLASH_PROGRAM, "udev-rule", "--port", node, "--boot-ids", "f0f0:0c07", "--output", file});
    ASSERT_EQ(rule.Wait(), 0) << rule.Tell();
    std::string text = ReadFile(file);
    EXPECT_NE(text.find("ATTRS{idProduct}==\"0a01\""), std::string::npos) << text;
    EXPECT_NE(text.find("ATTRS{idProduct}==\"0c07\""), std::string::npos) << text;
    EXPECT_EQ(text.find("0b01"), std::string::npos) << text;
    EXPECT_EQ(rule.Out(), "") << rule.Tell();
    EXPECT_NE(rule.Err().find("udevadm trigger"), std::string::npos) << rule.Tell();

    Child bad(dir, {TAMBRIX_FLASH_PROGRAM, "udev-rule", "--port", node, "--boot-ids", "f0f0"});
    EXPECT_EQ(bad.Wait(), 64) << bad.Tell();
    Child none(dir, {TAMBRIX_FLASH_PROGRAM, "udev-rule", "--port", dir.File("hidraw99")});
    EXPECT_EQ(none.Wait(), 66) << none.Tell();
}

TEST_F(UsbFlasher, AUserWhoMayNotOpenTheNodeIsToldTheNodeAndTheCommand)
{
    if (access("/usr/bin/setpriv", X_OK) != 0 || geteuid() != 0)
        GTEST_SKIP() << "needs root and setpriv to run the flasher as another user";
    // nobody reaches the testbed and the file, but not the node (a pty of
    // root's, as a hidraw node is before a rule gives it away).
    OpenTestbedTo(testbed.Root());
    chmod(dir.Path().c_str(), 0777);
    testing_support::FirmwareFile f = testing_support::StandardFile(0x41, {"B", 3000, "A", 6000});
    std::string file = dir.Write("fw.mocf", testing_support::AsString(f.file));
    chmod(file.c_str(), 0644);
    const std::vector<std::string> user = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    const struct {
        const char* command;
        bool withFile;
    } commands[] = {{"flash", true}, {"device", false}};
    for (const auto& c : commands) {
        SCOPED_TRACE(c.command);
        std::vector<std::string> args = user;
        args.insert(args.end(), {TAMBRIX_FLASH_PROGRAM, c.command});
        if (c.withFile)
            args.push_back(file);
        args.insert(args.end(), {"--usb", "--port", node});
        Child run(dir, args);
        ASSERT_EQ(run.Wait(), 77) << run.Tell();
        std::string expected = "tambrix-flash: " + node + ": no permission to open " + node +
                               "; give this user its HID nodes with: sudo tambrix-flash udev-rule --port " + node +
                               " --output /etc/udev/rules.d/70-tambrix01.rules\n";
        EXPECT_EQ(run.Err(), expected) << run.Tell();
        EXPECT_EQ(run.Out(), "") << run.Tell();
    }
    EXPECT_EQ(server.HostReports(), 0u);
}

} // namespace
