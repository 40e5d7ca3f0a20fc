// The USB HID transport on Linux against hidraw nodes that umockdev emulates:
// the library's own udev enumeration, mutex claims and report I/O run
// unchanged, and the test (or the simulator's USB face) is the device.
#include "flows/FlowFixture.h"
#include "io/UsbDevicePath.h"
#include "io/UsbHid.h"
#include "platform/Platform.h"
#include "sim/usb/HidrawServer.h"
#include "sim/usb/HidrawTestbed.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using testing_support::CapturedLog;

constexpr sim::UsbIds kBootIds{0xF0F0, 0x0B01, 0};

// An engine whose FlashIo the transport is installed into, with its log.
struct Tool {
    ~Tool()
    {
        // TAMBRIX_USB_LOG=1 prints the library's log of a test.
        if (std::getenv("TAMBRIX_USB_LOG"))
            std::fprintf(stderr, "%s", log.Text().c_str());
    }
    flows::Engine engine;
    CapturedLog log{engine.log};
    FlashIoDevice* io = engine.io->io;

    int32_t Setup(const UsbIdentity& id) { return BL_FlashIo_Setup_WIN32_USB(io, &id); }
    int32_t SetupByPath(const std::string& path)
    {
        wide = platform::Utf8ToWide(path);
        return Setup(UsbIdentity{-1, -1, -1, -1, wide.data(), nullptr});
    }
    std::wstring OpenedPath() const
    {
        auto* cookie = static_cast<UsbCookie*>(io->cookie);
        return cookie && cookie->identity.preservedPath ? cookie->identity.preservedPath : L"";
    }
    bool Logged(const std::string& text) const { return log.Contains(text); }
    std::wstring wide;
};

UsbIdentity IdsOf(const sim::UsbIds& ids)
{
    return UsbIdentity{ids.vendorId, ids.productId, ids.interfaceNumber, 0, nullptr, nullptr};
}

std::wstring PathOf(const sim::UsbIds& ids, const sim::HidrawTestbed::Node& node)
{
    return UsbHidrawPath(static_cast<uint32_t>(ids.vendorId), static_cast<uint32_t>(ids.productId),
                         static_cast<uint32_t>(ids.interfaceNumber), node.usbInterface, node.devnode);
}

std::string MutexName(const sim::UsbIds& ids, const sim::HidrawTestbed::Node& node)
{
    std::wstring name;
    UsbDeviceMutexName(PathOf(ids, node).c_str(), name);
    return platform::WideToUtf8(name.c_str());
}

// Waits in real time, which is the device's time here; bounded.
bool WaitFor(const std::function<bool()>& done, uint32_t limitMs)
{
    for (uint32_t spent = 0; spent < limitMs; spent += 50) {
        if (done())
            return true;
        platform::SleepMs(50);
    }
    return done();
}

Bytes Report(std::initializer_list<uint8_t> head)
{
    Bytes report(64, 0);
    std::copy(head.begin(), head.end(), report.begin());
    return report;
}

Bytes DataReport(const Bytes& payload)
{
    Bytes report = Report({2, static_cast<uint8_t>(payload.size()), ']', 'X', '0'});
    std::copy(payload.begin(), payload.end(), report.begin() + 5);
    return report;
}

class UsbTransport : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim::HidrawTestbed::Active()) << "run the USB tests under umockdev-wrapper";
    }

    // The device's end of a node: whole reports, as a HID device sends them.
    static void Send(const sim::HidrawTestbed::Node& node, const Bytes& report)
    {
        ASSERT_EQ(write(node.fd, report.data(), report.size()), static_cast<ssize_t>(report.size()));
    }
    static std::vector<Bytes> Received(const sim::HidrawTestbed::Node& node)
    {
        std::vector<Bytes> reports;
        for (;;) {
            pollfd p{node.fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0 || !(p.revents & POLLIN))
                return reports;
            Bytes report(64);
            ssize_t n = read(node.fd, report.data(), report.size());
            if (n <= 0)
                return reports;
            report.resize(static_cast<size_t>(n));
            reports.push_back(report);
        }
    }

    sim::HidrawTestbed testbed;
};

