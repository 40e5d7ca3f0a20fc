// A Windows host program for the USB flash under Wine: it finds the
// scanner's application as a HID device by its ids, as a host would, and
// flashes it through TAMBRIX01.dll, whose own USB backend finds the
// bootloader after the re-enumeration. With --occupy, another holder takes
// the mutex of the bootloader's device as soon as it appears, before the
// library looks for it. flash_over_usb.sh serves the simulator behind the
// HID device and compares what it dumps.
// Usage: usb_flash_host DLL VID:PID [--occupy VID:PID]; exit code:
// FlashScanner's result, 100 when the library, the files or the device
// cannot be had.
#include "FlashHostFiles.h"
#include "tambrix01/FlashTool.h"

#include <windows.h>

#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kNoSetUp = 100;
// Wine's HID bus adds the device a few seconds after the first program
// starts; a restarted device comes back faster.
constexpr DWORD kFindApplicationMs = 60000;
constexpr DWORD kFindBootloaderMs = 30000;
constexpr DWORD kPollMs = 20;

struct Ids {
    USHORT vendorId = 0;
    USHORT productId = 0;
};

bool ParseIds(const char* text, Ids& ids)
{
    unsigned vid = 0, pid = 0;
    if (std::sscanf(text, "%x:%x", &vid, &pid) != 2)
        return false;
    ids = {static_cast<USHORT>(vid), static_cast<USHORT>(pid)};
    return true;
}

bool HasIds(const wchar_t* path, const Ids& ids)
{
    HANDLE query = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (query == INVALID_HANDLE_VALUE)
        return false;
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    bool match = HidD_GetAttributes(query, &attributes) && attributes.VendorID == ids.vendorId &&
                 attributes.ProductID == ids.productId;
    CloseHandle(query);
    return match;
}

// The path of the present HID interface with these ids, or empty.
std::wstring FindHid(const Ids& ids)
{
    GUID guid;
    HidD_GetHidGuid(&guid);
    HDEVINFO set = SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return L"";
    std::wstring found;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; found.empty() && SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data); ++i) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
            continue;
        std::vector<BYTE> buffer(size);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof *detail;
        if (SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, nullptr) &&
            HasIds(detail->DevicePath, ids))
            found = detail->DevicePath;
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

std::wstring WaitForHid(const Ids& ids, DWORD limitMs, const std::atomic<bool>* stop = nullptr)
{
    DWORD start = GetTickCount();
    for (;;) {
        std::wstring path = FindHid(ids);
        if (!path.empty() || GetTickCount() - start >= limitMs || (stop && *stop))
            return path;
        Sleep(kPollMs);
    }
}

// Another holder of the bootloader's device: it takes the device's mutex
// the moment the device appears and keeps it until the flash has ended.
class Occupier {
public:
    explicit Occupier(const Ids& ids) : thread_([this, ids] { Run(ids); }) {}
    ~Occupier()
    {
        stop_ = true;
        thread_.join();
    }
    bool Held() const { return held_; }

private:
    void Run(const Ids& ids)
    {
        std::wstring path = WaitForHid(ids, kFindBootloaderMs, &stop_);
        std::wstring name = path.empty() ? L"" : DeviceMutexName(path.c_str());
        HANDLE mutex = name.empty() ? nullptr : CreateMutexW(nullptr, TRUE, name.c_str());
        held_ = mutex && GetLastError() != ERROR_ALREADY_EXISTS;
        std::printf("occupier: %s %ls\n", held_ ? "holds" : "could not take", name.c_str());
        while (!stop_)
            Sleep(kPollMs);
        if (mutex) {
            ReleaseMutex(mutex);
            CloseHandle(mutex);
        }
    }

    std::atomic<bool> stop_{false};
    std::atomic<bool> held_{false};
    std::thread thread_;
};

void* Symbol(HMODULE lib, const char* name)
{
    return lib ? reinterpret_cast<void*>(GetProcAddress(lib, name)) : nullptr;
}

void Set(CFlashTool* tool, uint32_t id, uint64_t value)
{
    tool->SetSetting(id, &value, sizeof value);
}

} // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    Ids application, occupied;
    bool occupy = argc == 5 && std::strcmp(argv[3], "--occupy") == 0 && ParseIds(argv[4], occupied);
    if ((argc != 3 && !occupy) || !ParseIds(argv[2], application)) {
        std::printf("usage: usb_flash_host DLL VID:PID [--occupy VID:PID]\n");
        return kNoSetUp;
    }
    if (!WriteFlashHostFiles()) {
        std::printf("cannot write the firmware files\n");
        return kNoSetUp;
    }
    std::wstring path = WaitForHid(application, kFindApplicationMs);
    if (path.empty()) {
        std::printf("no HID device %04x:%04x\n", application.vendorId, application.productId);
        return kNoSetUp;
    }
    std::printf("application: %ls\n", path.c_str());

    HMODULE lib = LoadLibraryA(argv[1]);
    auto create = reinterpret_cast<PFN_CreateFlashTool>(Symbol(lib, "CreateFlashTool"));
    auto destroy = reinterpret_cast<PFN_DestroyFlashTool>(Symbol(lib, "DestroyFlashTool"));
    CFlashTool* tool = create && destroy ? create() : nullptr;
    if (!tool) {
        std::printf("cannot load %s\n", argv[1]);
        return kNoSetUp;
    }
    LogFileSettings log = {LOG_TO_FILE, L"flash.log", 3};
    tool->SetSetting(CFS_LOGFILE, &log, sizeof log);
    Set(tool, CFS_INTERFACE, INTERFACE_USB_HID);
    tool->SetSetting(CFS_PORTNAME, path.data(), path.size());
    // The simulated device restarts in a fraction of a second; a USB search
    // gives up after six reset timeouts, which bounds the occupied case.
    // There the library looks later, so that the other holder, which polls,
    // surely has the device first.
    Set(tool, CFS_PELLARO_CABLEDELAY_USB, occupy ? 3000 : 1000);
    Set(tool, CFS_PELLARO_RESET_TIMEOUT, 3000);

    uint32_t result = 0;
    DWORD start = GetTickCount();
    {
        std::unique_ptr<Occupier> occupier(occupy ? new Occupier(occupied) : nullptr);
        result = tool->FlashScanner(0, L"firmware.mocf");
        if (occupier && !occupier->Held())
            result = kNoSetUp;
    }
    std::printf("FlashScanner over USB: result %u after %.1f s\n", result, (GetTickCount() - start) / 1000.0);
    destroy(tool);
    FreeLibrary(lib);
    return static_cast<int>(result);
}
