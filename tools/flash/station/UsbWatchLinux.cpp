#include "UsbWatch.h"

#include <libudev.h>

#include <cstdlib>

namespace flasher {

struct UsbWatch::Impl {
    udev* u = nullptr;
    udev_monitor* monitor = nullptr;
    std::vector<UsbId> ids;

    ~Impl()
    {
        if (monitor)
            udev_monitor_unref(monitor);
        if (u)
            udev_unref(u);
    }

    static uint32_t Hex(udev_device* device, const char* name)
    {
        const char* text = device ? udev_device_get_sysattr_value(device, name) : nullptr;
        return text ? static_cast<uint32_t>(std::strtoul(text, nullptr, 16)) : 0xFFFFFFFF;
    }

    bool Wanted(udev_device* hidraw) const
    {
        udev_device* usb = udev_device_get_parent_with_subsystem_devtype(hidraw, "usb", "usb_device");
        uint32_t vendor = Hex(usb, "idVendor"), product = Hex(usb, "idProduct");
        for (const UsbId& id : ids)
            if (id.vendor == vendor && id.product == product)
                return true;
        return false;
    }
};

UsbWatch::UsbWatch() : impl_(std::make_unique<Impl>()) {}
UsbWatch::~UsbWatch() = default;

bool UsbWatch::Start(const std::vector<UsbId>& ids, std::string& error)
{
    impl_->ids = ids;
    impl_->u = udev_new();
    if (!impl_->u) {
        error = "udev is not reachable";
        return false;
    }
    // The monitor first, so that no device slips between the look and it.
    impl_->monitor = udev_monitor_new_from_netlink(impl_->u, "udev");
    if (!impl_->monitor || udev_monitor_filter_add_match_subsystem_devtype(impl_->monitor, "hidraw", nullptr) < 0 ||
        udev_monitor_enable_receiving(impl_->monitor) < 0) {
        error = "udev's monitor cannot be started";
        return false;
    }
    udev_enumerate* e = udev_enumerate_new(impl_->u);
    udev_enumerate_add_match_subsystem(e, "hidraw");
    udev_enumerate_scan_devices(e);
    udev_list_entry* entry;
    std::lock_guard<std::mutex> lock(mutex_);
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e))
    {
        udev_device* device = udev_device_new_from_syspath(impl_->u, udev_list_entry_get_name(entry));
        const char* node = device ? udev_device_get_devnode(device) : nullptr;
        if (node && impl_->Wanted(device))
            nodes_.insert(node);
        if (device)
            udev_device_unref(device);
    }
    udev_enumerate_unref(e);
    return true;
}

void UsbWatch::Poll()
{
    if (!impl_->monitor)
        return;
    // The monitor's socket does not block: each call takes what is there.
    while (udev_device* device = udev_monitor_receive_device(impl_->monitor)) {
        const char* action = udev_device_get_action(device);
        const char* node = udev_device_get_devnode(device);
        if (action && node) {
            std::lock_guard<std::mutex> lock(mutex_);
            std::string a = action;
            if (a == "remove")
                nodes_.erase(node);
            else if (a == "add" && impl_->Wanted(device))
                nodes_.insert(node);
        }
        udev_device_unref(device);
    }
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
