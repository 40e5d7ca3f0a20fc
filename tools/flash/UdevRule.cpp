#include "UdevRule.h"

#include <cstdio>
#include <cstdlib>

namespace flasher {

namespace {

std::string Hex4(int value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(value) & 0xFFFFu);
    return text;
}

// The symlink names the ids, so it is the same under every hidraw number
// the device gets; a second device with the same ids takes it over.
std::string RuleLine(const char* role, UsbIds ids)
{
    std::string vid = Hex4(ids.vendorId), pid = Hex4(ids.productId);
    return "# the " + std::string(role) + "\n" + "SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"" + vid +
           "\", ATTRS{idProduct}==\"" + pid + "\", TAG+=\"uaccess\", SYMLINK+=\"tambrix01-" + vid + "-" + pid +
           "\"\n";
}

bool ParseHex16(const std::string& text, int& value)
{
    std::string digits = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0 ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 4)
        return false;
    char* end = nullptr;
    long parsed = std::strtol(digits.c_str(), &end, 16);
    if (*end != 0 || parsed < 0)
        return false;
    value = static_cast<int>(parsed);
    return true;
}

} // namespace

std::string UdevRuleText(const std::string& node, UsbIds application, UsbIds bootloader)
{
    std::string text = "# TAMBRIX01: the scanner first seen as " + node +
                       "; gives the user at the seat its HID nodes (written by tambrix-flash udev-rule)\n";
    text += RuleLine("application", application);
    if (bootloader.vendorId != application.vendorId || bootloader.productId != application.productId)
        text += RuleLine("bootloader, the device while it is flashed", bootloader);
    return text;
}

bool ParseUsbIds(const std::string& text, UsbIds& ids)
{
    size_t colon = text.find(':');
    if (colon == std::string::npos)
        return false;
    UsbIds parsed;
    if (!ParseHex16(text.substr(0, colon), parsed.vendorId) || !ParseHex16(text.substr(colon + 1), parsed.productId))
        return false;
    ids = parsed;
    return true;
}

int ReportId(const std::string& value)
{
    if (value.empty())
        return -1;
    int id = -1;
    if (value.rfind("0x", 0) == 0 || value.rfind("0X", 0) == 0)
        return ParseHex16(value, id) ? id : -1;
    char* end = nullptr;
    long parsed = std::strtol(value.c_str(), &end, 10);
    return *end == 0 && parsed >= 0 && parsed <= 0xFFFF ? static_cast<int>(parsed) : -1;
}

std::string UdevRuleCommandLine(const std::string& node)
{
    return std::string("sudo tambrix-flash udev-rule --port ") + node + " --output " + kUdevRuleFile;
}

} // namespace flasher
