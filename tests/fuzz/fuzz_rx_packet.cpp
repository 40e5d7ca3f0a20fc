// The bootloader side of the packet link is whatever the fuzzer writes.
// Input: a mode byte, then the device's bytes. Mode bit 0 clear: one
// RxPacket, all bytes on the line after the poll. Set: a whole command
// (chosen by the other bits) where every host write releases the next
// segment, each a length byte and that many bytes.
#include "FuzzLog.h"
#include "io/FlashIo.h"
#include "log/Log.h"
#include "platform/Platform.h"
#include "platform/VirtualClock.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

struct Line {
    platform::VirtualClock* clock;
    const uint8_t* data;
    size_t size;
    size_t next;       // first byte not yet read by the host
    size_t released;   // bytes the device has sent so far
    bool segmented;
};

int32_t Write(FlashIoDevice* io, const uint8_t*, uint32_t length)
{
    auto* line = static_cast<Line*>(io->cookie);
    if (!line->segmented) {
        line->released = line->size;
    } else if (line->released < line->size) {
        size_t segment = line->data[line->released];
        line->next = line->released + 1;
        line->released = std::min(line->size, line->next + segment);
    }
    return static_cast<int32_t>(length);
}

int32_t Read(FlashIoDevice* io, uint8_t* buffer, uint32_t length, uint32_t timeoutMs)
{
    auto* line = static_cast<Line*>(io->cookie);
    uint32_t count = 0;
    while (count < length && line->next < line->released)
        buffer[count++] = line->data[line->next++];
    if (count == 0)
        line->clock->Advance(timeoutMs);   // nothing came: the wait ran out
    return static_cast<int32_t>(count);
}

} // namespace

using fuzz_support::Check;
using fuzz_support::FormatAndDrop;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static platform::ScopedVirtualClock time;
    if (size < 1)
        return 0;
    uint8_t mode = data[0];
    Line line{&time.clock, data + 1, size - 1, 0, 0, (mode & 1) != 0};

    FlashIo* io = Retain(new FlashIo(nullptr));
    io->log->flags = 0xFFFFFFFF;
    io->log->output = FormatAndDrop;
    io->io->cookie = &line;
    io->io->writeBytes = Write;
    io->io->readBytes = Read;

    if (!line.segmented) {
        if (io->RxPacket() == 0) {
            Check(io->rxPacket.n_params >= 0 && io->rxPacket.n_params <= kPacketParamsMax);
            Check(io->rxPacket.payload_len <= kPacketPayloadMax);
        }
        while (!io->underrunFlag)
            io->ReplyGetU8();
        io->ReplyCheckEnd();
    } else {
        static const uint8_t block[300] = {0x10, 0x10, 0x02};
        switch ((mode >> 1) % 6) {
        case 0: io->GetVersion(); break;
        case 1: io->AreaOpen(mode >> 4); break;
        case 2: io->EraseAll(); break;
        case 3: io->WrBlock(0x1000, block, sizeof block); break;
        case 4: io->Reset(1); break;
        default: io->Reset(2); break;
        }
    }

    io->io->cookie = nullptr;
    Release(io);
    return 0;
}
