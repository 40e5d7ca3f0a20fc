// The simulated bootloader driven with frames built by the test's own
// encoder: exact bytes of the link, the commands, the areas and the resets.
#include "sim/Crc16.h"
#include "support/SimHost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

using testing_support::Bytes;
using testing_support::MakeImage;
using testing_support::SimHost;

std::string Hex(const std::string& bytes)
{
    std::string out;
    char text[4];
    for (unsigned char c : bytes) {
        std::snprintf(text, sizeof text, "%02X ", c);
        out += text;
    }
    if (!out.empty())
        out.pop_back();
    return out;
}

sim::DeviceConfig InBootloader()
{
    sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
    config.unit.startInBootloader = true;
    return config;
}

constexpr int kAck = 0x1006, kNak = 0x1015, kCan = 0x1018;

TEST(SimCrc, CheckValues)
{
    struct Case {
        const char* text;
        uint16_t crc;
    } cases[] = {{"abc", 0xC390}, {"123456789", 0xB955}};
    for (const Case& c : cases) {
        Bytes data(c.text, c.text + std::strlen(c.text));
        EXPECT_EQ(sim::Crc16(data.data(), data.size()), c.crc) << c.text;
        EXPECT_EQ(testing_support::HostCrc(data), c.crc) << c.text;
    }
}

TEST(SimBootloader, VersionQueryAndEmptyReplyAreTheDocumentedBytes)
{
    SimHost host(InBootloader());
    host.EnterPacketMode();

    std::string frame = testing_support::EncodeCommand(1, 1, {}, {});
    ASSERT_EQ(Hex(frame), "20 20 10 02 01 01 00 10 1C 00 00 00 00 10 1C 10 1C 10 10 A7 10 03");
    host.Send(frame);
    EXPECT_EQ(Hex(host.Receive(2, 1000)), "10 06");
    host.Sleep(20);
    host.Send(testing_support::Poll());
    EXPECT_EQ(Hex(host.Receive(64, 250)), "10 02 01 10 1C FE FE 00 10 1C 08 00 00 00 10 1C 17 00 00 00 "
                                          "00 01 00 00 10 1C D2 C1 10 03");
    host.Send(testing_support::AckReply());
    // Nothing pending any more: a poll gets the empty reply.
    host.Send(testing_support::Poll());
    EXPECT_EQ(Hex(host.Receive(64, 250)), "10 02 00 10 1C 00 00 10 03");
}

TEST(SimBootloader, FramesBeforeBtlproAreNotAnswered)
{
    SimHost host(InBootloader());
    host.Send(testing_support::EncodeCommand(1, 1, {}, {}));
    EXPECT_EQ(host.Receive(2, 1000), "");
    host.EnterPacketMode();
    EXPECT_EQ(host.Transact(1).answer, kAck);
}

TEST(SimBootloader, ApplicationImageWrittenInStuffedBlocksRestartsIntoIt)
{
    SimHost host(InBootloader());
    host.EnterPacketMode();
    Bytes image = MakeImage('A', "  2.5.1", 1000);
    ASSERT_GT(std::count(image.begin(), image.end(), 0x10), 100);

    // 1256 bytes in blocks of 256: five blocks, the last one short.
    ASSERT_TRUE(host.WriteArea(1, image, 256));
    const sim::FlashArea& area = host.device.Cable().ApplicationArea();
    EXPECT_EQ(area.data, image);
    EXPECT_EQ(area.blocksWritten, 5u);
    EXPECT_TRUE(area.ended);

    EXPECT_TRUE(host.Transact(22, {0xDEADBEEF, 0}).reply.complete);
    host.Sleep(3000);
    EXPECT_EQ(host.device.Cable().CurrentMode(), sim::Mode::Application);
    testing_support::Report report = testing_support::CheckReport(host.Menu('M', "P_INFO").substr(6));
    EXPECT_EQ(report.Get("mode"), "app");
    // The version of the image's header, with the '.' a report cannot carry.
    EXPECT_EQ(report.Get("app-rev"), "2_5_1");
    EXPECT_EQ(host.device.Cable().AppVersion(), "2.5.1");
}

TEST(SimBootloader, BootImageRestartsIntoTheNewBootloader)
{
    SimHost host(InBootloader());
    host.EnterPacketMode();
    Bytes image = MakeImage('B', "B7", 700);
    // The bootloader's header stays on the host; the area starts after it.
    Bytes body(image.begin() + 256, image.end());
    ASSERT_TRUE(host.WriteArea(0, body, 128));
    EXPECT_EQ(host.device.Cable().BootArea().data, body);

    EXPECT_TRUE(host.Transact(3, {0xDEADBEEF, 0xABADBABE}).reply.complete);
    host.Sleep(200);
    EXPECT_EQ(host.device.Cable().CurrentMode(), sim::Mode::Restarting);
    host.Sleep(2000);
    EXPECT_EQ(host.device.Cable().CurrentMode(), sim::Mode::Bootloader);
    EXPECT_EQ(host.device.Cable().Restarts(), 1u);
    // The packet link is off again after the restart; menu commands answer.
    EXPECT_EQ(host.Menu('Y', "BTLMAX?"), "BTLMAX256\x06.");
}

TEST(SimBootloader, AreaInfoNamesTheAreaAndItsWriteMultiple)
{
    sim::DeviceConfig config = InBootloader();
    config.unit.writeMultiple = 4;
    SimHost host(config);
    host.EnterPacketMode();
    testing_support::Transaction open = host.Transact(4, {1});
    ASSERT_TRUE(open.reply.complete);
    const Bytes& p = open.reply.payload;
    ASSERT_EQ(p.size(), 172u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&p[8])), "application");
    EXPECT_EQ(p[8 + 128 + 8], 4);  // write multiple, after the start address and the size
    EXPECT_EQ(open.reply.packetNumber, static_cast<uint8_t>(~host.packetNumber));
    EXPECT_EQ(open.reply.command, static_cast<uint8_t>(~4));
}

