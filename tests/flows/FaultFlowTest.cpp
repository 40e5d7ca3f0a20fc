// The library's packet and menu layers against a simulated bootloader that
// misbehaves on purpose: refused frames, damaged and lost reply bytes, slow
// work and silence, each with the result code the flow acts on.
#include "flows/FlowFixture.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using flows::Flow;
using flows::FirmwareImage;

// The fault hits the version query, the first command frame of the link.
TEST(FaultFlow, VersionQueryUnderLinkFaults)
{
    struct Case {
        const char* what;
        std::function<void(sim::DeviceConfig&)> fault;
        int32_t result;
        const char* logged;
        int transmissions;  // command frames the device decoded
    } cases[] = {
        {"NAK on the first frame: sent again", [](sim::DeviceConfig& c) { c.faults.nakFrame = 1; }, 0,
         "TX Packet Result: NAK", 2},
        {"NAK twice: the third try is taken",
         [](sim::DeviceConfig& c) {
             c.faults.nakFrame = 1;
             c.faults.nakCount = 2;
         },
         0, "TX Packet Try: 3", 3},
        {"NAK on every try: retries exhausted",
         [](sim::DeviceConfig& c) {
             c.faults.nakFrame = 1;
             c.faults.nakCount = 3;
         },
         -9, "TX Packet Result: NAK", 3},
        {"CAN: refused at once", [](sim::DeviceConfig& c) { c.faults.canFrame = 1; }, -8, "TX Packet Result: CAN", 1},
        {"reply with a wrong CRC: rejected and polled again",
         [](sim::DeviceConfig& c) { c.faults.badCrcReply = 1; }, 0, "RX Packet: NAK", 1},
        // BTLPRO's reply is 9 bytes, the frame's DLE ACK bytes 10 and 11,
        // the reply frame starts at byte 12.
        {"DLE of the ACK lost: a stray byte, then sent again", [](sim::DeviceConfig& c) { c.faults.loseByte = 10; },
         0, "TX Packet Result: Unknown: 6", 2},
        {"ACK after its DLE lost: sent again", [](sim::DeviceConfig& c) { c.faults.loseByte = 11; }, 0,
         "ERROR: RxTimeout2", 2},
        // Byte 20 is the DLE of the separator after the parameters.
        {"reply byte lost: polled again", [](sim::DeviceConfig& c) { c.faults.loseByte = 20; }, 0,
         "ERROR: ..\\dll-source2\\protocol:670", 1},
    };
    for (const auto& c : cases) {
        sim::DeviceConfig config = flows::BootloaderScanner();
        c.fault(config);
        Flow flow(config);
        ASSERT_EQ(flow.StartPacketLink(), 0) << c.what;
        EXPECT_EQ(flow.io->GetVersion(), c.result) << c.what;
        EXPECT_TRUE(flow.Logged(c.logged)) << c.what;
        EXPECT_EQ(flow.device.Env().counters.commandFrames, static_cast<uint32_t>(c.transmissions)) << c.what;
        if (c.result == 0) {
            EXPECT_EQ(flow.io->bootloaderVersion, 23) << c.what;
            // The link is in step again: the next command goes through.
            EXPECT_EQ(flow.io->AreaOpen(1), 0) << c.what;
        }
    }
}

// A device that does not answer gives the timeout codes the flow tells apart.
TEST(FaultFlow, SilenceGivesTimeoutCodes)
{
    struct Case {
        const char* what;
        std::function<int32_t(Flow&)> operation;
        int32_t result;
        const char* logged;
    } cases[] = {
        {"menu command", [](Flow& f) { return f.io->MNU_GetDecimal("BTLMAX", nullptr); }, -6, "MNU CMD Timeout"},
        {"P_INFO", [](Flow& f) { return f.Pinfo(); }, -6, "MNU CMD Timeout"},
        {"command frame never answered", [](Flow& f) { return f.io->GetVersion(); }, -9, "ERROR: RxTimeout1"},
        // A hard reset that is not answered twice counts as taken; the lost
        // reply is the receive phase's timeout, which the flow ignores.
        {"hard reset never answered", [](Flow& f) { return f.io->Reset(1); }, -6, "TX Result: 0\n"},
    };
    for (const auto& c : cases) {
        sim::DeviceConfig config = flows::BootloaderScanner();
        config.faults.silentAfterReset = true;
        Flow flow(config);
        ASSERT_EQ(flow.StartPacketLink(), 0) << c.what;
        ASSERT_EQ(flow.io->GetVersion(), 0) << c.what;
        ASSERT_EQ(flow.io->Reset(2), 0) << c.what;
        flow.Sleep(5000);
        ASSERT_EQ(flow.device.Cable().CurrentMode(), sim::Mode::Silent) << c.what;
        flow.captured.Clear();
        EXPECT_EQ(c.operation(flow), c.result) << c.what;
        EXPECT_TRUE(flow.Logged(c.logged)) << c.what;
    }
}

