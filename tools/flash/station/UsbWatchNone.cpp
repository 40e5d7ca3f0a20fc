// Builds without a device monitor of their own (Windows, for now): the
// station watches serial ports only.
#include "UsbWatch.h"

#include <cstdlib>

namespace flasher {

struct UsbWatch::Impl {};

bool ParseUsbId(const std::string& text, UsbId& id)
{
    size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon > 4 || text.size() - colon - 1 < 1 ||
        text.size() - colon - 1 > 4)
        return false;
    char* end = nullptr;
    id.vendor = static_cast<uint32_t>(std::strtoul(text.substr(0, colon).c_str(), &end, 16));
    if (*end)
        return false;
    id.product = static_cast<uint32_t>(std::strtoul(text.substr(colon + 1).c_str(), &end, 16));
    return *end == '\0';
}

UsbWatch::UsbWatch() = default;
UsbWatch::~UsbWatch() = default;

bool UsbWatch::Start(const std::vector<UsbId>&, std::string& error)
{
    error = "--usb: this build of the station watches serial ports only";
    return false;
}

void UsbWatch::Poll() {}

std::set<std::string> UsbWatch::Nodes() const
{
    return {};
}

bool UsbWatch::Has(const std::string&) const
{
    return false;
}

} // namespace flasher