TEST(SimBootloader, EraseKeepsThePollsBusyUntilItIsDone)
{
    SimHost host(InBootloader());
    host.EnterPacketMode();
    ASSERT_TRUE(host.Transact(4, {1}).reply.complete);
    ASSERT_TRUE(host.Transact(7, {0x101}).reply.complete);
    uint64_t start = host.Now();
    testing_support::Transaction erase = host.Transact(9);
    EXPECT_TRUE(erase.reply.complete);
    EXPECT_GT(erase.emptyReplies, 10);
    EXPECT_GE(host.Now() - start, 600u);
}

TEST(SimBootloader, RefusedCommandsGetCan)
{
    struct Case {
        const char* what;
        uint8_t command;
        std::vector<uint32_t> params;
        Bytes payload;
    };
    const Case cases[] = {
        {"unknown command", 42, {}, {}},
        {"write before erase", 16, {0}, Bytes(16, 1)},
        {"hard reset without its key", 3, {0xDEADBEEF, 0}, {}},
        {"soft reset without its key", 22, {0xDEADBEEF, 1}, {}},
        {"no such area", 4, {2}, {}},
        {"update begin with a wrong handle", 7, {0x999}, {}},
        {"area end without erase", 8, {0x101}, {}},
    };
    for (const Case& c : cases) {
        SimHost host(InBootloader());
        host.EnterPacketMode();
        ASSERT_TRUE(host.Transact(4, {1}).reply.complete);
        EXPECT_EQ(host.Transact(c.command, c.params, c.payload).answer, kCan) << c.what;
    }
}

TEST(SimBootloader, WritesOutsideTheLimitsAreRefused)
{
    sim::DeviceConfig config = InBootloader();
    config.unit.appCapacity = 1024;
    SimHost host(config);
    host.EnterPacketMode();
    ASSERT_TRUE(host.Transact(4, {1}).reply.complete);
    ASSERT_TRUE(host.Transact(7, {0x101}).reply.complete);
    ASSERT_TRUE(host.Transact(9).reply.complete);
    EXPECT_EQ(host.Transact(16, {0}, Bytes(257, 0)).answer, kCan) << "larger than BTLMAX";
    EXPECT_EQ(host.Transact(16, {900}, Bytes(200, 0)).answer, kCan) << "beyond the area";
    EXPECT_EQ(host.Transact(16, {768}, Bytes(256, 0)).answer, kAck) << "up to the area's end";
}

TEST(SimBootloader, DamagedFramesGetNak)
{
    SimHost host(InBootloader());
    host.EnterPacketMode();
    std::string frame = testing_support::EncodeCommand(1, 1, {}, {});
    std::string badCrc = frame;
    badCrc[19] ^= 0x01;  // the CRC's high byte
    std::string badLength = testing_support::EncodeCommand(1, 16, {0}, Bytes(4, 0x55));
    badLength[14] = 5;   // payload_len's low byte, after the stuffed command 16
    struct Case {
        std::string frame;
        const char* problem;
    } cases[] = {{badCrc, "frame check a610, computed a710"},
                 {badLength, "payload length does not match"}};
    for (const Case& c : cases) {
        host.Send(c.frame);
        EXPECT_EQ(host.ReadSymbol(1000), kNak) << Hex(c.frame);
        EXPECT_TRUE(host.TraceHas(c.problem)) << c.problem;
    }
    host.Send(frame);
    EXPECT_EQ(host.ReadSymbol(1000), kAck);
}

TEST(SimBootloader, HalfAFrameIsForgottenAfterTheInterCharacterTimeout)
{
    SimHost host(InBootloader());
    host.EnterPacketMode();
    std::string frame = testing_support::EncodeCommand(1, 1, {}, {});
    host.Send(frame.substr(0, 10));
    host.Sleep(2500);  // BTLTOC is 2000
    host.Send(frame.substr(10));
    EXPECT_EQ(host.ReadSymbol(500), -6);
    host.Send(frame);
    EXPECT_EQ(host.ReadSymbol(500), kAck);
}

TEST(SimBootloader, RejectedReplyComesAgainOnTheNextPoll)
{
    SimHost host(InBootloader());
    host.EnterPacketMode();
    host.Send(testing_support::EncodeCommand(7, 1, {}, {}));
    ASSERT_EQ(host.ReadSymbol(1000), kAck);
    host.Sleep(20);
    host.Send(testing_support::Poll());
    testing_support::ReplyFrame first = host.ReadReply();
    host.Send(testing_support::NakReply());
    host.Sleep(50);
    host.Send(testing_support::Poll());
    testing_support::ReplyFrame again = host.ReadReply();
    ASSERT_TRUE(first.complete && again.complete);
    EXPECT_EQ(again.payload, first.payload);
    EXPECT_EQ(again.packetNumber, 0xF8);
}

TEST(SimBootloader, PacketNumberWrapsAndTheReplyComplementsIt)
{
    SimHost host(InBootloader());
    host.EnterPacketMode();
    host.packetNumber = 0xFE;
    EXPECT_EQ(host.Transact(1).reply.packetNumber, 0x00);  // to packet 0xFF
    EXPECT_EQ(host.Transact(1).reply.packetNumber, 0xFF);  // to packet 0x00
}

} // namespace