// One device played by the test itself, found by its ids and open.
class UsbOpenDevice : public UsbTransport {
protected:
    void SetUp() override
    {
        UsbTransport::SetUp();
        auto plugged = testbed.Plug(kBootIds, 1);
        ASSERT_TRUE(plugged);
        node = *plugged;
        // Left over from before the set-up: the set-up drops it.
        Send(node, DataReport({'o', 'l', 'd'}));
        ASSERT_EQ(tool.Setup(IdsOf(kBootIds)), 0);
        ASSERT_EQ(tool.engine.io->OpenDevice(), 0);
    }
    void TearDown() override { testbed.Unplug(node); }

    int32_t Read(Bytes& out, uint32_t length, uint32_t timeoutMs)
    {
        out.assign(length, 0);
        int32_t r = tool.io->readBytes(tool.io, out.data(), length, timeoutMs);
        out.resize(r > 0 ? static_cast<size_t>(r) : 0);
        return r;
    }

    sim::HidrawTestbed::Node node;
    Tool tool;
};

TEST_F(UsbOpenDevice, WritesAreCutInto62ByteReports)
{
    Bytes data(63);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i + 1);
    EXPECT_EQ(tool.io->writeBytes(tool.io, data.data(), 0), 0);
    EXPECT_EQ(tool.io->writeBytes(tool.io, data.data(), 63), 63);
    std::vector<Bytes> reports = Received(node);
    ASSERT_EQ(reports.size(), 2u);
    Bytes first = Report({0xFD, 62});
    std::copy(data.begin(), data.begin() + 62, first.begin() + 2);
    EXPECT_EQ(reports[0], first);
    EXPECT_EQ(reports[1], Report({0xFD, 1, 63}));
}

TEST_F(UsbOpenDevice, ReadsCollectPayloadAcrossReportsUntilTheTimeRunsOut)
{
    Bytes payload(100);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(0x80 + i);
    Send(node, DataReport(Bytes(payload.begin(), payload.begin() + 56)));
    Send(node, DataReport(Bytes(payload.begin() + 56, payload.end())));
    Bytes got;
    EXPECT_EQ(Read(got, 100, 1000), 100);
    EXPECT_EQ(got, payload);   // and not the report sent before the set-up

    Send(node, DataReport(Bytes(payload.begin(), payload.begin() + 30)));
    EXPECT_EQ(Read(got, 100, 300), 30);
    EXPECT_EQ(got, Bytes(payload.begin(), payload.begin() + 30));

    EXPECT_EQ(Read(got, 10, 100), -6);
    EXPECT_TRUE(tool.Logged("my_usb_read: Timeout tspent: "));
}

TEST_F(UsbOpenDevice, ReportsOfAnotherKindAreDroppedWithALogLine)
{
    Send(node, Report({1, 5, ']', 'X', '0', 'b', 'a', 'd', '!', '!'}));
    Send(node, Report({2, 57, ']', 'X', '0', 'l', 'o', 'n', 'g'}));
    Send(node, Report({2, 3, '[', 'X', '0', 'n', 'o', 'p'}));
    Send(node, DataReport({'O', 'K'}));
    Bytes got;
    EXPECT_EQ(Read(got, 2, 2000), 2);
    EXPECT_EQ(got, Bytes({'O', 'K'}));
    EXPECT_TRUE(tool.Logged("Unexpected (ignored) Barcode Packet 01 05 5d 58 30\n"));
    EXPECT_TRUE(tool.Logged("Unexpected (ignored) Barcode Packet 02 39 5d 58 30\n"));
    EXPECT_TRUE(tool.Logged("Unexpected (ignored) Barcode Packet 02 03 5b 58 30\n"));
}

