#include "Options.h"

#include <CLI/CLI.hpp>

namespace flasher {

namespace {

std::string PerPortFile(const DeviceOptions& options, const std::string& file, const std::string& port)
{
    if (file.empty() || options.ports.size() < 2)
        return file;
    std::string tag = port.substr(port.find_last_of("\\/") + 1);
    for (char& c : tag)
        if (c == ':' || c == '?' || c == '*' || c == '&' || c == '#')
            c = '_';
    size_t dot = file.rfind('.');
    size_t slash = file.find_last_of("\\/");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return file + "-" + tag;
    return file.substr(0, dot) + "-" + tag + file.substr(dot);
}

} // namespace

void AddFastOption(CLI::App& command, DeviceOptions& device)
{
    command.add_flag("--fast", device.fast,
                     "no fixed pauses between packets, and a restarted device looked for early and often; at the "
                     "first sign that the device cannot keep up the rest of its flash runs on the full pauses");
}

std::string LogFileFor(const DeviceOptions& options, const std::string& port)
{
    return PerPortFile(options, options.log, port);
}

std::string RecordFileFor(const DeviceOptions& options, const std::string& port)
{
    return PerPortFile(options, options.record, port);
}

} // namespace flasher
