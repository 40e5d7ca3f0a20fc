// Builds without a device monitor of their own (Windows, for now): the
// station watches serial ports only.
#include "UsbWatch.h"


namespace flasher {

struct UsbWatch::Impl {};

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
