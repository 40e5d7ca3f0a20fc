// The flasher's commands; each returns the process's exit code.
#pragma once

#include "Options.h"

#include <memory>
#include <vector>

namespace flasher {

int FlashCommand(const CommandOptions& options);
int VersionCommand(const CommandOptions& options);
int InfoCommand(const CommandOptions& options);
int DeviceCommand(const CommandOptions& options);
int PortsCommand(bool json);
int UdevRuleCommand(const CommandOptions& options);

// Checks that need the file system, before the library is loaded: the
// file and a settings file readable, every serial port present, no port
// twice. Prints the one-line error; 0 when all is well, else the exit code.
int CheckInputs(const CommandOptions& options);

// The failure's cause and what to try, on standard error.
struct Diagnosis;
void PrintFailure(const std::string& port, const Diagnosis& diagnosis);

// The library's version text (CFS_DLLVERSION).
class Library;
std::string LibraryVersion(const Library& library);

// The start every device command shares: the inputs checked, the library
// loaded, a configured tool object for each port. Empty, with the exit code
// and its line printed, when any of that fails.
class FlashJob;
std::vector<std::unique_ptr<FlashJob>> PrepareJobs(const CommandOptions& options, Library& library, int& exitCode);

// Prints "tambrix-flash: TEXT" on standard error and gives back code.
int Fail(int code, const std::string& text);

} // namespace flasher