TEST(FaultFlow, WorkLongerThanTheReceiveDeadlineTimesOut)
{
    sim::DeviceConfig config = flows::BootloaderScanner();
    config.timings.eraseMs = 2600;
    Flow flow(config);
    ASSERT_EQ(flow.StartPacketLink(), 0);
    ASSERT_EQ(flow.io->AreaOpen(1), 0);
    ASSERT_EQ(flow.io->UpdateBegin(), 0);
    uint64_t start = flow.Now();
    EXPECT_EQ(flow.io->EraseAll(), -6);
    EXPECT_GE(flow.Now() - start, 2000u);
    // With a longer deadline the same erase is waited for.
    config.timings.eraseMs = 2600;
    Flow patient(config);
    patient.io->receiveDeadlineMs = 4000;
    ASSERT_EQ(patient.StartPacketLink(), 0);
    ASSERT_EQ(patient.io->AreaOpen(1), 0);
    ASSERT_EQ(patient.io->UpdateBegin(), 0);
    EXPECT_EQ(patient.io->EraseAll(), 0);
}

// A write the bootloader refuses stops the image there; the area keeps the
// blocks before it.
TEST(FaultFlow, RefusedBlockStopsTheWrite)
{
    sim::DeviceConfig config = flows::BootloaderScanner();
    config.faults.canFrame = 6;  // open, begin, erase, then the third block
    Flow flow(config);
    ASSERT_EQ(flow.StartPacketLink(), 0);
    flows::Bytes image = FirmwareImage('A', "X", 1256);
    EXPECT_EQ(flow.WriteArea(1, image), -8);
    EXPECT_EQ(flow.device.Cable().ApplicationArea().data,
              flows::Bytes(image.begin(), image.begin() + 2 * 256));
}

// Whichever byte of the bootloader's answers is lost (acknowledgement,
// empty reply or reply frame), the link recovers and the image lands whole;
// it is never reported written when it is not. The reset's own answer may
// be lost for good, as the device is already restarting; the flow does not
// use that result, and the device comes up in its new application.
TEST(FaultFlow, AnySingleLostByteOfTheBootloaderIsRecovered)
{
    flows::Bytes image = FirmwareImage('A', "LOSS", 956);
    auto transfer = [&](uint32_t lose, uint32_t* bytesSent) {
        sim::DeviceConfig config = flows::BootloaderScanner();
        config.faults.loseByte = lose;
        Flow flow(config);
        EXPECT_EQ(flow.StartPacketLink(), 0);
        int32_t result = flow.io->GetVersion();
        if (result == 0)
            result = flow.WriteArea(1, image);
        bool landed = flow.device.Cable().ApplicationArea().data == image;
        EXPECT_TRUE(result != 0 || landed) << "byte " << lose << " lost: success without the image";
        if (result == 0) {
            flow.io->Reset(2);
            flow.Sleep(3000);
            EXPECT_EQ(flow.device.Cable().AppVersion(), "LOSS") << "byte " << lose << " lost";
            EXPECT_EQ(flow.device.Cable().CurrentMode(), sim::Mode::Application) << "byte " << lose << " lost";
        }
        if (bytesSent)
            *bytesSent = flow.device.Env().counters.outputBytes;
        return result;
    };
    uint32_t total = 0;
    ASSERT_EQ(transfer(0, &total), 0);
    // The first 9 bytes answer BTLPRO, a menu command without retries.
    for (uint32_t lose = 10; lose <= total; ++lose)
        EXPECT_EQ(transfer(lose, nullptr), 0) << "byte " << lose << " of " << total << " lost";
}

// After a transfer failed half-way the flow starts over from the bootloader's
// parameters: menu commands are understood again between frames, and the
// whole image then lands.
TEST(FaultFlow, FailedTransferIsStartedOverFromTheParameters)
{
    sim::DeviceConfig config = flows::BootloaderScanner();
    config.faults.nakFrame = 5;  // open, begin, erase, block 1, then block 2 three times
    config.faults.nakCount = 3;
    Flow flow(config);
    ASSERT_EQ(flow.StartPacketLink(), 0);
    flows::Bytes image = FirmwareImage('A', "AGAIN", 1256);
    EXPECT_EQ(flow.WriteArea(1, image), -9);

    ASSERT_EQ(flow.Pinfo(), 0);
    EXPECT_EQ(flow.engine->pinfo.scannerstate, 'B');
    EXPECT_EQ(flow.io->MNU_SetDecimal('Y', "BTLTOR", 5000, '!'), 0);
    ASSERT_EQ(flow.StartPacketLink(), 0);
    ASSERT_EQ(flow.io->GetVersion(), 0);
    ASSERT_EQ(flow.WriteArea(1, image), 0);
    EXPECT_EQ(flow.device.Cable().ApplicationArea().data, image);
}

} // namespace