TEST_F(UsbOpenDevice, VanishedDeviceEndsReadsWithMinus3AndFailsWrites)
{
    testbed.Unplug(node);
    Bytes got;
    EXPECT_EQ(Read(got, 10, 2000), -3);
    EXPECT_TRUE(tool.Logged("ReadFile DEVICE NOT CONNECTED!\n"));
    uint8_t byte = 'x';
    EXPECT_EQ(tool.io->writeBytes(tool.io, &byte, 1), -1);
    EXPECT_TRUE(tool.Logged("my_usb_write Error writing full report\n"));
    // Reopening after a close finds nothing at the remembered path.
    EXPECT_EQ(tool.engine.io->CloseDevice(), 0);
    EXPECT_EQ(tool.engine.io->OpenDevice(), -3);
    EXPECT_TRUE(tool.Logged("Open preserving boot USB device path: hidraw#vid_f0f0&pid_0b01&mi_00#"));
}

// The slot's contract: a write on a closed device fails at once, with the
// system's own complaint, and sends nothing.
TEST_F(UsbOpenDevice, AWriteOnAClosedDeviceFailsAtOnceWithWriteError)
{
    ASSERT_EQ(tool.engine.io->CloseDevice(), 0);
    uint8_t byte = 'x';
    EXPECT_EQ(tool.io->writeBytes(tool.io, &byte, 1), -1);
    EXPECT_TRUE(tool.Logged("my_usb_writeREPORT: Write error: 0x00000009\n")) << tool.log.Text();
    EXPECT_FALSE(tool.Logged("write report fails"));
    EXPECT_TRUE(tool.Logged("my_usb_write Error writing full report\nmy_usb_write: r=-1, total=0\n"));
    EXPECT_TRUE(Received(node).empty());
}

// Two devices with the same ids: the per-device mutexes hand them to two
// tool objects, one each, and a device claimed elsewhere is skipped.
TEST_F(UsbTransport, ClaimedDevicesAreSkippedAndFreeOnesReported)
{
    auto first = testbed.Plug(kBootIds, 1);
    auto second = testbed.Plug(kBootIds, 2);
    ASSERT_TRUE(first && second);
    std::string firstName = MutexName(kBootIds, *first);
    std::string secondName = MutexName(kBootIds, *second);

    // Another holder has the first: the second is taken.
    bool existed = true;
    platform::NamedMutex* other = platform::CreateNamedMutex(platform::Utf8ToWide(firstName).c_str(), &existed);
    ASSERT_TRUE(other);
    ASSERT_FALSE(existed);
    Tool a;
    ASSERT_EQ(a.Setup(IdsOf(kBootIds)), 0);
    EXPECT_EQ(a.OpenedPath(), PathOf(kBootIds, *second));
    EXPECT_TRUE(a.Logged("Device: " + firstName + " is occupied by other mutex.\n"));
    EXPECT_TRUE(a.Logged("Device: " + secondName + " is available\n"));
    EXPECT_TRUE(a.Logged("********* No boot USB port can be used this moment.\n"));
    EXPECT_NE(a.io->m_hDeviceMutex, nullptr);

    // Both claimed: nothing for a second tool object.
    Tool b;
    EXPECT_EQ(b.Setup(IdsOf(kBootIds)), -1);
    EXPECT_TRUE(b.Logged("Device: " + secondName + " is occupied by other mutex.\n"));
    EXPECT_TRUE(b.Logged("Failed to FIND and OPEN USB Device, VendorID: 61680, Product ID: 2817, Interface ID: 0\n"));
    EXPECT_EQ(b.io->m_hDeviceMutex, nullptr);

    // The other holder lets go: the first is free for it, and the search
    // warns that one more matching device is still free after a's goes.
    platform::ReleaseNamedMutex(other);
    platform::CloseNamedMutex(other);
    a.io->destroy(a.io);
    EXPECT_TRUE(a.Logged("Release m_hDeviceMutex in my_usb_destory: "));
    EXPECT_EQ(a.io->m_hDeviceMutex, nullptr);
    ASSERT_EQ(b.Setup(IdsOf(kBootIds)), 0);
    EXPECT_EQ(b.OpenedPath(), PathOf(kBootIds, *first));
    EXPECT_TRUE(b.Logged("********* ERROR: 1 boot USB port can be used this moment.\n"));
    EXPECT_TRUE(b.Logged("********* FindHidDevice_debug: FIND USB Device with VendorID: 61680, Product ID: 2817, "
                         "Interface ID: 0 still can be used.\n"));
    testbed.Unplug(*first);
    testbed.Unplug(*second);
}

