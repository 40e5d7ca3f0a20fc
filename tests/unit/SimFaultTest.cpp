// Injected faults of the simulated devices, each by its option name.
#include "support/SimHost.h"

#include <gtest/gtest.h>

namespace {

using testing_support::Bytes;
using testing_support::CheckReport;
using testing_support::SimHost;

constexpr int kAck = 0x1006, kNak = 0x1015, kCan = 0x1018;

sim::DeviceConfig WithFaults(std::initializer_list<const char*> faults, bool bootloader = false)
{
    sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
    config.unit.startInBootloader = bootloader;
    for (const char* fault : faults) {
        std::string error;
        EXPECT_TRUE(sim::ApplyFault(config, fault, &error)) << fault << ": " << error;
    }
    return config;
}

TEST(SimFaults, OptionNamesAreCheckedAndApplied)
{
    struct Case {
        const char* option;
        bool ok;
    };
    const Case cases[] = {
        {"nak-frame=3", true},      {"nak-frame", false},       {"nak-frame=x", false},
        {"can-frame=1", true},      {"bad-crc-reply=2", true},  {"silent-after-reset", true},
        {"silent-after-reset=5000", true}, {"lose-byte=10", true}, {"lose-every=0x10", true},
        {"garble-echo=all", true},  {"garble-echo=2", true},    {"slow-restart=20000", true},
        {"slow-restart=99999999", false}, {"port-change", true}, {"port-change=1", false},
        {"refuse-sets", true},      {"refuse-sets=BTLTOC", true}, {"low-battery", true},
        {"protocol-version=22", true}, {"incompatible", true},  {"line=8E1", true},
        {"line=9600-8O2", true},    {"line=9E1", false},        {"line=8X1", false},
        {"silent-from=40", true},   {"silent-from", false},     {"power-loss=7", true},
        {"power-loss", false},      {"no-such-fault", false},   {"busy=lose", true},
        {"busy=nak", true},         {"busy=answer", true},      {"busy", false},
        {"busy=maybe", false},
    };
    for (const Case& c : cases) {
        sim::DeviceConfig config;
        std::string error;
        EXPECT_EQ(sim::ApplyFault(config, c.option, &error), c.ok) << c.option;
        EXPECT_EQ(error.empty(), c.ok) << c.option << ": " << error;
    }
    sim::DeviceConfig config;
    ASSERT_TRUE(sim::ApplyFault(config, "line=9600-8O2", nullptr));
    EXPECT_EQ(config.line, (sim::LineSettings{9600, 8, 'O', 2}));
}

TEST(SimFaults, NakOnTheNthFrameForKFrames)
{
    SimHost host(WithFaults({"nak-frame=2", "nak-count=2"}, true));
    host.EnterPacketMode();
    EXPECT_EQ(host.Transact(1).answer, kAck);
    // Frames 2 and 3 (the same command sent again) are refused, the fourth taken.
    std::string frame = testing_support::EncodeCommand(++host.packetNumber, 1, {}, {});
    for (int expected : {kNak, kNak, kAck}) {
        host.Send(frame);
        EXPECT_EQ(host.ReadSymbol(1000), expected);
    }
}

TEST(SimFaults, CanOnTheNthFrame)
{
    SimHost host(WithFaults({"can-frame=1"}, true));
    host.EnterPacketMode();
    EXPECT_EQ(host.Transact(1).answer, kCan);
    EXPECT_EQ(host.Transact(1).answer, kAck);
}

TEST(SimFaults, CorruptReplyCrcIsSentAgainCorrectly)
{
    SimHost host(WithFaults({"bad-crc-reply=1"}, true));
    host.EnterPacketMode();
    host.Send(testing_support::EncodeCommand(1, 1, {}, {}));
    ASSERT_EQ(host.ReadSymbol(1000), kAck);
    host.Sleep(20);
    host.Send(testing_support::Poll());
    testing_support::ReplyFrame bad = host.ReadReply();
    EXPECT_TRUE(bad.complete);
    EXPECT_FALSE(bad.crcOk);
    host.Send(testing_support::NakReply());
    host.Send(testing_support::Poll());
    EXPECT_TRUE(host.ReadReply().crcOk);
}

// A bootloader that cannot listen while it works: a poll during the
// command's busy time is lost (or NAKed) instead of answered "no reply yet";
// once the work is done the next poll gets the reply.
TEST(SimFaults, BusyUnitLosesOrNaksWhatComesMeanwhile)
{
    for (const char* fault : {"busy=lose", "busy=nak"}) {
        SCOPED_TRACE(fault);
        sim::DeviceConfig config = WithFaults({fault}, true);
        config.timings.commandMs = 30;
        SimHost host(config);
        host.EnterPacketMode();
        host.Send(testing_support::EncodeCommand(1, 1, {}, {}));
        ASSERT_EQ(host.ReadSymbol(1000), kAck);
        host.Send(testing_support::Poll());
        if (std::string(fault) == "busy=nak")
            EXPECT_EQ(host.ReadSymbol(100), kNak);
        else
            EXPECT_LT(host.ReadSymbol(100), 0);   // nothing came
        host.Sleep(40);
        host.Send(testing_support::Poll());
        testing_support::ReplyFrame reply = host.ReadReply();
        EXPECT_TRUE(reply.complete && reply.crcOk);
        EXPECT_EQ(host.device.Env().counters.busyLost, 1u);
    }
}

TEST(SimFaults, SilenceAfterAReset)
{
    struct Case {
        const char* fault;
        bool answersAfter6s;
        bool answersAfter20s;
    };
    for (const Case& c : {Case{"silent-after-reset", false, false}, Case{"silent-after-reset=10000", false, true}}) {
        SimHost host(WithFaults({c.fault}, true));
        host.EnterPacketMode();
        host.Transact(3, {0xDEADBEEF, 0xABADBABE});
        host.Sleep(6000);
        EXPECT_EQ(!host.Menu('M', "P_INFO").empty(), c.answersAfter6s) << c.fault;
        host.Sleep(14000);
        EXPECT_EQ(!host.Menu('M', "P_INFO").empty(), c.answersAfter20s) << c.fault;
    }
    // NEWAP2 is no reset command: it comes back as usual.
    SimHost host(WithFaults({"silent-after-reset"}));
    host.Menu('Y', "NEWAP2");
    host.Sleep(2000);
    EXPECT_FALSE(host.Menu('M', "P_INFO").empty());
}

TEST(SimFaults, LostOutputBytes)
{
    SimHost clean(sim::DeviceConfig::CordedScanner());
    std::string whole = clean.Menu('M', "VISMN40");
    SimHost lossy(WithFaults({"lose-byte=3"}));
    std::string reply = lossy.Menu('M', "VISMN40");
    EXPECT_EQ(reply, whole.substr(0, 2) + whole.substr(3));
    SimHost everyOther(WithFaults({"lose-every=2"}));
    EXPECT_EQ(everyOther.Menu('M', "VISMN40"), "VSN0.");
}

TEST(SimFaults, SilentFromAnOutputByteOn)
{
    SimHost host(WithFaults({"silent-from=5"}));
    EXPECT_EQ(host.Menu('M', "VISMN40"), "VISM");
    EXPECT_EQ(host.Menu('M', "VISMN40"), "");
    // It still hears: NEWAP2 sends it into its bootloader all the same.
    host.Menu('Y', "NEWAP2");
    host.Sleep(2000);
    EXPECT_EQ(host.device.Cable().CurrentMode(), sim::Mode::Bootloader);
}

TEST(SimFaults, PowerLossHalfWayThroughABlockWrite)
{
    SimHost host(WithFaults({"power-loss=5"}, true));
    host.EnterPacketMode();
    EXPECT_EQ(host.Transact(4, {1}).answer, kAck);
    EXPECT_EQ(host.Transact(7, {0x101}).answer, kAck);
    EXPECT_EQ(host.Transact(9).answer, kAck);
    Bytes block(200, 0x5A);
    EXPECT_EQ(host.Transact(16, {0}, block).answer, kAck);
    EXPECT_EQ(host.Transact(16, {200}, block).answer, -6) << "no answer from a device without power";
    EXPECT_EQ(host.device.Cable().CurrentMode(), sim::Mode::Restarting);
    host.Sleep(2000);
    EXPECT_EQ(host.device.Cable().CurrentMode(), sim::Mode::Bootloader);
    EXPECT_EQ(host.device.Cable().ApplicationArea().data, Bytes(300, 0x5A));
    EXPECT_FALSE(host.device.Cable().PacketMode());
}

TEST(SimFaults, GarbledEchoes)
{
    SimHost once(WithFaults({"garble-echo=2"}));
    EXPECT_EQ(once.Menu('M', "VISMN40"), "VISMN40\x06.");
    EXPECT_EQ(once.Menu('M', "VISMN40"), "#ISMN40\x06.");
    EXPECT_EQ(once.Menu('M', "VISMN40"), "VISMN40\x06.");
    SimHost always(WithFaults({"garble-echo=all"}));
    EXPECT_EQ(always.Menu('M', "P_INFO").substr(0, 6), "#_INFO");
    EXPECT_EQ(always.Menu('M', "VISMN40"), "#ISMN40\x06.");
}

TEST(SimFaults, SlowRestart)
{
    SimHost host(WithFaults({"slow-restart=8000"}));
    host.Menu('Y', "NEWAP2");
    host.Sleep(7000);
    EXPECT_EQ(host.Menu('M', "P_INFO"), "");
    host.Sleep(1200);
    EXPECT_FALSE(host.Menu('M', "P_INFO").empty());
}

TEST(SimFaults, PortNameChangesWhenTheApplicationComesBack)
{
    sim::DeviceConfig config = WithFaults({"port-change"});
    sim::InProcessOptions options;
    options.portName = "SIM0";
    SimHost host(config, options);
    // Into the bootloader: the port stays.
    host.Menu('Y', "NEWAP2");
    host.Sleep(2000);
    EXPECT_EQ(host.device.PortName(), "SIM0");
    host.EnterPacketMode();
    ASSERT_TRUE(host.WriteArea(1, testing_support::MakeImage('A', "NEW", 300), 256));
    host.Transact(22, {0xDEADBEEF, 0});
    host.Sleep(2000);
    EXPECT_EQ(host.device.PortName(), "SIM1");
    // The old port is gone, for the open link and for a new open alike.
    EXPECT_EQ(host.Send("\x16M\rP_INFO."), -1);
    EXPECT_EQ(host.Reinstall(options), -3);
    options.portName = "SIM1";
    ASSERT_EQ(host.Reinstall(options), 0);
    EXPECT_EQ(CheckReport(host.Menu('M', "P_INFO").substr(6)).Get("app-rev"), "NEW");
}

TEST(SimFaults, RefusedParameterSets)
{
    struct Case {
        const char* fault;
        const char* tocReply;
        const char* torReply;
    };
    const Case cases[] = {
        {"refuse-sets", "BTLTOC\x15!", "BTLTOR\x15!"},
        {"refuse-sets=BTLTOR", "BTLTOC2000\x06!", "BTLTOR\x15!"},
    };
    for (const Case& c : cases) {
        SimHost host(WithFaults({c.fault}, true));
        EXPECT_EQ(host.Menu('Y', "BTLTOC2000", '!'), c.tocReply) << c.fault;
        EXPECT_EQ(host.Menu('Y', "BTLTOR5000", '!'), c.torReply) << c.fault;
        EXPECT_EQ(host.Menu('Y', "BTLTOR?"), "BTLTOR5000\x06.") << "queries still answer";
    }
}

TEST(SimFaults, ProtocolVersionIncompatibilityAndBattery)
{
    SimHost host(WithFaults({"protocol-version=22", "incompatible", "low-battery"}));
    EXPECT_EQ(CheckReport(host.Menu('M', "P_INFO").substr(6)).Get("boot-incompat"), "0x41");
    EXPECT_EQ(host.Menu('M', "BT_FLS"), "BT_FLS1\x06.");
    host.Menu('Y', "NEWAP2");
    host.Sleep(2000);
    host.EnterPacketMode();
    testing_support::Transaction version = host.Transact(1);
    ASSERT_EQ(version.reply.payload.size(), 8u);
    EXPECT_EQ(version.reply.payload[0], 22);
}

TEST(SimFaults, ApplicationAtOtherLineSettingsAndTheBootloaderAt8N1)
{
    sim::DeviceConfig config = WithFaults({"line=8E1"});
    SimHost host(config);  // the host starts at 8-N-1
    EXPECT_EQ(host.Menu('M', "P_INFO"), "");
    EXPECT_TRUE(host.TraceHas("not understood"));
    sim::InProcessOptions even;
    even.line = sim::LineSettings{115200, 8, 'E', 1};
    ASSERT_EQ(host.Reinstall(even), 0);
    EXPECT_EQ(host.Menu('Y', "NEWAP2"), "NEWAP2\x06.");
    host.Sleep(2000);
    // The bootloader talks 8-N-1 only.
    EXPECT_EQ(host.Menu('Y', "BTLMAX?"), "");
    ASSERT_EQ(host.Reinstall({}), 0);
    EXPECT_EQ(host.Menu('Y', "BTLMAX?"), "BTLMAX256\x06.");
}

TEST(SimFaults, LineFromAHostDcb)
{
    DCB dcb{};
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = ODDPARITY;
    dcb.StopBits = TWOSTOPBITS;
    EXPECT_EQ(sim::LineFromDcb(dcb), (sim::LineSettings{9600, 8, 'O', 2}));
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    EXPECT_EQ(sim::LineFromDcb(dcb), (sim::LineSettings{9600, 8, 'N', 1}));
    // A device fixed at 19200 does not understand 9600.
    sim::LineSettings device;
    ASSERT_TRUE(sim::ParseLine("19200-8N1", device));
    EXPECT_FALSE(sim::LinesMatch(device, sim::LineFromDcb(dcb)));
    ASSERT_TRUE(sim::ParseLine("8N1", device));
    EXPECT_TRUE(sim::LinesMatch(device, sim::LineFromDcb(dcb)));
}

} // namespace
