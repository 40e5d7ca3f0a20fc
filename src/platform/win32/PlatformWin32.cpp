// Win32 backend of the platform layer.
#include "platform/Platform.h"

#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <io.h>
#include <share.h>

namespace platform {

namespace {

class TickClock : public Clock {
public:
    uint32_t Tick() override { return GetTickCount(); }
    void Sleep(uint32_t ms) override { ::Sleep(ms); }
};

} // namespace

Clock& RealClock()
{
    static TickClock clock;
    return clock;
}

struct NamedMutex {
    HANDLE handle;
};

NamedMutex* CreateNamedMutex(const wchar_t* name, bool* alreadyExisted)
{
    HANDLE handle = CreateMutexW(nullptr, FALSE, name);
    if (!handle)
        return nullptr;
    if (alreadyExisted)
        *alreadyExisted = GetLastError() == ERROR_ALREADY_EXISTS;
    return new NamedMutex{handle};
}

bool WaitNamedMutex(NamedMutex* mutex, uint32_t timeoutMs)
{
    if (!mutex)
        return false;
    DWORD r = WaitForSingleObject(mutex->handle, timeoutMs);
    return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
}

void ReleaseNamedMutex(NamedMutex* mutex)
{
    if (mutex)
        ReleaseMutex(mutex->handle);
}

void CloseNamedMutex(NamedMutex* mutex)
{
    if (!mutex)
        return;
    CloseHandle(mutex->handle);
    delete mutex;
}

void DebuggerOutput(const std::string& utf8)
{
    std::wstring wide = Utf8ToWide(utf8);
    OutputDebugStringW(wide.c_str());
}

void FatalTrap(const char* text)
{
    OutputDebugStringA(text);
    // Without a debugger DebugBreak would crash the process with another code.
    if (IsDebuggerPresent())
        DebugBreak();
    FatalExit(1);
    ExitProcess(1);
}

FILE* OpenDebugConsole()
{
    AllocConsole();
    SetConsoleTitleW(L"Debug Console");
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(out, &info)) {
        info.dwSize.Y = 500;
        SetConsoleScreenBufferSize(out, info.dwSize);
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(out), _O_TEXT);
    if (fd < 0)
        return nullptr;
    FILE* stream = _fdopen(fd, "w");
    if (stream)
        setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

bool CurrentDirectory(std::wstring& out)
{
    wchar_t buffer[1025];
    DWORD n = GetCurrentDirectoryW(1024, buffer);
    if (n == 0 || n > 1024)
        return false;
    out.assign(buffer, n);
    return true;
}

uint32_t LastErrorCode() { return GetLastError(); }

std::wstring LastErrorText()
{
    DWORD code = GetLastError();
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring result = L"(" + std::to_wstring(code) + L") " + (text ? text : L"unknown error");
    if (text)
        LocalFree(text);
    while (!result.empty() && (result.back() == L'\n' || result.back() == L'\r'))
        result.pop_back();
    return result;
}

static std::wstring WideMode(const char* mode)
{
    std::wstring wide;
    for (int i = 0; i < 7 && mode[i]; ++i)
        wide += static_cast<wchar_t>(mode[i]);
    return wide;
}

FILE* OpenFileDenyWrite(const wchar_t* name, const char* mode)
{
    if (!name || !mode)
        return nullptr;
    return _wfsopen(name, WideMode(mode).c_str(), _SH_DENYWR);
}

// _wfopen shares the file for reading and writing alike.
FILE* OpenFileRead(const wchar_t* name, const char* mode)
{
    if (!name || !mode) {
        errno = EINVAL;
        return nullptr;
    }
    return _wfopen(name, WideMode(mode).c_str());
}

void* AllocateLarge(size_t size)
{
    // Large pages on Windows need a privilege that a host rarely holds.
    return malloc(size ? size : 1);
}

std::string WallClockText()
{
    time_t now = time(nullptr);
    tm local{};
    localtime_s(&local, &now);
    char buffer[64];
    if (asctime_s(buffer, sizeof buffer, &local) != 0)
        return "\n";
    return buffer;
}

} // namespace platform
