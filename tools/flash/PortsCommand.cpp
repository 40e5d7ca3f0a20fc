#include "Commands.h"

#include "Json.h"
#include "Ports.h"

#include <algorithm>
#include <cstdio>

namespace flasher {

namespace {

std::string Ids(const PortInfo& port)
{
    if (port.vendorId < 0)
        return "-";
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", port.vendorId & 0xFFFF, port.productId & 0xFFFF);
    return text;
}

} // namespace

int PortsCommand(bool json)
{
    std::vector<PortInfo> ports = ListPorts();
    if (json) {
        for (const PortInfo& port : ports)
            PrintJson(PortJson(port));
        return 0;
    }
    if (ports.empty()) {
        std::printf("no serial ports or HID devices found\n");
        return 0;
    }
    size_t width = 4;
    for (const PortInfo& port : ports)
        width = std::max(width, port.name.size());
    std::printf("%-6s  %-*s  %-9s  %s\n", "KIND", static_cast<int>(width), "PORT", "VID:PID", "DESCRIPTION");
    for (const PortInfo& port : ports)
        std::printf("%-6s  %-*s  %-9s  %s\n", port.kind.c_str(), static_cast<int>(width), port.name.c_str(),
                    Ids(port).c_str(), port.description.c_str());
    return 0;
}

} // namespace flasher
