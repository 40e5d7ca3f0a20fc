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

} // namespace

bool ParseUsbId(const std::string& text, UsbId& id)
{
    size_t colon = text.find(':');
    return colon != std::string::npos && Hex16(text.substr(0, colon), id.vendor) &&
           Hex16(text.substr(colon + 1), id.product);
}

} // namespace flasher
