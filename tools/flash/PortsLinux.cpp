#include "Ports.h"
#include "UdevRule.h"

#include <cstdio>
#include <cstdlib>
#include <libudev.h>
#include <memory>
#include <sys/stat.h>

namespace flasher {

namespace {

struct UdevFree {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
template <typename T>
using UdevPtr = std::unique_ptr<T, UdevFree>;

int HexAttribute(udev_device* device, const char* name)
{
    const char* text = device ? udev_device_get_sysattr_value(device, name) : nullptr;
    return text ? static_cast<int>(std::strtol(text, nullptr, 16)) : -1;
}

std::string Text(const char* text)
{
    return text ? text : "";
}

// A USB device's ids; for a hidraw node that is not on USB, the ids the
// HID layer reports ("bus:vendor:product").
void FillIds(udev_device* device, PortInfo& port)
{
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device");
    if (usb) {
        port.vendorId = HexAttribute(usb, "idVendor");
        port.productId = HexAttribute(usb, "idProduct");
        port.description = Text(udev_device_get_sysattr_value(usb, "product"));
        return;
    }
    udev_device* hid = udev_device_get_parent_with_subsystem_devtype(device, "hid", nullptr);
    const char* id = hid ? udev_device_get_property_value(hid, "HID_ID") : nullptr;
    unsigned bus = 0, vendor = 0, product = 0;
    if (id && std::sscanf(id, "%x:%x:%x", &bus, &vendor, &product) == 3) {
        port.vendorId = static_cast<int>(vendor);
        port.productId = static_cast<int>(product);
    }
}

void AddDevices(udev* u, const char* subsystem, const char* kind, std::vector<PortInfo>& ports)
{
    UdevPtr<udev_enumerate> e(udev_enumerate_new(u));
    if (!e)
        return;
    udev_enumerate_add_match_subsystem(e.get(), subsystem);
    udev_enumerate_scan_devices(e.get());
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e.get())) {
        UdevPtr<udev_device> device(udev_device_new_from_syspath(u, udev_list_entry_get_name(entry)));
        const char* node = device ? udev_device_get_devnode(device.get()) : nullptr;
        // Consoles and ptys have no parent device: they are no serial ports.
        if (!node || !udev_device_get_parent(device.get()))
            continue;
        PortInfo port;
        port.kind = kind;
        port.name = node;
        FillIds(device.get(), port);
        if (port.description.empty()) {
            udev_device* hid = udev_device_get_parent_with_subsystem_devtype(device.get(), "hid", nullptr);
            port.description = Text(hid ? udev_device_get_property_value(hid, "HID_NAME") : nullptr);
        }
        ports.push_back(port);
    }
}

} // namespace

bool HidNodeIds(const std::string& node, UsbIds& ids, std::string& error)
{
    UdevPtr<udev> u(udev_new());
    if (!u) {
        error = "udev cannot be reached";
        return false;
    }
    struct stat status {};
    if (stat(node.c_str(), &status) != 0) {
        error = "no such device node";
        return false;
    }
    // A stable symlink leads to the node by its name, so the name is looked
    // up as given and then as the link's target.
    auto byName = [&](const std::string& path) {
        size_t slash = path.rfind('/');
        std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        return UdevPtr<udev_device>(udev_device_new_from_subsystem_sysname(u.get(), "hidraw", name.c_str()));
    };
    UdevPtr<udev_device> device = byName(node);
    if (!device) {
        if (char* target = realpath(node.c_str(), nullptr)) {
            device = byName(target);
            std::free(target);
        }
    }
    if (!device) {
        error = "not a hidraw node";
        return false;
    }
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(device.get(), "usb", "usb_device");
    ids.vendorId = HexAttribute(usb, "idVendor");
    ids.productId = HexAttribute(usb, "idProduct");
    if (!usb || !ids.Known()) {
        error = "not a USB device's node";
        return false;
    }
    return true;
}

std::vector<PortInfo> ListPorts()
{
    std::vector<PortInfo> ports;
    UdevPtr<udev> u(udev_new());
    if (!u)
        return ports;
    AddDevices(u.get(), "tty", "serial", ports);
    AddDevices(u.get(), "hidraw", "hid", ports);
    return ports;
}

} // namespace flasher
