// A device's own report (P_INFO), as "tag: value" lines, read for what a
// user wants to know: what runs on it and in which mode.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace flasher {

struct DeviceReport {
    std::vector<std::pair<std::string, std::string>> items;

    bool Empty() const { return items.empty(); }
    // The first value of a tag, empty when absent.
    std::string Value(const std::string& tag) const;
    std::string Application() const { return Value("app-rev"); }
    std::string Bootloader() const { return Value("boot-rev"); }
    // "application" or "bootloader" from the mode tag, empty when not told.
    std::string Mode() const;
};

DeviceReport ParseDeviceReport(const std::string& text);

// "application 1.0.0 -> 2.0.0, bootloader 1.0.0 (unchanged)"; empty when
// neither report tells a version.
std::string VersionChange(const DeviceReport& before, const DeviceReport& after);

} // namespace flasher
