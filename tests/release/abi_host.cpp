// One host program, compiled twice: by MinGW's g++ and by clang for the MSVC
// ABI, the compiler most Windows firmware programs come from. Each loads
// TAMBRIX01.dll, drives all six operations through the tool's table with
// 64-bit ids and sizes, records and wide texts, and prints what came back as
// a transcript; the two transcripts must be equal, byte for byte.
//
// The MSVC build has no C runtime here, so this file uses no library
// function: only the public header, kernel32 and its own formatting.
// With TAMBRIX_ABI_PORT naming a COM port of a device and firmware.mocf in
// the current directory, the host also asks the device which versions of
// the file suit it (the library fills a record of the host's) and flashes
// the file, the library calling back into the host with its progress.
// Usage: abi_host (in a directory of its own: the log file goes there).
#include "tambrix01/FlashTool.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// Collects the transcript and writes it once to standard output.
class Transcript {
public:
    void Text(const char* text)
    {
        while (*text)
            Put(*text++);
    }
    void Hex(uint64_t value)
    {
        Text("0x");
        for (int shift = 60; shift >= 0; shift -= 4)
            Put("0123456789abcdef"[(value >> shift) & 0xF]);
    }
    void Number(int64_t value)
    {
        if (value < 0) {
            Put('-');
            value = -value;
        }
        char digits[20];
        int count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value);
        while (count)
            Put(digits[--count]);
    }
    // Printable ASCII as it is, every other character as \uXXXX.
    void Wide(const wchar_t* text, size_t length)
    {
        for (size_t i = 0; i < length; ++i) {
            auto code = static_cast<uint32_t>(text[i]);
            if (code >= 0x20 && code < 0x7F && code != '\\') {
                Put(static_cast<char>(code));
            } else {
                Text("\\u");
                for (int shift = 12; shift >= 0; shift -= 4)
                    Put("0123456789abcdef"[(code >> shift) & 0xF]);
            }
        }
    }
    void Bytes(const void* data, size_t size)
    {
        auto* bytes = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < size; ++i) {
            Put("0123456789abcdef"[bytes[i] >> 4]);
            Put("0123456789abcdef"[bytes[i] & 0xF]);
        }
    }
    // "what: result N"
    void Result(const char* what, uint32_t result)
    {
        Text(what);
        Text(": result ");
        Number(result);
        Text("\n");
    }
    bool Flush()
    {
        DWORD written = 0;
        return WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), buffer_, static_cast<DWORD>(used_), &written, nullptr) &&
               written == used_;
    }

private:
    void Put(char c)
    {
        if (used_ < sizeof buffer_)
            buffer_[used_++] = c;
    }
    char buffer_[3072] = {};
    size_t used_ = 0;
};

size_t WideLength(const wchar_t* text)
{
    size_t length = 0;
    while (text[length])
        ++length;
    return length;
}

void Fill(void* data, size_t size, unsigned char first)
{
    auto* bytes = static_cast<unsigned char*>(data);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<unsigned char>(first + 7 * i);
}

// What the library reported through the progress callback; zero-initialised
// storage, as the MSVC build runs no constructors.
struct Progress {
    uint64_t calls;
    uint64_t otherContexts;
    uint64_t nonZero;
    uint64_t position;
    uint64_t total;
    uint64_t largestTotal;
};
Progress progress;
constexpr uint64_t kFlashContext = 0x8877665544332211ull;

int32_t HostProgress(uint64_t context, int32_t zero, uint64_t position, uint64_t total)
{
    ++progress.calls;
    progress.otherContexts += context != kFlashContext;
    progress.nonZero += zero != 0;
    progress.position = position;
    progress.total = total;
    if (total > progress.largestTotal)
        progress.largestTotal = total;
    return 0;
}
// The port the device comes back on after a restart, for the assist
// callback; empty without a device.
struct Assist {
    wchar_t port[64];
    uint64_t calls;
    uint64_t otherArguments;
};
Assist assisted;
constexpr uint64_t kAssistContext = 0x1122334455667788ull;
constexpr uint32_t kAssistId = 0xA5A55A5Au;

