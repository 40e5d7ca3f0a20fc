// The USB transport's platform-neutral parts: the receive ring, the report
// framing, device paths and matching, and the set-up when nothing matches.
#include "io/FlashIo.h"
#include "io/RingBuffer.h"
#include "io/UsbDevicePath.h"
#include "io/UsbHid.h"
#include "io/UsbReports.h"
#include "log/Log.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

namespace {

using testing_support::CapturedLog;

struct OwnedFlashIo {
    Log* log = Retain(new Log());
    FlashIo* flashIo = Retain(new FlashIo(log));
    ~OwnedFlashIo()
    {
        Release(flashIo);
        Release(log);
    }
};

TEST(UsbRing, KeepsOrderAcrossTheWrapAndStopsOneShortOfCapacity)
{
    uint8_t storage[16];
    RingBuffer ring;
    RingInit(&ring, storage, sizeof storage);
    std::vector<uint8_t> in(40);
    std::iota(in.begin(), in.end(), 1);
    uint8_t out[40] = {};

    // Move the indices near the end, so the next put and get wrap.
    EXPECT_EQ(RingPut(&ring, in.data(), 12), 12u);
    EXPECT_EQ(RingGet(&ring, out, 12), 12u);
    EXPECT_EQ(RingPut(&ring, in.data(), 10), 10u);
    EXPECT_EQ(RingUsed(&ring), 10u);
    EXPECT_EQ(RingGet(&ring, out, 40), 10u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 10), std::vector<uint8_t>(in.begin(), in.begin() + 10));

    EXPECT_EQ(RingPut(&ring, in.data(), 40), 15u);
    EXPECT_EQ(RingFree(&ring), 0u);
    EXPECT_EQ(RingPut(&ring, in.data(), 1), 0u);
    EXPECT_EQ(RingGet(&ring, out, 40), 15u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 15), std::vector<uint8_t>(in.begin(), in.begin() + 15));
    EXPECT_EQ(RingGet(&ring, out, 1), 0u);
}

TEST(UsbReports, OutputReportsCarryAtMost62BytesAndAreZeroPadded)
{
    std::vector<uint8_t> data(63);
    std::iota(data.begin(), data.end(), 0x40);
    uint8_t report[kUsbReportSize];
    memset(report, 0xEE, sizeof report);

    EXPECT_EQ(UsbFillOutputReport(report, data.data(), 63), 62u);
    EXPECT_EQ(report[0], 0xFD);
    EXPECT_EQ(report[1], 62);
    EXPECT_EQ(std::vector<uint8_t>(report + 2, report + 64), std::vector<uint8_t>(data.begin(), data.begin() + 62));

    EXPECT_EQ(UsbFillOutputReport(report, data.data() + 62, 1), 1u);
    std::vector<uint8_t> expected(64, 0);
    expected[0] = 0xFD;
    expected[1] = 1;
    expected[2] = data[62];
    EXPECT_EQ(std::vector<uint8_t>(report, report + 64), expected);
}

TEST(UsbReports, InputReportsOfAnotherKindAreNeverReadPast)
{
    struct Case {
        const char* what;
        std::vector<uint8_t> head;  // the rest of the 64 bytes is zero
        uint32_t received;
        bool taken;
        uint32_t length;
    };
    const Case cases[] = {
        {"five bytes", {2, 5, ']', 'X', '0', 1, 2, 3, 4, 5}, 64, true, 5},
        {"empty", {2, 0, ']', 'X', '0'}, 64, true, 0},
        {"full 56", {2, 56, ']', 'X', '0'}, 64, true, 56},
        {"length 57", {2, 57, ']', 'X', '0'}, 64, false, 0},
        {"length 255", {2, 255, ']', 'X', '0'}, 64, false, 0},
        {"report id 1", {1, 5, ']', 'X', '0'}, 64, false, 0},
        {"report id 0xFD", {0xFD, 5, ']', 'X', '0'}, 64, false, 0},
        {"no prefix", {2, 5, ']', 'Y', '0'}, 64, false, 0},
        {"length past the bytes received", {2, 20, ']', 'X', '0'}, 10, false, 0},
        {"header cut short", {2, 0, ']', 'X'}, 4, false, 0},
    };
    for (const Case& c : cases) {
        uint8_t report[256] = {};
        std::copy(c.head.begin(), c.head.end(), report);
        const uint8_t* payload = nullptr;
        uint32_t length = 0;
        EXPECT_EQ(UsbInputPayload(report, c.received, &payload, &length), c.taken) << c.what;
        if (c.taken) {
            EXPECT_EQ(payload, report + 5) << c.what;
            EXPECT_EQ(length, c.length) << c.what;
        }
    }
}

