#include "protocol/Crc.h"
#include "support/ProtocolFixture.h"

#include <gtest/gtest.h>

#include <random>

using namespace testing_support;

namespace {

const Bytes kVersionPayload = {0x17, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};

TEST(Crc, CheckValuesAndTableAgreeWithBitwiseForm)
{
    EXPECT_EQ(Crc16(reinterpret_cast<const uint8_t*>("abc"), 3), 0xC390);
    EXPECT_EQ(Crc16(reinterpret_cast<const uint8_t*>("123456789"), 9), 0xB955);
    EXPECT_EQ(ReferenceCrc(ToBytes("abc")), 0xC390);

    std::mt19937 random(7);
    for (int length : {1, 2, 17, 256, 1000}) {
        Bytes data(length);
        for (auto& byte : data)
            byte = static_cast<uint8_t>(random());
        EXPECT_EQ(Crc16(data.data(), data.size()), ReferenceCrc(data)) << length;
    }
}

class PacketTest : public ProtocolTest {};

TEST_F(PacketTest, FirstVersionQueryAndItsReplyMatchTheWireExample)
{
    const Bytes reply = {0x10, 0x02, 0x01, 0x10, 0x1C, 0xFE, 0xFE, 0x00, 0x10, 0x1C, 0x08, 0x00, 0x00, 0x00, 0x10,
                         0x1C, 0x17, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x10, 0x1C, 0xD2, 0xC1, 0x10, 0x03};
    EXPECT_EQ(ReplyTo(1, 1, kVersionPayload), reply);
    device.When(kFrameStart, {BlAck()}).When(kPoll, {reply});

    ASSERT_EQ(io->GetVersion(), 0);

    const Bytes frame = {0x20, 0x20, 0x10, 0x02, 0x01, 0x01, 0x00, 0x10, 0x1C, 0x00, 0x00,
                         0x00, 0x00, 0x10, 0x1C, 0x10, 0x1C, 0x10, 0x10, 0xA7, 0x10, 0x03};
    ASSERT_EQ(device.Writes().size(), 3u);
    EXPECT_EQ(device.Writes()[0], frame);
    EXPECT_EQ(device.Writes()[1], kPoll);
    EXPECT_EQ(device.Writes()[2], kAckReply);
    EXPECT_EQ(io->bootloaderVersion, 23);
    EXPECT_EQ(io->packetSize, 256u);
    EXPECT_TRUE(Logged("RESULT: GetVer() Ver=23, PacketSize: 256\n"));
    EXPECT_TRUE(Logged(" | TX Packet Try: 1\n"));
    EXPECT_TRUE(Logged(" | TX Packet Result; SUCCESS\n"));
    EXPECT_TRUE(Logged("RX Packet: ACK\n"));
    EXPECT_TRUE(Logged("Send Packet:      1.0"));
    EXPECT_TRUE(Logged("TX: packet_number= 01, Cmd= 01, n_params= 0, params[0]= 00000000, params[1]= 00000000, "
                       "payload_len=0 \n"));
    EXPECT_TRUE(Logged("RX: packet_number: fe, Cmd: fe, n_params: 0, params[0]: 00000000, params[1]: 00000000, "
                       "payload_len=8\n"));
}

TEST_F(PacketTest, DleBytesAreDoubledBothWaysAndCountedOnce)
{
    const Bytes payload = {0x10, 0x41, 0x10, 0x10};
    const Bytes replyPayload = {0x10, 0x00, 0x10};
    ScriptTransaction(device, 1, 16, replyPayload);

    ASSERT_EQ(io->SendPacket(16, 1, 0x10101010, 0, payload.data(), payload.size()), 0);

    EXPECT_EQ(device.Writes()[0], CommandFrame(1, 16, {0x10101010}, payload));
    // Cmd 16, the four parameter bytes and three payload bytes go doubled.
    EXPECT_EQ(device.Writes()[0].size(), CommandFrame(1, 1, {0}, {0, 0, 0, 0}).size() + 8);
    ASSERT_EQ(io->rxPacket.payload_len, 3u);
    EXPECT_EQ(Bytes(io->rxPacket.payload, io->rxPacket.payload + 3), replyPayload);
}

TEST_F(PacketTest, PacketNumberWrapsAndTheReplyMustCarryItsComplement)
{
    io->txPacket.packet_number = 254;
    device.When(kFrameStart, {BlAck(), BlAck()})
        .When(kPoll, {ReplyFrame(0x00, 0xF6, {0xFFFFFFFF, 7}, Bytes(8, 0xAA)), ReplyFrame(0xFF, 0xF6, {1}, {0x55})});

    EXPECT_EQ(io->SendPacket(9, 0, 0, 0, nullptr, 0), 0);
    EXPECT_EQ(io->SendPacket(9, 0, 0, 0, nullptr, 0), 0);

    EXPECT_EQ(device.Writes()[0], CommandFrame(255, 9, {}, {}));
    EXPECT_EQ(device.Writes()[3], CommandFrame(0, 9, {}, {}));
    // The second reply replaces every field of the first.
    EXPECT_EQ(io->rxPacket.packet_number, 255u);
    EXPECT_EQ(io->rxPacket.n_params, 1);
    EXPECT_EQ(io->rxPacket.params[0], 1u);
    EXPECT_EQ(io->rxPacket.params[1], 0u);
    EXPECT_EQ(io->rxPacket.payload_len, 1u);
}

TEST_F(PacketTest, RefusedPayloadsSendNothingAndKeepThePacketNumber)
{
    std::vector<uint8_t> big(16385);
    EXPECT_EQ(io->SendPacket(16, 1, 0, 0, big.data(), 16385), -1);
    EXPECT_TRUE(Logged("ERROR: tx packet too big(A) 16385, max: 16384\n"));
    EXPECT_EQ(io->SendPacket(16, 1, 0, 0, big.data(), 300), -1);
    EXPECT_TRUE(Logged("ERROR: tx packet too big(B) 300, max: 256\n"));
    EXPECT_TRUE(device.Writes().empty());
    EXPECT_EQ(io->txPacket.packet_number, 0u);
}

// ---- transmit phase ----------------------------------------------------

struct TransmitCase {
    const char* name;
    uint32_t cmd;
    std::vector<Answer> frameAnswers;
    int32_t result;
    size_t frames;
    const char* logged;
    int flushesWithPause;
};

class TransmitPhase : public PacketTest, public ::testing::WithParamInterface<TransmitCase> {};

TEST_P(TransmitPhase, AnswersToTheCommandFrame)
{
    const TransmitCase& c = GetParam();
    device.When(kFrameStart, c.frameAnswers);
    device.When(kPoll, {ReplyTo(1, static_cast<uint8_t>(c.cmd))});

    EXPECT_EQ(io->SendPacket(c.cmd, 0, 0, 0, nullptr, 0), c.result);

    EXPECT_EQ(device.CountWrites(kFrameStart), c.frames);
    for (const Bytes& frame : device.Writes()) {
        if (frame.size() > 4 && frame[3] == 0x02) {
            EXPECT_EQ(frame, CommandFrame(1, static_cast<uint8_t>(c.cmd), {}, {}));
        }
    }
    EXPECT_TRUE(Logged(c.logged)) << captured.Text();
    EXPECT_EQ(CountLogged("Flush any RX data(1)."), static_cast<size_t>(c.flushesWithPause));
}

Bytes Strays(size_t count) { return Bytes(count, 'x'); }

INSTANTIATE_TEST_SUITE_P(
    Packet, TransmitPhase,
    ::testing::Values(
        TransmitCase{"ack", 1, {BlAck()}, 0, 1, "TX Packet Result; SUCCESS", 0},
        TransmitCase{"nakThenAck", 1, {BlNak(), BlAck()}, 0, 2, "TX Packet Result: NAK", 1},
        TransmitCase{"nakThreeTimes", 1, {BlNak(), BlNak(), BlNak()}, -9, 3, "TX Result: -9", 3},
        TransmitCase{"can", 1, {BlCan()}, -8, 1, "TX Packet Result: CAN", 0},
        TransmitCase{"silence", 1, {}, -9, 3, "ERROR: RxTimeout1(1000mSecs)", 0},
        TransmitCase{"silenceThenAck", 1, {Answer(), BlAck()}, 0, 2, "TX Packet Try: 2", 0},
        TransmitCase{"hardResetTakenAfterTwoSilences", 3, {Answer(), Answer()}, 0, 2, "TX Packet Try: 2", 0},
        TransmitCase{"hardResetFirstSilenceThenAck", 3, {Answer(), BlAck()}, 0, 2, "SUCCESS", 0},
        TransmitCase{"strayBytesBeforeAck", 1, {Concat({ToBytes("AB"), BlAck()})}, 0, 1,
                     "TX Packet Result: Unknown: 66", 0},
        TransmitCase{"tenStraysTolerated", 1, {Concat({Strays(10), BlAck()})}, 0, 1, "Unknown: 120", 0},
        TransmitCase{"elevenStraysResend", 1, {Strays(11), BlAck()}, 0, 2, "TX Packet Try: 2", 1},
        TransmitCase{"otherControlSymbol", 1, {Concat({{0x10, 0x05}, BlAck()})}, 0, 1, "Unknown: 4101", 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PacketTest, EraseAllWaitsBeforeLookingForTheAnswer)
{
    ScriptTransaction(device, 1, 9);
    ASSERT_EQ(io->EraseAll(), 0);
    // 500 ms after the frame, then the 20 ms pause and the poll.
    uint64_t gap = device.WriteTimes()[1] - device.WriteTimes()[0];
    EXPECT_GE(gap, 520u);
    EXPECT_LT(gap, 540u);
}

TEST_F(PacketTest, TransportFailureEndsTheTransmitPhase)
{
    device.readFailure = -3;
    EXPECT_EQ(io->SendPacket(1, 0, 0, 0, nullptr, 0), -3);
    EXPECT_EQ(device.CountWrites(kFrameStart), 1u);
}

TEST_F(PacketTest, FrameLongerThanTheTransmitBufferGoesOutInPieces)
{
    // Every payload byte stuffed: the frame is twice the buffer and more.
    io->packetSize = 16384;
    const Bytes payload(16384, 0x10);
    ScriptTransaction(device, 1, 16, {});

    ASSERT_EQ(io->SendPacket(16, 0, 0, 0, payload.data(), payload.size()), 0) << captured.Text();

    const Bytes expected = CommandFrame(1, 16, {}, payload);
    ASSERT_GT(expected.size(), 2u * 16384u);
    Bytes sent;
    size_t pieces = 0;
    for (const Bytes& write : device.Writes()) {
        if (write == kPoll)
            break;
        EXPECT_LE(write.size(), 16384u);
        sent.insert(sent.end(), write.begin(), write.end());
        ++pieces;
    }
    EXPECT_EQ(pieces, 3u);
    EXPECT_EQ(sent, expected);
}

TEST_F(PacketTest, IllegalTxDataIsRefused)
{
    EXPECT_EQ(io->TxData(0x1FF), -3);
    EXPECT_TRUE(Logged("ERROR: Illegal TxData: 0x000001ff\n"));
    EXPECT_EQ(io->io->txCount, 0u);
}

// ---- receive phase -----------------------------------------------------

TEST_F(PacketTest, WrongCrcIsRejectedAndPolledAgainAfter50ms)
{
    Bytes bad = ReplyTo(1, 1, kVersionPayload);
    bad[bad.size() - 4] ^= 0x01;   // CRC low byte
    device.When(kFrameStart, {BlAck()}).When(kPoll, {bad, ReplyTo(1, 1, kVersionPayload)});

    ASSERT_EQ(io->SendPacket(1, 0, 0, 0, nullptr, 0), 0);

    const auto& writes = device.Writes();
    ASSERT_EQ(writes.size(), 5u);
    EXPECT_EQ(writes[2], kNakReply);
    EXPECT_EQ(writes[3], kPoll);
    EXPECT_EQ(writes[4], kAckReply);
    uint64_t gap = device.WriteTimes()[3] - device.WriteTimes()[2];
    EXPECT_GE(gap, 50u);
    EXPECT_LT(gap, 60u);
    EXPECT_TRUE(Logged("RX Packet: NAK\n"));
}

TEST_F(PacketTest, EmptyRepliesAreAcknowledgedWithoutUsingAnAttempt)
{
    device.When(kFrameStart, {BlAck()})
        .When(kPoll, {EmptyReply(), EmptyReply(), EmptyReply(), EmptyReply(), ReplyTo(1, 1)});
    ASSERT_EQ(io->SendPacket(1, 0, 0, 0, nullptr, 0), 0);
    EXPECT_EQ(device.CountWrites(kAckReply), 5u);
}

TEST_F(PacketTest, OnlyEmptyRepliesEndAtTheReceiveDeadline)
{
    device.When(kFrameStart, {BlAck()}).When(kPoll, {EmptyReply()}, true);
    uint64_t start = time.clock.Now();

    EXPECT_EQ(io->SendPacket(1, 0, 0, 0, nullptr, 0), -6);

    uint64_t elapsed = time.clock.Now() - start;
    EXPECT_GE(elapsed, 2000u);
    EXPECT_LT(elapsed, 2100u);
    EXPECT_GT(device.CountWrites(kPoll), 100u);
    EXPECT_TRUE(Logged("RX Result: -6\n"));
}

TEST_F(PacketTest, ReplyToAnotherCommandIsRejected)
{
    // Right packet number, command not complemented.
    device.When(kFrameStart, {BlAck()}).When(kPoll, {ReplyFrame(0xFE, 0x01, {}, {})});
    EXPECT_EQ(io->SendPacket(1, 0, 0, 0, nullptr, 0), -11);
    EXPECT_TRUE(Logged("ERROR: Sent 1/1 - got 1/254, wrong reply\n"));
}

TEST_F(PacketTest, SpewBeforeTheFrameStartIsFlushedAndRetried)
{
    device.When(kFrameStart, {BlAck()})
        .When(kPoll, {Concat({Strays(51), ReplyTo(1, 1)}), ReplyTo(1, 1)});
    ASSERT_EQ(io->SendPacket(1, 0, 0, 0, nullptr, 0), 0);
    EXPECT_TRUE(Logged("ERROR: RX Spew... flushing & Retrying\n"));
    EXPECT_EQ(CountLogged("Flush any RX data(1)."), 1u);
    // The reply behind the spew was drained, so the second poll's is taken.
    EXPECT_EQ(device.CountWrites(kPoll), 2u);
}

TEST_F(PacketTest, FiftyStraySymbolsAreStillSkipped)
{
    device.When(kFrameStart, {BlAck()}).When(kPoll, {Concat({Strays(50), ReplyTo(1, 1)})});
    ASSERT_EQ(io->SendPacket(1, 0, 0, 0, nullptr, 0), 0);
    EXPECT_FALSE(Logged("Spew"));
}

TEST_F(PacketTest, FailedPollsUseUpTheAttempts)
{
    device.When(kFrameStart, {BlAck()}).When(kPoll, {BlCan()}, true);
    EXPECT_EQ(io->SendPacket(1, 0, 0, 0, nullptr, 0), -9);
    EXPECT_EQ(device.CountWrites(kPoll), 3u);
}

TEST_F(PacketTest, NoRetriesMeansNoTransaction)
{
    io->retryCount = 0;
    EXPECT_EQ(io->SendPacket(1, 0, 0, 0, nullptr, 0), -9);
    EXPECT_EQ(io->RxReply(), -9);
    EXPECT_TRUE(device.Writes().empty());
}

TEST_F(PacketTest, ReplyFailingItsCrcEveryTimeUsesUpTheAttempts)
{
    Bytes bad = ReplyTo(1, 1, kVersionPayload);
    bad[bad.size() - 3] ^= 0x01;   // CRC high byte
    device.When(kFrameStart, {BlAck()}).When(kPoll, {bad}, true);

    EXPECT_EQ(io->SendPacket(1, 0, 0, 0, nullptr, 0), -9);

    EXPECT_EQ(device.CountWrites(kPoll), 3u);
    EXPECT_EQ(device.CountWrites(kNakReply), 3u);
    EXPECT_EQ(device.CountWrites(kAckReply), 0u);
    EXPECT_EQ(CountLogged("RX Packet: NAK\n"), 3u);
    EXPECT_TRUE(Logged("RX Result: -9\n"));
}

// ---- over a USB-style transport, whose reads say -6 when nothing came ----

class UsbPacketTest : public PacketTest {
protected:
    ScriptedTransport usb{*holder.io, time.clock, ScriptedTransport::Style::Usb};
};

TEST_F(UsbPacketTest, TransportTimeoutPassesThroughWithoutTheTimeoutLine)
{
    // Silence: each transmission times out in the transport itself, and
    // the frame is sent again until the tries are used up.
    EXPECT_EQ(io->SendPacket(1, 0, 0, 0, nullptr, 0), -9);
    EXPECT_EQ(usb.CountWrites(kFrameStart), 3u);
    EXPECT_FALSE(Logged("RxTimeout1")) << captured.Text();
    EXPECT_EQ(CountLogged("TX Packet Try: "), 3u);
}

TEST_F(UsbPacketTest, DleFollowedBySilenceIsATransportFailure)
{
    usb.When(kFrameStart, {Bytes{0x10}});
    EXPECT_EQ(io->SendPacket(1, 0, 0, 0, nullptr, 0), -3);
    // The transmit phase ends at once: one frame, no poll.
    EXPECT_EQ(usb.CountWrites(kFrameStart), 1u);
    EXPECT_EQ(usb.CountWrites(kPoll), 0u);
    EXPECT_TRUE(Logged("TX Result: -3\n"));
    EXPECT_FALSE(Logged("RxTimeout2"));
}

// Malformed frames name the place that broke, as the tools always have.
struct MalformedCase {
    const char* name;
    Bytes frame;
    const char* logged;   // empty: nothing but the failed attempt
};

class MalformedReply : public PacketTest, public ::testing::WithParamInterface<MalformedCase> {};

TEST_P(MalformedReply, FailsTheAttemptWithItsPlace)
{
    const MalformedCase& c = GetParam();
    device.When(kFrameStart, {BlAck()}).When(kPoll, {c.frame}, true);

    EXPECT_EQ(io->SendPacket(1, 0, 0, 0, nullptr, 0), -9);

    EXPECT_EQ(device.CountWrites(kPoll), 3u);
    EXPECT_EQ(device.CountWrites(kAckReply) + device.CountWrites(kNakReply), 0u);
    if (c.logged[0]) {
        EXPECT_EQ(CountLogged(c.logged), 3u) << captured.Text();
    } else {
        EXPECT_FALSE(Logged("dll-source2"));
    }
    EXPECT_LE(io->rxPacket.n_params, 5);
    EXPECT_LE(io->rxPacket.payload_len, 16384u);
}

const Bytes S = {0x10, 0x02}, F = {0x10, 0x1C}, E = {0x10, 0x03};
const Bytes kHead = Concat({S, {0x01}, F, {0xFE, 0xFE, 0x00}, F});

INSTANTIATE_TEST_SUITE_P(
    Packet, MalformedReply,
    ::testing::Values(
        MalformedCase{"flag", Concat({S, F}), "ERROR: ..\\dll-source2\\protocol:610\n"},
        MalformedCase{"flagWithoutSeparator", Concat({S, {0x01, 0x02}}), ""},
        MalformedCase{"packetNumber", Concat({S, {0x01}, F, F}), "protocol:626\n"},
        MalformedCase{"cmd", Concat({S, {0x01}, F, {0xFE}, F}), "protocol:636\n"},
        MalformedCase{"nParams", Concat({S, {0x01}, F, {0xFE, 0xFE}, F}), "protocol:645\n"},
        MalformedCase{"param", Concat({S, {0x01}, F, {0xFE, 0xFE, 0x01, 0x00}, F}), "protocol:656\n"},
        MalformedCase{"afterParams", Concat({S, {0x01}, F, {0xFE, 0xFE, 0x00, 0x00}}), "protocol:670\n"},
        MalformedCase{"payloadLength", Concat({kHead, {0x00}, F}), "protocol:678, offset: 8\n"},
        MalformedCase{"afterLength", Concat({kHead, {0, 0, 0, 0, 0}}), "protocol:690\n"},
        MalformedCase{"payload", Concat({kHead, {2, 0, 0, 0}, F, {0x41}, F}), "protocol:698, offset: 1\n"},
        MalformedCase{"afterPayload", Concat({kHead, {1, 0, 0, 0}, F, {0x41, 0x42}}), "protocol:708\n"},
        MalformedCase{"crcLow", Concat({kHead, {0, 0, 0, 0}, F, F, F}), "protocol:718\n"},
        MalformedCase{"crcHigh", Concat({kHead, {0, 0, 0, 0}, F, F, {0x00}, F}), "protocol:726\n"},
        MalformedCase{"end", Concat({kHead, {0, 0, 0, 0}, F, F, {0x00, 0x00, 0x00}}), "protocol:738\n"},
        MalformedCase{"dleThenSilence", Concat({S, {0x01}, F, {0x10}}), "ERROR: RxTimeout2(250mSecs)\n"},
        // A frame that does not fit the reply record is refused before
        // anything is stored past it.
        MalformedCase{"sixParameters", Concat({S, {0x01}, F, {0xFE, 0xFE, 0x06}, Bytes(24, 0x41), F}),
                      "ERROR: reply declares 6 parameters, max: 5\n"},
        MalformedCase{"payloadOverBuffer", Concat({kHead, {0x01, 0x40, 0x00, 0x00}, F}),
                      "ERROR: reply payload_len 16385 too big, max: 16384\n"},
        MalformedCase{"hugePayloadLength", Concat({kHead, {0xFF, 0xFF, 0xFF, 0xFF}, F}), "max: 16384\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PacketTest, LargestReplyPayloadFits)
{
    Bytes payload(16384, 0x10);
    ScriptTransaction(device, 1, 1, payload);
    io->byteTimeoutMs = 250;
    ASSERT_EQ(io->SendPacket(1, 0, 0, 0, nullptr, 0), 0);
    EXPECT_EQ(io->rxPacket.payload_len, 16384u);
    EXPECT_EQ(io->rxPacket.payload[16383], 0x10);
}

// ---- reply readers -------------------------------------------------------

TEST_F(PacketTest, ReadersReportTooLongBeforeTooShort)
{
    io->rxPacket.payload_len = 3;
    io->rxPacket.payload[0] = 0x34;
    io->rxPacket.payload[1] = 0x12;
    io->rxPacket.payload[2] = 0x56;

    EXPECT_EQ(io->ReplyGetU16(), 0x1234);
    EXPECT_EQ(io->ReplyCheckEnd(), -5);
    EXPECT_TRUE(Logged("ERROR: too long\n"));

    EXPECT_EQ(io->ReplyGetU16(), 0x56);   // one byte left: it, then nothing
    EXPECT_EQ(io->underrunFlag, 1u);
    EXPECT_EQ(io->ReplyCheckEnd(), -4);
    EXPECT_TRUE(Logged("ERROR: too short!\n"));
}

} // namespace
