#include "support/ProtocolFixture.h"

#include <gtest/gtest.h>

#include <numeric>

using namespace testing_support;

namespace {

class CommandTest : public ProtocolTest {
protected:
    // The command frames the host sent, in order.
    std::vector<Bytes> Frames() const
    {
        std::vector<Bytes> frames;
        for (const Bytes& write : device.Writes())
            if (write.size() > 4 && write[3] == 0x02)
                frames.push_back(write);
        return frames;
    }
};

struct VersionCase {
    const char* name;
    Bytes payload;
    int32_t result;
    int32_t version;
    uint64_t packetSize;
    const char* logged;
};

class VersionReply : public CommandTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(VersionReply, SetsOrResetsVersionAndPacketSize)
{
    const VersionCase& c = GetParam();
    io->bootloaderVersion = 5;
    io->packetSize = 64;
    ScriptTransaction(device, 1, 1, c.payload);

    EXPECT_EQ(io->GetVersion(), c.result);

    EXPECT_EQ(io->bootloaderVersion, c.version);
    EXPECT_EQ(io->packetSize, c.packetSize);
    EXPECT_TRUE(Logged("ACTIVITY: GetVersion\n"));
    EXPECT_TRUE(Logged(c.logged)) << captured.Text();
}

INSTANTIATE_TEST_SUITE_P(
    Command, VersionReply,
    ::testing::Values(
        VersionCase{"good", {0x17, 0, 0, 0, 0, 1, 0, 0}, 0, 23, 256, "RESULT: GetVer() Ver=23, PacketSize: 256\n"},
        VersionCase{"wideFields", {0x01, 0, 0x02, 0, 0, 0x40, 0, 0}, 0, 0x20001, 0x4000, "PacketSize: 16384\n"},
        VersionCase{"short", {0x17, 0, 0, 0, 0, 1}, -4, -1, 256, "ERROR: too short!\n"},
        VersionCase{"long", {0x17, 0, 0, 0, 0, 1, 0, 0, 0, 0}, -5, -1, 256, "ERROR: too long\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CommandTest, FailedVersionQueryKeepsThePreviousValues)
{
    io->bootloaderVersion = 5;
    io->packetSize = 64;
    device.When(kFrameStart, {BlCan()});
    EXPECT_EQ(io->GetVersion(), -8);
    EXPECT_EQ(io->bootloaderVersion, 5);
    EXPECT_EQ(io->packetSize, 64u);
}

Bytes AreaInfoPayload(size_t size)
{
    Bytes info(172, 0);
    auto put32 = [&](size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i)
            info[at + i] = static_cast<uint8_t>(value >> (8 * i));
    };
    put32(0, 0x11223344);   // handle
    put32(4, 0x55667788);
    for (size_t i = 0; i < 128; ++i)
        info[8 + i] = 'N';
    put32(144, 4);          // write multiple
    for (int i = 0; i < 8; ++i)
        info[164 + i] = static_cast<uint8_t>(0x81 + i);
    info.resize(size);
    return info;
}

TEST_F(CommandTest, AreaOpenStoresTheAreaAndItsHandleIsUsedAfterwards)
{
    ScriptTransaction(device, 1, 4, AreaInfoPayload(172));
    ScriptTransaction(device, 2, 7);
    ScriptTransaction(device, 3, 8);

    ASSERT_EQ(io->AreaOpen(-1), 0);
    ASSERT_EQ(io->UpdateBegin(), 0);
    ASSERT_EQ(io->AreaEnd(), 0);

    EXPECT_EQ(io->areaInfoValid, 1);
    EXPECT_EQ(io->areaInfo.handle, 0x11223344u);
    EXPECT_EQ(io->areaInfo.secondWord, 0x55667788u);
    EXPECT_EQ(std::string(io->areaInfo.name), std::string(128, 'N'));
    EXPECT_EQ(io->areaInfo.writeMultiple, 4u);
    EXPECT_EQ(io->areaInfo.value1, 0x8887868584838281u);
    auto frames = Frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], CommandFrame(1, 4, {0xFFFFFFFF}, {}));   // the area, sign-extended
    EXPECT_EQ(frames[1], CommandFrame(2, 7, {0x11223344}, {}));
    EXPECT_EQ(frames[2], CommandFrame(3, 8, {0x11223344}, {}));
}

TEST_F(CommandTest, ShortAreaInfoLeavesTheAreaInvalid)
{
    ScriptTransaction(device, 1, 4, AreaInfoPayload(171));
    EXPECT_EQ(io->AreaOpen(1), -4);
    EXPECT_EQ(io->areaInfoValid, 0);
}

TEST_F(CommandTest, EmptyCommandRepliesAreChecked)
{
    ScriptTransaction(device, 1, 9);
    ScriptTransaction(device, 2, 7, {0x00});
    EXPECT_EQ(io->EraseAll(), 0);
    EXPECT_EQ(io->UpdateBegin(), -5);
}

Bytes Image(size_t size)
{
    Bytes image(size);
    std::iota(image.begin(), image.end(), uint8_t{0});
    return image;
}

TEST_F(CommandTest, WrBlockCutsTheImageIntoPacketSizeChunks)
{
    Bytes image = Image(600);
    for (uint8_t n = 1; n <= 3; ++n)
        ScriptTransaction(device, n, 16);

    ASSERT_EQ(io->WrBlock(0x1000, image.data(), image.size()), 0);

    auto frames = Frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], CommandFrame(1, 16, {0x1000}, Bytes(image.begin(), image.begin() + 256)));
    EXPECT_EQ(frames[1], CommandFrame(2, 16, {0x1100}, Bytes(image.begin() + 256, image.begin() + 512)));
    EXPECT_EQ(frames[2], CommandFrame(3, 16, {0x1200}, Bytes(image.begin() + 512, image.end())));
    // Each frame reached the transport as one write.
    EXPECT_EQ(device.Writes().size(), 9u);
    EXPECT_EQ(io->ReplyCheckEnd(), 0);
}

