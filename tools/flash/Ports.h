// The serial ports and HID devices present, for `tambrix-flash ports`.
// One backend per platform: PortsLinux.cpp (udev), PortsWin32.cpp (the
// registry's SERIALCOMM map and SetupDi).
#pragma once

#include <string>
#include <vector>

namespace flasher {

struct PortInfo {
    std::string kind;           // "serial" or "hid"
    std::string name;           // what --port takes
    int vendorId = -1;          // -1: not known
    int productId = -1;
    std::string description;    // the driver's or the device's own name, may be empty
};

std::vector<PortInfo> ListPorts();

} // namespace flasher
