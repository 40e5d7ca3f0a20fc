// tambrix-flash: the command-line flasher. A host program like any other:
// it loads the library at run time and drives it through the public header
// only.
#include "Commands.h"
#include "Results.h"
#include "System.h"
#include "station/StationCli.h"

#include <CLI/CLI.hpp>

namespace flasher {
namespace {

const char kFlashFooter[] =
    "Progress: a bar per device on a terminal (-v: a line per step and wait instead), plain lines\n"
    "otherwise; with --json, progress events as JSON lines on standard output before each device's\n"
    "result object (see the README). On a failure, standard error says what failed, what to try and\n"
    "what state the device is left in (untouched, in its bootloader, flashed).\n"
    "Ctrl-C cancels through CFS_CANCELIO; the library ends its current step first (the flasher says\n"
    "which, and for how long at most) and brings the devices back.\n"
    "\n"
    "Exit codes (several ports: the worst result):\n"
    "  0        flashed (library result 0, or 6: the device was in its bootloader at the start)\n"
    "  1        failed: the interface could not be set up, or a failure without a code of its own\n"
    "  2        cancelled\n"
    "  3        the file is not firmware\n"
    "  4        the firmware does not fit the device (or the scanner behind the cradle)\n"
    "  5        flashed, but the cradle did not return to server mode or the device did not answer\n"
    "  7        the cradle has no radio link and the scanner is not in the cradle\n"
    "  8        the wireless scanner's battery is too low\n"
    "  9        no scanner behind the cradle\n"
    "  12       the device came back under a new port name and none was given\n"
    "  239-255  the interface could not be opened again (256 + the library's negative result)\n"
    "  64       bad usage, or the library refused a setting (errors in the settings file)\n"
    "  66       the file, the settings file or a port is not there, not readable, or not a serial port\n"
    "  70       the library cannot be loaded\n"
    "  73       the log file cannot be written\n"
    "  77       no permission to open the USB device (see udev-rule)\n";
const char kVersionFooter[] =
    "Exit codes: 0 found; 1 the file is not firmware or a check failed; 2 no device, no device report\n"
    "or nothing in the file fits the device; 64 bad usage; 66 a file or port that is not there, not\n"
    "readable or not a serial port; 70 no library; 73 the log file cannot be written.\n";
const char kDeviceFooter[] =
    "Shows the device's mode and the versions of its application and bootloader from its own report\n"
    "(P_INFO); -v shows the whole report.\n"
    "Exit codes: 0 the device answered; 2 no report from the device; 64 bad usage; 66 a port that is\n"
    "not there or not a serial port; 70 no library (or one without this extension); 73 the log file\n"
    "cannot be written.\n";
const char kInfoFooter[] =
    "Exit codes (those of tambrix-fw info): 0 valid firmware, 1 not valid, 64 bad usage, 66 not there\n"
    "or not readable; 70 tambrix-fw cannot be run.\n";
const char kRuleFooter[] =
    "A hidraw node opens only for root unless a udev rule gives it to the user at the seat. This writes\n"
    "that rule for the scanner on --port: its application's USB ids read from the node, its bootloader's\n"
    "(the device while it is flashed) from the device's report or --boot-ids. Each line tags the node\n"
    "uaccess and adds a symlink /dev/tambrix01-VID-PID that stays the same across re-plugs.\n"
    "Typical use: sudo tambrix-flash udev-rule --port /dev/hidraw0 --output /etc/udev/rules.d/70-tambrix01.rules\n"
    "then: sudo udevadm control --reload-rules && sudo udevadm trigger --subsystem-match=hidraw\n"
    "Exit codes: 0 written; 2 the device's report (for the bootloader's ids) could not be read; 64 bad\n"
    "usage; 66 the node is not there or not a USB device's hidraw node; 73 the file cannot be written.\n";
const char kMainFooter[] =
    "tambrix-flash COMMAND --help describes a command, its output and its exit codes.\n"
    "--version shows this program's version and the library's version text and file.\n";

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
    CLI::Option* log = command.get_option("--log");
    command.add_option("--log-level", device.logLevel, "detail of the --log file: L low, M medium (default), H high")
        ->check(CLI::IsMember({'L', 'M', 'H'}))
        ->needs(log);
    command.add_option("--record", device.record,
                       "record every exchange with the device to FILE (JSON lines, docs/recording.md), for "
                       "tambrix-sim --replay; with several ports each device gets FILE-PORT.EXT")
        ->type_name("FILE");
    command.add_option("--library", device.library, "the library file to load (default: next to this program, else the installed one "
                                                         "in the library directory beside bin/, else the build tree's)")
        ->type_name("PATH");
}

CLI::App* AddFileCommand(CLI::App& app, const char* name, const char* about, const char* footer,
                         CommandOptions& options)
{
    CLI::App* command = app.add_subcommand(name, about);
    command->add_option("FILE", options.file, "firmware file (MOCF container or single image)")->required();
    command->footer(footer);
    return command;
}

void AddOutputOptions(CLI::App& command, CommandOptions& options, const char* json, const char* verboseText)
{
    command.add_flag("--json", options.json, json);
    CLI::Option* verbose = command.add_flag("-v,--verbose", options.verbose, verboseText);
    command.add_flag("-q,--quiet", options.quiet, "no progress; on success only the exit code (and the result object with --json)")
        ->excludes(verbose);
}

// --version: this program's version and the library's, loaded as a flash
// would load it.
int PrintVersion(int argc, char** argv)
{
    std::string path;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--library")
            path = argv[i + 1];
    if (path.empty())
        path = DefaultLibrary();
    std::printf("tambrix-flash %s\n", TAMBRIX_TOOL_VERSION);
    Library library;
    std::string error;
    if (!library.Load(path, error))
        return Fail(kExitNoLibrary, "the library cannot be loaded: " + error);
    std::printf("library: %s\nlibrary file: %s\n", LibraryVersion(library).c_str(), path.c_str());
    return 0;
}

int Run(int argc, char** argv)
{
    CLI::App app{"tambrix-flash: writes firmware into barcode scanners and cradles through the TAMBRIX01 library",
                 "tambrix-flash"};
    // Options are spelt --name on every platform: a path such as /tmp/fw.mocf
    // is an argument, not a Windows-style option.
    app.allow_windows_style_options(false);
    app.require_subcommand(1);
    app.footer(kMainFooter);
    // Handled before the parser runs (it would ask for a command); listed
    // here so that --help shows it.
    bool versionFlag = false;
    app.add_flag("-V,--version", versionFlag, "show this program's version, the library's version text and file");
    CommandOptions options;
    CLI::App* flash =
        AddFileCommand(app, "flash", "flash FILE into the device(s) on the port(s)", kFlashFooter, options);
    AddDeviceOptions(*flash, options.device, true);
    AddFastOption(*flash, options.device);
    AddOutputOptions(*flash, options,
                     "progress events, then one result object per device, as JSON lines (see the README)",
                     "progress as a line per step and wait, also on a terminal");
    CLI::App* version =
        AddFileCommand(app, "version", "which versions of FILE's objects suit the device on the port (GetFileVersion)",
                       kVersionFooter, options);
    AddDeviceOptions(*version, options.device, false);
    AddOutputOptions(*version, options, "print the result as one JSON object (see the README)",
                     "accepted for symmetry; version says all it knows");
    CLI::App* device = app.add_subcommand("device", "ask the device on the port what it is and what it runs");
    device->footer(kDeviceFooter);
    AddDeviceOptions(*device, options.device, false);
    AddOutputOptions(*device, options, "print the device's report as one JSON object (see the README)",
                     "show every line of the device's report");
    CLI::App* info =
        AddFileCommand(app, "info", "the file's kind, records, digest and objects, as tambrix-fw info shows them",
                       kInfoFooter, options);
    info->add_flag("--json", options.json, "print tambrix-fw info's JSON object");
    CLI::App* rule = app.add_subcommand("udev-rule", "write the udev rule that lets users who are not root flash "
                                                     "the scanner on a hidraw node (Linux)");
    rule->footer(kRuleFooter);
    rule->add_option("--port", options.device.ports, "(required) the scanner's hidraw node, e.g. /dev/hidraw0")
        ->allow_extra_args(false)
        ->type_name("NODE");
    rule->add_option("--boot-ids", options.bootIds,
                     "the bootloader's USB ids (default: usbvid and usbpid of the device's report, which only "
                     "root can ask for)")
        ->type_name("VID:PID");
    rule->add_option("--output", options.output, "the rule file to write (default: standard output)")
        ->type_name("FILE");
    rule->add_option("--library", options.device.library, "the library file to load for the device's report")
        ->type_name("PATH");
    CLI::App* ports = app.add_subcommand("ports", "list the serial ports and HID devices present");
    ports->footer("Exit code: 0.\n");
    ports->add_flag("--json", options.json, "print one JSON object per port and line");
    StationOptions stationOptions;
    LedgerQuery ledgerQuery;
    StationCommands stationCommands = AddStationCommands(app, stationOptions, ledgerQuery);

    // The parser would only say that a subcommand is required.
    if (argc < 2)
        return Fail(kExitUsage, "a command is needed: flash, version, device, info, ports, station, ledger or udev-rule (see --help)");
    std::string first = argv[1];
    if (first == "--version" || first == "-V")
        return PrintVersion(argc, argv);
    bool known = false;
    for (const CLI::App* command : app.get_subcommands({}))
        known = known || command->check_name(first);
    if (!first.empty() && first[0] != '-' && !known)
        return Fail(kExitUsage,
                    "unknown command " + first +
                        "; the commands are flash, version, device, info, ports, station, ledger, udev-rule (see --help)");
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
    if ((*flash || *version || *device || *rule) && options.device.ports.empty())
        return Fail(kExitUsage, "--port is required (see --help)");
    if (*version && options.device.ports.size() > 1)
        return Fail(kExitUsage, "version takes one --port");
    if (*device && options.device.ports.size() > 1)
        return Fail(kExitUsage, "device takes one --port");
    if (*rule && options.device.ports.size() > 1)
        return Fail(kExitUsage, "udev-rule takes one --port");
    if (options.device.library.empty())
        options.device.library = DefaultLibrary();
    if (*stationCommands.station) {
        if (int code = CheckStationOptions(stationOptions))
            return code;
        if (stationOptions.command.device.library.empty())
            stationOptions.command.device.library = DefaultLibrary();
        return StationCommand(stationOptions);
    }
    if (*stationCommands.ledger)
        return LedgerCommand(ledgerQuery);
    if (*flash)
        return FlashCommand(options);
    if (*version)
        return VersionCommand(options);
    if (*device)
        return DeviceCommand(options);
    if (*ports)
        return PortsCommand(options.json);
    if (*rule)
        return UdevRuleCommand(options);
    return InfoCommand(options);
}

} // namespace
} // namespace flasher

int main(int argc, char** argv)
{
    return flasher::Run(argc, argv);
}
