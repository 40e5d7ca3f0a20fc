// FlashIo's device operations against a scripted in-memory transport.
#include "io/FlashIo.h"
#include "log/Log.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

namespace {

using testing_support::CapturedLog;

// Fills the slots of an io structure; every call is recorded, and the
// answers of writeBytes and readBytes come from scripts.
struct FakeTransport {
    struct Read {
        std::string bytes;
        int32_t result;        // returned as is when bytes is empty
        uint32_t advanceMs;    // virtual time the read takes
    };

    std::vector<int32_t> acceptScript;   // per write call; past the end: all
    std::vector<std::string> writeCalls; // what each call was offered
    std::string accepted;                // the bytes the line got
    std::deque<Read> reads;              // past the end: a quiet 1 ms read
    Read endlessRead{"", 0, 1};
    std::vector<std::pair<uint32_t, uint32_t>> readCalls;   // length, timeout
    platform::VirtualClock* clock = nullptr;
    int32_t openResult = 0;
    int32_t closeResult = 0;
    int opens = 0, closes = 0, purges = 0, destroys = 0;

    static FakeTransport& Of(FlashIoDevice* io) { return *static_cast<FakeTransport*>(io->cookie); }

    void Install(FlashIoDevice* io)
    {
        io->cookie = this;
        io->destroy = [](FlashIoDevice* d) {
            ++Of(d).destroys;
            d->cookie = nullptr;
            d->destroy = nullptr;
        };
        io->purge = [](FlashIoDevice* d) { ++Of(d).purges; };
        io->open = [](FlashIoDevice* d) { return ++Of(d).opens, Of(d).openResult; };
        io->close = [](FlashIoDevice* d) { return ++Of(d).closes, Of(d).closeResult; };
        io->writeBytes = [](FlashIoDevice* d, const uint8_t* data, uint32_t length) -> int32_t {
            FakeTransport& t = Of(d);
            std::string offered(reinterpret_cast<const char*>(data), length);
            size_t call = t.writeCalls.size();
            t.writeCalls.push_back(offered);
            int32_t take = call < t.acceptScript.size() ? t.acceptScript[call] : static_cast<int32_t>(length);
            if (take > 0)
                t.accepted += offered.substr(0, static_cast<size_t>(take));
            return take;
        };
        io->readBytes = [](FlashIoDevice* d, uint8_t* buffer, uint32_t length, uint32_t timeoutMs) -> int32_t {
            FakeTransport& t = Of(d);
            t.readCalls.emplace_back(length, timeoutMs);
            Read read = t.endlessRead;
            if (!t.reads.empty()) {
                read = t.reads.front();
                t.reads.pop_front();
            }
            if (t.clock)
                t.clock->Advance(read.advanceMs);
            if (read.bytes.empty())
                return read.result;
            size_t n = std::min<size_t>(length, read.bytes.size());
            std::copy_n(read.bytes.begin(), n, buffer);
            return static_cast<int32_t>(n);
        };
    }
};

// Outlives whatever prints into the Log.
struct OwnedLog {
    Log* log = Retain(new Log());
    ~OwnedLog() { Release(log); }
};

class FlashIoTest : public ::testing::Test {
protected:
    FlashIoTest() : capture(log), flashIo(Retain(new FlashIo(log))) { fake.Install(flashIo->io); }
    ~FlashIoTest() override
    {
        if (flashIo->io)
            flashIo->io->destroy = nullptr;
        Release(flashIo);
    }

    int32_t Queue(const std::string& bytes)
    {
        return flashIo->WriteBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }

