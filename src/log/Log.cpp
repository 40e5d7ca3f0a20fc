#include "log/Log.h"

#include "platform/Platform.h"

#include <cwchar>
#include <string>

namespace {

void DebuggerOutputFn(void*, const wchar_t* format, va_list args)
{
    std::string text = platform::FormatV(format, args);
    // The debugger channel takes at most 2047 characters per message.
    std::wstring wide = platform::Utf8ToWide(text);
    if (wide.size() > 2047)
        text = platform::WideToUtf8(wide.c_str(), 2047);
    platform::DebuggerOutput(text);
}

void WriteToStream(FILE* stream, const wchar_t* format, va_list args)
{
    std::string text = platform::FormatV(format, args);
    fwrite(text.data(), 1, text.size(), stream);
    fflush(stream);
}

void StreamOutputFn(void* context, const wchar_t* format, va_list args)
{
    WriteToStream(static_cast<FILE*>(context), format, args);
}

void ConsoleOutputFn(void* context, const wchar_t* format, va_list args)
{
    auto* console = static_cast<DebugConsole*>(context);
    if (console->stream)
        WriteToStream(console->stream, format, args);
}

} // namespace

DebugConsole::DebugConsole() : RefCounted("unknown"), stream(platform::OpenDebugConsole()) {}

Log::Log() : RefCounted("Log::Log"), startTick(platform::TickCount()), lastTick(startTick) {}

Log::~Log()
{
    if (output == StreamOutputFn) {
        auto* stream = static_cast<FILE*>(outputContext);
        if (!IsStandardStream()) {
            if (flags & LOG_INFO)
                Stamp(LOG_INFO, L"END LOG: ");
            fflush(stream);
            fclose(stream);
        } else {
            fflush(stream);
        }
        output = nullptr;
    }
    CheckRefZero(this);
}

bool Log::IsStandardStream() const
{
    return outputContext == stdout || outputContext == stderr;
}

// Logging never fails its caller: a line that cannot be made (no memory
// for its text) is dropped.
void Log::VPrint(uint64_t level, const wchar_t* format, va_list args)
{
    if (!Enabled(level))
        return;
    try {
        output(outputContext, format, args);
    } catch (...) {
    }
}

void Log::Print(uint64_t level, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    VPrint(level, format, args);
    va_end(args);
}

void Log::Stamp(uint64_t level, const wchar_t* label)
{
    if (!Enabled(level))
        return;
    uint32_t now = platform::TickCount();
    uint32_t abs = now - startTick;
    uint32_t delta = now - lastTick;
    try {
        std::string wallClock = platform::WallClockText();
        if (wallClock.size() > 30)
            wallClock.resize(30);
        Print(level, L"%s: (Abs: %d.%03d, Delta: %d.%03d) now -> %hs ", label, abs / 1000, abs % 1000,
              delta / 1000, delta % 1000, wallClock.c_str());
    } catch (...) {
    }
    lastTick = now;
}

void Log::PrintCwd(uint64_t level)
{
    try {
        std::wstring cwd;
        if (platform::CurrentDirectory(cwd))
            Print(level, L"CWD: %s\n", cwd.c_str());
        else
            Print(level, L"Unknown CWD\n");
    } catch (...) {
    }
}

void Log::UseDebugger()
{
    output = DebuggerOutputFn;
    outputContext = nullptr;
    if (flags & LOG_INFO)
        Stamp(LOG_INFO, L"BEGIN: ");
    PrintCwd(LOG_INFO);
}

int Log::OpenFile(const wchar_t* fileName)
{
    if (!fileName)
        return -1;
    auto is = [fileName](const wchar_t* name) { return wcscmp(fileName, name) == 0; };
    FILE* stream;
    if (is(L"-") || is(L"stdout") || is(L"/dev/stdout"))
        stream = stdout;
    else if (is(L"stderr") || is(L"/dev/stderr"))
        stream = stderr;
    else
        stream = platform::OpenFileDenyWrite(fileName, "w");
    if (!stream)
        return -1;
    UseStream(stream);
    return 0;
}

void Log::UseStream(FILE* stream)
{
    output = StreamOutputFn;
    outputContext = stream;
    if (IsStandardStream())
        return;
    if (flags & LOG_INFO)
        Stamp(LOG_INFO, L"START: ");
    PrintCwd(LOG_INFO);
}

void Log::UseConsole()
{
    // Made first: when it cannot be made, the log keeps no output rather
    // than one without its console.
    auto* console = new DebugConsole();
    output = ConsoleOutputFn;
    outputContext = console;
    Stamp(0, L"START: ");
    PrintCwd(0);
}

void LogPrintV(Log* log, uint64_t level, const wchar_t* format, va_list args)
{
    if (log)
        log->VPrint(level, format, args);
}

void LogPrint(Log* log, uint64_t level, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    LogPrintV(log, level, format, args);
    va_end(args);
}
