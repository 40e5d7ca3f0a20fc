// The simulator behind a FlashIoDevice on the virtual clock: the serial
// read contract, time that moves only as far as it must, and repeatability.
#include "support/SimHost.h"

#include "sim/Recording.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <vector>

namespace {

using testing_support::SimHost;

int32_t Read(SimHost& host, uint8_t* buffer, uint32_t length, uint32_t timeoutMs)
{
    return host.io->readBytes(host.io.get(), buffer, length, timeoutMs);
}

TEST(SimInProcess, ReadOnASilentLineZeroFillsAndWaitsOutItsTimeout)
{
    SimHost host(sim::DeviceConfig::CordedScanner());
    uint8_t buffer[8];
    std::memset(buffer, 0xAA, sizeof buffer);
    uint64_t start = host.Now();
    EXPECT_EQ(Read(host, buffer, sizeof buffer, 300), 0);
    EXPECT_EQ(host.Now() - start, 300u);
    EXPECT_EQ(std::count(buffer, buffer + 8, 0), 8);
    EXPECT_EQ(Read(host, buffer, 0, 100), 0);
    EXPECT_EQ(host.Now() - start, 300u) << "a read of nothing takes no time";
}

TEST(SimInProcess, ReadReturnsWhenItHasAllItAskedFor)
{
    sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
    config.timings.menuReplyMs = 40;
    SimHost host(config);
    host.Send("\x16M\rVISMN40.");
    uint8_t buffer[16] = {};
    uint64_t start = host.Now();
    // Nine reply bytes, the last one due after 40 ms and nine byte times at 115200.
    EXPECT_EQ(Read(host, buffer, 9, 1000), 9);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer)), "VISMN40\x06.");
    EXPECT_EQ(host.Now() - start, 41u);
    // Asked for more than comes: what came, after the whole timeout.
    host.Send("\x16M\rVISMN40.");
    start = host.Now();
    EXPECT_EQ(Read(host, buffer, 16, 500), 9);
    EXPECT_EQ(host.Now() - start, 500u);
}

TEST(SimInProcess, SlowLineSpeedsShowInTheReplyTime)
{
    sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
    SimHost host(config, sim::InProcessOptions{"", sim::LineSettings{1200, 8, 'N', 1}});
    uint64_t start = host.Now();
    std::string reply = host.Menu('M', "P_INFO");
    ASSERT_GT(reply.size(), 200u);
    // 10 bits a byte at 1200 baud: about 8.3 ms a byte.
    EXPECT_GE(host.Now() - start, reply.size() * 8);
}

TEST(SimInProcess, ClosedOrMissingTransportRefuses)
{
    SimHost host(sim::DeviceConfig::CordedScanner());
    uint8_t byte = 0x16;
    ASSERT_EQ(host.io->close(host.io.get()), 0);
    EXPECT_EQ(host.io->writeBytes(host.io.get(), &byte, 1), -1);
    EXPECT_EQ(Read(host, &byte, 1, 10), -1);
    EXPECT_EQ(host.io->open(host.io.get()), 0);
    EXPECT_EQ(host.io->open(host.io.get()), 0) << "already open";
    host.io->destroy(host.io.get());
    EXPECT_EQ(host.io->cookie, nullptr);
    EXPECT_EQ(host.io->readBytes, nullptr);
    EXPECT_EQ(host.io->destroy, nullptr);
}

TEST(SimInProcess, PurgeDropsWhatHasArrivedButNotWhatIsOnItsWay)
{
    sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
    config.timings.lineSpeed = false;
    config.timings.menuReplyMs = 100;
    SimHost host(config);
    host.Send("\x16M\rVISMN40.");
    host.Sleep(100);
    host.io->purge(host.io.get());
    EXPECT_EQ(host.Receive(16, 200), "");
    host.Send("\x16M\rVISMN41.");
    host.Sleep(50);
    host.io->purge(host.io.get());
    EXPECT_EQ(host.ReceiveUntil('.'), "VISMN41\x06.");
}

