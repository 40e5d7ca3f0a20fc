#include "support/ProtocolFixture.h"

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

constexpr char ACK = 0x06, NAK = 0x15, ENQ = 0x05;

Bytes Reply(const std::string& echo, const std::string& value, char status, char terminator = '.')
{
    return ToBytes(echo + value + status + terminator);
}

const Bytes kMenuStart = {0x16};

class MenuTest : public ProtocolTest {};

struct SetCase {
    const char* name;
    Bytes reply;
    int32_t result;
    const char* logged;
    int purges;   // FlushRx before sending, and one more after a garbled reply
};

class SetDecimalReply : public MenuTest, public ::testing::WithParamInterface<SetCase> {};

TEST_P(SetDecimalReply, IsCheckedAgainstTheSentValue)
{
    const SetCase& c = GetParam();
    device.When(kMenuStart, {c.reply});

    EXPECT_EQ(io->MNU_SetDecimal('Y', "BTLTOR", 5000, '!'), c.result);

    const Bytes sent = {0x16, 0x59, 0x0D, 0x42, 0x54, 0x4C, 0x54, 0x4F, 0x52, 0x35, 0x30, 0x30, 0x30, 0x21};
    ASSERT_EQ(device.Writes().size(), 1u);
    EXPECT_EQ(device.Writes()[0], sent);
    EXPECT_TRUE(Logged(c.logged)) << captured.Text();
    EXPECT_EQ(device.purges, c.purges);
}