TEST_F(CommandTest, WrBlockPausesBeforeEveryPacket)
{
    Bytes image = Image(512);
    ScriptTransaction(device, 1, 16);
    ScriptTransaction(device, 2, 16);
    uint64_t start = time.clock.Now();
    ASSERT_EQ(io->WrBlock(0, image.data(), image.size()), 0);
    EXPECT_GE(device.WriteTimes()[0] - start, 20u);
    // 20 ms before the packet and 20 ms before the reply poll, each time.
    EXPECT_GE(time.clock.Now() - start, 80u);
}

struct RefusedBlock {
    const char* name;
    uint64_t packetSize;
    uint64_t writeMultiple;
    uint64_t size;
    const char* logged;
};

class WrBlockRefusal : public CommandTest, public ::testing::WithParamInterface<RefusedBlock> {};

TEST_P(WrBlockRefusal, SendsNothing)
{
    const RefusedBlock& c = GetParam();
    io->packetSize = c.packetSize;
    io->areaInfo.writeMultiple = c.writeMultiple;
    Bytes image = Image(16);
    EXPECT_EQ(io->WrBlock(0x20, image.data(), c.size), -1);
    EXPECT_TRUE(device.Writes().empty());
    if (c.logged[0]) {
        EXPECT_TRUE(Logged(c.logged)) << captured.Text();
    } else {
        EXPECT_FALSE(Logged("WrBlock"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Command, WrBlockRefusal,
    ::testing::Values(RefusedBlock{"noPacketSize", 0, 0, 16, ""},
                      RefusedBlock{"zeroSize", 256, 0, 0, "WrBlock: wr/verify zero size at offset: 0x00000020\n"},
                      RefusedBlock{"notAMultiple", 256, 4, 6,
                                   "WrBlock: invalid wr/verify size multiple: 0x00000006 vrs 0x00000004"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CommandTest, WriteMultipleOfOneOrZeroAcceptsAnySize)
{
    Bytes image = Image(7);
    for (uint64_t multiple : {0u, 1u}) {
        io->areaInfo.writeMultiple = multiple;
        ScriptTransaction(device, static_cast<uint8_t>(io->txPacket.packet_number + 1), 16);
        EXPECT_EQ(io->WrBlock(0, image.data(), image.size()), 0) << multiple;
    }
}

struct ResetCase {
    const char* name;
    uint32_t mode;
    int32_t version;
    int32_t result;
    std::vector<Bytes> frames;
    bool softUnsupportedLogged;
};

class ResetMode : public CommandTest, public ::testing::WithParamInterface<ResetCase> {};

TEST_P(ResetMode, SendsTheRightReset)
{
    const ResetCase& c = GetParam();
    io->bootloaderVersion = c.version;
    if (!c.frames.empty())
        ScriptTransaction(device, 1, c.frames[0][5]);
    EXPECT_EQ(io->Reset(c.mode), c.result);
    EXPECT_EQ(Frames(), c.frames);
    EXPECT_EQ(Logged("ResetSOFT not supported, using ResetHARD\n"), c.softUnsupportedLogged);
}

const Bytes kHardReset = CommandFrame(1, 3, {0xDEADBEEF, 0xABADBABE}, {});
const Bytes kSoftReset = CommandFrame(1, 22, {0xDEADBEEF, 0}, {});

INSTANTIATE_TEST_SUITE_P(Command, ResetMode,
                         ::testing::Values(ResetCase{"none", 0, 23, 0, {}, false},
                                           ResetCase{"hard", 1, 23, 0, {kHardReset}, false},
                                           ResetCase{"softOnVersion23", 2, 23, 0, {kSoftReset}, false},
                                           ResetCase{"softFallsBackBefore23", 2, 22, 0, {kHardReset}, true},
                                           ResetCase{"unknownMode", 7, 23, -1, {}, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CommandTest, ResetThatRestartsAtOnceReportsTheLostReply)
{
    // The bootloader takes the frame and is gone before the poll: two silent
    // polls of 1000 ms use up the receive deadline before the third.
    device.When(kFrameStart, {BlAck()});
    EXPECT_EQ(io->Reset(1), -6);
    EXPECT_EQ(device.CountWrites(kPoll), 2u);
}

} // namespace
