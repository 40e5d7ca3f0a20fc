#include "sim/usb/HidrawTestbed.h"

#include <umockdev.h>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace sim {

namespace {

std::string Hex(int32_t value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "%0*x", digits, static_cast<unsigned>(value));
    return text;
}

// Owns one string that umockdev hands out.
std::string Take(gchar* text)
{
    std::string copy = text ? text : "";
    g_free(text);
    return copy;
}

} // namespace

HidrawTestbed::HidrawTestbed() : testbed_(umockdev_testbed_new()),
    // Bus numbers of our own keep the device mutexes of test programs that
    // run side by side apart: their names carry the interface's name.
    bus_(static_cast<int>(getpid() % 900) + 100)
{
}

HidrawTestbed::~HidrawTestbed()
{
    g_object_unref(testbed_);
}

bool HidrawTestbed::Active()
{
    return umockdev_in_mock_environment();
}

std::string HidrawTestbed::Root() const
{
    return Take(umockdev_testbed_get_root_dir(testbed_));
}

std::optional<HidrawTestbed::Node> HidrawTestbed::Plug(const UsbIds& ids, int port)
{
    // umockdev keeps a removed device's bus link, so every plug hangs off a
    // hub port of its own: "<bus>-<port>.<n>".
    std::string usbName = std::to_string(bus_) + "-" + std::to_string(port) + "." + std::to_string(++plugs_);
    std::string interfaceName = usbName + ":1." + std::to_string(ids.interfaceNumber);
    std::string vid = Hex(ids.vendorId, 4), pid = Hex(ids.productId, 4);
    Node node;
    node.usbInterface = interfaceName;
    node.usbDevice = Take(umockdev_testbed_add_device(testbed_, "usb", usbName.c_str(), nullptr, "idVendor",
                                                      vid.c_str(), "idProduct", pid.c_str(), nullptr, "DEVTYPE",
                                                      "usb_device", nullptr));
    std::string intf = Take(umockdev_testbed_add_device(
        testbed_, "usb", interfaceName.c_str(), node.usbDevice.c_str(), "bInterfaceNumber",
        Hex(ids.interfaceNumber, 2).c_str(), nullptr, "DEVTYPE", "usb_interface", nullptr));
    std::string hidName = "0003:" + Hex(ids.vendorId, 4) + ":" + Hex(ids.productId, 4) + "." +
                          Hex(nextHidraw_ + 1, 4);
    std::string hidId = "0003:0000" + Hex(ids.vendorId, 4) + ":0000" + Hex(ids.productId, 4);
    std::string hid = Take(umockdev_testbed_add_device(testbed_, "hid", hidName.c_str(), intf.c_str(), nullptr,
                                                       "HID_ID", hidId.c_str(), nullptr));
    if (node.usbDevice.empty() || intf.empty() || hid.empty())
        return std::nullopt;
    std::string name = "hidraw" + std::to_string(nextHidraw_++);
    node.devnode = "/dev/" + name;
    // A node line without contents makes an emulated node; paths drop "/sys".
    std::string description = "P: " + hid.substr(4) + "/hidraw/" + name + "\nN: " + name +
                              "\nE: SUBSYSTEM=hidraw\nE: DEVNAME=" + node.devnode + "\n";
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, description.c_str(), &error)) {
        std::fprintf(stderr, "umockdev: %s\n", error ? error->message : "?");
        g_clear_error(&error);
        umockdev_testbed_remove_device(testbed_, node.usbDevice.c_str());
        return std::nullopt;
    }
    node.fd = umockdev_testbed_get_dev_fd(testbed_, node.devnode.c_str());
    if (node.fd >= 0)
        fcntl(node.fd, F_SETFL, fcntl(node.fd, F_GETFL) | O_NONBLOCK);
    return node;
}

void HidrawTestbed::Unplug(Node& node)
{
    if (!node.usbDevice.empty())
        umockdev_testbed_remove_device(testbed_, node.usbDevice.c_str());
    if (node.fd >= 0)
        close(node.fd);
    node = Node{};
}

} // namespace sim
