// tambrix-flash: the command-line flasher. It is a host program like any
// other: it loads the library at run time and drives it through the public
// header only.
#include "tambrix01/FlashTool.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <dlfcn.h>
#include <string>

namespace {

void Usage(FILE* out)
{
    std::fputs("usage: tambrix-flash [options] FIRMWARE\n"
               "  --library PATH     libTAMBRIX01.so to load (default: next to this program)\n"
               "  --port NAME        serial device path or HID device name\n"
               "  --usb              use USB HID instead of the serial port\n"
               "  --baud N           serial baud rate (default 115200)\n"
               "  --log FILE         log file, '-' for standard output (default '-')\n"
               "  --log-level N      1 low, 2 medium, 3 high (default 2)\n"
               "  --settings FILE    protocol settings file (.txt)\n"
               "  --version-only     ask which firmware of the file suits the device\n"
               "exit codes: the library's result code; 64 bad usage; 70 library not loadable\n",
               out);
}

std::wstring Widen(const char* text)
{
    std::wstring wide;
    std::mbstate_t state{};
    size_t n = std::mbsrtowcs(nullptr, &text, 0, &state);
    if (n == static_cast<size_t>(-1))
        return std::wstring(text, text + std::strlen(text));
    wide.resize(n);
    std::mbsrtowcs(wide.data(), &text, n, &state);
    return wide;
}

std::string DefaultLibrary(const char* argv0)
{
    std::string self = argv0;
    size_t slash = self.rfind('/');
    std::string dir = slash == std::string::npos ? "." : self.substr(0, slash);
    return dir + "/../src/libTAMBRIX01.so";
}

// The result codes in words for the closing line; an unlisted one (a
// negative open failure included) is a failure.
const char* ResultName(uint32_t result, bool versionOnly)
{
    static const char* const kFlash[] = {"flashed",
                                         "failed",
                                         "cancelled",
                                         "not a firmware file",
                                         "firmware not compatible with the device",
                                         "cradle not back in server mode, or no answer after the flash",
                                         "flashed; the device was in its bootloader",
                                         "no radio link and the scanner not in its cradle",
                                         "scanner battery low",
                                         "no scanner behind the cradle",
                                         nullptr,
                                         nullptr,
                                         "no new port name from the host"};
    static const char* const kVersion[] = {"found", "bad input", "nothing in the file suits the device"};
    if (versionOnly)
        return result < 3 ? kVersion[result] : "failed";
    const char* name = result < sizeof kFlash / sizeof kFlash[0] ? kFlash[result] : nullptr;
    return name ? name : "failed";
}

struct Options {
    std::string library;
    std::string port;
    bool usb = false;
    uint32_t baud = 115200;
    std::string log = "-";
    uint64_t level = 2;
    std::string settings;
    bool versionOnly = false;
    std::string firmware;
};

bool Parse(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (arg == "--usb") o.usb = true;
        else if (arg == "--version-only") o.versionOnly = true;
        else if (arg == "--help" || arg == "-h") { Usage(stdout); std::exit(0); }
        else if (arg == "--library" && (v = value())) o.library = v;
        else if (arg == "--port" && (v = value())) o.port = v;
        else if (arg == "--baud" && (v = value())) o.baud = static_cast<uint32_t>(std::strtoul(v, nullptr, 10));
        else if (arg == "--log" && (v = value())) o.log = v;
        else if (arg == "--log-level" && (v = value())) o.level = std::strtoull(v, nullptr, 10);
        else if (arg == "--settings" && (v = value())) o.settings = v;
        else if (arg[0] != '-' && o.firmware.empty()) o.firmware = arg;
        else return false;
    }
    return !o.firmware.empty();
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!Parse(argc, argv, o)) {
        Usage(stderr);
        return 64;
    }
    if (o.library.empty())
        o.library = DefaultLibrary(argv[0]);
    void* lib = dlopen(o.library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        std::fprintf(stderr, "tambrix-flash: %s\n", dlerror());
        return 70;
    }
    auto create = reinterpret_cast<PFN_CreateFlashTool>(dlsym(lib, "CreateFlashTool"));
    auto destroy = reinterpret_cast<PFN_DestroyFlashTool>(dlsym(lib, "DestroyFlashTool"));
    CFlashTool* tool = create ? create() : nullptr;
    if (!tool || !destroy) {
        std::fprintf(stderr, "tambrix-flash: %s: no flash tool\n", o.library.c_str());
        return 70;
    }

    std::wstring logName = Widen(o.log.c_str());
    LogFileSettings log = {LOG_TO_FILE, logName.c_str(), o.level};
    tool->SetSetting(CFS_LOGFILE, &log, sizeof log);
    if (!o.settings.empty()) {
        std::wstring name = Widen(o.settings.c_str());
        if (tool->SetSetting(CFS_PROTOCOL_SETTINGS, name.data(), name.size() * sizeof(wchar_t)) != 0)
            std::fprintf(stderr, "tambrix-flash: %s: refused lines, see the log\n", o.settings.c_str());
    }
    uint64_t type = o.usb ? INTERFACE_USB_HID : INTERFACE_RS232;
    tool->SetSetting(CFS_INTERFACE, &type, sizeof type);
    if (!o.port.empty()) {
        std::wstring port = Widen(o.port.c_str());
        tool->SetSetting(CFS_PORTNAME, port.data(), port.size());
    }
    WIN32_232_SETTINGS serial{};
    serial.dcb.DCBlength = sizeof serial.dcb;
    serial.dcb.BaudRate = o.baud;
    serial.dcb.ByteSize = 8;
    serial.dcb.fBinary = 1;
    tool->SetSetting(CFS_WIN32_232_SETTINGS, &serial, sizeof serial);

    std::wstring firmware = Widen(o.firmware.c_str());
    uint32_t result;
    if (o.versionOnly) {
        FileVersionInfo info{};
        result = tool->GetFileVersion(firmware.c_str(), &info);
        if (result == VERSION_RESULT_OK)
            std::printf("application: %s\nbootloader: %s\n", info.appVersion, info.bootVersion);
    } else {
        result = tool->FlashScanner(0, firmware.c_str());
    }
    std::fflush(stdout);   // the versions come before the closing line, also in a pipe
    std::fprintf(stderr, "tambrix-flash: result %u (%s)\n", result, ResultName(result, o.versionOnly));
    destroy(tool);
    return static_cast<int>(result);
}
