// USB HID devices without hardware: a umockdev testbed holds a fake sysfs
// (USB device, interface, hid device, hidraw node), and each /dev/hidrawN
// leads to a pty whose other end is the device. libudev enumeration and
// hidraw I/O of this process, and of the programs it starts, find the
// devices plugged in here; the process must run with umockdev's preload
// library (umockdev-wrapper).
//
// The node is a raw pty, so a stream: the host reads one report per read()
// with a report-sized buffer, and the device end writes whole reports.
// Each node answers the hidraw ioctls (report descriptor, raw info, name,
// physical path) and each plug and unplug sends its uevent, so that hosts
// that read the device as a HID device (Wine's HID bus) find it too.
#pragma once

#include "sim/UsbFace.h"
#include "sim/usb/HidrawIoctls.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace sim {

class HidrawTestbed {
public:
    HidrawTestbed();
    ~HidrawTestbed();
    HidrawTestbed(const HidrawTestbed&) = delete;
    HidrawTestbed& operator=(const HidrawTestbed&) = delete;

    // True when umockdev's preload library redirects this process to a
    // testbed.
    static bool Active();
    // The testbed's directory (UMOCKDEV_DIR for programs started from here).
    std::string Root() const;

    struct Node {
        std::string usbInterface;  // the interface's name, e.g. "3-1:1.0"
        std::string devnode;       // /dev/hidrawN
        int fd = -1;               // the device's end of the node, non-blocking
        int hostEnd = -1;          // the node itself, held open by the device's side
        int hidraw = -1;
        std::vector<std::string> syspaths;  // USB device, interface, hid, hidraw
        bool announced = false;  // its "add" uevent went out
    };
    // Plugs a device with these ids into USB port `port` of this testbed's
    // bus. As the kernel does, it gets the lowest free hidraw number, so a
    // device that comes back after a restart usually has its old node.
    // Nullopt when umockdev refuses.
    std::optional<Node> Plug(const UsbIds& ids, int port);

    // How a device comes back from a restart, as hardware may: under another
    // USB port path and another hidraw number (its old one stays taken for
    // a while by the kernel's bookkeeping), with or without a serial number.
    struct PlugOptions {
        bool serialNumber = true;
        std::string serial;     // the device's own; "SIM<port>" when empty
        int avoidHidraw = -1;   // a number the device must not get
    };
    std::optional<Node> Plug(const UsbIds& ids, int port, const PlugOptions& options);
    // Pulls the device out: its sysfs entries and node go, and a host that
    // has the node open sees it hang up.
    void Unplug(Node& node);

    // From now on an unplugged node's pty stays open until the testbed
    // goes: Wine's device process takes the first hidraw node it opens as
    // its controlling terminal and ends on that pty's hang-up, so under
    // Wine the unplug is told by the uevent alone.
    void KeepPtysOpen() { keepPtys_ = true; }

private:
    int FreeHidraw(int avoid = -1);
    bool OpenNode(Node& node);
    bool AnswerIoctls(Node& node, const UsbIds& ids, const std::string& phys);
    void ClosePty(int fd);

    UMockdevTestbed* testbed_;
    int bus_;
    std::vector<bool> hidrawTaken_;
    // One per node number, attached for the testbed's life: a host that
    // still holds a pulled node talks to its handler when it closes it.
    std::vector<std::unique_ptr<HidrawIoctls>> ioctls_;
    bool keepPtys_ = false;
    std::vector<int> keptPtys_;
};

} // namespace sim
