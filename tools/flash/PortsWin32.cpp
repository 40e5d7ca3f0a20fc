#include "Ports.h"
#include "UdevRule.h"

#include "Text.h"

#include <cwctype>
#include <vector>
#include <windows.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}

namespace flasher {

namespace {

// "...vid_f0f0&pid_0a01..." in a device path; -1 when absent.
int IdAfter(const std::wstring& path, const wchar_t* tag)
{
    std::wstring lower = path;
    for (wchar_t& c : lower)
        c = static_cast<wchar_t>(std::towlower(c));
    size_t at = lower.find(tag);
    return at == std::wstring::npos ? -1 : static_cast<int>(std::wcstol(lower.c_str() + at + 4, nullptr, 16));
}

void AddSerialPorts(std::vector<PortInfo>& ports)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    for (DWORD index = 0;; ++index) {
        wchar_t driver[256], port[256];
        DWORD driverSize = 256, portSize = sizeof port, type = 0;
        LONG r = RegEnumValueW(key, index, driver, &driverSize, nullptr, &type,
                               reinterpret_cast<BYTE*>(port), &portSize);
        if (r != ERROR_SUCCESS)
            break;
        if (type != REG_SZ)
            continue;
        PortInfo info;
        info.kind = "serial";
        info.name = Narrow(std::wstring(port, wcsnlen(port, portSize / sizeof(wchar_t))));
        info.description = Narrow(driver);
        ports.push_back(info);
    }
    RegCloseKey(key);
}

std::wstring InterfacePath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& data)
{
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
        return L"";
    std::vector<BYTE> buffer(size);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof *detail;
    if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, nullptr))
        return L"";
    return detail->DevicePath;
}

void AddHidDevices(std::vector<PortInfo>& ports)
{
    GUID hid;
    HidD_GetHidGuid(&hid);
    HDEVINFO set = SetupDiGetClassDevsW(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &hid, index, &data); ++index) {
        std::wstring path = InterfacePath(set, data);
        if (path.empty())
            continue;
        PortInfo info;
        info.kind = "hid";
        info.name = Narrow(path);
        info.vendorId = IdAfter(path, L"vid_");
        info.productId = IdAfter(path, L"pid_");
        ports.push_back(info);
    }
    SetupDiDestroyDeviceInfoList(set);
}

} // namespace

std::vector<PortInfo> ListPorts()
{
    std::vector<PortInfo> ports;
    AddSerialPorts(ports);
    AddHidDevices(ports);
    return ports;
}

} // namespace flasher

namespace flasher {

bool HidNodeIds(const std::string&, UsbIds&, std::string& error)
{
    error = "udev rules are for Linux; Windows gives every user its HID devices";
    return false;
}

} // namespace flasher
