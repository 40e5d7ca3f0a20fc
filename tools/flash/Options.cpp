#include "Options.h"

namespace flasher {

std::string LogFileFor(const DeviceOptions& options, const std::string& port)
{
    if (options.log.empty() || options.ports.size() < 2)
        return options.log;
    std::string tag = port.substr(port.find_last_of("\\/") + 1);
    for (char& c : tag)
        if (c == ':' || c == '?' || c == '*' || c == '&' || c == '#')
            c = '_';
    size_t dot = options.log.rfind('.');
    size_t slash = options.log.find_last_of("\\/");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return options.log + "-" + tag;
    return options.log.substr(0, dot) + "-" + tag + options.log.substr(dot);
}

} // namespace flasher
