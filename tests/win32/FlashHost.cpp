// A Windows host program for the real-time flash under Wine: it writes the
// firmware file and the areas the device must hold afterwards into the
// current directory, loads TAMBRIX01.dll with LoadLibrary and flashes the
// file through a COM port. flash_over_com.sh starts the simulator behind the
// port and compares what it dumps.
// Usage: flash_host DLL PORT; exit code: FlashScanner's result, 100 when the
// library or the files cannot be had.
#include "FlashHostFiles.h"
#include "tambrix01/FlashTool.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

constexpr int kNoLibrary = 100;

void* Symbol(HMODULE lib, const char* name)
{
    return lib ? reinterpret_cast<void*>(GetProcAddress(lib, name)) : nullptr;
}

std::wstring Widen(const char* text)
{
    std::string narrow = text;
    return std::wstring(narrow.begin(), narrow.end());
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::printf("usage: flash_host DLL PORT\n");
        return kNoLibrary;
    }
    if (!WriteFlashHostFiles()) {
        std::printf("cannot write the firmware files\n");
        return kNoLibrary;
    }

    HMODULE lib = LoadLibraryA(argv[1]);
    auto create = reinterpret_cast<PFN_CreateFlashTool>(Symbol(lib, "CreateFlashTool"));
    auto destroy = reinterpret_cast<PFN_DestroyFlashTool>(Symbol(lib, "DestroyFlashTool"));
    CFlashTool* tool = create && destroy ? create() : nullptr;
    if (!tool) {
        std::printf("cannot load %s\n", argv[1]);
        return kNoLibrary;
    }

    LogFileSettings log = {LOG_TO_FILE, L"flash.log", 3};
    tool->SetSetting(CFS_LOGFILE, &log, sizeof log);
    uint64_t interface = INTERFACE_RS232;
    tool->SetSetting(CFS_INTERFACE, &interface, sizeof interface);
    std::wstring port = Widen(argv[2]);
    tool->SetSetting(CFS_PORTNAME, port.data(), port.size());
    WIN32_232_SETTINGS serial{};
    serial.dcb.DCBlength = sizeof serial.dcb;
    serial.dcb.BaudRate = 115200;
    serial.dcb.fBinary = 1;
    serial.dcb.fDtrControl = DTR_CONTROL_ENABLE;
    serial.dcb.fRtsControl = RTS_CONTROL_ENABLE;
    serial.dcb.ByteSize = 8;
    serial.dcb.Parity = NOPARITY;
    serial.dcb.StopBits = ONESTOPBIT;
    tool->SetSetting(CFS_WIN32_232_SETTINGS, &serial, sizeof serial);

    DWORD start = GetTickCount();
    uint32_t result = tool->FlashScanner(0, L"firmware.mocf");
    std::printf("FlashScanner on %s: result %u after %.1f s\n", argv[2], result, (GetTickCount() - start) / 1000.0);
    destroy(tool);
    FreeLibrary(lib);
    return static_cast<int>(result);
}
