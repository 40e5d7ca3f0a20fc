#include "Watch.h"

#include "../Ports.h"

namespace flasher {

namespace {

std::string Bare(const std::string& name)
{
    return name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
}

} // namespace

std::set<std::string> MatchPorts(const std::vector<std::string>& patterns)
{
    std::set<std::string> ports;
    for (const PortInfo& port : ListPorts()) {
        if (port.kind != "serial")
            continue;
        for (const std::string& pattern : patterns)
            if (NameMatches(Bare(pattern), Bare(port.name), true))
                ports.insert(port.name);
    }
    return ports;
}

void IgnoreBrokenPipes() {}

std::string PortNode(const std::string& port)
{
    for (const PortInfo& present : ListPorts())
        if (present.kind == "serial" && NameMatches(Bare(port), Bare(present.name), true))
            return present.name;
    return "";
}

} // namespace flasher