INSTANTIATE_TEST_SUITE_P(
    Menu, SetDecimalReply,
    ::testing::Values(
        SetCase{"echoed", Reply("BTLTOR", "5000", ACK, '!'), 0, "RX MNU TXT CMD:\n", 1},
        SetCase{"lowerCaseEcho", Reply("btltor", "5000", ACK, '!'), 0, "RX MNU TXT CMD:\n", 1},
        SetCase{"otherValue", Reply("BTLTOR", "5001", ACK, '!'), -1,
                "FlashIo::MNU_SetDecimal: BTLTOR to 5000 invalid response\n", 1},
        SetCase{"refused", Reply("BTLTOR", "5000", NAK, '!'), -1, "Error, Get ASCII_NAK here.\n", 1},
        SetCase{"unknownCommand", Reply("BTLTOR", "", ENQ, '!'), -2, "Error, Get ASCII_ENQ here.\n", 1},
        SetCase{"unknownStatus", Reply("BTLTOR", "5000", 'Z', '!'), -1,
                "CMD: BTLTOR Reply error unknown ACK/NAK/ENQ byte\n", 2},
        SetCase{"wrongEcho", Reply("BTXTOR", "5000", ACK, '!'), -1,
                "Invalid reply sent name=BTLTOR, value='5000', fail at 3\n", 2},
        SetCase{"silence", Bytes{}, -6, "MNU CMD Timeout\n", 1},
        SetCase{"noTerminator", ToBytes("BTLTOR5000\x06"), -1, "timeout! with data!\n", 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MenuTest, TraceShowsThePrintableCommand)
{
    device.When(kMenuStart, {Reply("A\"B\\C", "", ACK)});
    EXPECT_EQ(io->MNU_Command('M', "A\"B\\C", 5, " \t\n", 0, '.'), 0);
    EXPECT_TRUE(Logged("TX MNU COMMAND: \"\\x16M\\rA\\\"B\\\\C\\x20\\t\\n.\", Timeout value set as: 1000 mSecs\n"))
        << captured.Text();
}

TEST_F(MenuTest, GetDecimalAsksWithAQuestionMark)
{
    device.When(kMenuStart, {Reply("BTLMAX", "64", ACK)});
    int32_t value = 0;
    EXPECT_EQ(io->MNU_GetDecimal("BTLMAX", &value), 0);
    EXPECT_EQ(value, 64);
    EXPECT_EQ(device.Writes()[0], ToBytes("\x16Y\rBTLMAX?."));
}

struct DecimalCase {
    const char* name;
    std::string value;
    int32_t result;
    int32_t stored;
    const char* logged;
};

class GetDecimalReply : public MenuTest, public ::testing::WithParamInterface<DecimalCase> {};

TEST_P(GetDecimalReply, ParsesTheWholeValue)
{
    const DecimalCase& c = GetParam();
    device.When(kMenuStart, {Reply("BTLMAX", c.value, ACK)});
    int32_t value = -99;
    EXPECT_EQ(io->MNU_GetDecimal("BTLMAX", &value), c.result);
    EXPECT_EQ(value, c.stored);
    EXPECT_TRUE(Logged(c.logged)) << captured.Text();
}

INSTANTIATE_TEST_SUITE_P(
    Menu, GetDecimalReply,
    ::testing::Values(DecimalCase{"signed", " -12", 0, -12, "RX MNU TXT CMD:"},
                      DecimalCase{"notANumber", "6x", -1, -99, "CMD: Y BTLMAX invalid reply (not number)\n"},
                      DecimalCase{"empty", "", -1, -99, "CMD: Y BTLMAX no reply!\n"},
                      DecimalCase{"beyond32Bits", "4294967296", -1, -99, "invalid reply (not number)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MenuTest, ReadsEchoAndStatusFirstThenUpToTheTerminatorOnly)
{
    // Whatever follows the terminator is not taken from the line.
    device.When(kMenuStart, {Concat({Reply("P_INFO", "abc", ACK), ToBytes("NEXT")})});
    char out[16];
    EXPECT_EQ(io->MNU_Query('M', "P_INFO", 6, nullptr, reinterpret_cast<uint8_t*>(out), sizeof out), 3);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(device.readLengths[1], 8u);   // after the flush's read: echo + 2
    EXPECT_EQ(std::vector<uint32_t>(device.readLengths.begin() + 2, device.readLengths.end()),
              std::vector<uint32_t>(3, 1u));
    EXPECT_EQ(device.Pending(), 4u);
}

TEST_F(MenuTest, SlowReplyIsCollectedWithoutOverreading)
{
    // One byte every 300 ms, and the device goes on talking after the reply.
    device.When(kMenuStart, {Answer(Concat({Reply("BTLMAX", "1", ACK), ToBytes("NEXT")}), 1, 300)});
    int32_t value = 0;
    EXPECT_EQ(io->MNU_GetDecimal("BTLMAX", &value), 0) << captured.Text();
    EXPECT_EQ(value, 1);
    EXPECT_TRUE(Logged("We really need more as expected = 8.\n"));
    // Only what is still missing of the first eight bytes is asked for, so
    // nothing after the terminator is taken.
    time.clock.Advance(10000);
    EXPECT_EQ(device.Pending(), 4u);
}

TEST_F(MenuTest, TerminatorInsideTheValueEndsTheReply)
{
    device.When(kMenuStart, {Reply("P_INFO", "a.b", ACK)});
    char out[16];
    EXPECT_EQ(io->MNU_Query('M', "P_INFO", 6, "", reinterpret_cast<uint8_t*>(out), sizeof out), -1);
    EXPECT_TRUE(Logged("CMD: P_INFO Reply error unknown ACK/NAK/ENQ byte\n"));
}

TEST_F(MenuTest, StreamingDeviceOverflowsTheReplyBuffer)
{
    device.When(kMenuStart, {Bytes(3000, 'x')});
    EXPECT_EQ(io->MNU_Command('M', "P_INFO", 6, "", 0, '.'), -1);
    EXPECT_TRUE(Logged("Reply is too big(HUGE)\n"));
    EXPECT_TRUE(Logged("000003f0: 78 78 78 78 78 78 78 78-78 78 78 78 78 78 78 00 | xxxxxxxx-xxxxxxx.|\n"))
        << captured.Text();
    EXPECT_EQ(io->menuReplyLength, 1023u);
    EXPECT_EQ(CountLogged("Flush any RX data(1)."), 1u);
    EXPECT_EQ(device.Pending(), 0u);
}

TEST_F(MenuTest, RoutedCommandEchoesWithoutPrefixAfterAPause)
{
    device.When(kMenuStart, {Reply("bt_fls", "1", ACK)});
    uint64_t start = time.clock.Now();
    char out[32];
    EXPECT_EQ(io->MNU_Query('M', ":*:BT_FLS", 9, "", reinterpret_cast<uint8_t*>(out), sizeof out), 1);
    EXPECT_STREQ(out, "1");
    EXPECT_EQ(device.Writes()[0], ToBytes("\x16M\r:*:BT_FLS."));
    EXPECT_GE(time.clock.Now() - start, 2000u);
    EXPECT_EQ(device.readLengths[1], 8u);
}

TEST_F(MenuTest, AddressRoutedCommandEchoesTheName)
{
    device.When(kMenuStart, {Reply("P_INFO", "", ACK)});
    char out[8];
    EXPECT_EQ(io->MNU_Query('M', ":#0123456789AB:P_INFO", 21, "", reinterpret_cast<uint8_t*>(out), sizeof out), 0);
}

TEST_F(MenuTest, QuickCommandHasNoPause)
{
    device.When(kMenuStart, {Reply("NEWAP2", "", ACK)});
    uint64_t start = time.clock.Now();
    io->MNU_Query('Y', "NEWAP2", 6, "", nullptr, 0);
    EXPECT_LT(time.clock.Now() - start, 100u);
}

TEST_F(MenuTest, PrefixWithoutClosingColonIsReportedAfterSending)
{
    EXPECT_EQ(io->MNU_Command('M', ":*BT_FLS", 8, "", 0, '.'), -1);
    EXPECT_TRUE(Logged("invalid menu command :*BT_FLS without ending : character.\n"));
    EXPECT_EQ(device.Writes().size(), 1u);
}

struct RefusedRequest {
    const char* name;
    const char* command;
    uint64_t length;
    std::string value;
    uint32_t terminator;
    const char* logged;
};

class MenuRequestRefusal : public MenuTest, public ::testing::WithParamInterface<RefusedRequest> {};

TEST_P(MenuRequestRefusal, SendsNothing)
{
    const RefusedRequest& c = GetParam();
    EXPECT_EQ(io->MNU_Command('M', c.command, c.length, c.value.c_str(), 0, c.terminator), -1);
    EXPECT_TRUE(device.Writes().empty());
    EXPECT_TRUE(Logged(c.logged)) << captured.Text();
}

INSTANTIATE_TEST_SUITE_P(
    Menu, MenuRequestRefusal,
    ::testing::Values(RefusedRequest{"nameLength", "ABC", 6, "", '.', "CMD: ABC is not in 6 bytes long\n"},
                      RefusedRequest{"noTerminator", "BTLMAX", 6, "", 0, "Invalid Terminator 2 (null) for cmd: BTLMAX\n"},
                      RefusedRequest{"overCommandBuffer", "BTLMAX", 6, std::string(1014, '9'), '.',
                                     "does not fit the 1024-byte command buffer\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MenuTest, LongestCommandThatFitsIsSent)
{
    // 1023 bytes and the terminating zero fill the buffer exactly.
    EXPECT_EQ(io->MNU_Command('M', "BTLMAX", 6, std::string(1013, '9').c_str(), 0, '.'), -6);
    ASSERT_EQ(device.Writes().size(), 1u);
    EXPECT_EQ(device.Writes()[0].size(), 1023u);
}

TEST_F(MenuTest, QueryCopiesTheValueWithItsZero)
{
    std::string value(500, 'v');
    device.When(kMenuStart, {Reply("P_INFO", value, ACK)});
    std::vector<uint8_t> out(4096, 0xEE);
    EXPECT_EQ(io->MNU_Query('M', "P_INFO", 6, "", out.data(), out.size()), 500);
    EXPECT_EQ(std::string(out.begin(), out.begin() + 500), value);
    EXPECT_EQ(out[500], 0);
    EXPECT_EQ(out[501], 0xEE);
}

TEST_F(MenuTest, QueryWithoutRoomForTheValueFails)
{
    device.When(kMenuStart, {Reply("PWRMOD", "1", ACK), Reply("NEWAP2", "", ACK)});
    uint8_t out[1];
    EXPECT_EQ(io->MNU_Query('M', "PWRMOD", 6, "?", out, sizeof out), -1);
    EXPECT_TRUE(Logged("Unexpected reply to cmd: PWRMOD?.. payload.len = 1, replylen = 1\n"));
    EXPECT_EQ(io->MNU_Query('Y', "NEWAP2", 6, nullptr, nullptr, 0), -1);
}

TEST_F(MenuTest, UsbReadFailureIsPassedOn)
{
    ScriptedTransport usb(*io, time.clock, ScriptedTransport::Style::Usb);
    EXPECT_EQ(io->MNU_Command('M', "P_INFO", 6, "", 0, '.'), -6);
    EXPECT_TRUE(Logged("ReadBytes retrun value < 0, pretend the scanner responded OK!\n"));
}

TEST_F(MenuTest, MissingTransportIsReported)
{
    io->io->readBytes = nullptr;
    EXPECT_EQ(io->MNU_Command('M', "P_INFO", 6, "", 0, '.'), -1);
    EXPECT_TRUE(Logged("No read bytes function\nReadBytes retrun value < 0"));
}

} // namespace
