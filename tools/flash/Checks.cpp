#include "Commands.h"

#include "Results.h"
#include "System.h"

#include <cstdio>
#include <set>

namespace flasher {

namespace {

// Read access, not only presence: the library would otherwise be handed a
// name it cannot open.
bool Readable(const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return false;
    char byte;
    bool ok = std::fread(&byte, 1, 1, file) == 1 || std::feof(file);
    std::fclose(file);
    return ok;
}

int CheckFile(const std::string& path, const char* what)
{
    if (!FileExists(path))
        return Fail(kExitNoInput, std::string(what) + " " + path + ": no such file");
    if (!Readable(path))
        return Fail(kExitNoInput, std::string(what) + " " + path + ": cannot be read");
    return 0;
}

} // namespace

int Fail(int code, const std::string& text)
{
    std::fprintf(stderr, "tambrix-flash: %s\n", text.c_str());
    return code;
}

int CheckInputs(const CommandOptions& options)
{
    // `device` takes no file.
    if (!options.file.empty())
        if (int code = CheckFile(options.file, "file"))
            return code;
    if (!options.device.settings.empty())
        if (int code = CheckFile(options.device.settings, "settings file"))
            return code;
    std::set<std::string> seen;
    for (const std::string& port : options.device.ports)
        if (!seen.insert(port).second)
            return Fail(kExitUsage, "--port " + port + " is given twice");
    for (const std::string& port : options.device.ports) {
        // A HID name is a pattern the library matches against the devices
        // it enumerates, so only serial ports can be checked here.
        if (options.device.usb)
            continue;
        std::string problem = SerialPortProblem(port);
        if (!problem.empty())
            return Fail(kExitNoInput, "port " + port + ": " + problem);
    }
    return 0;
}

} // namespace flasher