sim::HidrawTestbed::PlugOptions Serial(bool has, const char* serial)
{
    sim::HidrawTestbed::PlugOptions options;
    options.serialNumber = has;
    options.serial = serial;
    return options;
}

// A bootloader whose old path no longer opens after its restart is looked
// for again, and only a device that cannot be another scanner is taken:
// one with its serial number, or, without one, the only device with its
// ids while no other flasher works with such a device. The other scanner's
// claim has lapsed each time (its flasher between two set-ups, or its
// device back under a path of its own), so the mutexes alone would let it
// be taken.
TEST_F(UsbTransport, BootloaderBackUnderAnotherPathIsTakenOnlyWhenItCannotBeAnothers)
{
    struct Case {
        const char* what;
        bool serial;
        bool otherAtFind;     // another scanner of the model when ours was found
        bool otherAfter;      // another scanner comes while ours is off the bus
        bool otherFlasher;    // another flasher has marked the model's ids
        bool oursBack;
        bool found;
        const char* logged;
    } cases[] = {
        {"serial, back beside another", true, true, false, true, true, true, "Found the device again at"},
        {"serial, only the other there", true, true, false, false, false, false, "No device with VendorID"},
        {"serial, another comes meanwhile", true, false, true, true, false, false, "No device with VendorID"},
        {"no serial, alone all along", false, false, false, false, true, true, "Found the device again at"},
        {"no serial, another flasher's device instead", false, false, true, true, false, false,
         "Another flasher works with a device of VendorID: 61680, Product ID: 2817"},
        {"no serial, back while another flasher works", false, false, false, true, true, false,
         "Another flasher works with a device of VendorID: 61680, Product ID: 2817"},
        {"no serial, another was there at the find", false, true, false, false, true, false,
         "2 devices with VendorID: 61680, Product ID: 2817, interface 0, no serial number are present"},
        {"no serial, the other alone now", false, true, false, false, false, false,
         "another with its ids was present when it was found"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto ours = testbed.Plug(kBootIds, 1, Serial(c.serial, "SIMA"));
        ASSERT_TRUE(ours);
        std::optional<sim::HidrawTestbed::Node> other, back;
        platform::NamedMutex* otherClaim = nullptr;
        if (c.otherAtFind) {
            other = testbed.Plug(kBootIds, 5, Serial(c.serial, "SIMB"));
            ASSERT_TRUE(other);
            // Its flasher holds it while ours is found.
            bool existed = false;
            otherClaim =
                platform::CreateNamedMutex(platform::Utf8ToWide(MutexName(kBootIds, *other)).c_str(), &existed);
            ASSERT_TRUE(otherClaim && !existed);
        }
        {
            Tool tool;
            ASSERT_EQ(tool.Setup(IdsOf(kBootIds)), 0);
            ASSERT_EQ(tool.OpenedPath(), PathOf(kBootIds, *ours));
            platform::CloseNamedMutex(otherClaim);
            testbed.Unplug(*ours);
            if (c.otherAfter) {
                other = testbed.Plug(kBootIds, 5, Serial(c.serial, "SIMB"));
                ASSERT_TRUE(other);
            }
            Tool otherFlasher;
            if (c.otherFlasher)
                UsbMarkIdsInUse(otherFlasher.io, kBootIds.vendorId, kBootIds.productId);
            if (c.oursBack) {
                back = testbed.Plug(kBootIds, 7, Serial(c.serial, "SIMA"));
                ASSERT_TRUE(back);
            }
            int32_t opened = tool.engine.io->OpenDevice();
            EXPECT_TRUE(tool.Logged(c.logged)) << tool.log.Text();
            if (c.found) {
                EXPECT_EQ(opened, 0);
                EXPECT_EQ(tool.OpenedPath(), PathOf(kBootIds, *back));
                // The claim moved to it.
                bool existed = false;
                platform::NamedMutex* probe =
                    platform::CreateNamedMutex(platform::Utf8ToWide(MutexName(kBootIds, *back)).c_str(), &existed);
                EXPECT_TRUE(existed);
                platform::CloseNamedMutex(probe);
                // And it is the device the next open expects there.
                tool.engine.io->CloseDevice();
                EXPECT_EQ(tool.engine.io->OpenDevice(), 0) << tool.log.Text();
                EXPECT_EQ(tool.OpenedPath(), PathOf(kBootIds, *back));
            } else {
                EXPECT_NE(opened, 0);
            }
            if (other) {
                EXPECT_NE(tool.OpenedPath(), PathOf(kBootIds, *other)) << "took the other scanner";
            }
            tool.engine.io->CloseDevice();
            tool.io->destroy(tool.io);
        }
        for (auto* node : {&other, &back})
            if (*node)
                testbed.Unplug(**node);
    }
}

// Node numbers are given out again: after the device restarts, the node
// the host named may belong to another HID device (a keyboard here). It is
// not talked to; the device is found again where it came back.
TEST_F(UsbTransport, TheHostsNodeTakenByAnotherDeviceAfterARestartIsNotUsed)
{
    const sim::UsbIds app{0xF0F0, 0x0A01, 0};
    const sim::UsbIds keyboard{0x1234, 0x0001, 0};
    for (bool serial : {true, false}) {
        SCOPED_TRACE(serial ? "with a serial number" : "without a serial number");
        auto ours = testbed.Plug(app, 1, Serial(serial, "SIMA"));
        ASSERT_TRUE(ours);
        const std::string node = ours->devnode;
        Tool tool;
        ASSERT_EQ(tool.SetupByPath(node), 0);
        testbed.Unplug(*ours);
        auto other = testbed.Plug(keyboard, 3, Serial(serial, "KBD"));
        ASSERT_TRUE(other);
        ASSERT_EQ(other->devnode, node) << "the keyboard did not get the old node";
        EXPECT_NE(tool.engine.io->OpenDevice(), 0);
        EXPECT_TRUE(tool.Logged("do_usb_open - " + node + " leads to another device now (VendorID: 4660"))
            << tool.log.Text();

        auto back = testbed.Plug(app, 7, Serial(serial, "SIMA"));
        ASSERT_TRUE(back);
        ASSERT_EQ(tool.engine.io->OpenDevice(), 0) << tool.log.Text();
        EXPECT_EQ(tool.OpenedPath(), PathOf(app, *back));
        uint8_t byte = 'x';
        EXPECT_EQ(tool.io->writeBytes(tool.io, &byte, 1), 1);
        EXPECT_EQ(Received(*back).size(), 1u);
        EXPECT_TRUE(Received(*other).empty()) << "the keyboard was written to";
        tool.engine.io->CloseDevice();
        tool.io->destroy(tool.io);
        testbed.Unplug(*other);
        testbed.Unplug(*back);
    }
}

// While udev runs, a node it has not set up yet is skipped by the search:
// its rules (the user's permissions among them) have not run. umockdev
// leaves /run/udev alone, so the test runs itself again in a mount
// namespace of its own whose /run is a fresh tmpfs: there udev looks active
// (its control socket's path exists) and a node counts as set up once its
// database entry exists. The host's /run is not touched.
TEST_F(UsbTransport, ANodeUdevHasNotSetUpYetIsSkipped)
{
    const char* test = "UsbTransport.ANodeUdevHasNotSetUpYetIsSkipped";
    if (!std::getenv("TAMBRIX_UDEV_NAMESPACE")) {
        if (geteuid() != 0 || access("/usr/bin/unshare", X_OK) != 0)
            GTEST_SKIP() << "needs root and unshare for a /run of its own";
        char self[4096] = {};
        ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
        const char* preload = std::getenv("LD_PRELOAD");
        std::string command =
            std::string("env -u LD_PRELOAD -u UMOCKDEV_DIR TAMBRIX_UDEV_NAMESPACE=1 /usr/bin/unshare --mount "
                        "--propagation private sh -c 'mount -t tmpfs tmpfs /run && mkdir -p /run/udev/data && "
                        "touch /run/udev/control && LD_PRELOAD=\"$1\" exec \"$0\" --gtest_filter=$2' ") +
            self + " '" + (preload ? preload : "") + "' " + test + " 2>&1";
        FILE* child = popen(command.c_str(), "r");
        ASSERT_NE(child, nullptr);
        std::string output;
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, child)) > 0;)
            output.append(buffer, n);
        int status = pclose(child);
        std::string tail = output.size() > 6000 ? output.substr(output.size() - 6000) : output;
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "exit status " << status << ", output's end:\n" << tail;
        EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << tail;
        return;
    }
    auto early = testbed.Plug(kBootIds, 1);
    auto ready = testbed.Plug(kBootIds, 2);
    ASSERT_TRUE(early && ready);
    const std::string earlyName = early->devnode.substr(early->devnode.rfind('/') + 1);
    const std::string entry = "/run/udev/data/+hidraw:" + ready->devnode.substr(ready->devnode.rfind('/') + 1);
    FILE* db = std::fopen(entry.c_str(), "w");
    ASSERT_NE(db, nullptr);
    std::fputs("I:1000000\n", db);
    std::fclose(db);
    {
        Tool tool;
        ASSERT_EQ(tool.Setup(IdsOf(kBootIds)), 0) << tool.log.Text();
        EXPECT_EQ(tool.OpenedPath(), PathOf(kBootIds, *ready));
        EXPECT_TRUE(tool.Logged("not yet set up by udev: " + earlyName + "\n")) << tool.log.Text();
        tool.io->destroy(tool.io);
    }
    // Neither set up: nothing to take.
    unlink(entry.c_str());
    {
        Tool tool;
        EXPECT_EQ(tool.Setup(IdsOf(kBootIds)), -1) << tool.log.Text();
    }
    testbed.Unplug(*early);
    testbed.Unplug(*ready);
}

