// The library's one logger: a level mask, an output chosen once by the host,
// stamp lines, the current directory and hex dumps.
#pragma once

#include "log/RefCounted.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>

enum : uint64_t {
    LOG_HID = 0x1,
    LOG_INFO = 0x2,
    LOG_ERROR = 0x4,
    LOG_PACKET = 0x8,
    LOG_WARN = 0x10,
    LOG_DETAIL = 0x20,
    LOG_SUMMARY = 0x40,
    LOG_OPEN = 0x100,
};

// The console the library opens for LOG_TO_CONSOLE; never released.
struct DebugConsole : RefCounted {
    DebugConsole();
    FILE* stream = nullptr;
};

using LogOutputFn = void (*)(void* context, const wchar_t* format, va_list args);

class Log : public RefCounted {
public:
    Log();
    ~Log();
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    // A message prints when an output is chosen and its level is 0 or
    // shares a bit with the flags.
    bool Enabled(uint64_t level) const { return output && (level == 0 || (level & flags) != 0); }
    void Print(uint64_t level, const wchar_t* format, ...);
    void VPrint(uint64_t level, const wchar_t* format, va_list args);

    void Stamp(uint64_t level, const wchar_t* label);
    void PrintCwd(uint64_t level);

    void UseDebugger();
    int OpenFile(const wchar_t* fileName);   // 0, or -1 when it cannot be opened
    void UseStream(FILE* stream);
    void UseConsole();

    uint64_t flags = 0;
    void* outputContext = nullptr;
    LogOutputFn output = nullptr;
    uint32_t startTick;
    uint32_t lastTick;

private:
    bool IsStandardStream() const;
};

// Leveled print through a Log that may be null (a holder without a Log
// prints nothing).
void LogPrint(Log* log, uint64_t level, const wchar_t* format, ...);
void LogPrintV(Log* log, uint64_t level, const wchar_t* format, va_list args);

// 16 bytes per line: offset, two halves of hex columns, the printable text.
void LogHexDump(Log* log, uint64_t level, const void* data, uint64_t length);

// "%6d.%03d" of the tick counter, written into the caller's 30-byte buffer.
const char* TickStamp(char* buffer);
