// The P_INFO report from a device that may say anything. Input: a mode
// byte, then the report. Mode 0: the report text alone. Mode 1: "P_INFO"
// and the bytes as the menu reply. Mode 2: the bytes as the whole menu
// reply to a routed command.
#include "flash/KIRO_FlashTool.h"
#include "FuzzLog.h"
#include "io/FlashIo.h"
#include "log/Log.h"
#include "platform/Platform.h"
#include "platform/VirtualClock.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Line {
    platform::VirtualClock* clock;
    std::string reply;
    size_t next;
    bool sent;   // the device answers once the command is written
};

int32_t Write(FlashIoDevice* io, const uint8_t*, uint32_t length)
{
    static_cast<Line*>(io->cookie)->sent = true;
    return static_cast<int32_t>(length);
}

int32_t Read(FlashIoDevice* io, uint8_t* buffer, uint32_t length, uint32_t timeoutMs)
{
    auto* line = static_cast<Line*>(io->cookie);
    uint32_t count = 0;
    while (line->sent && count < length && line->next < line->reply.size())
        buffer[count++] = static_cast<uint8_t>(line->reply[line->next++]);
    if (count == 0)
        line->clock->Advance(timeoutMs);
    return static_cast<int32_t>(count);
}

bool Terminated(const char* field, size_t size) { return memchr(field, 0, size) != nullptr; }

} // namespace

using fuzz_support::Check;
using fuzz_support::FormatAndDrop;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static platform::ScopedVirtualClock time;
    static KIRO_FlashTool* engine = [] {
        auto* created = Retain(new KIRO_FlashTool(nullptr));
        created->log->flags = 0xFFFFFFFF;
        created->log->output = FormatAndDrop;
        return created;
    }();
    if (size < 1)
        return 0;
    std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    engine->ResetPinfo('?');

    switch (data[0] % 3) {
    case 0:
        engine->ApplyPinfoReport(bytes.c_str());
        break;
    default: {
        Line line{&time.clock, data[0] % 3 == 1 ? "P_INFO" + bytes : bytes, 0, false};
        FlashIoDevice* device = engine->io->io;
        device->cookie = &line;
        device->writeBytes = Write;
        device->readBytes = Read;
        engine->Scanner_GetPinfo(data[0] % 3 == 1 ? "P_INFO" : ":#0123456789AB:P_INFO");
        device->cookie = nullptr;
        device->writeBytes = nullptr;
        device->readBytes = nullptr;
        break;
    }
    }

    const Pinfo& pinfo = engine->pinfo;
    Check(pinfo.itemCount >= 0 && pinfo.itemCount <= kPinfoMaxItems);
    for (int i = 0; i < pinfo.itemCount; ++i)
        Check(Terminated(pinfo.items[i].tag, kPinfoTagSize) && Terminated(pinfo.items[i].value, kPinfoValueSize));
    Check(Terminated(pinfo.boot_m_name, sizeof pinfo.boot_m_name));
    Check(Terminated(pinfo.scanner_bt_address, sizeof pinfo.scanner_bt_address));
    Check(Terminated(pinfo.pair_address, sizeof pinfo.pair_address));
    return 0;
}