TEST(SimInProcess, SleepsOfTheHostLetTheDeviceWork)
{
    SimHost host(sim::DeviceConfig::CordedScanner());
    host.Menu('Y', "NEWAP2");
    // No transport call, only the clock: the device restarts all the same.
    host.time.clock.Advance(2000);
    EXPECT_EQ(host.device.Cable().CurrentMode(), sim::Mode::Bootloader);
}

TEST(SimInProcess, DeviceGoneBeforeTheClockIsHarmless)
{
    platform::ScopedVirtualClock time;
    FlashIoDevice io{};
    {
        sim::Device device(sim::DeviceConfig::CordedScanner());
        ASSERT_EQ(sim::InstallInProcess(&io, device, time.clock), 0);
        io.destroy(&io);
    }
    time.clock.Advance(1000);
}

TEST(SimInProcess, ARunIsExactlyRepeatable)
{
    auto run = [] {
        SimHost host(sim::DeviceConfig::CradleWithScanner());
        host.Menu('Y', ":*:NEWAP2");
        host.Sleep(2000);
        host.Menu('M', "BASADR0006660A1B2C");
        host.Menu('M', "BASDNG0", '!');
        host.Sleep(4500);
        host.Menu('M', "BASPAS1");
        host.EnterPacketMode();
        host.WriteArea(1, testing_support::MakeImage('A', "R", 600), 200);
        return std::make_pair(host.trace, host.Now());
    };
    auto first = run();
    auto second = run();
    EXPECT_EQ(first, second);
    EXPECT_GT(first.first.size(), 20u);
}

// ---- a replaying device's failures --------------------------------------------

enum class Call { Setup, Open, Write, Read };

struct HostCall {
    Call call;
    std::string bytes;        // a write's bytes
    uint32_t ask = 0;         // a read's count
    uint32_t timeoutMs = 0;
    int32_t result;           // what the host gets
    uint64_t ms = 0;          // and how long the call takes
    std::string read = {};    // a read's bytes
};

struct FailureCase {
    const char* name;
    std::vector<std::string> events;   // the recording's events, from "t" on
    std::vector<HostCall> calls;
};

// Each recorded result comes back at its point, once; asked more often
// than recorded, a set-up, open or read is answered as last time; a write
// is not refused twice for one recorded refusal.
const FailureCase kFailures[] = {
    {"a set-up that failed until the device came back",
     {R"("t":0,"ev":"setup","interface":"serial","port":"SIM0","result":-3)",
      R"("t":500,"ev":"setup","interface":"serial","port":"SIM0","result":-3)",
      R"("t":1000,"ev":"setup","interface":"serial","port":"SIM0","result":0)",
      R"("t":1000,"ev":"write","hex":"6162","result":2)"},
     {{Call::Setup, {}, 0, 0, -3}, {Call::Setup, {}, 0, 0, -3}, {Call::Setup, {}, 0, 0, 0},
      {Call::Setup, {}, 0, 0, 0}, {Call::Open, {}, 0, 0, 0}, {Call::Write, "ab", 0, 0, 2}}},
    {"a search that found nothing, then an open that failed",
     {R"("t":0,"ev":"search","vid":61680,"pid":2817,"mi":0,"path":null,"found":null,"result":-1)",
      R"("t":10,"ev":"search","vid":61680,"pid":2817,"mi":0,"path":null,"found":null,"result":0)",
      R"("t":10,"ev":"open","result":-1)", R"("t":20,"ev":"open","result":0)"},
     {{Call::Setup, {}, 0, 0, -1}, {Call::Setup, {}, 0, 0, 0}, {Call::Open, {}, 0, 0, -1},
      {Call::Open, {}, 0, 0, 0}, {Call::Open, {}, 0, 0, 0}}},
    {"a read that found the device gone after its answer",
     {R"("t":0,"ev":"write","hex":"6162","result":2)",
      R"("t":0,"ev":"read","ask":2,"timeout":1000,"ms":4,"result":2,"hex":"7879")",
      R"("t":4,"ev":"read","ask":2,"timeout":1000,"ms":7,"result":-3)"},
     {{Call::Open, {}, 0, 0, 0}, {Call::Write, "ab", 0, 0, 2}, {Call::Read, {}, 2, 1000, 2, 4, "xy"},
      {Call::Read, {}, 2, 1000, -3, 7}, {Call::Read, {}, 2, 1000, -3, 7}}},
    {"a USB read that got nothing, longer than its timeout",
     {R"("t":0,"ev":"write","hex":"6162","result":2)",
      R"("t":0,"ev":"read","ask":8,"timeout":1000,"ms":2000,"result":-6)",
      R"("t":2000,"ev":"write","hex":"6364","result":2)"},
     {{Call::Open, {}, 0, 0, 0}, {Call::Write, "ab", 0, 0, 2}, {Call::Read, {}, 8, 1000, -6, 2000},
      {Call::Write, "cd", 0, 0, 2}}},
    {"a short write, and the rest written after it",
     {R"("t":0,"ev":"write","hex":"61626364","result":2)", R"("t":0,"ev":"write","hex":"6364","result":2)"},
     {{Call::Open, {}, 0, 0, 0}, {Call::Write, "abcd", 0, 0, 2}, {Call::Write, "cd", 0, 0, 2}}},
    {"a write refused for 5 s, then taken",
     {R"("t":100,"ev":"write","hex":"6162","result":2)", R"("t":5100,"ev":"write","hex":"6364","result":-1)",
      R"("t":5100,"ev":"write","hex":"6364","result":2)"},
     {{Call::Open, {}, 0, 0, 0}, {Call::Write, "ab", 0, 0, 2}, {Call::Write, "cd", 0, 0, -1, 5000},
      {Call::Write, "cd", 0, 0, 2}}},
};

