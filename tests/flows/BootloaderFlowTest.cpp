// The library's bootloader packets and commands against the simulated
// bootloader: version, areas, erase, block writes with stuffed bytes, area
// end and both resets, and the mode the device restarts into.
#include "flows/FlowFixture.h"

#include <gtest/gtest.h>

namespace {

using flows::Flow;
using flows::Bytes;
using flows::FirmwareImage;

TEST(BootloaderFlow, VersionQueryGivesProtocolAndPacketSize)
{
    struct Case {
        const char* what;
        int32_t btlMax;
        int32_t protocol;
        uint64_t packetSize;
    } cases[] = {
        {"defaults", 256, 23, 256},
        {"small payload", 64, 23, 64},
        {"older bootloader", 256, 22, 256},
        {"largest payload", 16384, 23, 16384},
    };
    for (const Case& c : cases) {
        sim::DeviceConfig config = flows::BootloaderScanner();
        config.unit.boot.maxPayload = c.btlMax;
        config.faults.protocolVersion = c.protocol;
        Flow flow(config);
        ASSERT_EQ(flow.StartPacketLink(), 0) << c.what;
        EXPECT_EQ(flow.io->GetVersion(), 0) << c.what;
        EXPECT_EQ(flow.io->bootloaderVersion, c.protocol) << c.what;
        EXPECT_EQ(flow.io->packetSize, c.packetSize) << c.what;
        EXPECT_TRUE(flow.Logged("RESULT: GetVer() Ver=" + std::to_string(c.protocol) +
                                ", PacketSize: " + std::to_string(c.packetSize)))
            << c.what;
    }
}

TEST(BootloaderFlow, AreaOpenReadsTheAreaInfoOfBothAreas)
{
    struct Case {
        int32_t area;
        uint64_t handle;
        const char* name;
        uint32_t writeMultiple;
    } cases[] = {{0, 0x100, "bootloader", 1}, {1, 0x101, "application", 1}, {1, 0x101, "application", 4}};
    for (const Case& c : cases) {
        sim::DeviceConfig config = flows::BootloaderScanner();
        config.unit.writeMultiple = c.writeMultiple;
        Flow flow(config);
        ASSERT_EQ(flow.StartPacketLink(), 0);
        ASSERT_EQ(flow.io->AreaOpen(c.area), 0) << c.name;
        EXPECT_EQ(flow.io->areaInfoValid, 1);
        EXPECT_EQ(flow.io->areaInfo.handle, c.handle);
        EXPECT_STREQ(flow.io->areaInfo.name, c.name);
        EXPECT_EQ(flow.io->areaInfo.writeMultiple, c.writeMultiple);
        // The handle the library keeps is the one the device takes.
        EXPECT_EQ(flow.io->UpdateBegin(), 0) << c.name;
        EXPECT_EQ(flow.io->EraseAll(), 0) << c.name;
        EXPECT_EQ(flow.io->AreaEnd(), 0) << c.name;
    }
}

// An image written block by block lands byte for byte; the reset then brings
// the unit up where the image leads: the new bootloader after a boot image
// (hard reset), the new application after an application image (soft reset).
TEST(BootloaderFlow, ImageIsWrittenByteForByteAndTheResetRestartsIntoIt)
{
    struct Case {
        const char* what;
        int32_t area;
        char type;
        uint32_t resetMode;
        int32_t btlMax;
        uint32_t writeMultiple;
        size_t payload;
        int32_t protocol;
        int expectedState;
        sim::Mode expectedMode;
    } cases[] = {
        {"application, soft reset", 1, 'A', 2, 256, 1, 1700, 23, 'A', sim::Mode::Application},
        {"application, odd blocks", 1, 'A', 2, 100, 1, 999, 23, 'A', sim::Mode::Application},
        {"application, write multiple", 1, 'A', 2, 128, 4, 1024, 23, 'A', sim::Mode::Application},
        // Over 256 transactions: the packet number wraps and replies still pair.
        {"application, tiny blocks", 1, 'A', 2, 16, 1, 4500, 23, 'A', sim::Mode::Application},
        // A stuffed frame longer than the transmit buffer goes out in two writes.
        {"application, largest blocks", 1, 'A', 2, 16384, 1, 20000, 23, 'A', sim::Mode::Application},
        {"application, old bootloader: hard reset", 1, 'A', 2, 256, 1, 700, 22, 'A', sim::Mode::Application},
        {"bootloader, hard reset", 0, 'B', 1, 256, 1, 1300, 23, 'B', sim::Mode::Bootloader},
    };
    for (const Case& c : cases) {
        sim::DeviceConfig config = flows::BootloaderScanner();
        config.unit.boot.maxPayload = c.btlMax;
        config.unit.writeMultiple = c.writeMultiple;
        config.faults.protocolVersion = c.protocol;
        Flow flow(config);
        ASSERT_EQ(flow.StartPacketLink(), 0) << c.what;
        ASSERT_EQ(flow.io->GetVersion(), 0) << c.what;

        Bytes image = FirmwareImage(c.type, "FLOW-7", static_cast<uint32_t>(256 + c.payload));
        // A boot image goes without its header, to device address 0.
        Bytes sent = c.type == 'B' ? Bytes(image.begin() + 256, image.end()) : image;
        ASSERT_EQ(flow.WriteArea(c.area, sent), 0) << c.what;
        const sim::FlashArea& area =
            c.area == 1 ? flow.device.Cable().ApplicationArea() : flow.device.Cable().BootArea();
        EXPECT_EQ(area.data, sent) << c.what;
        EXPECT_EQ(area.blocksWritten, (sent.size() + c.btlMax - 1) / c.btlMax) << c.what;

        EXPECT_EQ(flow.io->Reset(c.resetMode), 0) << c.what;
        EXPECT_EQ(flow.Logged("ResetSOFT not supported, using ResetHARD"), c.protocol < 23 && c.resetMode == 2)
            << c.what;
        flow.Sleep(2000);
        EXPECT_EQ(flow.device.Cable().CurrentMode(), c.expectedMode) << c.what;
        ASSERT_EQ(flow.Pinfo(), 0) << c.what;
        EXPECT_EQ(flow.engine->pinfo.scannerstate, c.expectedState) << c.what;
        if (c.type == 'A') {
            EXPECT_STREQ(FindPinfoItem(flow.engine->pinfo, "app-rev"), "FLOW-7") << c.what;
        }
    }
}

} // namespace
