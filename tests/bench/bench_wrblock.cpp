// What one 256-byte WrBlock costs: bytes on the wire each way, transport
// writes, virtual time spent in the protocol's pauses, and the CPU time of
// the library (with the loop-back bootloader below included, so an upper
// bound). Runs on the virtual clock: the pauses cost no real time.
//
//   bench_wrblock [blocks]
#include "io/FlashIo.h"
#include "log/Log.h"
#include "platform/Platform.h"
#include "platform/VirtualClock.h"
#include "protocol/Crc.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <random>
#include <string>
#include <vector>

namespace {

// A bootloader that takes every frame and answers every poll with the
// empty reply of the last command.
struct LoopBack {
    platform::VirtualClock* clock;
    std::deque<uint8_t> line;
    uint8_t packetNumber = 0;
    uint8_t cmd = 0;
    uint64_t hostBytes = 0;
    uint64_t deviceBytes = 0;
    uint64_t writes = 0;
    uint64_t frameWrites = 0;

    void Send(const std::vector<uint8_t>& bytes)
    {
        line.insert(line.end(), bytes.begin(), bytes.end());
        deviceBytes += bytes.size();
    }

    void Reply()
    {
        std::vector<uint8_t> data = {1, 0x10, 0x1C, static_cast<uint8_t>(~packetNumber), static_cast<uint8_t>(~cmd), 0,
                                     0x10, 0x1C, 0, 0, 0, 0, 0x10, 0x1C, 0x10, 0x1C};
        uint16_t crc = 0;
        for (uint8_t byte : {uint8_t{1}, data[3], data[4], uint8_t{0}, uint8_t{0}, uint8_t{0}, uint8_t{0}, uint8_t{0}})
            crc = CrcUpdate(crc, byte);
        std::vector<uint8_t> frame = {0x10, 0x02};
        for (size_t i = 0; i < data.size(); ++i) {
            frame.push_back(data[i]);
            // Data bytes 0x10 go doubled; the separators are the pairs at 1, 6, 12, 14.
            bool separator = i == 1 || i == 6 || i == 12 || i == 14;
            if (data[i] == 0x10 && !separator)
                frame.push_back(0x10);
        }
        for (uint8_t byte : {static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)}) {
            frame.push_back(byte);
            if (byte == 0x10)
                frame.push_back(byte);
        }
        frame.push_back(0x10);
        frame.push_back(0x03);
        Send(frame);
    }

    static int32_t Write(FlashIoDevice* io, const uint8_t* data, uint32_t length)
    {
        auto* self = static_cast<LoopBack*>(io->cookie);
        self->hostBytes += length;
        ++self->writes;
        if (length > 6 && data[3] == 0x02) {
            ++self->frameWrites;
            // packet_number and Cmd, each possibly doubled.
            size_t at = 4;
            self->packetNumber = data[at];
            at += data[at] == 0x10 ? 2 : 1;
            self->cmd = data[at];
            self->Send({0x10, 0x06});
        } else if (length == 4 && data[3] == 0x05) {
            self->Reply();
        }
        return static_cast<int32_t>(length);
    }

    static int32_t Read(FlashIoDevice* io, uint8_t* buffer, uint32_t length, uint32_t timeoutMs)
    {
        auto* self = static_cast<LoopBack*>(io->cookie);
        uint32_t count = 0;
        while (count < length && !self->line.empty()) {
            buffer[count++] = self->line.front();
            self->line.pop_front();
        }
        if (count == 0)
            self->clock->Advance(timeoutMs);
        return static_cast<int32_t>(count);
    }
};

void Discard(void*, const wchar_t* format, va_list args)
{
    std::string text = platform::FormatV(format, args);
    (void)text;
}

void Run(const char* label, const std::vector<uint8_t>& block, unsigned blocks, uint64_t logFlags)
{
    platform::ScopedVirtualClock time;
    FlashIo* io = Retain(new FlashIo(nullptr));
    if (logFlags) {
        io->log->flags = logFlags;
        io->log->output = Discard;
    }
    LoopBack device{&time.clock, {}};
    io->io->cookie = &device;
    io->io->writeBytes = LoopBack::Write;
    io->io->readBytes = LoopBack::Read;

    uint64_t virtualStart = time.clock.Now();
    std::clock_t cpuStart = std::clock();
    for (unsigned i = 0; i < blocks; ++i) {
        if (io->WrBlock(static_cast<uint64_t>(i) * block.size(), block.data(), block.size()) != 0 ||
            io->ReplyCheckEnd() != 0) {
            fprintf(stderr, "%s: block %u failed\n", label, i);
            exit(1);
        }
    }
    double cpuUs = 1e6 * static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC / blocks;
    double virtualMs = static_cast<double>(time.clock.Now() - virtualStart) / blocks;

    printf("%-28s host->device %5.1f B  device->host %4.1f B  writes %.1f (frames %.1f)  "
           "pauses %.1f ms  CPU %.2f us/block\n",
           label, static_cast<double>(device.hostBytes) / blocks, static_cast<double>(device.deviceBytes) / blocks,
           static_cast<double>(device.writes) / blocks, static_cast<double>(device.frameWrites) / blocks, virtualMs,
           cpuUs);
    io->io->cookie = nullptr;
    Release(io);
}

} // namespace

int main(int argc, char** argv)
{
    unsigned blocks = argc > 1 ? static_cast<unsigned>(atoi(argv[1])) : 20000;
    std::vector<uint8_t> random(256);
    std::mt19937 generator(1);
    for (auto& byte : random)
        byte = static_cast<uint8_t>(generator());
    std::vector<uint8_t> allDle(256, 0x10);

    printf("256-byte WrBlock, packet size 256, %u blocks\n", blocks);
    Run("random data, log off", random, blocks, 0);
    Run("random data, log preset M", random, blocks, 0xD6);
    Run("random data, log preset H", random, blocks, 0xFFFFFFFF);
    Run("all 0x10 (worst stuffing)", allDle, blocks, 0);
    return 0;
}
