// Windows: the present HID interfaces, looked at with SetupDi at each of the
// station's scans (four a second). An enumeration of the HID class costs a
// few milliseconds, less than following the device notifications with a
// window of our own; a device that is there between two looks is seen at
// the next one. A path is the device's port, as the library opens it.
#include "UsbWatch.h"

#include "../Text.h"

#include <windows.h>

#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}

#include <map>
#include <optional>
#include <vector>

namespace flasher {

namespace {

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

// For a path without "vid_...&pid_...": the device's own attributes. The
// handle asks for no access, so a device another program holds answers too.
bool IdsOfDevice(const std::wstring& path, UsbId& id)
{
    HANDLE query = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                               nullptr);
    if (query == INVALID_HANDLE_VALUE)
        return false;
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    bool known = HidD_GetAttributes(query, &attributes) != FALSE;
    CloseHandle(query);
    if (known)
        id = {attributes.VendorID, attributes.ProductID};
    return known;
}

} // namespace

struct UsbWatch::Impl {
    std::vector<UsbId> ids;
    bool started = false;
    // The ids of the paths seen at the last look: a device is opened for its
    // attributes once, not at every look.
    std::map<std::wstring, std::optional<UsbId>> known;

    bool Wanted(const std::wstring& path, std::map<std::wstring, std::optional<UsbId>>& seen) const
    {
        auto before = known.find(path);
        std::optional<UsbId> found;
        if (before != known.end()) {
            found = before->second;
        } else {
            UsbId id;
            if (UsbIdOfPath(Narrow(path), id) || IdsOfDevice(path, id))
                found = id;
        }
        seen[path] = found;
        if (!found)
            return false;
        const UsbId& id = *found;
        for (const UsbId& wanted : ids)
            if (wanted.vendor == id.vendor && wanted.product == id.product)
                return true;
        return false;
    }

    // The paths present now; false when the HID class cannot be listed.
    bool Look(std::set<std::string>& paths)
    {
        GUID hid;
        HidD_GetHidGuid(&hid);
        HDEVINFO set = SetupDiGetClassDevsW(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (set == INVALID_HANDLE_VALUE)
            return false;
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        std::map<std::wstring, std::optional<UsbId>> seen;
        for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &hid, index, &data); ++index) {
            std::wstring path = InterfacePath(set, data);
            if (!path.empty() && Wanted(path, seen))
                paths.insert(Narrow(path));
        }
        SetupDiDestroyDeviceInfoList(set);
        known = std::move(seen);
        return true;
    }
};

UsbWatch::UsbWatch() : impl_(std::make_unique<Impl>()) {}
UsbWatch::~UsbWatch() = default;

bool UsbWatch::Start(const std::vector<UsbId>& ids, std::string& error)
{
    impl_->ids = ids;
    std::set<std::string> paths;
    if (!impl_->Look(paths)) {
        error = "the HID devices cannot be listed (SetupDiGetClassDevs failed with " +
                std::to_string(GetLastError()) + ")";
        return false;
    }
    impl_->started = true;
    std::lock_guard<std::mutex> lock(mutex_);
    nodes_ = std::move(paths);
    return true;
}

void UsbWatch::Poll()
{
    if (!impl_->started)
        return;
    std::set<std::string> paths;
    // A look that fails once leaves the devices as they were rather than
    // taking them all for gone.
    if (!impl_->Look(paths))
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    nodes_ = std::move(paths);
}

std::set<std::string> UsbWatch::Nodes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return nodes_;
}

bool UsbWatch::Has(const std::string& node) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return nodes_.count(node) > 0;
}

} // namespace flasher
