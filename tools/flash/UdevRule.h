// The udev rule that lets the user at the seat open a scanner's HID nodes
// without root: one line for the application's ids and, when they differ,
// one for the bootloader's (the device comes back under those while it is
// flashed, and a node only root may open ends the restart wait).
#pragma once

#include <string>

namespace flasher {

struct UsbIds {
    int vendorId = -1;
    int productId = -1;
    bool Known() const { return vendorId >= 0 && productId >= 0; }
};

// Where the rule goes: before 73-seat-late.rules, which turns the uaccess
// tag into the seat user's access.
constexpr const char kUdevRuleFile[] = "/etc/udev/rules.d/70-tambrix01.rules";
constexpr const char kUdevReload[] = "udevadm control --reload-rules && udevadm trigger --subsystem-match=hidraw";

// The rule's text, its comment naming the node it was made for.
std::string UdevRuleText(const std::string& node, UsbIds application, UsbIds bootloader);

// "f0f0:0b01" (hex, with or without 0x) into ids; false when it is not
// two 16-bit hex numbers.
bool ParseUsbIds(const std::string& text, UsbIds& ids);

// A report value ("0xf0f0" or "61680") as a 16-bit id; -1 when it is not.
int ReportId(const std::string& value);

// The command a user who may not open node runs to get the rule in place.
std::string UdevRuleCommandLine(const std::string& node);

// The USB ids of the device behind a hidraw node (PortsLinux.cpp): read from
// sysfs, which every user may read, so no permission on the node is needed.
// False with the reason; on Windows always false.
bool HidNodeIds(const std::string& node, UsbIds& ids, std::string& error);

} // namespace flasher