    platform::ScopedVirtualClock time;
    OwnedLog owned;
    Log* log = owned.log;
    CapturedLog capture;
    FlashIo* flashIo;
    FakeTransport fake;
};

std::string Pattern(size_t length)
{
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<char>(i * 7 + i / 251);
    return bytes;
}

TEST_F(FlashIoTest, BytesWaitForFlushTxUnlessTheBufferFills)
{
    EXPECT_EQ(Queue(""), 0);
    EXPECT_EQ(flashIo->io->txCount, 0u);
    EXPECT_EQ(flashIo->FlushTx(), 0);
    EXPECT_TRUE(fake.writeCalls.empty()) << "an empty buffer is not handed to the transport";

    EXPECT_EQ(Queue("abc"), 0);
    EXPECT_EQ(flashIo->WriteByte('d'), 0);
    EXPECT_TRUE(fake.writeCalls.empty());
    EXPECT_EQ(flashIo->FlushTx(), 0);
    ASSERT_EQ(fake.writeCalls.size(), 1u) << "one packet reaches the transport in one call";
    EXPECT_EQ(fake.writeCalls[0], "abcd");
    EXPECT_EQ(flashIo->io->txCount, 0u);
}

TEST_F(FlashIoTest, AFullBufferSendsItselfInsideWriteBytes)
{
    std::string block = Pattern(kTxBufferSize + 1);
    EXPECT_EQ(Queue(block.substr(0, kTxBufferSize)), 0);
    ASSERT_EQ(fake.writeCalls.size(), 1u);
    EXPECT_EQ(fake.writeCalls[0].size(), kTxBufferSize);
    EXPECT_EQ(flashIo->io->txCount, 0u);

    fake.writeCalls.clear();
    fake.accepted.clear();
    EXPECT_EQ(Queue(block), 0);
    ASSERT_EQ(fake.writeCalls.size(), 1u);
    EXPECT_EQ(fake.accepted, block.substr(0, kTxBufferSize));
    EXPECT_EQ(flashIo->io->txCount, 1u);
    EXPECT_EQ(flashIo->FlushTx(), 0);
    EXPECT_EQ(fake.accepted, block);
}

TEST_F(FlashIoTest, APartlyAcceptedBufferContinuesAtTheFirstUnacceptedByte)
{
    std::string packet = Pattern(300);
    fake.acceptScript = {120, 0, 100};
    Queue(packet);
    EXPECT_EQ(flashIo->FlushTx(), 0);
    ASSERT_EQ(fake.writeCalls.size(), 4u);
    EXPECT_EQ(fake.writeCalls[1], packet.substr(120));
    EXPECT_EQ(fake.writeCalls[2], packet.substr(120));
    EXPECT_EQ(fake.writeCalls[3], packet.substr(220));
    EXPECT_EQ(fake.accepted, packet) << "no byte is sent twice or lost";
}

TEST_F(FlashIoTest, AFailedSendKeepsOnlyWhatTheTransportDidNotTake)
{
    std::string packet = Pattern(50);
    fake.acceptScript = {-1};
    Queue(packet);
    EXPECT_EQ(flashIo->FlushTx(), -3);
    EXPECT_EQ(flashIo->io->txCount, 50u) << "nothing was taken, everything stays queued";

    fake.writeCalls.clear();
    fake.acceptScript = {20, -1};
    EXPECT_EQ(flashIo->FlushTx(), -3);
    EXPECT_EQ(flashIo->io->txCount, 30u);

    fake.writeCalls.clear();
    fake.acceptScript.clear();
    EXPECT_EQ(flashIo->FlushTx(), 0);
    EXPECT_EQ(fake.accepted, packet) << "the 20 bytes that left are not sent again";
}

TEST_F(FlashIoTest, WritingIntoAFullUnsendableBufferFailsInsteadOfOverrunningIt)
{
    fake.acceptScript.assign(10, -1);
    std::string block = Pattern(kTxBufferSize);
    EXPECT_EQ(Queue(block), -3);
    EXPECT_EQ(flashIo->io->txCount, kTxBufferSize);
    EXPECT_EQ(Queue("more"), -3);
    EXPECT_EQ(flashIo->WriteByte('x'), -3);
    EXPECT_EQ(flashIo->io->txCount, kTxBufferSize);

    fake.acceptScript.clear();
    fake.writeCalls.clear();
    EXPECT_EQ(Queue("more"), 0) << "once the line takes bytes again the queue moves on";
    EXPECT_EQ(flashIo->FlushTx(), 0);
    EXPECT_EQ(fake.accepted, block + "more");
}

TEST_F(FlashIoTest, ATransportThatNeverTakesAByteFailsTheSend)
{
    fake.acceptScript.assign(1000, 0);
    Queue("stuck");
    EXPECT_EQ(flashIo->FlushTx(), -3);
    EXPECT_EQ(fake.writeCalls.size(), 100u);
    EXPECT_TRUE(capture.Contains("FlushTx: the transport accepts no data\n"));
    EXPECT_EQ(flashIo->io->txCount, 5u);

    // Progress now and then resets the count of empty writes.
    fake.writeCalls.clear();
    fake.acceptScript.assign(99, 0);
    fake.acceptScript.push_back(1);
    fake.acceptScript.insert(fake.acceptScript.end(), 99, 0);
    EXPECT_EQ(flashIo->FlushTx(), 0);
    EXPECT_EQ(fake.writeCalls.size(), 200u);
}

TEST_F(FlashIoTest, CloseDiscardsUnsentBytes)
{
    Queue("never sent");
    EXPECT_EQ(flashIo->CloseDevice(), 0);
    EXPECT_EQ(fake.closes, 1);
    EXPECT_EQ(flashIo->io->txCount, 0u);
    EXPECT_TRUE(fake.writeCalls.empty());
    EXPECT_TRUE(capture.Contains("CloseDevice OK.\n"));
}

// What each operation does when a slot is missing or the transport fails.
TEST_F(FlashIoTest, MissingSlotsAndTransportFailures)
{
    FlashIoDevice* io = flashIo->io;
    struct Case {
        const char* what;
        void (*prepare)(FlashIoDevice*, FakeTransport&);
        int32_t (*run)(FlashIo*);
        int32_t expected;
        const char* logged;   // null: nothing at all
    } cases[] = {
        {"open slot missing", [](FlashIoDevice* d, FakeTransport&) { d->open = nullptr; },
         [](FlashIo* f) { return f->OpenDevice(); }, -1, "No open function\n"},
        {"open fails", [](FlashIoDevice*, FakeTransport& t) { t.openResult = -1; },
         [](FlashIo* f) { return f->OpenDevice(); }, -3, ""},
        {"close slot missing", [](FlashIoDevice* d, FakeTransport&) { d->close = nullptr; },
         [](FlashIo* f) { return f->CloseDevice(); }, -1, nullptr},
        {"close fails", [](FlashIoDevice*, FakeTransport& t) { t.closeResult = -1; },
         [](FlashIo* f) { return f->CloseDevice(); }, -3, ""},
        {"write slot missing", [](FlashIoDevice* d, FakeTransport&) { d->writeBytes = nullptr; },
         [](FlashIo* f) { f->WriteByte(1); return f->FlushTx(); }, -1, "No write bytes function\n"},
        {"read slot missing", [](FlashIoDevice* d, FakeTransport&) { d->readBytes = nullptr; },
         [](FlashIo* f) { return f->FlushRx(0); }, 1, "No read bytes function\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeTransport fresh;
        fresh.Install(io);
        c.prepare(io, fresh);
        capture.Clear();
        EXPECT_EQ(c.run(flashIo), c.expected);
        if (c.logged)
            EXPECT_TRUE(capture.Contains(c.logged)) << capture.Text();
        else
            EXPECT_EQ(capture.Text(), "");
        EXPECT_EQ(io->txCount, 0u) << "a missing write slot drops the queue";
        fake.Install(io);
    }
}

TEST_F(FlashIoTest, EveryOperationReportsAMissingIoStructure)
{
    free(flashIo->io);
    flashIo->io = nullptr;
    EXPECT_EQ(flashIo->OpenDevice(), -1);
    EXPECT_EQ(flashIo->CloseDevice(), -1);
    EXPECT_EQ(Queue("x"), -1);
    EXPECT_EQ(flashIo->FlushTx(), -1);
    EXPECT_EQ(flashIo->FlushRx(0), 1) << "taken as a failed read";
    size_t lines = 0;
    for (size_t at = 0; (at = capture.Text().find("No io pointer\n", at)) != std::string::npos; ++at)
        ++lines;
    EXPECT_EQ(lines, 5u);
}

TEST_F(FlashIoTest, FlushRxOnAQuietLineReadsOnce)
{
    fake.clock = &time.clock;
    EXPECT_EQ(flashIo->FlushRx(1), 0);
    EXPECT_EQ(fake.purges, 1);
    ASSERT_EQ(fake.readCalls.size(), 1u);
    EXPECT_EQ(fake.readCalls[0], std::make_pair(100u, 1u)) << "100-byte reads with a 1 ms timeout";
    EXPECT_TRUE(capture.Contains("Flush any RX data(1).\n"));
}

TEST_F(FlashIoTest, FlushRxDrainsUntilTheLineGoesQuiet)
{
    fake.clock = &time.clock;
    fake.reads = {{"abc", 0, 1}, {std::string(100, 'x'), 0, 10}, {"", 0, 1}};
    uint64_t start = time.clock.Now();
    EXPECT_EQ(flashIo->FlushRx(1), 1);
    EXPECT_EQ(fake.readCalls.size(), 3u);
    EXPECT_EQ(time.clock.Now() - start, 1u + 50 + 10 + 50 + 1) << "a 50 ms pause after each read with data";

    // Without the pause flag there is no pause; a read error also ends it.
    fake.readCalls.clear();
    fake.reads = {{"abc", 0, 1}, {"", -6, 250}};
    start = time.clock.Now();
    EXPECT_EQ(flashIo->FlushRx(0), 1);
    EXPECT_EQ(fake.readCalls.size(), 2u);
    EXPECT_EQ(time.clock.Now() - start, 251u);
}

TEST_F(FlashIoTest, FlushRxGivesUpOnADeviceThatNeverStops)
{
    fake.clock = &time.clock;
    fake.endlessRead = {std::string(100, 'x'), 0, 7};
    uint64_t start = time.clock.Now();
    EXPECT_EQ(flashIo->FlushRx(0), 0);
    EXPECT_TRUE(capture.Contains("Flush any RX data, timeoutExpired (2000) msecs.\n"));
    uint64_t spent = time.clock.Now() - start;
    EXPECT_GT(spent, 2000u);
    EXPECT_LE(spent, 2007u);

    // With the pause flag the same bound holds, pauses included.
    fake.readCalls.clear();
    flashIo->rxFlushTimeoutMs = 500;
    start = time.clock.Now();
    EXPECT_EQ(flashIo->FlushRx(1), 0);
    EXPECT_EQ(fake.readCalls.size(), 9u) << "57 ms per round: 9 rounds pass 500 ms";
    EXPECT_LE(time.clock.Now() - start, 500u + 57);
}

TEST_F(FlashIoTest, HexDumpLineLayout)
{
    std::string data = "0123456789abcdef";
    data += std::string("\x00\x7f\x80~", 4);
    HexDump(flashIo->io, LOG_INFO, 0, reinterpret_cast<const uint8_t*>(data.data()), data.size());
    std::string first = "00000000: 30 31 32 33 34 35 36 37-38 39 61 62 63 64 65 66 |01234567 89abcdef |\n";
    std::string second = "00000010: 00 7f 80 7e" + std::string(12, ' ') + "-" + std::string(24, ' ') + "|...~" +
                          std::string(14, ' ') + "|\n";
    EXPECT_EQ(capture.Text(), first + second);
    EXPECT_EQ(first.size(), 79u);
    EXPECT_EQ(second.size(), 79u);

    capture.Clear();
    HexDump(flashIo->io, LOG_INFO, 0xabc0, reinterpret_cast<const uint8_t*>(data.data()), 16);
    EXPECT_EQ(capture.Text(), "0000abc0" + first.substr(8));
    capture.Clear();
    HexDump(flashIo->io, LOG_INFO, 0, reinterpret_cast<const uint8_t*>(data.data()), 0);
    EXPECT_EQ(capture.Text(), "");
}

TEST(FlashIoLifetime, DestructionTearsDownATransportLeftInstalled)
{
    OwnedLog owned;
    FakeTransport fake;
    FlashIo* flashIo = Retain(new FlashIo(owned.log));
    fake.Install(flashIo->io);
    Release(flashIo);
    EXPECT_EQ(fake.destroys, 1);
}

} // namespace
