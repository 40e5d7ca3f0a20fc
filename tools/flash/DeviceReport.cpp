#include "DeviceReport.h"

#include <sstream>

namespace flasher {

std::string DeviceReport::Value(const std::string& tag) const
{
    for (const auto& item : items)
        if (item.first == tag)
            return item.second;
    return "";
}

std::string DeviceReport::Mode() const
{
    std::string mode = Value("mode");
    return mode == "app" ? "application" : mode == "boot" ? "bootloader" : mode;
}

DeviceReport ParseDeviceReport(const std::string& text)
{
    DeviceReport report;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        size_t colon = line.find(": ");
        if (colon != std::string::npos)
            report.items.emplace_back(line.substr(0, colon), line.substr(colon + 2));
    }
    return report;
}

namespace {

std::string Change(const char* name, const std::string& before, const std::string& after)
{
    if (before.empty() && after.empty())
        return "";
    std::string text = std::string(name) + " " + (before.empty() ? "?" : before);
    if (after.empty())
        return text + " -> (not read after the flash)";
    return before == after ? text + " (unchanged)" : text + " -> " + after;
}

} // namespace

std::string VersionChange(const DeviceReport& before, const DeviceReport& after)
{
    std::string app = Change("application", before.Application(), after.Application());
    std::string boot = Change("bootloader", before.Bootloader(), after.Bootloader());
    if (app.empty() || boot.empty())
        return app + boot;
    return app + ", " + boot;
}

} // namespace flasher