int32_t HostAssist(void* context, uint32_t id, wchar_t* buffer, uint32_t capacity)
{
    ++assisted.calls;
    assisted.otherArguments += context != reinterpret_cast<void*>(kAssistContext) || id != kAssistId;
    uint32_t i = 0;
    for (; i + 1 < capacity && assisted.port[i]; ++i)
        buffer[i] = assisted.port[i];
    if (capacity)
        buffer[i] = 0;
    return 0;
}

uint64_t GetU64(CFlashTool* tool, int32_t id, Transcript& out, const char* what)
{
    uint64_t value = 0x5A5A5A5A5A5A5A5Aull;
    out.Result(what, tool->GetSetting(id, &value, sizeof value));
    out.Text("  value ");
    out.Hex(value);
    out.Text("\n");
    return value;
}

// Numbers: the 64-bit values and sizes, an id of the library's own range and
// a negative one.
void Numbers(CFlashTool* tool, Transcript& out)
{
    uint64_t cancel = 0xFEDCBA9876543210ull;
    out.Result("set CFS_CANCELIO", tool->SetSetting(CFS_CANCELIO, &cancel, sizeof cancel));
    GetU64(tool, CFS_CANCELIO, out, "get CFS_CANCELIO");
    cancel = 0;
    tool->SetSetting(CFS_CANCELIO, &cancel, sizeof cancel);

    uint64_t type = INTERFACE_RS232;
    // A size whose upper half is set is not 8.
    out.Result("set CFS_INTERFACE size 2^32+8", tool->SetSetting(CFS_INTERFACE, &type, 0x100000008ull));
    out.Result("set CFS_INTERFACE", tool->SetSetting(CFS_INTERFACE, &type, sizeof type));
    GetU64(tool, CFS_INTERFACE, out, "get CFS_INTERFACE");

    uint64_t reply = 0x00000001000005DCull;
    out.Result("set CFS_PELLARO_TIMEOUT_REPLY", tool->SetSetting(CFS_PELLARO_TIMEOUT_REPLY, &reply, sizeof reply));
    GetU64(tool, CFS_PELLARO_TIMEOUT_REPLY, out, "get CFS_PELLARO_TIMEOUT_REPLY");
    out.Result("get id -2", tool->GetSetting(-2, &reply, sizeof reply));
    out.Result("get id 9", tool->GetSetting(9, &reply, sizeof reply));
}

// Wide texts in and out, and a list of them.
void Texts(CFlashTool* tool, Transcript& out)
{
    wchar_t text[80];
    out.Result("get CFS_DLLVERSION capacity 61", tool->GetSetting(CFS_DLLVERSION, text, 61));
    out.Result("get CFS_DLLVERSION capacity 2^32+79", tool->GetSetting(CFS_DLLVERSION, text, 0x100000000ull + 79));
    out.Text("  text ");
    out.Wide(text, WideLength(text));
    out.Text("\n");
    out.Result("set CFS_DLLVERSION", tool->SetSetting(CFS_DLLVERSION, text, 79));

    wchar_t port[] = L"COM7 \u00e9\u20ac\u4e2d";
    out.Result("set CFS_PORTNAME", tool->SetSetting(CFS_PORTNAME, port, WideLength(port)));
    Fill(text, sizeof text, 0xC3);
    out.Result("get CFS_PORTNAME capacity 7", tool->GetSetting(CFS_PORTNAME, text, 7));
    out.Result("get CFS_PORTNAME capacity 8", tool->GetSetting(CFS_PORTNAME, text, 8));
    out.Text("  text ");
    out.Wide(text, 10);
    out.Text("\n");

    wchar_t list[] = L"AB\0\u00e9Z\0\0";
    out.Result("set CFS_INITSTRING", tool->SetSetting(CFS_INITSTRING, list, sizeof list / sizeof list[0]));
    Fill(text, sizeof text, 0x11);
    out.Result("get CFS_INITSTRING", tool->GetSetting(CFS_INITSTRING, text, sizeof text / sizeof text[0]));
    out.Text("  list ");
    out.Wide(text, 8);
    out.Text("\n");

    wchar_t missing[] = L"missing-settings.txt";
    out.Result("set CFS_PROTOCOL_SETTINGS", tool->SetSetting(CFS_PROTOCOL_SETTINGS, missing, WideLength(missing)));
}