TEST(UsbReports, LengthsComeFromTheReportDescriptor)
{
    // The scanner's own: ids 2 and 0xFD, 63 data bytes each way.
    const std::vector<uint8_t> scanner = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00,
                                          0x75, 0x08, 0x95, 0x3F, 0x85, 0x02, 0x09, 0x02, 0x81, 0x02, 0x09, 0x03,
                                          0x91, 0x02, 0x85, 0xFD, 0x09, 0x04, 0x81, 0x02, 0x09, 0x05, 0x91, 0x02,
                                          0xC0};
    // Output 0xFD of 31 bytes; input 2 of 63 bytes in two items, the
    // second one's size restored by a pop.
    const std::vector<uint8_t> small = {0x75, 0x08, 0x95, 0x1F, 0x85, 0xFD, 0x91, 0x02, 0xA4, 0x95, 0x3E, 0x85,
                                        0x02, 0x81, 0x02, 0xB4, 0x85, 0x02, 0x95, 0x01, 0x81, 0x02};
    // A keyboard's collection: no report ids, 8 bytes in.
    const std::vector<uint8_t> keyboard = {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x75, 0x08,
                                           0x95, 0x08, 0x81, 0x00, 0xC0};
    const struct {
        const char* what;
        const std::vector<uint8_t>* descriptor;
        uint32_t size;   // 0: all of it
        uint32_t output, input;
    } cases[] = {
        {"scanner", &scanner, 0, 64, 64},
        {"small output, input in two items", &small, 0, 32, 64},
        {"keyboard", &keyboard, 0, 0, 0},
        {"cut inside an item", &scanner, 15, 0, 0},
    };
    for (const auto& c : cases) {
        uint32_t size = c.size ? c.size : static_cast<uint32_t>(c.descriptor->size());
        uint32_t output = UsbDescribedReportLength(c.descriptor->data(), size, 0xFD, UsbReportKind::Output);
        uint32_t input = UsbDescribedReportLength(c.descriptor->data(), size, 2, UsbReportKind::Input);
        EXPECT_EQ(output, c.output) << c.what;
        EXPECT_EQ(input, c.input) << c.what;
    }
    EXPECT_TRUE(UsbLengthsCarryFraming(64, 64));
    EXPECT_TRUE(UsbLengthsCarryFraming(65, 61));
    EXPECT_FALSE(UsbLengthsCarryFraming(32, 64));
    EXPECT_FALSE(UsbLengthsCarryFraming(64, 60));
    EXPECT_FALSE(UsbLengthsCarryFraming(0, 0));
    EXPECT_FALSE(UsbLengthsCarryFraming(257, 64));
}

TEST(UsbPaths, MatchingByIdsAndInterface)
{
    struct Case {
        const wchar_t* path;
        int32_t interfaceNumber;
        UsbPathMatch match;
    };
    const Case cases[] = {
        {L"\\\\?\\HID#VID_F0F0&PID_0B01&MI_01#7&2a5c3d1&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}", 1, UsbPathMatch::Exact},
        {L"\\\\?\\hid#vid_f0f0&pid_0B01&mi_00#7&1&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}", 1, UsbPathMatch::None},
        {L"\\\\?\\hid#vid_f0f0&pid_0B01&mi_01#7&1&0&0001#{4d1e55b2-f16f-11cf-88cb-001111000030}", 0, UsbPathMatch::IdsOnly},
        {L"\\\\?\\hid#vid_f0f0&pid_0B01#6&2&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}", 0, UsbPathMatch::IdsOnly},
        {L"\\\\?\\hid#vid_f0f0&pid_0B01#6&2&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}", 1, UsbPathMatch::None},
        {L"\\\\?\\hid#vid_f0f0&pid_0B02&mi_00#6&2&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}", 0, UsbPathMatch::None},
        {L"hidraw#vid_f0f0&pid_0B01&mi_02#3-1.4:1.2#/dev/hidraw3", 2, UsbPathMatch::Exact},
    };
    OwnedFlashIo owner;
    for (const Case& c : cases) {
        UsbIdentity id{0xF0F0, 0x0B01, c.interfaceNumber, 7, nullptr, nullptr};
        std::wstring path = c.path;
        EXPECT_EQ(UsbPathMatches(owner.flashIo->io, id, 0, path.data(), true), c.match)
            << platform::WideToUtf8(c.path);
    }
}

