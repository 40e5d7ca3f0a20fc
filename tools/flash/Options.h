// The command line, checked: what every device's tool object is set to.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace flasher {

struct DeviceOptions {
    std::string library;           // the library file to load
    std::vector<std::string> ports;
    bool usb = false;
    uint32_t baud = 115200;
    char parity = 'N';             // N, O, E, M, S
    int stopBits = 1;              // 1 or 2
    std::string settings;          // protocol settings file, may be empty
    std::string log;               // log file, may be empty (no log)
    char logLevel = 'M';           // L, M, H
    std::string record;            // recording file, may be empty (no recording)
    bool fast = false;             // the library's fast profile (PELLARO_Fast)
};

struct CommandOptions {
    DeviceOptions device;
    std::string file;
    bool json = false;
    bool verbose = false;          // -v: every step and wait as a line
    bool quiet = false;            // -q: no progress, no result line on success
    std::string bootIds;           // udev-rule: the bootloader's "vid:pid", may be empty
    std::string output;            // udev-rule: the rule file to write, may be empty (standard output)
};

// --fast on a command that flashes (flash, and the station's).
void AddFastOption(CLI::App& command, DeviceOptions& device);

// The log file of one device: the name as given for a single port; with
// several ports "-PORT" (the port's last path part) before the extension,
// so that the tools never share a file.
std::string LogFileFor(const DeviceOptions& options, const std::string& port);
// The recording of one device, named as its log file is.
std::string RecordFileFor(const DeviceOptions& options, const std::string& port);

} // namespace flasher
