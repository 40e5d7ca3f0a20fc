// What the flasher's exit codes mean: the library's results in words, the
// flasher's own codes, and which of several devices' results is the worst.
#pragma once

#include <cstdint>
#include <vector>

namespace flasher {

// The flasher's own exit codes (sysexits.h values), apart from the
// library's results. None collides with a result: those are 0..12, and a
// negative one leaves as 256 + result (239..255).
enum ExitCode : int {
    kExitUsage = 64,       // bad command line, bad value, settings file refused
    kExitNoInput = 66,     // the file or a port is not there or not readable
    kExitNoLibrary = 70,   // the library or tambrix-fw cannot be loaded or run
    kExitNoDevice = 2,     // device: no report from the device (as version's 2)
    kExitCantCreate = 73,  // the log file cannot be written
    kExitNoPermission = 77, // the user may not open the device (a udev rule is missing)
};

// One line that says what a FlashScanner result means.
const char* FlashMeaning(int32_t result);
// One line that says what a GetFileVersion result means.
const char* VersionMeaning(int32_t result);

// A result as the process's exit code: negative ones as 256 + result.
int ExitCodeOf(int32_t result);

// The exit code of a flash: 0 for every result that flashed (0 and 6),
// else as ExitCodeOf.
int FlashExitCode(int32_t result);

// Whether a FlashScanner result leaves the device with the new firmware.
bool Flashed(int32_t result);

// The result the flasher exits with after flashing several devices: a
// device possibly left unreachable (negative) before one not answering
// after its flash (5), before any other failure, before a cancel (2),
// before a flash from the bootloader (6), before a plain success (0).
// Equal ranks: the first device on the command line.
int32_t WorstResult(const std::vector<int32_t>& results);

} // namespace flasher
