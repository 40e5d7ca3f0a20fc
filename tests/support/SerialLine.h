// What the device side of a test line sees of the line settings, and how it
// travels between the pty helper and a test program under Wine. Plain C++,
// no library headers: the native helper compiles it too.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace testing_support {

struct LineState {
    uint32_t baud = 0;    // 0 when the speed has no standard value
    int dataBits = 0;
    char parity = '?';    // N O E M S
    int stopBits = 0;
    bool rtsCts = false;
    bool xonOut = false;  // IXON: the port obeys XON/XOFF from the device
    bool xonIn = false;   // IXOFF: the port sends XON/XOFF

    std::string ToText() const
    {
        char text[96];
        snprintf(text, sizeof text, "%u %d %c %d %d %d %d", static_cast<unsigned>(baud), dataBits, parity, stopBits,
                 rtsCts ? 1 : 0, xonOut ? 1 : 0, xonIn ? 1 : 0);
        return text;
    }
    static LineState FromText(const std::string& text)
    {
        LineState line;
        unsigned baud = 0;
        int rts = 0, out = 0, in = 0;
        if (sscanf(text.c_str(), "%u %d %c %d %d %d %d", &baud, &line.dataBits, &line.parity, &line.stopBits, &rts,
                   &out, &in) == 7) {
            line.baud = baud;
            line.rtsCts = rts != 0;
            line.xonOut = out != 0;
            line.xonIn = in != 0;
        }
        return line;
    }
};

inline std::string ToHex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

inline std::string FromHex(const std::string& hex)
{
    auto value = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(value(hex[i]) * 16 + value(hex[i + 1]));
    return bytes;
}

} // namespace testing_support