// The host may replace its port name while the transport lives; the
// transport reopens what it was given.
TEST_F(UsbTransport, DevicePathOutlivesTheCallersText)
{
    auto node = testbed.Plug(kBootIds, 1);
    ASSERT_TRUE(node);
    Tool tool;
    {
        std::wstring path = platform::Utf8ToWide(node->devnode);
        ASSERT_EQ(tool.Setup(UsbIdentity{-1, -1, -1, -1, path.data(), nullptr}), 0);
        path.assign(path.size(), L'x');
    }
    EXPECT_EQ(tool.engine.io->OpenDevice(), 0);
    EXPECT_TRUE(tool.Logged("do_usb_open - pDeviceName: " + node->devnode + ".\n"));
    EXPECT_EQ(tool.io->m_hDeviceMutex, nullptr);  // opened by path: nothing claimed
    tool.io->destroy(tool.io);
    testbed.Unplug(*node);
}

TEST_F(UsbTransport, DeviceWithOtherIdsOrInterfaceIsNotTaken)
{
    struct Case {
        const char* what;
        sim::UsbIds plugged;
        UsbIdentity wanted;
        bool found;
    } cases[] = {
        {"same ids", kBootIds, IdsOf(kBootIds), true},
        {"other product", {0xF0F0, 0x0B02, 0}, IdsOf(kBootIds), false},
        {"another interface, none with the exact one", {0xF0F0, 0x0B01, 1}, IdsOf(kBootIds), true},
        {"interface 1 asked for", {0xF0F0, 0x0B01, 1}, UsbIdentity{0xF0F0, 0x0B01, 1, 0, nullptr, nullptr}, true},
    };
    for (const Case& c : cases) {
        auto node = testbed.Plug(c.plugged, 1);
        ASSERT_TRUE(node) << c.what;
        Tool tool;
        EXPECT_EQ(tool.Setup(c.wanted), c.found ? 0 : -1) << c.what;
        if (tool.io->destroy)
            tool.io->destroy(tool.io);
        testbed.Unplug(*node);
    }
}

