#include "sim/usb/HidrawTestbed.h"

#include "sim/usb/HidrawIoctls.h"

#include <umockdev.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

std::string Hex(int32_t value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "%0*x", digits, static_cast<unsigned>(value));
    return text;
}

constexpr const char* kProductName = "Simulated Scanner";

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
    for (int fd : keptPtys_)
        close(fd);
    g_object_unref(testbed_);
    ioctls_.clear();
}

bool HidrawTestbed::Active()
{
    return umockdev_in_mock_environment();
}

std::string HidrawTestbed::Root() const
{
    return Take(umockdev_testbed_get_root_dir(testbed_));
}

// What a HID host reads besides the ids: the usb_device's PRODUCT
// (vid/pid/bcdDevice), the hid device's name, physical path (its
// "/inputN" is the interface) and serial number.
std::optional<HidrawTestbed::Node> HidrawTestbed::Plug(const UsbIds& ids, int port)
{
    return Plug(ids, port, PlugOptions{});
}

std::optional<HidrawTestbed::Node> HidrawTestbed::Plug(const UsbIds& ids, int port, const PlugOptions& options)
{
    std::string usbName = std::to_string(bus_) + "-" + std::to_string(port);
    std::string interfaceName = usbName + ":1." + std::to_string(ids.interfaceNumber);
    std::string vid = Hex(ids.vendorId, 4), pid = Hex(ids.productId, 4);
    std::string product = Hex(ids.vendorId, 1) + "/" + Hex(ids.productId, 1) + "/100";
    std::string serial = !options.serialNumber      ? std::string()
                         : !options.serial.empty() ? options.serial
                                                   : "SIM" + std::to_string(port);
    std::string phys = "usb-sim-" + usbName + "/input" + std::to_string(ids.interfaceNumber);
    Node node;
    node.usbInterface = interfaceName;
    node.hidraw = FreeHidraw(options.avoidHidraw);
    std::string name = "hidraw" + std::to_string(node.hidraw);
    node.devnode = "/dev/" + name;
    // A device without a serial number has no such attribute at all; the
    // slot then carries one every device has.
    const char* serialName = options.serialNumber ? "serial" : "bNumConfigurations";
    const char* serialValue = options.serialNumber ? serial.c_str() : "1";
    std::string usb = Take(umockdev_testbed_add_device(testbed_, "usb", usbName.c_str(), nullptr, "idVendor",
                                                       vid.c_str(), "idProduct", pid.c_str(), "bcdDevice", "0100",
                                                       serialName, serialValue, "product", kProductName, nullptr,
                                                       "DEVTYPE", "usb_device", "PRODUCT", product.c_str(), nullptr));
    std::string intf = usb.empty() ? std::string()
                                   : Take(umockdev_testbed_add_device(
                                         testbed_, "usb", interfaceName.c_str(), usb.c_str(), "bInterfaceNumber",
                                         Hex(ids.interfaceNumber, 2).c_str(), "bInterfaceClass", "03", nullptr,
                                         "DEVTYPE", "usb_interface", "PRODUCT", product.c_str(), nullptr));
    std::string hidName = "0003:" + Hex(ids.vendorId, 4) + ":" + Hex(ids.productId, 4) + "." + Hex(node.hidraw + 1, 4);
    std::string hidId = "0003:0000" + Hex(ids.vendorId, 4) + ":0000" + Hex(ids.productId, 4);
    std::string hid = intf.empty() ? std::string()
                                   : Take(umockdev_testbed_add_device(testbed_, "hid", hidName.c_str(), intf.c_str(),
                                                                      nullptr, "HID_ID", hidId.c_str(), "HID_NAME",
                                                                      kProductName, "HID_PHYS", phys.c_str(),
                                                                      "HID_UNIQ", serial.c_str(), nullptr));
    for (const std::string& path : {usb, intf, hid})
        if (!path.empty())
            node.syspaths.push_back(path);
    if (hid.empty()) {
        Unplug(node);
        return std::nullopt;
    }
    // Paths in a description drop "/sys".
    node.syspaths.push_back(hid + "/hidraw/" + name);
    std::string description = "P: " + node.syspaths.back().substr(4) + "\nE: SUBSYSTEM=hidraw\nE: DEVNAME=" + name + "\n";
    GError* error = nullptr;
    bool added = umockdev_testbed_add_from_string(testbed_, description.c_str(), &error);
    if (!added) {
        std::fprintf(stderr, "umockdev: %s\n", error ? error->message : "?");
        g_clear_error(&error);
        node.syspaths.pop_back();
    }
    if (!added || !OpenNode(node) || !AnswerIoctls(node, ids, phys)) {
        Unplug(node);
        return std::nullopt;
    }
    hidrawTaken_[static_cast<size_t>(node.hidraw)] = true;
    // A host that watches the bus learns of the node only now that it can
    // be opened.
    umockdev_testbed_uevent(testbed_, node.syspaths.back().c_str(), "add");
    node.announced = true;
    return node;
}

