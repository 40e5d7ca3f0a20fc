// A host program written only against the public header: it loads the
// library at run time, as firmware update tools do, and drives a tool
// through its table of operations. The same source runs against
// libTAMBRIX01.so natively and TAMBRIX01.dll under Wine.
#include "tambrix01/FlashTool.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#ifdef _WIN32
#include <windows.h>
static void* LoadLib(const char* path) { return reinterpret_cast<void*>(LoadLibraryA(path)); }
static void* Symbol(void* lib, const char* name)
{
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(lib), name));
}
#else
#include <dlfcn.h>
static void* LoadLib(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
static void* Symbol(void* lib, const char* name) { return dlsym(lib, name); }
#endif

static int failures = 0;

#define CHECK(cond)                                                    \
    do {                                                               \
        if (!(cond)) {                                                 \
            std::printf("FAILED line %d: %s\n", __LINE__, #cond);      \
            ++failures;                                                \
        }                                                              \
    } while (0)

static std::string ReadAll(const char* path)
{
    std::string text;
    if (FILE* f = std::fopen(path, "rb")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
            for (size_t i = 0; i < n; ++i)
                if (buffer[i] != '\r')   // a Windows log file is written in text mode
                    text += buffer[i];
        std::fclose(f);
    }
    return text;
}

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::printf("usage: host_smoke LIBRARY LOGFILE\n");
        return 2;
    }
    void* lib = LoadLib(argv[1]);
    if (!lib) {
        std::printf("cannot load %s\n", argv[1]);
        return 1;
    }
    auto create = reinterpret_cast<PFN_CreateFlashTool>(Symbol(lib, "CreateFlashTool"));
    auto destroy = reinterpret_cast<PFN_DestroyFlashTool>(Symbol(lib, "DestroyFlashTool"));
    CHECK(create && destroy);
    if (!create || !destroy)
        return 1;

    CFlashTool* tool = create();
    CHECK(tool != nullptr);
    CHECK(tool->FixedValueA() == 13);
    CHECK(tool->FixedValueB() == 4);

    wchar_t version[100] = {};
    CHECK(tool->GetSetting(CFS_DLLVERSION, version, 99) == 0);
    CHECK(std::wcscmp(version, L"1.20 | 1.27.0 | RM000048TXQ | TAMBRIX01 | Aug 22 2016 09:48:13") == 0);

    std::wstring logName(argv[2], argv[2] + std::strlen(argv[2]));
    LogFileSettings logSettings = {LOG_TO_FILE, logName.c_str(), 3};
    CHECK(tool->SetSetting(CFS_LOGFILE, &logSettings, sizeof logSettings) == 0);
    CHECK(tool->SetSetting(CFS_LOGFILE, &logSettings, sizeof logSettings) == 1);

    uint64_t type = INTERFACE_RS232;
    CHECK(tool->SetSetting(CFS_INTERFACE, &type, sizeof type) == 0);
    const wchar_t port[] = L"COM7";
    CHECK(tool->SetSetting(CFS_PORTNAME, const_cast<wchar_t*>(port), 4) == 0);
    FileVersionInfo info;
    std::memset(&info, 0x5A, sizeof info);
    // Serial without a baud rate: refused, and the record stays untouched.
    CHECK(tool->GetFileVersion(L"firmware.mocf", &info) == 1);
    CHECK(reinterpret_cast<unsigned char*>(&info)[0] == 0x5A);
    CHECK(tool->FixedValueA() == 13);
    destroy(tool);
    destroy(nullptr);

    std::string log = ReadAll(argv[2]);
    CHECK(log.find("FlashDLL Vers: 1.20 | 1.27.0 | RM000048TXQ | TAMBRIX01 | Aug 22 2016 09:48:13\n") != std::string::npos);
    CHECK(log.find("Log Flags: 0xffffffff\n") != std::string::npos);
    CHECK(log.find("Get and SetSetting: set port name COM7.\n") != std::string::npos);
    CHECK(log.find("ZERO is an invalid baudrate\n") != std::string::npos);
    CHECK(log.find("END LOG: ") != std::string::npos);

    std::printf("%s\n", failures ? "host smoke test FAILED" : "host smoke test passed");
    return failures ? 1 : 0;
}