// A bootloader on another interface of a composite device is found by its
// ids when no device carries the interface asked for, with the search's
// second pattern; one that carries it exactly is preferred.
TEST_F(UsbTransport, TheExactInterfaceIsPreferredThenTheIdsAlone)
{
    const sim::UsbIds otherInterface{kBootIds.vendorId, kBootIds.productId, 1};
    auto composite = testbed.Plug(otherInterface, 1);
    ASSERT_TRUE(composite);
    {
        Tool tool;
        ASSERT_EQ(tool.Setup(IdsOf(kBootIds)), 0) << tool.log.Text();
        EXPECT_EQ(tool.OpenedPath(), PathOf(otherInterface, *composite));
        EXPECT_TRUE(tool.Logged("No Match(1): vid_f0f0&pid_0b01&mi_00\nfind 2th item version: vid_f0f0&pid_0b01\n"));
        tool.io->destroy(tool.io);
    }
    auto exact = testbed.Plug(kBootIds, 2);
    ASSERT_TRUE(exact);
    {
        Tool tool;
        ASSERT_EQ(tool.Setup(IdsOf(kBootIds)), 0);
        EXPECT_EQ(tool.OpenedPath(), PathOf(kBootIds, *exact));
        tool.io->destroy(tool.io);
    }
    testbed.Unplug(*exact);
    testbed.Unplug(*composite);
}

