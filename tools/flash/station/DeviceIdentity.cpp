#include "DeviceIdentity.h"

#include <algorithm>
#include <iterator>

namespace flasher {

namespace {

// Tags that a flash or a link's passing state change, left out of the
// identity.
const char* const kVolatileTags[] = {"fmt", "mode", "app-rev", "boot-rev", "csum", "bt-mode", "hub-connections",
                                     "scanner-in-cradle", "pair-mode"};

// Device values carry no '.' (the menu terminator): "1.2" is reported as
// "1_2".
std::string AsReported(std::string text)
{
    for (char& c : text)
        if (c == '.' || c == '!' || static_cast<unsigned char>(c) < 0x20)
            c = '_';
    size_t first = text.find_first_not_of(' ');
    size_t last = text.find_last_not_of(' ');
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

// "dev-1-addr" (the scanners linked to a cradle) and "pair-address" (the
// one standing in it).
bool IsScannerAddress(const std::string& tag)
{
    return tag == "pair-address" ||
           (tag.size() > 9 && tag.rfind("dev-", 0) == 0 && tag.compare(tag.size() - 5, 5, "-addr") == 0);
}

std::string IdentityOf(const DeviceReport& report, bool withAddresses)
{
    std::string identity;
    for (const auto& [tag, value] : report.items) {
        if (std::find(std::begin(kVolatileTags), std::end(kVolatileTags), tag) != std::end(kVolatileTags))
            continue;
        if (!withAddresses && IsScannerAddress(tag))
            continue;
        identity += (identity.empty() ? "" : " ") + tag + "=" + value;
    }
    return identity;
}

} // namespace

std::string DeviceIdentity(const DeviceReport& report)
{
    return IdentityOf(report, true);
}

bool SameDevice(const DeviceReport& taken, const DeviceReport& now)
{
    if (DeviceIdentity(taken) == DeviceIdentity(now))
        return true;
    for (const auto& item : now.items)
        if (IsScannerAddress(item.first))
            return false;
    return IdentityOf(taken, false) == IdentityOf(now, false);
}

bool RunsVersions(const DeviceReport& report, const std::string& app, const std::string& boot)
{
    if (app.empty() || report.Application().empty() || report.Application() != AsReported(app))
        return false;
    return boot.empty() || report.Bootloader() == AsReported(boot);
}

} // namespace flasher
