#include "UsbWatch.h"

#include <cctype>

namespace flasher {

namespace {

// One to four hex digits, the whole text.
bool Hex16(const std::string& text, uint32_t& value)
{
    if (text.empty() || text.size() > 4)
        return false;
    value = 0;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
        value = value * 16 + static_cast<uint32_t>(std::isdigit(static_cast<unsigned char>(c))
                                                       ? c - '0'
                                                       : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    }
    return true;
}

// Exactly four hex digits at text[at], as Windows writes them.
bool Hex4At(const std::string& text, size_t at, uint32_t& value)
{
    return at + 4 <= text.size() && Hex16(text.substr(at, 4), value);
}

} // namespace

bool UsbIdOfPath(const std::string& path, UsbId& id)
{
    std::string lower = path;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    // The ids are the first part after the bus name: "hid#vid_...&pid_...".
    for (size_t at = lower.find("vid_"); at != std::string::npos; at = lower.find("vid_", at + 1)) {
        UsbId found;
        if (Hex4At(lower, at + 4, found.vendor) && lower.compare(at + 8, 5, "&pid_") == 0 &&
            Hex4At(lower, at + 13, found.product)) {
            id = found;
            return true;
        }
    }
    return false;
}

bool ParseUsbId(const std::string& text, UsbId& id)
{
    size_t colon = text.find(':');
    return colon != std::string::npos && Hex16(text.substr(0, colon), id.vendor) &&
           Hex16(text.substr(colon + 1), id.product);
}

} // namespace flasher
