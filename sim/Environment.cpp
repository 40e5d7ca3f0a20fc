#include "sim/Environment.h"

#include <cstdio>

namespace sim {

void Environment::Trace(const std::string& who, const std::string& text) const
{
    if (!trace)
        return;
    char stamp[32];
    Time now = Now();
    std::snprintf(stamp, sizeof stamp, "%6llu.%03llu ", static_cast<unsigned long long>(now / 1000),
                  static_cast<unsigned long long>(now % 1000));
    trace(stamp + who + ": " + text);
}

std::string Printable(const std::string& bytes, size_t limit)
{
    static const char* const kNames[32] = {
        "NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS", "HT", "LF", "VT", "FF", "CR", "SO", "SI",
        "DLE", "DC1", "DC2", "DC3", "DC4", "NAK", "SYN", "ETB", "CAN", "EM", "SUB", "ESC", "FS", "GS", "RS", "US",
    };
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i == limit) {
            text += "...(" + std::to_string(bytes.size()) + " bytes)";
            break;
        }
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c < 32) {
            text += '<';
            text += kNames[c];
            text += '>';
        } else if (c < 127) {
            text += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            text += hex;
        }
    }
    return text;
}

} // namespace sim
