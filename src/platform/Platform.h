// The operating-system services the library needs, behind one small
// interface with a Win32 and a POSIX implementation. The core never calls the
// operating system for these itself.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

namespace platform {

// ---- time -----------------------------------------------------------------
// Every wait, deadline and pause of the library goes through the installed
// clock, so tests can run whole sequences on virtual time.
class Clock {
public:
    virtual ~Clock() = default;
    virtual uint32_t Tick() = 0;            // milliseconds, wraps at 2^32
    virtual void Sleep(uint32_t ms) = 0;
};

Clock& RealClock();
// Installs a clock for the whole process; null restores the real one.
// Returns the previous clock.
Clock* SetClock(Clock* clock);
uint32_t TickCount();
// True once more than limitMs have gone by since `start` (a TickCount). Safe
// across the counter's wrap; limits past the counter's range never expire.
bool TimeUp(uint32_t start, uint64_t limitMs);
void SleepMs(uint32_t ms);

// ---- named mutexes between processes ---------------------------------------
struct NamedMutex;
// Creates or opens the mutex; *alreadyExisted tells whether another holder
// had it. Null on failure.
NamedMutex* CreateNamedMutex(const wchar_t* name, bool* alreadyExisted);
// True once owned; false when timeoutMs ran out or on error.
bool WaitNamedMutex(NamedMutex* mutex, uint32_t timeoutMs);
void ReleaseNamedMutex(NamedMutex* mutex);
void CloseNamedMutex(NamedMutex* mutex);

// ---- diagnostics ------------------------------------------------------------
void DebuggerOutput(const std::string& utf8);
// Reference-count trap: report, break into a debugger if one is attached, and
// end the process with exit code 1.
[[noreturn]] void FatalTrap(const char* text);

// Opens the library's own console (title "Debug Console", 500 lines of
// history) and returns a stream on it, or null.
FILE* OpenDebugConsole();

// Current directory, or false when it cannot be read.
bool CurrentDirectory(std::wstring& out);
// Text of the last system error of this thread ("(code) text").
std::wstring LastErrorText();
uint32_t LastErrorCode();

// Opens a file by wide name, denying other writers while it is open (the
// log file). mode is "r", "rb", "w" or "wb". Null on failure.
FILE* OpenFileDenyWrite(const wchar_t* name, const char* mode);
// Opens a file by wide name for reading, sharing it with everybody, writers
// included: a file another program still holds open can be read. mode is
// "r" (text) or "rb". Null on failure, with errno set.
FILE* OpenFileRead(const wchar_t* name, const char* mode);

// Local wall-clock time as asctime() text ("Wed Dec  9 21:38:49 2026\n").
std::string WallClockText();

// ---- memory ------------------------------------------------------------------
// A buffer the size of a whole firmware file, from the C allocator: free it
// with free(). Where the system can back a buffer of megabytes with large
// pages it asks for them, so that filling it costs a few page faults rather
// than one per 4 KiB page. Null when memory runs out.
void* AllocateLarge(size_t size);

// ---- text --------------------------------------------------------------------
// printf-style formatting with one convention on every platform: %s and %ls
// take wide strings, %hs narrow ones; %c takes a character code. The result
// is UTF-8.
std::string FormatV(const wchar_t* format, va_list args);
std::string Format(const wchar_t* format, ...);
std::string WideToUtf8(const wchar_t* text);
std::string WideToUtf8(const wchar_t* text, size_t length);
std::wstring Utf8ToWide(const std::string& text);

} // namespace platform
