#include "StationCli.h"

#include "../Commands.h"
#include "../Options.h"
#include "../Results.h"

namespace flasher {

namespace {

const char kStationFooter[] =
    "Runs until Ctrl-C, until --count devices were taken, or with --once until the devices present now are\n"
    "done. A port that appears, or where a device starts answering, is probed (the device's report, as\n"
    "`device` asks for it) and its device flashed; a quiet port is probed again every --probe-every seconds.\n"
    "Each device is flashed once: its port is then done until the device goes (the port vanishes, it stops\n"
    "answering for two probes, or another device answers there).\n"
    "Output: on a terminal a board (one line per port, a totals line); otherwise plain lines; with --json\n"
    "the events device-arrived, progress, result, device-left and summary as JSON lines.\n"
    "Ctrl-C: no new device is taken, running flashes are cancelled as flash cancels them, their ledger\n"
    "rows completed, and the summary printed.\n"
    "\n"
    "Exit codes:\n"
    "  0   every device taken was flashed or current (also: none was taken)\n"
    "  1   a device failed\n"
    "  2   a device was cancelled (and none failed)\n"
    "  64  bad usage; 66 the file or the settings file is not there; 70 the library cannot be loaded;\n"
    "  73  the ledger, a log or recording directory cannot be written\n";

const char kLedgerFooter[] =
    "Without --csv or --json: a table. --summary: counts by outcome, and by outcome and version.\n"
    "Exit codes: 0; 64 bad usage; 66 the ledger is not there or not a ledger.\n";

} // namespace

StationCommands AddStationCommands(CLI::App& app, StationOptions& o, LedgerQuery& q)
{
    StationCommands commands;
    CLI::App* s = app.add_subcommand("station", "flash every device that comes on the watched ports, each once");
    commands.station = s;
    s->footer(kStationFooter);
    s->add_option("FILE", o.command.file, "firmware file (MOCF container or single image)")->required();
    s->add_option("--port", o.patterns,
                  "a port to watch: a path or a glob (/dev/ttyUSB*, /dev/serial/by-path/*, COM* on Windows); "
                  "repeatable")
        ->allow_extra_args(false)
        ->type_name("PATTERN");
    s->add_flag("--usb", o.command.device.usb, "watch USB HID devices (with --usb-id)");
    s->add_option("--usb-id", o.usbIds, "VID:PID of the HID devices to flash (hex); repeatable")
        ->allow_extra_args(false)
        ->type_name("VID:PID");
    s->add_option("--probe-every", o.probeEvery, "seconds between probes of a quiet port (default 2)")
        ->check(CLI::Range(0.05, 3600.0));
    s->add_flag("--skip-current", o.skipCurrent,
                "do not flash a device that already runs the file's application and bootloader versions");
    s->add_option("--tries", o.tries, "flashes of one device before it counts as failed (default 2)")
        ->check(CLI::Range(1, 100));
    s->add_option("--count", o.count, "stop after N devices")->check(CLI::Range(1, 1000000));
    s->add_flag("--once", o.once, "only the devices present now");
    s->add_option("--max-parallel", o.maxParallel, "devices flashed at once (default 16)")->check(CLI::Range(1, 256));
    s->add_option("--baud", o.command.device.baud, "serial line speed (default 115200)")
        ->check(CLI::IsMember({300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200, 230400,
                               460800, 921600}));
    s->add_option("--parity", o.command.device.parity, "serial parity: N (default), O, E, M, S")
        ->check(CLI::IsMember({'N', 'O', 'E', 'M', 'S'}));
    s->add_option("--stop", o.command.device.stopBits, "serial stop bits: 1 (default) or 2")
        ->check(CLI::IsMember({1, 2}));
    AddFastOption(*s, o.command.device);
    s->add_option("--settings", o.command.device.settings, "protocol settings file (.txt, NAME: VALUE lines)")
        ->type_name("FILE");
    s->add_option("--log", o.logDir, "a directory: one library log per device flash")->type_name("DIR");
    CLI::Option* record =
        s->add_option("--record", o.recordDir, "a directory: one recording per device flash")->type_name("DIR");
    s->add_flag("--record-failures", o.recordFailures, "keep only the recordings of flashes that failed")
        ->needs(record);
    s->add_option("--ledger", o.ledger, "SQLite file: one row per device taken (see the README)")
        ->type_name("FILE.db");
    s->add_option("--library", o.command.device.library, "the library file to load (as for flash)")
        ->type_name("PATH");
    s->add_flag("--json", o.command.json, "events as JSON lines (see the README)");
    CLI::Option* verbose = s->add_flag("-v,--verbose", o.command.verbose, "plain lines, also on a terminal");
    s->add_flag("-q,--quiet", o.command.quiet, "nothing but errors")->excludes(verbose);

    CLI::App* l = app.add_subcommand("ledger", "show or export a station's ledger");
    commands.ledger = l;
    l->footer(kLedgerFooter);
    l->add_option("FILE.db", q.file, "the ledger")->required();
    CLI::Option* csv = l->add_flag("--csv", q.csv, "every column as CSV, with a header line");
    l->add_flag("--json", q.json, "every row as a JSON line")->excludes(csv);
    l->add_flag("--summary", q.summary, "counts by outcome and by version");
    l->add_option("--since", q.since, "rows started at or after TIME (2026-12-11 or 2026-12-11T13:00:00Z, UTC)")
        ->type_name("TIME");
    l->add_option("--port", q.port, "rows of this port")->type_name("P");
    l->add_option("--outcome", q.outcome, "rows of this outcome: flashed, current, failed, cancelled, interrupted")
        ->type_name("O");
    return commands;
}

int CheckStationOptions(const StationOptions& o)
{
    if (o.command.device.usb && o.usbIds.empty())
        return Fail(kExitUsage, "--usb needs --usb-id VID:PID");
    if (!o.usbIds.empty() && !o.command.device.usb)
        return Fail(kExitUsage, "--usb-id needs --usb");
    if (o.command.device.usb && !o.patterns.empty())
        return Fail(kExitUsage, "--usb takes --usb-id, not --port");
    if (!o.command.device.usb && o.patterns.empty())
        return Fail(kExitUsage, "--port is required (see --help)");
    return 0;
}

} // namespace flasher