// A reply longer than one report reaches the node a report at a time: a
// host that reads more than a report at once (Wine's HID bus reads 1 KiB)
// still gets each one alone.
TEST_F(UsbTransport, SimulatedDeviceHandsOverOneInputReportAtATime)
{
    sim::Device device(sim::DeviceConfig::CordedScanner());
    sim::HidrawServer server(testbed, device);
    ASSERT_TRUE(server.Start());
    int fd = open(server.Devnode().c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const std::string command = "\x16M\rP_INFO.";
    Bytes request = Report({0xFD, static_cast<uint8_t>(command.size())});
    std::copy(command.begin(), command.end(), request.begin() + 2);
    ASSERT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));

    std::vector<ssize_t> reads;
    uint8_t buffer[1024];
    for (pollfd p{fd, POLLIN, 0}; poll(&p, 1, 500) > 0 && (p.revents & POLLIN);) {
        // Slower than the device, so that reports could pile up.
        platform::SleepMs(30);
        reads.push_back(read(fd, buffer, sizeof buffer));
    }
    close(fd);
    server.Stop();
    ASSERT_GE(reads.size(), 3u) << "P_INFO's report spans several input reports";
    for (ssize_t n : reads)
        EXPECT_EQ(n, 64);
}

// The simulator's USB face behind the node: the application found by its
// path, P_INFO, NEWAP2, the bootloader found by the ids P_INFO gave, an
// image written in bootloader packets, the reset back into the application.
TEST_F(UsbTransport, SimulatedScannerIsFlashedAcrossItsReEnumerations)
{
    sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
    config.unit.cbl = 4;
    config.unit.usbVid = kBootIds.vendorId;
    config.unit.usbPid = kBootIds.productId;
    config.timings.restartMs = 300;
    config.timings.eraseMs = 50;
    // Every report wait takes 250 ms on USB, so the reset's reply is asked
    // for that much later than on a serial line.
    config.timings.resetDelayMs = 1000;
    sim::Device device(config);
    if (std::getenv("TAMBRIX_SIM_TRACE"))
        device.SetTrace([](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
    sim::HidrawServer server(testbed, device);
    ASSERT_TRUE(server.Start());

    Tool tool;
    FlashIo& io = *tool.engine.io;
    KIRO_FlashTool& engine = *tool.engine.engine;
    ASSERT_EQ(tool.SetupByPath(server.Devnode()), 0);
    ASSERT_EQ(io.OpenDevice(), 0);
    ASSERT_EQ(engine.Scanner_GetPinfo("P_INFO"), 0);
    EXPECT_EQ(engine.pinfo.scannerstate, 'A');
    EXPECT_EQ(engine.usbBootIds.vendorId, kBootIds.vendorId);
    EXPECT_EQ(engine.usbBootIds.productId, kBootIds.productId);
    io.MNU_Query('Y', "NEWAP2", 6, nullptr, nullptr, 0);
    io.CloseDevice();
    io.io->destroy(io.io);

    // The bootloader comes up as a new device with the ids from P_INFO.
    ASSERT_TRUE(WaitFor([&] { return tool.Setup(engine.usbBootIds) == 0; }, 5000));
    EXPECT_TRUE(tool.Logged("MATCH: hidraw#vid_f0f0&pid_0b01&mi_00#"));
    ASSERT_EQ(io.OpenDevice(), 0);
    ASSERT_EQ(engine.Scanner_GetPinfo("P_INFO"), 0);
    EXPECT_EQ(engine.pinfo.scannerstate, 'B');
    ASSERT_EQ(io.MNU_SetDecimal('Y', "BTLPRO", 1, '.'), 0);
    ASSERT_EQ(io.GetVersion(), 0);
    EXPECT_EQ(io.bootloaderVersion, 23);
    Bytes image = flows::FirmwareImage('A', "USB-APP-2", 3000);
    ASSERT_EQ(io.AreaOpen(1), 0);
    ASSERT_EQ(io.UpdateBegin(), 0);
    ASSERT_EQ(io.EraseAll(), 0);
    for (uint64_t at = 0; at < image.size(); at += io.packetSize) {
        uint64_t length = std::min<uint64_t>(io.packetSize, image.size() - at);
        ASSERT_EQ(io.WrBlock(at, image.data() + at, length), 0);
        ASSERT_EQ(io.ReplyCheckEnd(), 0);
    }
    ASSERT_EQ(io.AreaEnd(), 0);
    ASSERT_EQ(io.Reset(2), 0);
    io.CloseDevice();
    io.io->destroy(io.io);

    // Back in the application under its own ids, running the new image.
    const sim::UsbIds app{config.unit.usbAppVid, config.unit.usbAppPid, 0};
    ASSERT_TRUE(WaitFor([&] { return tool.Setup(IdsOf(app)) == 0; }, 5000));
    ASSERT_EQ(io.OpenDevice(), 0);
    ASSERT_EQ(engine.Scanner_GetPinfo("P_INFO"), 0);
    EXPECT_EQ(engine.pinfo.scannerstate, 'A');
    io.CloseDevice();
    io.io->destroy(io.io);
    server.Stop();
    EXPECT_EQ(device.Cable().ApplicationArea().data, image);
    EXPECT_EQ(device.Cable().AppVersion(), "USB-APP-2");
}

} // namespace