TEST(SimInProcessReplay, RecordedFailuresComeBackAtTheirPoint)
{
    for (const FailureCase& c : kFailures) {
        SCOPED_TRACE(c.name);
        std::string text = R"({"format":"tambrix01-recording","formatVersion":2,"interface":"usb_hid","interfaceType":1,"port":"SIM0"})"
                           "\n";
        for (size_t i = 0; i < c.events.size(); ++i)
            text += "{\"n\":" + std::to_string(i + 1) + "," + c.events[i] + "}\n";
        auto recording = std::make_shared<sim::Recording>();
        std::istringstream in(text);
        std::string error;
        ASSERT_TRUE(sim::ParseRecording(in, *recording, &error)) << error;
        sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
        config.replay = recording;
        sim::Device device(config);
        platform::ScopedVirtualClock time;
        FlashIoDevice io{};
        bool installed = false;
        for (size_t i = 0; i < c.calls.size(); ++i) {
            const HostCall& call = c.calls[i];
            SCOPED_TRACE("call " + std::to_string(i + 1));
            if (!installed && call.call != Call::Setup) {
                ASSERT_EQ(sim::InstallInProcess(&io, device, time.clock), 0);
            }
            installed = installed || call.call != Call::Setup;
            uint64_t start = time.clock.Now();
            uint8_t buffer[16] = {};
            switch (call.call) {
            case Call::Setup:
                EXPECT_EQ(sim::InstallInProcess(&io, device, time.clock), call.result);
                installed = call.result == 0;
                break;
            case Call::Open:
                EXPECT_EQ(io.open(&io), call.result);
                break;
            case Call::Write:
                EXPECT_EQ(io.writeBytes(&io, reinterpret_cast<const uint8_t*>(call.bytes.data()),
                                        static_cast<uint32_t>(call.bytes.size())),
                          call.result);
                break;
            case Call::Read:
                EXPECT_EQ(io.readBytes(&io, buffer, call.ask, call.timeoutMs), call.result);
                EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer)), call.read);
                break;
            }
            EXPECT_EQ(time.clock.Now() - start, call.ms);
        }
        EXPECT_FALSE(device.TheReplay()->Stopped()) << device.TheReplay()->Report();
        EXPECT_EQ(device.TheReplay()->WritesPlayed(), device.TheReplay()->Writes());
        if (io.destroy)
            io.destroy(&io);
    }
}

} // namespace
