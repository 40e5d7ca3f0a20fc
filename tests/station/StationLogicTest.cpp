// The station's own decisions, in process: which names a pattern takes,
// when a report is the same device or a current one, and the file digest.
#include "station/DeviceIdentity.h"
#include "station/Sha1.h"
#include "station/UsbWatch.h"
#include "station/Watch.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using flasher::NameMatches;
using flasher::ParseDeviceReport;

struct MatchCase {
    const char* pattern;
    const char* name;
    bool ignoreCase;
    bool matches;
};

const MatchCase kMatches[] = {
    {"COM*", "COM12", true, true},
    {"com*", "COM3", true, true},
    {"com*", "COM3", false, false},
    {"COM?", "COM12", true, false},
    {"/dev/ttyUSB*", "/dev/ttyUSB0", false, true},
    {"/dev/ttyUSB*", "/dev/ttyACM0", false, false},
    {"*-port0", "pci-0000:00:14.0-usb-0:1:1.0-port0", false, true},
    {"a*b*c", "axxbyyc", false, true},
    {"a*b*c", "axxbyy", false, false},
    {"", "", false, true},
    {"*", "", false, true},
    // Many stars against a long mismatch ends quickly (no exponential back-tracking).
    {"*a*a*a*a*a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false, false},
};

TEST(StationPatterns, ShellStyleMatch)
{
    for (const MatchCase& c : kMatches)
        EXPECT_EQ(NameMatches(c.pattern, c.name, c.ignoreCase), c.matches) << c.pattern << " / " << c.name;
}

const char kScanner[] = "fmt: 1\nmode: app\ncbl: 2\ndevice-type: 1\nhw-rev: 1\nboot-m_name: SIMBOOT1\n"
                        "app-rev: APP_1\nboot-rev: BOOT_1\ncsum: 0x1234\n";

// The same scanner in its bootloader with other versions is the same
// device; another model, or a cradle whose linked scanner changed, is not.
TEST(StationIdentity, FlashesDoNotChangeItButAnotherDeviceDoes)
{
    std::string before = flasher::DeviceIdentity(ParseDeviceReport(kScanner));
    std::string inBoot = flasher::DeviceIdentity(ParseDeviceReport(
        "fmt: 1\nmode: boot\ncbl: 2\ndevice-type: 1\nhw-rev: 1\nboot-m_name: SIMBOOT1\napp-rev: APP_2\n"
        "boot-rev: BOOT_2\ncsum: 0x4321\n"));
    EXPECT_EQ(before, inBoot);
    EXPECT_NE(before, flasher::DeviceIdentity(ParseDeviceReport(
                          "mode: app\ncbl: 2\ndevice-type: 1\nhw-rev: 2\nboot-m_name: SIMBOOT1\n")));

    const char* cradle = "mode: app\ndevice-type: 2\nbt-mode: server\nhub-connections: 1\ndev-1-addr: 0011223344AA\n";
    const char* unlinked = "mode: app\ndevice-type: 2\nbt-mode: server\nhub-connections: 0\n";
    const char* other = "mode: app\ndevice-type: 2\nbt-mode: server\nhub-connections: 1\ndev-1-addr: 0011223344BB\n";
    EXPECT_NE(flasher::DeviceIdentity(ParseDeviceReport(cradle)),
              flasher::DeviceIdentity(ParseDeviceReport(other)));
    EXPECT_NE(flasher::DeviceIdentity(ParseDeviceReport(cradle)),
              flasher::DeviceIdentity(ParseDeviceReport(unlinked)));
}

struct SameCase {
    const char* name;
    const char* taken;
    const char* now;
    bool same;
};

const char kLinked[] = "mode: app\ndevice-type: 2\nhub-connections: 1\ndev-1-addr: 0011223344AA\n";
const SameCase kSame[] = {
    {"link down while its scanner restarts", kLinked, "mode: app\ndevice-type: 2\nhub-connections: 0\n", true},
    {"link back", kLinked, kLinked, true},
    {"another scanner paired", kLinked, "mode: app\ndevice-type: 2\nhub-connections: 1\ndev-1-addr: 0011223344BB\n",
     false},
    {"another scanner stands in it", kLinked,
     "mode: app\ndevice-type: 2\nhub-connections: 0\nscanner-in-cradle: 1\npair-address: 0011223344BB\n", false},
    {"another cradle without its link", kLinked, "mode: app\ndevice-type: 2\nhw-rev: 2\nhub-connections: 0\n", false},
    // A cradle taken while nothing was paired: the scanner that pairs is taken in its turn.
    {"a scanner pairs", "mode: app\ndevice-type: 2\nhub-connections: 0\n", kLinked, false},
    {"a corded scanner in its bootloader", kScanner,
     "fmt: 1\nmode: boot\ncbl: 2\ndevice-type: 1\nhw-rev: 1\nboot-m_name: SIMBOOT1\napp-rev: APP_2\n", true},
};

TEST(StationIdentity, ACradleWithoutItsLinkIsTheSameDevice)
{
    for (const SameCase& c : kSame)
        EXPECT_EQ(flasher::SameDevice(ParseDeviceReport(c.taken), ParseDeviceReport(c.now)), c.same) << c.name;
}

struct CurrentCase {
    const char* app;
    const char* boot;
    bool current;
};

// The device's values carry '_' where the file's versions have '.'.
const CurrentCase kCurrent[] = {
    {"APP.1", "BOOT.1", true},
    {"APP_1", "BOOT_1", true},
    {"APP.1", "", true},          // a file without a bootloader
    {"APP.2", "BOOT.1", false},
    {"APP.1", "BOOT.2", false},
    {"", "BOOT.1", false},        // nothing to compare: flashed
};

TEST(StationCurrent, ComparesTheReportedVersionsWithTheFiles)
{
    flasher::DeviceReport report = ParseDeviceReport(kScanner);
    for (const CurrentCase& c : kCurrent)
        EXPECT_EQ(flasher::RunsVersions(report, c.app, c.boot), c.current) << c.app << " " << c.boot;
    // A device that does not report its versions is flashed.
    EXPECT_FALSE(flasher::RunsVersions(ParseDeviceReport("mode: app\ndevice-type: 1\n"), "APP.1", ""));
}

TEST(StationDigest, KnownSha1Values)
{
    EXPECT_EQ(flasher::Sha1Hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(flasher::Sha1Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    // Two blocks of padding: 56 bytes.
    EXPECT_EQ(flasher::Sha1Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(flasher::Sha1Hex(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    EXPECT_EQ(flasher::FileSha1("/nonexistent/file"), "");
}

TEST(StationUsbIds, VendorColonProductInHex)
{
    flasher::UsbId id;
    ASSERT_TRUE(flasher::ParseUsbId("f0f0:0A01", id));
    EXPECT_EQ(id.vendor, 0xf0f0u);
    EXPECT_EQ(id.product, 0x0a01u);
    for (const char* bad : {"", ":", "f0f0", "f0f0:", ":0a01", "f0f0:0a01:1", "12345:1", "f0f0:xyz", "f0f0 :0a01"})
        EXPECT_FALSE(flasher::ParseUsbId(bad, id)) << bad;
}

struct PathCase {
    const char* path;
    bool named;          // the path carries ids
    uint32_t vendor, product;
};

// The ids of a Windows HID interface path, as the Windows watch filters the
// devices by them; a path without them leaves it to the device's attributes.
const PathCase kPaths[] = {
    {"\\\\?\\hid#vid_f0f0&pid_0a01&mi_00#7&2a5c3d1&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}", true, 0xf0f0,
     0x0a01},
    {"\\\\?\\HID#VID_F0F0&PID_0B01#256&sim1&0&0#{4d1e55b2-f16f-11cf-88cb-001111000030}", true, 0xf0f0, 0x0b01},
    // A collection of a composite device: the ids after "hid#", not the col part.
    {"\\\\?\\hid#vid_1234&pid_00ff&col02#8&1&0&0001#{4d1e55b2-f16f-11cf-88cb-001111000030}", true, 0x1234, 0x00ff},
    // Bluetooth and other buses name the device otherwise.
    {"\\\\?\\hid#{00001124-0000-1000-8000-00805f9b34fb}_vid&0002f0f0_pid&0a01#9&1#{4d1e55b2}", false, 0, 0},
    {"\\\\?\\hid#vid_f0f&pid_0a01#1", false, 0, 0},
    {"\\\\?\\hid#vid_f0f0x&pid_0a01#1", false, 0, 0},
    {"\\\\?\\hid#vid_f0f0&pid_0a0", false, 0, 0},
    // A broken first "vid_" does not hide a sound one after it.
    {"\\\\?\\hid#vid_#vid_abcd&pid_0001#1", true, 0xabcd, 0x0001},
    {"", false, 0, 0},
};

TEST(StationUsbIds, IdsOfAWindowsHidPath)
{
    for (const PathCase& c : kPaths) {
        flasher::UsbId id;
        ASSERT_EQ(flasher::UsbIdOfPath(c.path, id), c.named) << c.path;
        if (c.named) {
            EXPECT_EQ(id.vendor, c.vendor) << c.path;
            EXPECT_EQ(id.product, c.product) << c.path;
        }
    }
}

} // namespace
