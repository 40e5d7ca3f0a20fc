#include "log/Log.h"

#include "platform/Platform.h"

#include <cstdio>

namespace {

void PrintTextHalf(Log* log, uint64_t level, const uint8_t* line, uint64_t available, int from)
{
    for (int i = from; i < from + 8; ++i) {
        if (static_cast<uint64_t>(i) >= available)
            log->Print(level, L"%c", ' ');
        else
            log->Print(level, L"%c", line[i] >= 0x20 && line[i] <= 0x7F ? line[i] : '.');
    }
}

} // namespace

void LogHexDump(Log* log, uint64_t level, const void* data, uint64_t length)
{
    if (!log || !log->output || (level & log->flags) == 0 || length == 0)
        return;
    auto* bytes = static_cast<const uint8_t*>(data);
    for (uint64_t offset = 0; length > 0;) {
        const uint8_t* line = bytes + offset;
        uint64_t available = length < 16 ? length : 16;
        log->Print(level, L"%08x:", static_cast<unsigned>(offset));
        for (uint64_t i = 0; i < 8; ++i) {
            if (i < available)
                log->Print(level, L" %02x", line[i]);
            else
                log->Print(level, L"   ");
        }
        log->Print(level, L"-");
        for (uint64_t i = 8; i < 16; ++i) {
            if (i != 8)
                log->Print(level, L" ");
            if (i < available)
                log->Print(level, L"%02x", line[i]);
            else
                log->Print(level, L"  ");
        }
        log->Print(level, L" | ");
        PrintTextHalf(log, level, line, available, 0);
        log->Print(level, L"-");
        PrintTextHalf(log, level, line, available, 8);
        log->Print(level, L"|\n");
        offset += 16;
        length -= available;
    }
}

const char* TickStamp(char* buffer)
{
    uint32_t tick = platform::TickCount();
    snprintf(buffer, 30, "%6d.%03d", static_cast<int>(tick / 1000), static_cast<int>(tick % 1000));
    return buffer;
}
