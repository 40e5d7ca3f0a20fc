#include "System.h"

#include "Text.h"

#include <io.h>
#include <process.h>
#include <windows.h>

namespace flasher {

namespace {

std::atomic<int>* g_interrupts = nullptr;

// Runs on a thread of its own: count the event and keep the process alive.
BOOL WINAPI OnConsoleControl(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    if (g_interrupts)
        g_interrupts->fetch_add(1);
    return TRUE;
}

} // namespace

Library::~Library()
{
    if (handle_)
        FreeLibrary(static_cast<HMODULE>(handle_));
}

bool Library::Load(const std::string& path, std::string& error)
{
    HMODULE module = LoadLibraryW(Widen(path).c_str());
    if (!module) {
        error = path + ": LoadLibrary failed (" + std::to_string(GetLastError()) + ")";
        return false;
    }
    handle_ = module;
    create = reinterpret_cast<PFN_CreateFlashTool>(reinterpret_cast<void*>(GetProcAddress(module, "CreateFlashTool")));
    destroy = reinterpret_cast<PFN_DestroyFlashTool>(reinterpret_cast<void*>(GetProcAddress(module, "DestroyFlashTool")));
    if (!create || !destroy) {
        error = path + ": no CreateFlashTool/DestroyFlashTool";
        return false;
    }
    return true;
}

const char* LibraryFileName()
{
    return "TAMBRIX01.dll";
}

std::string ProgramDirectory()
{
    wchar_t buffer[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    std::string self = n > 0 && n < MAX_PATH ? Narrow(std::wstring(buffer, n)) : std::string(".");
    size_t slash = self.find_last_of("\\/");
    return slash == std::string::npos ? "." : self.substr(0, slash);
}

std::string ProgramFileName(const std::string& base)
{
    return base + ".exe";
}

bool FileExists(const std::string& path)
{
    return GetFileAttributesW(Widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsTerminal(FILE* stream)
{
    return _isatty(_fileno(stream)) != 0;
}

void PrepareTerminal(FILE* stream)
{
    SetConsoleOutputCP(CP_UTF8);
    HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (GetConsoleMode(console, &mode))
        SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

void CatchInterrupts(std::atomic<int>& count)
{
    g_interrupts = &count;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

int RunProgram(const std::string& program, const std::vector<std::string>& args)
{
    // _wspawnv joins the arguments with spaces: each one is quoted.
    std::vector<std::wstring> quoted;
    quoted.push_back(L"\"" + Widen(program) + L"\"");
    for (const std::string& arg : args)
        quoted.push_back(L"\"" + Widen(arg) + L"\"");
    std::vector<const wchar_t*> argv;
    for (const std::wstring& arg : quoted)
        argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    std::fflush(nullptr);
    intptr_t code = _wspawnv(_P_WAIT, Widen(program).c_str(), argv.data());
    return code < 0 ? -1 : static_cast<int>(code);
}

namespace {

bool SerialPortPresent(const std::string& name)
{
    std::string device = name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
    wchar_t target[1024];
    if (QueryDosDeviceW(Widen(device).c_str(), target, 1024) != 0)
        return true;
    // Not every port is in the DOS device map (Wine's links to ptys are
    // not): an open without access rights asks the driver itself. A port
    // another program holds is there all the same.
    HANDLE port = CreateFileW(Widen("\\\\.\\" + device).c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port != INVALID_HANDLE_VALUE) {
        CloseHandle(port);
        return true;
    }
    DWORD error = GetLastError();
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}

} // namespace

// A COM name is a communications device by its name; what else Windows
// could open under it is not told apart here.
std::string SerialPortProblem(const std::string& name)
{
    return SerialPortPresent(name) ? "" : "no such serial port";
}

long ProcessId()
{
    return static_cast<long>(GetCurrentProcessId());
}

} // namespace flasher