TEST(UsbPaths, MutexNameIsTheLowerCasedPathAfterItsFirstHash)
{
    std::wstring name;
    ASSERT_TRUE(UsbDeviceMutexName(L"\\\\?\\HID#VID_F0F0&PID_0B01&MI_00#7&2A5C&0#{4D1E}", name));
    EXPECT_EQ(name, L"Global\\ZOT_TAMBRIX01_vid_f0f0&pid_0b01&mi_00#7&2a5c&0#{4d1e}");
    EXPECT_FALSE(UsbDeviceMutexName(L"/dev/hidraw0", name));

    std::wstring hidraw = UsbHidrawPath(0xF0F0, 0x0B01, 1, "3-1:1.1", "/dev/hidraw2");
    EXPECT_EQ(hidraw, L"hidraw#vid_f0f0&pid_0b01&mi_01#3-1:1.1#/dev/hidraw2");
    EXPECT_EQ(UsbHidrawNode(hidraw.c_str()), "/dev/hidraw2");
    EXPECT_EQ(UsbHidrawNode(L"/dev/hidraw5"), "/dev/hidraw5");
}

// Ids that no device carries: the search walks whatever the system has and
// gives up with its log lines, and nothing stays installed.
TEST(UsbSetup, NoMatchingDeviceLeavesNothingInstalled)
{
    OwnedFlashIo owner;
    FlashIoDevice* io = owner.flashIo->io;
    CapturedLog capture(owner.log);
    UsbIdentity id{0x7ffe, 0x7ffd, 0, 9, nullptr, nullptr};
    EXPECT_EQ(BL_FlashIo_Setup_WIN32_USB(io, &id), -1);
    EXPECT_TRUE(capture.Contains("End Of Hid Devices\n"));
    EXPECT_TRUE(capture.Contains("Failed to FIND and OPEN USB Device, VendorID: 32766, Product ID: 32765, Interface ID: 9\n"));
    EXPECT_EQ(io->cookie, nullptr);
    EXPECT_EQ(io->open, nullptr);
    EXPECT_EQ(io->destroy, nullptr);
    EXPECT_EQ(io->m_hDeviceMutex, nullptr);
}

TEST(UsbSetup, PathThatDoesNotOpenFails)
{
    OwnedFlashIo owner;
    FlashIoDevice* io = owner.flashIo->io;
    CapturedLog capture(owner.log);
    wchar_t path[] = L"/nonexistent/hidraw-tambrix";
    UsbIdentity id{-1, -1, -1, -1, path, nullptr};
    EXPECT_EQ(BL_FlashIo_Setup_WIN32_USB(io, &id), -1);
    EXPECT_TRUE(capture.Contains("do_usb_open - pDeviceName: /nonexistent/hidraw-tambrix.\n"));
    EXPECT_TRUE(capture.Contains("do_usb_open - Could not create device Handle\n"));
    EXPECT_EQ(io->cookie, nullptr);
}

TEST(UsbSlots, WithoutABlockReadsAndWritesSaySo)
{
    OwnedFlashIo owner;
    FlashIoDevice* io = owner.flashIo->io;
    CapturedLog capture(owner.log);
    uint8_t byte = 0;
    EXPECT_EQ(my_usb_open(io), -1);
    EXPECT_EQ(my_usb_write(io, &byte, 1), -1);
    EXPECT_EQ(my_usb_read(io, &byte, 1, 10), -1);
    EXPECT_EQ(capture.Text(), "No cookie: open\n*WRONG* NOT configured as USB\nWin32 USB write - No cookie!\n"
                              "Win32 USB read - No cookie!\n");
}

} // namespace