void HidrawTestbed::Unplug(Node& node)
{
    if (node.announced)
        umockdev_testbed_uevent(testbed_, node.syspaths.back().c_str(), "remove");
    // Children first: umockdev leaves a removed parent's children (their
    // links and device nodes) behind, and then refuses the names again.
    for (auto path = node.syspaths.rbegin(); path != node.syspaths.rend(); ++path)
        umockdev_testbed_remove_device(testbed_, path->c_str());
    if (!node.devnode.empty())
        unlink((Root() + node.devnode).c_str());
    ClosePty(node.fd);
    ClosePty(node.hostEnd);
    if (node.hidraw >= 0 && static_cast<size_t>(node.hidraw) < hidrawTaken_.size())
        hidrawTaken_[static_cast<size_t>(node.hidraw)] = false;
    node = Node{};
}

void HidrawTestbed::ClosePty(int fd)
{
    if (fd < 0)
        return;
    if (keepPtys_)
        keptPtys_.push_back(fd);
    else
        close(fd);
}

bool HidrawTestbed::AnswerIoctls(Node& node, const UsbIds& ids, const std::string& phys)
{
    auto number = static_cast<size_t>(node.hidraw);
    if (number >= ioctls_.size())
        ioctls_.resize(number + 1);
    if (!ioctls_[number]) {
        auto ioctls = std::make_unique<HidrawIoctls>();
        GError* error = nullptr;
        if (!umockdev_testbed_attach_ioctl(testbed_, node.devnode.c_str(), ioctls->Handler(), &error)) {
            std::fprintf(stderr, "umockdev: %s\n", error ? error->message : "?");
            g_clear_error(&error);
            return false;
        }
        ioctls_[number] = std::move(ioctls);
    }
    ioctls_[number]->Describe(ids, kProductName, phys);
    return true;
}

// The node is a raw pty of our own rather than one umockdev makes: umockdev
// never gives a node's name out again, and a device that comes back after a
// restart should find its old node as under the kernel.
bool HidrawTestbed::OpenNode(Node& node)
{
    node.fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (node.fd < 0 || grantpt(node.fd) != 0 || unlockpt(node.fd) != 0)
        return false;
    const char* slave = ptsname(node.fd);
    if (!slave)
        return false;
    // Held open, so that reports written while the host has the node closed
    // wait for it and the device's end does not keep reporting a hang-up.
    node.hostEnd = open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    if (node.hostEnd < 0 || tcgetattr(node.hostEnd, &raw) != 0)
        return false;
    cfmakeraw(&raw);
    if (tcsetattr(node.hostEnd, TCSANOW, &raw) != 0)
        return false;
    std::string link = Root() + node.devnode;
    mkdir((Root() + "/dev").c_str(), 0755);
    unlink(link.c_str());
    return symlink(slave, link.c_str()) == 0;
}

int HidrawTestbed::FreeHidraw(int avoid)
{
    size_t n = 0;
    while (n < hidrawTaken_.size() && (hidrawTaken_[n] || static_cast<int>(n) == avoid))
        ++n;
    if (n == hidrawTaken_.size())
        hidrawTaken_.push_back(false);
    return static_cast<int>(n);
}

} // namespace sim
