// tambrix-flash: the command-line flasher. A host program like any other:
// it loads the library at run time and drives it through the public header
// only.
#include "Commands.h"
#include "Results.h"
#include "System.h"

#include <CLI/CLI.hpp>

namespace flasher {
namespace {

const char kFlashFooter[] =
    "Progress: a bar per device on a terminal, plain lines otherwise (on standard error with --json).\n"
    "Ctrl-C cancels through CFS_CANCELIO and waits until the library has brought the devices back.\n"
    "Exit codes: the FlashScanner result: 0 flashed, 6 flashed (the device was in its bootloader),\n"
    "2 cancelled, 1 3 4 5 7 8 9 12 failures (see the README), a negative result as 256 + result;\n"
    "several ports: the worst result (a negative one, then 5, then other failures, then 2, 6, 0);\n"
    "64 bad usage, 66 a file or port that is not there or not readable, 70 no library.\n";
const char kVersionFooter[] =
    "Exit codes: the GetFileVersion result: 0 found, 1 not firmware or a check failed, 2 no device,\n"
    "no device report or nothing in the file fits; 64 bad usage, 66 a file or port that is not there\n"
    "or not readable, 70 no library.\n";
const char kInfoFooter[] =
    "Exit codes (those of tambrix-fw info): 0 valid firmware, 1 not valid, 64 bad usage, 66 not there\n"
    "or not readable; 70 tambrix-fw cannot be run.\n";
const char kMainFooter[] = "tambrix-flash COMMAND --help describes a command, its output and its exit codes.\n";

std::string DefaultLibrary()
{
    // In the Windows package: next to the program; installed on Linux: the
    // library directory beside bin/; in the build tree: the library's own
    // build directory.
    std::string here = ProgramDirectory();
    std::string beside = here + "/" + LibraryFileName();
    if (FileExists(beside))
        return beside;
#ifdef TAMBRIX_INSTALLED_LIBRARY
    std::string installed = here + "/" TAMBRIX_INSTALLED_LIBRARY;
    if (FileExists(installed))
        return installed;
#endif
    return here + "/../src/" + LibraryFileName();
}

void AddDeviceOptions(CLI::App& command, DeviceOptions& device, bool serialOnly)
{
    command.add_option("--port", device.ports, serialOnly ? "(required) serial device path, COM port or HID device "
                                                            "name; repeat it to flash several devices at once"
                                                          : "(required) serial device path, COM port or HID device name")
        ->allow_extra_args(false)
        ->type_name("PORT");
    command.add_flag("--usb", device.usb, "the port is a USB HID device, not a serial port");
    command.add_option("--baud", device.baud, "serial line speed (default 115200)")
        ->check(CLI::IsMember({300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200, 230400,
                               460800, 921600}));
    command.add_option("--parity", device.parity, "serial parity: N none (default), O odd, E even, M mark, S space")
        ->check(CLI::IsMember({'N', 'O', 'E', 'M', 'S'}));
    command.add_option("--stop", device.stopBits, "serial stop bits: 1 (default) or 2")->check(CLI::IsMember({1, 2}));
    command.add_option("--settings", device.settings, "protocol settings file (.txt, NAME: VALUE lines)")
        ->type_name("FILE");
    command.add_option("--log", device.log,
                       "the library's log file; with several ports each device gets FILE-PORT.EXT")
        ->type_name("FILE");
    command.add_option("--log-level", device.logLevel, "log detail: L low, M medium (default), H high")
        ->check(CLI::IsMember({'L', 'M', 'H'}));
    command.add_option("--record", device.record,
                       "record every exchange with the device to FILE (JSON lines, docs/recording.md), for "
                       "tambrix-sim --replay; with several ports each device gets FILE-PORT.EXT")
        ->type_name("FILE");
    command.add_option("--library", device.library, "the library file to load (default: next to this program)")
        ->type_name("PATH");
}

CLI::App* AddFileCommand(CLI::App& app, const char* name, const char* about, const char* footer,
                         CommandOptions& options)
{
    CLI::App* command = app.add_subcommand(name, about);
    command->add_option("FILE", options.file, "firmware file (MOCF container or single image)")->required();
    command->add_flag("--json", options.json, "print one JSON object per device and line (see the README)");
    command->footer(footer);
    return command;
}

int Run(int argc, char** argv)
{
    CLI::App app{"tambrix-flash: writes firmware into barcode scanners and cradles through the TAMBRIX01 library",
                 "tambrix-flash"};
    app.require_subcommand(1);
    app.footer(kMainFooter);
    CommandOptions options;
    CLI::App* flash =
        AddFileCommand(app, "flash", "flash FILE into the device(s) on the port(s)", kFlashFooter, options);
    AddDeviceOptions(*flash, options.device, true);
    CLI::App* version =
        AddFileCommand(app, "version", "which versions of FILE's objects suit the device on the port (GetFileVersion)",
                       kVersionFooter, options);
    AddDeviceOptions(*version, options.device, false);
    AddFileCommand(app, "info", "the file's kind, records, digest and objects, as tambrix-fw info shows them",
                   kInfoFooter, options);
    CLI::App* ports = app.add_subcommand("ports", "list the serial ports and HID devices present");
    ports->footer("Exit code: 0.\n");
    ports->add_flag("--json", options.json, "print one JSON object per port and line");

    // The parser would only say that a subcommand is required.
    if (argc < 2)
        return Fail(kExitUsage, "a command is needed: flash, version, info or ports (see --help)");
    std::string first = argv[1];
    bool known = false;
    for (const CLI::App* command : app.get_subcommands({}))
        known = known || command->check_name(first);
    if (!first.empty() && first[0] != '-' && !known)
        return Fail(kExitUsage, "unknown command " + first + "; the commands are flash, version, info, ports (see --help)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::string what = e.what();
        return Fail(kExitUsage, what + " (see --help)");
    }
    // Checked here rather than by the parser, so that an unknown option is
    // named as such even when --port is missing as well.
    if ((*flash || *version) && options.device.ports.empty())
        return Fail(kExitUsage, "--port is required (see --help)");
    if (*version && options.device.ports.size() > 1)
        return Fail(kExitUsage, "version takes one --port");
    if (options.device.library.empty())
        options.device.library = DefaultLibrary();
    if (*flash)
        return FlashCommand(options);
    if (*version)
        return VersionCommand(options);
    if (*ports)
        return PortsCommand(options.json);
    return InfoCommand(options);
}

} // namespace
} // namespace flasher

int main(int argc, char** argv)
{
    return flasher::Run(argc, argv);
}
