// USB HID devices without hardware: a umockdev testbed holds a fake sysfs
// (USB device, interface, hid device, hidraw node) and emulates each
// /dev/hidrawN, so that libudev enumeration and hidraw I/O of this process,
// and of the programs it starts, find the devices plugged in here. The
// process must run with umockdev's preload library (umockdev-wrapper).
//
// The emulated node is a stream: the host reads one report per read() with a
// report-sized buffer, and the device end writes whole reports.
#pragma once

#include "sim/UsbFace.h"

#include <optional>
#include <string>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace sim {

class HidrawTestbed {
public:
    HidrawTestbed();
    ~HidrawTestbed();
    HidrawTestbed(const HidrawTestbed&) = delete;
    HidrawTestbed& operator=(const HidrawTestbed&) = delete;

    // True when umockdev's preload library redirects this process.
    static bool Active();
    // The testbed's directory (UMOCKDEV_DIR for programs started from here).
    std::string Root() const;

    struct Node {
        std::string usbDevice;  // the USB device's syspath
        std::string usbInterface;  // the interface's name, e.g. "3-1:1.0"
        std::string devnode;    // /dev/hidrawN
        int fd = -1;            // the device's end of the node, non-blocking
    };
    // Plugs a device with these ids in behind USB port `port` of this
    // testbed's bus; each plug gets the next hidraw number. Nullopt when umockdev
    // refuses.
    std::optional<Node> Plug(const UsbIds& ids, int port);
    // Pulls the device out: its sysfs entries and node go, and a host that
    // has the node open sees it hang up.
    void Unplug(Node& node);

private:
    UMockdevTestbed* testbed_;
    int bus_;
    int nextHidraw_ = 0;
    int plugs_ = 0;
};

} // namespace sim