// Records and the pointers the library keeps for the host.
void Records(CFlashTool* tool, Transcript& out)
{
    WIN32_232_SETTINGS serial;
    Fill(&serial, sizeof serial, 0x21);
    out.Result("set CFS_WIN32_232_SETTINGS", tool->SetSetting(CFS_WIN32_232_SETTINGS, &serial, sizeof serial));
    WIN32_232_SETTINGS back;
    Fill(&back, sizeof back, 0x99);
    out.Result("get CFS_WIN32_232_SETTINGS", tool->GetSetting(CFS_WIN32_232_SETTINGS, &back, sizeof back));
    out.Text("  record ");
    out.Bytes(&back, sizeof back);
    out.Text("\n");

    out.Result("set CFS_FWCALLBACK", tool->SetSetting(CFS_FWCALLBACK, reinterpret_cast<void*>(&HostProgress), 8));
    FwCallback callback = nullptr;
    out.Result("get CFS_FWCALLBACK", tool->GetSetting(CFS_FWCALLBACK, &callback, 8));
    out.Text(callback == &HostProgress ? "  the host's own function\n" : "  another pointer\n");

    DllAssistSettings assist = {&HostAssist, reinterpret_cast<void*>(kAssistContext), kAssistId};
    out.Result("set CFS_DLLASSIST_SETTINGS", tool->SetSetting(CFS_DLLASSIST_SETTINGS, &assist, sizeof assist));

    // The serial settings with no baud rate: both requests stop at their
    // checks, before any port is opened, and leave the record alone.
    WIN32_232_SETTINGS noBaud;
    Fill(&noBaud, sizeof noBaud, 0);
    noBaud.dcb.DCBlength = sizeof noBaud.dcb;
    noBaud.dcb.BaudRate = 0;
    tool->SetSetting(CFS_WIN32_232_SETTINGS, &noBaud, sizeof noBaud);
}

void Operations(CFlashTool* tool, Transcript& out)
{
    FileVersionInfo info;
    Fill(&info, sizeof info, 0x5A);
    out.Result("GetFileVersion", tool->GetFileVersion(L"missing \u00e9.mocf", &info));
    out.Text("  record ");
    out.Bytes(&info, 16);
    out.Text("\n");
    out.Result("FlashScanner", tool->FlashScanner(kFlashContext, L"missing \u00e9.mocf"));
    out.Result("FixedValueA", tool->FixedValueA());
    out.Result("FixedValueB", tool->FixedValueB());
}

void Versions(const char* what, const char* text, const int32_t* time, Transcript& out)
{
    out.Text(what);
    out.Text(" \"");
    out.Text(text);
    out.Text("\" built");
    for (int i = 0; i < 9; ++i) {
        out.Text(" ");
        out.Number(time[i]);
    }
    out.Text("\n");
}

