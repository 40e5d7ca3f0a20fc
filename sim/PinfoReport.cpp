#include "sim/PinfoReport.h"

#include <cstdio>

namespace sim {

void PinfoReport::Add(const std::string& tag, const std::string& value)
{
    std::string clean = value;
    for (char& c : clean) {
        if (c == '.' || c == '!' || c == '\r' || c == '\n' || static_cast<unsigned char>(c) < 0x20)
            c = '_';
    }
    lines_.emplace_back(tag, clean);
}

void PinfoReport::AddNumber(const std::string& tag, int64_t value)
{
    Add(tag, std::to_string(value));
}

void PinfoReport::AddHex(const std::string& tag, uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%04x", value);
    Add(tag, text);
}

void PinfoReport::AddList(const std::string& tag, const std::vector<uint32_t>& ids)
{
    std::string value;
    for (uint32_t id : ids) {
        char text[16];
        std::snprintf(text, sizeof text, "%s0x%02x", value.empty() ? "" : ",", id);
        value += text;
    }
    Add(tag, value);
}

std::string PinfoReport::Text() const
{
    std::string text;
    for (const auto& [tag, value] : lines_)
        text += tag + ": " + value + "\r\n";
    unsigned sum = 0;
    for (unsigned char c : text)
        sum += c;
    char csum[32];
    std::snprintf(csum, sizeof csum, "csum: 0x%04x\r\n\r\n", sum & 0xFFFF);
    return text + csum;
}

} // namespace sim
