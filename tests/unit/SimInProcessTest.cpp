// The simulator behind a FlashIoDevice on the virtual clock: the serial
// read contract, time that moves only as far as it must, and repeatability.
#include "support/SimHost.h"

#include <gtest/gtest.h>

#include <cstring>

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

} // namespace