// A tool of its own, so the odd values set before leave the flash alone.
void DeviceQuery(PFN_CreateFlashTool create, PFN_DestroyFlashTool destroy, Transcript& out)
{
    wchar_t* port = assisted.port;
    DWORD length = GetEnvironmentVariableW(L"TAMBRIX_ABI_PORT", port, 64);
    if (length == 0 || length >= 64)
        return;
    CFlashTool* tool = create();
    wchar_t logName[] = L"abi-host-device.log";
    LogFileSettings log = {LOG_TO_FILE, logName, 3};
    tool->SetSetting(CFS_LOGFILE, &log, sizeof log);
    tool->SetSetting(CFS_FWCALLBACK, reinterpret_cast<void*>(&HostProgress), 8);
    DllAssistSettings assist = {&HostAssist, reinterpret_cast<void*>(kAssistContext), kAssistId};
    tool->SetSetting(CFS_DLLASSIST_SETTINGS, &assist, sizeof assist);
    uint64_t type = INTERFACE_RS232;
    tool->SetSetting(CFS_INTERFACE, &type, sizeof type);
    tool->SetSetting(CFS_PORTNAME, port, length);
    WIN32_232_SETTINGS serial = {};
    serial.dcb.DCBlength = sizeof serial.dcb;
    serial.dcb.BaudRate = 115200;
    serial.dcb.fBinary = 1;
    serial.dcb.fDtrControl = DTR_CONTROL_ENABLE;
    serial.dcb.fRtsControl = RTS_CONTROL_ENABLE;
    serial.dcb.ByteSize = 8;
    serial.dcb.Parity = NOPARITY;
    serial.dcb.StopBits = ONESTOPBIT;
    tool->SetSetting(CFS_WIN32_232_SETTINGS, &serial, sizeof serial);

    FileVersionInfo info;
    Fill(&info, sizeof info, 0x5A);
    out.Result("GetFileVersion from the device", tool->GetFileVersion(L"firmware.mocf", &info));
    info.appVersion[sizeof info.appVersion - 1] = 0;
    info.bootVersion[sizeof info.bootVersion - 1] = 0;
    Versions("  application", info.appVersion, info.appBuildTime, out);
    Versions("  boot", info.bootVersion, info.bootBuildTime, out);

    // A whole flash, the progress coming back into this host's function.
    progress = Progress{};
    out.Result("FlashScanner into the device", tool->FlashScanner(kFlashContext, L"firmware.mocf"));
    out.Text(progress.calls ? "  progress reported\n" : "  no progress\n");
    out.Text("  other host contexts ");
    out.Number(static_cast<int64_t>(progress.otherContexts));
    out.Text(", non-zero second arguments ");
    out.Number(static_cast<int64_t>(progress.nonZero));
    out.Text("\n  last ");
    out.Number(static_cast<int64_t>(progress.position));
    out.Text(" of ");
    out.Number(static_cast<int64_t>(progress.total));
    out.Text(", largest total ");
    out.Number(static_cast<int64_t>(progress.largestTotal));
    out.Text(assisted.calls ? "\n  port name asked for after restarts" : "\n  port name never asked for");
    out.Text(", other assist arguments ");
    out.Number(static_cast<int64_t>(assisted.otherArguments));
    out.Text("\n");
    destroy(tool);
}

int RunHost()
{
    Transcript out;
    HMODULE lib = LoadLibraryW(L"TAMBRIX01.dll");
    auto create = reinterpret_cast<PFN_CreateFlashTool>(reinterpret_cast<void*>(GetProcAddress(lib, "CreateFlashTool")));
    auto destroy =
        reinterpret_cast<PFN_DestroyFlashTool>(reinterpret_cast<void*>(GetProcAddress(lib, "DestroyFlashTool")));
    // The same entry points through the import library (made from the .def
    // for the MSVC build): a host may bind either way.
    out.Text(create == &CreateFlashTool && destroy == &DestroyFlashTool ? "entry points: bound alike\n"
                                                                       : "entry points: differ\n");
    CFlashTool* tool = create ? create() : nullptr;
    if (!tool) {
        out.Text("no tool\n");
        out.Flush();
        return 1;
    }

    wchar_t logName[] = L"abi-host \u00e9.log";
    LogFileSettings log = {LOG_TO_FILE, logName, 3};
    out.Result("set CFS_LOGFILE", tool->SetSetting(CFS_LOGFILE, &log, sizeof log));
    out.Result("get CFS_LOGFILE", tool->GetSetting(CFS_LOGFILE, &log, sizeof log));

    Numbers(tool, out);
    Texts(tool, out);
    Records(tool, out);
    Operations(tool, out);
    destroy(tool);
    destroy(nullptr);

    DeviceQuery(create, destroy, out);
    FreeLibrary(lib);
    out.Text("done\n");
    return out.Flush() ? 0 : 1;
}

} // namespace

#ifdef _MSC_VER
// Without a C runtime the compiler's own calls for copies and clears land
// here.
extern "C" void* memset(void* data, int value, size_t size)
{
    auto* bytes = static_cast<volatile unsigned char*>(data);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<unsigned char>(value);
    return data;
}

extern "C" void* memcpy(void* to, const void* from, size_t size)
{
    auto* out = static_cast<volatile unsigned char*>(to);
    auto* in = static_cast<const unsigned char*>(from);
    for (size_t i = 0; i < size; ++i)
        out[i] = in[i];
    return to;
}

extern "C" void HostStart() { ExitProcess(static_cast<UINT>(RunHost())); }
#else
int main() { return RunHost(); }
#endif
